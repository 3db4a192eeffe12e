// smbfetch: what the user reads when something goes wrong, and the exit
// status that goes with it.
#pragma once

#include <string>

#include "arguments.h"

namespace smbfetch {

enum ExitStatus : int {
    kExitOk = 0,
    kExitFailure = 1,      // anything below without a status of its own; local files
    kExitUsage = 2,
    kExitNoListener = 3,   // nothing listening at ADDRESS:139
    kExitNoAnswer = 4,     // no answer within the library's 8 s wait
    kExitDialect = 5,      // the server refused the dialects this client speaks
    kExitGuest = 6,        // guest logon refused
    kExitShare = 7,        // share refused, or it needs encryption
    kExitNoFile = 8,       // no such file on the share
    kExitIncomplete = 9,   // the connection broke or the file ended before every byte came
};

// The exit statuses as --help and the manual page list them.
extern const char *const kExitStatusHelp;

struct Failure {
    int status;
    std::string message;
};

// The cause of a failed SMBConnect or SMBOpenFile, from the errno it left.
Failure connectFailure(int errnum, const Request &q);
Failure openFailure(int errnum, const Request &q);

// The status of a failed read and a note on its cause (" (...)" or empty).
Failure readFailure(const Request &q, int errnum);

// Prints "smbfetch: TEXT" on its own line (after any progress bar).
void say(const std::string &text);

// Prints the message and returns its status, for `return fail(...)`.
int fail(int status, const std::string &message);
int fail(const Failure &failure);

[[noreturn]] void usageError(const std::string &message);

}  // namespace smbfetch

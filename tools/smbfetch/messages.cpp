#include "messages.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "progress.h"

namespace smbfetch {

const char *const kExitStatusHelp =
    "Exit status:\n"
    "  0    every byte from the offset arrived and the output is complete\n"
    "  1    another failure (name lookup, local output, offset past the end, a changed file)\n"
    "  2    usage error\n"
    "  3    nothing listening at ADDRESS:139\n"
    "  4    no answer within 8 s\n"
    "  5    the server refused every dialect this client speaks (SMB1, SMB 2.0.2 to 3.0.2)\n"
    "  6    the server refused the guest logon\n"
    "  7    the server refused the share, or the share requires encryption\n"
    "  8    no such file on the share\n"
    "  9    the connection broke, or the file ended, before every byte arrived\n"
    "  130  interrupted (SIGINT); 143 terminated (SIGTERM)\n";

namespace {

std::string server(const Request &q) { return q.address + ":139"; }

}  // namespace

Failure connectFailure(int errnum, const Request &q)
{
    switch (errnum) {
    case ECONNREFUSED:
        return {kExitNoListener, "nothing is listening at " + server(q) + " (or it refused a NetBIOS session for " +
                                     q.serverName + "); is the SMB server running, with 139 among its \"smb ports\"?"};
    case ETIMEDOUT: return {kExitNoAnswer, server(q) + " did not answer within 8 s"};
    case EPROTONOSUPPORT:
        return {kExitDialect, q.address + " refused the SMB1 dialect (NT LM 0.12) and the SMB2/3 dialects this "
                                          "client speaks (2.0.2 to 3.0.2); on a Samba server, \"server min "
                                          "protocol = NT1\" in the [global] section enables SMB1"};
    case EACCES:
        return {kExitGuest, q.address + " refused the guest logon; on a Samba server, \"map to guest = Bad User\" "
                                        "in the [global] section lets guests in"};
    case ECONNRESET:
    case EPIPE: return {kExitIncomplete, server(q) + " closed the connection while logging on"};
    default:
        return {kExitFailure, "cannot connect to " + server(q) + " as guest" +
                                  (errnum ? std::string(": ") + std::strerror(errnum) : std::string())};
    }
}

Failure openFailure(int errnum, const Request &q)
{
    switch (errnum) {
    case ENOENT: return {kExitNoFile, "no such file on " + q.sharePath + ": " + q.remotePath};
    case EACCES:
        return {kExitShare, q.address + " refused the share " + q.sharePath + " or the file " + q.remotePath +
                                ": no such share, it is closed to guests or requires encryption, or guests "
                                "may not read the file"};
    case EPERM:
        return {kExitShare, "the share " + q.sharePath +
                                " requires encryption, which a guest session cannot offer"};
    case ETIMEDOUT: return {kExitNoAnswer, server(q) + " did not answer the open within 8 s"};
    case ECONNRESET:
    case EPIPE:
    case ENOTCONN: return {kExitIncomplete, server(q) + " closed the connection at the open"};
    default:
        return {kExitFailure, "cannot open " + q.remotePath + " on " + q.sharePath +
                                  (errnum ? std::string(": ") + std::strerror(errnum) : std::string())};
    }
}

Failure readFailure(const Request &q, int errnum)
{
    if (errnum == ETIMEDOUT) return {kExitNoAnswer, " (" + server(q) + " did not answer within 8 s)"};
    return {kExitIncomplete, errnum ? " (" + std::string(std::strerror(errnum)) + ")" : std::string()};
}

void say(const std::string &text)
{
    progressBreakLine();
    std::cerr << "smbfetch: " << text << '\n';
}

int fail(int status, const std::string &message)
{
    say(message);
    return status;
}

int fail(const Failure &failure) { return fail(failure.status, failure.message); }

void usageError(const std::string &message)
{
    say(message + "\nRun with --help for more information.");
    std::exit(kExitUsage);
}

}  // namespace smbfetch

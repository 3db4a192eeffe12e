// smbfetch: the session, the remote file and the copy loop.
#pragma once

#include <cstdint>

#include "arguments.h"
#include "output.h"
#include "progress.h"
#include "sharefetch.h"

namespace smbfetch {

// SIGINT and SIGTERM stop the fetch after the current block.
void installStopHandlers();
int stopSignal();  // the signal that asked for a stop, or 0

// Prints that the fetch stopped after `done` of `total` bytes and returns 128 + the signal.
int interrupted(const Output &out, uint64_t done, uint64_t total);

// Everything of the library given back on every path, file before session.
struct Connection {
    bool started = false;
    SmbSession *session = nullptr;
    SmbFile *file = nullptr;

    Connection() = default;
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    ~Connection();
};

// Connects and opens q.remotePath for reading from `from`. 0, or prints why
// not and returns the exit status.
int openRemote(const Request &q, Connection &c, const Output &out, uint64_t from);

uint64_t remoteSize(const Connection &c);

// Copies `count` bytes from remote offset `from` into out. 0, or prints why
// not and returns the exit status.
int copyRange(const Request &q, Connection &c, uint64_t from, uint64_t count, Output &out, Progress &progress);

}  // namespace smbfetch

#include "transfer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <csignal>
#include <cstring>
#include <memory>
#include <new>

#include "block_size.h"
#include "messages.h"

namespace smbfetch {

namespace {

constexpr uint32_t kOffsetMeansZero = 0xFFFFFFFFu;

volatile std::sig_atomic_t g_stopSignal = 0;

extern "C" void onStopSignal(int signo) { g_stopSignal = signo; }

// Signals wait while a block is read, so that a read is never cut in half;
// the copy loop looks at the stop flag between blocks.
int32_t readBlock(bool raw, SmbFile *file, uint64_t offset, uint32_t count, void *buffer)
{
    sigset_t held, previous;
    sigemptyset(&held);
    for (const int signo : {SIGINT, SIGTERM, SIGWINCH}) sigaddset(&held, signo);
    sigprocmask(SIG_BLOCK, &held, &previous);
    const int32_t got = raw ? SMBReadFile(file, count, buffer) : SMBReadFileAt(file, offset, count, buffer);
    const int saved = errno;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    errno = saved;
    return got;
}

std::string dialectName(SmbSession *session)
{
    const uint16_t dialect = SMBGetDialect(session);
    if (dialect == SMB_DIALECT_NT1) return "dialect NT LM 0.12 (SMB1)";
    char text[48];
    std::snprintf(text, sizeof text, "dialect SMB %x.%x.%x (0x%04x)", dialect >> 8, (dialect >> 4) & 0xF,
                  dialect & 0xF, dialect);
    return text;
}

std::string readCodeMeaning(int32_t code)
{
    switch (code) {
    case SMB_READ_NO_RECEIVE_NODE: return "out of memory for the receive buffer";
    case SMB_READ_NO_REQUEST_NODE: return "out of memory for the request";
    case SMB_READ_SEND_FAILED: return "the read request could not be sent";
    case SMB_READ_BAD_REPLY:
        return "the server's reply did not bring the bytes asked for "
               "(time-out, closed connection, short or long reply)";
    case SMB_READ_BAD_ARGUMENT: return "bad argument";
    case SMB_READ_NO_RAW_SIZE: return "the server allows no raw reads (try without --raw)";
    case SMB_READ_REFUSED: return "the server refused the read";
    default: return "unexpected result";
    }
}

int failedRead(const Request &q, const Output &out, int32_t got, int errnum, uint64_t at)
{
    const Failure f = readFailure(q, errnum);
    return fail(f.status, "reading " + q.remotePath + " failed at byte " + std::to_string(at) + " with code " +
                              std::to_string(got) + ": " + readCodeMeaning(got) + f.message + "; " +
                              leftoverNote(out));
}

// The file shrank on the server while it was read.
int endedEarly(const Request &q, const Output &out, uint64_t at, uint64_t size)
{
    return fail(kExitIncomplete, q.remotePath + " ended at byte " + std::to_string(at) + ", before the " +
                                     std::to_string(size) + " it had when opened; " + leftoverNote(out));
}

}  // namespace

void installStopHandlers()
{
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int stopSignal() { return g_stopSignal; }

int interrupted(const Output &out, uint64_t done, uint64_t total)
{
    const std::string when = total ? "after " + std::to_string(done) + " of " + std::to_string(total) + " bytes"
                                   : std::string("before the transfer");
    say("interrupted " + when + "; " + leftoverNote(out));
    return 128 + g_stopSignal;
}

Connection::~Connection()
{
    if (file) SMBCloseFile(file);
    if (session) SMBDisonnect(session);
    if (started) SMBShutdown();
}

int openRemote(const Request &q, Connection &c, const Output &out, uint64_t from)
{
    c.started = SMBStartup() == 0;
    if (!c.started) return fail(kExitFailure, "cannot start the socket layer");
    errno = 0;
    if (SMBConnect(q.address.c_str(), q.serverName.c_str(), q.sharePath.c_str(), &c.session) != 1)
        return g_stopSignal ? interrupted(out, 0, 0) : fail(connectFailure(errno, q));
    if (q.verbose) say("connected to " + q.address + " (" + q.serverName + ") as guest, " + dialectName(c.session));
    // Only the sequential raw reads start where the open says.
    const uint32_t start = q.raw && from != 0 ? static_cast<uint32_t>(from) : kOffsetMeansZero;
    errno = 0;
    if (SMBOpenFile(c.session, q.remotePath.c_str(), start, &c.file) != 1)
        return g_stopSignal ? interrupted(out, 0, 0) : fail(openFailure(errno, q));
    return g_stopSignal ? interrupted(out, 0, 0) : 0;
}

uint64_t remoteSize(const Connection &c) { return SMBGetFileSize64(c.file); }

int copyRange(const Request &q, Connection &c, uint64_t from, uint64_t count, Output &out, Progress &progress)
{
    // Grows with the block; what it held is never needed again, so it is
    // replaced, not copied.
    std::unique_ptr<unsigned char[]> buffer;
    uint32_t capacity = 0;
    uint32_t block = kFirstBlockBytes;
    uint64_t done = 0;
    progressUpdate(progress, out.existing);
    while (done < count) {
        if (g_stopSignal) return interrupted(out, done, count);
        const auto want = static_cast<uint32_t>(std::min<uint64_t>(block, count - done));
        if (capacity < want) {
            buffer.reset();
            buffer.reset(new (std::nothrow) unsigned char[want]);
            if (!buffer)
                return fail(kExitFailure, "out of memory for a block of " + std::to_string(want) + " bytes; " +
                                              leftoverNote(out));
            capacity = want;
        }
        errno = 0;
        const auto start = std::chrono::steady_clock::now();
        const int32_t got = readBlock(q.raw, c.file, from + done, want, buffer.get());
        if (got < 0) return failedRead(q, out, got, errno, from + done);
        block = nextBlockBytes(block, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (!writeOutput(out, buffer.get(), static_cast<size_t>(got))) {
            if (g_stopSignal) return interrupted(out, done, count);
            return fail(kExitFailure, "cannot write " + out.shown + ": " + std::strerror(errno) + "; " +
                                          leftoverNote(out));
        }
        done += static_cast<uint32_t>(got);
        if (static_cast<uint32_t>(got) < want) return endedEarly(q, out, from + done, from + count);
        progressUpdate(progress, out.existing + done);
    }
    return 0;
}

}  // namespace smbfetch

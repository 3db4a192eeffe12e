#include "jobs.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <optional>
#include <vector>

#include "output.h"
#include "probes.h"

namespace {

// How far ahead of the oldest unprinted file the walk may run, per job:
// bounds what waits in memory behind one slow file.
constexpr uint64_t kAheadPerJob = 32;
constexpr unsigned kLostBeforeWorkLimit = 8;

struct Worker {
    pid_t pid = -1;
    int socket = -1;  // -1: not running
    bool busy = false;
    uint64_t index = 0;  // the file it is probing
    std::string path;
    std::string inbox;  // reply bytes received so far
};

struct Pool {
    const Options *options;
    std::vector<Worker> workers;
    std::map<uint64_t, Rendered> done;  // finished, waiting for their turn
    uint64_t nextIndex = 0, nextToPrint = 0;
    std::optional<Item> waiting;  // taken from the walk, not yet handed out
    bool walkOver = false;
    unsigned lostBeforeWork = 0;  // workers in a row that ended before taking a name
    Tally tally;
};

// ---- Frames: a request is a length and a path; a reply is the failed flag,
// then standard output's and standard error's text, each after its length.

void putLength(std::string &frame, size_t length)
{
    const auto n = static_cast<uint32_t>(length);
    frame.append(reinterpret_cast<const char *>(&n), sizeof n);
}

bool takeLength(const std::string &bytes, size_t &at, uint32_t &n)
{
    if (bytes.size() - at < sizeof n) return false;
    std::memcpy(&n, bytes.data() + at, sizeof n);
    at += sizeof n;
    return true;
}

bool takeText(const std::string &bytes, size_t &at, std::string &text)
{
    uint32_t n = 0;
    if (!takeLength(bytes, at, n) || bytes.size() - at < n) return false;
    text.assign(bytes, at, n);
    at += n;
    return true;
}

bool sendAll(int socket, const std::string &bytes)
{
    for (size_t at = 0; at < bytes.size();) {
        const ssize_t n = send(socket, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

bool receiveAll(int socket, char *to, size_t length)
{
    for (size_t at = 0; at < length;) {
        const ssize_t n = read(socket, to + at, length - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

// ---- The worker side

Rendered probeAndRender(const std::string &path, LibraryOutput &out, const OutputStyle &style)
{
    Report failed;
    failed.path = path;
    try {
        if (out.sink >= 0) return render(probeFile(path, out), style);
        failed.error = "cannot set aside the library's diagnostic lines";
    } catch (const std::exception &e) {
        failed.error = std::string("cannot probe: ") + e.what();
    }
    return render(failed, style);
}

[[noreturn]] void serve(int socket, const OutputStyle &style)
{
    LibraryOutput out;
    for (;;) {
        uint32_t length = 0;
        if (!receiveAll(socket, reinterpret_cast<char *>(&length), sizeof length)) _exit(0);
        std::string path(length, '\0');
        if (!receiveAll(socket, path.data(), length)) _exit(0);
        const Rendered r = probeAndRender(path, out, style);
        std::string reply(1, r.failed ? '\1' : '\0');
        putLength(reply, r.out.size());
        reply += r.out;
        putLength(reply, r.err.size());
        reply += r.err;
        if (!sendAll(socket, reply)) _exit(0);
    }
}

// ---- The parent side

bool start(Pool &pool, Worker &w)
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
    // Whatever stdio holds would otherwise be written twice, once by the child.
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(ends[0]);
        // Without the others' sockets, each worker sees the parent go.
        for (const Worker &other : pool.workers)
            if (other.socket >= 0) close(other.socket);
        serve(ends[1], pool.options->style);
    }
    close(ends[1]);
    if (pid < 0) {
        close(ends[0]);
        return false;
    }
    w = Worker{};
    w.pid = pid;
    w.socket = ends[0];
    return true;
}

std::string howItEnded(int status)
{
    if (WIFSIGNALED(status)) return std::string("killed by signal ") + strsignal(WTERMSIG(status));
    return "ended with status " + std::to_string(WEXITSTATUS(status));
}

void lose(Pool &pool, Worker &w)
{
    close(w.socket);
    int status = 0;
    while (waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (w.busy) {
        Report r;
        r.path = w.path;
        r.error = "the probe stopped: its worker process was " + howItEnded(status);
        pool.done[w.index] = render(r, pool.options->style);
    }
    w = Worker{};
}

Worker *idleWorker(Pool &pool)
{
    for (Worker &w : pool.workers)
        if (w.socket >= 0 && !w.busy) return &w;
    for (Worker &w : pool.workers)
        if (w.socket < 0 && start(pool, w)) return &w;
    return nullptr;
}

bool anyRunning(const Pool &pool)
{
    for (const Worker &w : pool.workers)
        if (w.socket >= 0) return true;
    return false;
}

// False when the worker is gone before it got the name (killed while idle):
// the name then waits for another worker, as nothing of it was probed.
bool assign(Pool &pool, Worker &w, const Item &item)
{
    std::string request;
    putLength(request, item.path.size());
    request += item.path;
    if (!sendAll(w.socket, request)) {
        lose(pool, w);
        if (++pool.lostBeforeWork > kLostBeforeWorkLimit)
            pool.tally.fatal = "worker processes keep ending before their first file";
        return false;
    }
    pool.lostBeforeWork = 0;
    w.busy = true;
    w.index = pool.nextIndex++;
    w.path = item.path;
    return true;
}

bool takeNext(Pool &pool, Walk &walk)
{
    Item item;
    if (!nextItem(walk, item)) {
        pool.walkOver = true;
        return false;
    }
    pool.waiting = std::move(item);
    return true;
}

// Hands out names while there are idle workers and room ahead.
void dispatch(Pool &pool, Walk &walk)
{
    const uint64_t ahead = kAheadPerJob * pool.workers.size();
    while (!pool.walkOver && pool.tally.fatal.empty() && pool.nextIndex < pool.nextToPrint + ahead) {
        if (!pool.waiting && !takeNext(pool, walk)) return;
        if (!pool.waiting->error.empty()) {
            Report r;
            r.path = pool.waiting->path;
            r.error = pool.waiting->error;
            pool.done[pool.nextIndex++] = render(r, pool.options->style);
        } else {
            Worker *w = idleWorker(pool);
            if (!w) {
                if (!anyRunning(pool)) pool.tally.fatal = std::string("cannot start a worker: ") + std::strerror(errno);
                return;
            }
            if (!assign(pool, *w, *pool.waiting)) continue;
        }
        pool.waiting.reset();
    }
}

void receive(Pool &pool, Worker &w)
{
    char buffer[64 * 1024];
    const ssize_t n = read(w.socket, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) return;
    if (n <= 0) {
        lose(pool, w);
        return;
    }
    w.inbox.append(buffer, static_cast<size_t>(n));
    Rendered r;
    size_t at = 1;
    if (w.inbox.empty() || !takeText(w.inbox, at, r.out) || !takeText(w.inbox, at, r.err)) return;
    r.failed = w.inbox[0] != 0;
    pool.done[w.index] = std::move(r);
    w.inbox.clear();
    w.busy = false;
}

void printReady(Pool &pool)
{
    for (auto it = pool.done.find(pool.nextToPrint); it != pool.done.end(); it = pool.done.find(pool.nextToPrint)) {
        const Rendered &r = it->second;
        std::fwrite(r.out.data(), 1, r.out.size(), stdout);
        if (!r.err.empty()) {
            std::fflush(stdout);  // so that a complaint follows the lines before it
            std::fwrite(r.err.data(), 1, r.err.size(), stderr);
        }
        ++pool.tally.probed;
        pool.tally.failed += r.failed ? 1 : 0;
        pool.done.erase(it);
        ++pool.nextToPrint;
    }
}

void waitForReplies(Pool &pool)
{
    std::vector<pollfd> fds;
    std::vector<Worker *> owners;
    for (Worker &w : pool.workers)
        if (w.socket >= 0 && w.busy) {
            fds.push_back({w.socket, POLLIN, 0});
            owners.push_back(&w);
        }
    std::fflush(stdout);
    if (poll(fds.data(), fds.size(), -1) < 0) return;
    for (size_t i = 0; i < fds.size(); ++i)
        if (fds[i].revents) receive(pool, *owners[i]);
}

bool anyBusy(const Pool &pool)
{
    for (const Worker &w : pool.workers)
        if (w.busy) return true;
    return false;
}

}  // namespace

Tally runJobs(Walk &walk, const Options &options)
{
    Pool pool{&options, std::vector<Worker>(options.jobs), {}, 0, 0, {}, false, 0, {}};
    for (;;) {
        // Printing first frees room ahead, so handing out never waits on it.
        printReady(pool);
        dispatch(pool, walk);
        if (!pool.tally.fatal.empty()) break;
        if (anyBusy(pool)) waitForReplies(pool);
        else if (pool.walkOver) break;
    }
    printReady(pool);
    for (Worker &w : pool.workers)
        if (w.socket >= 0) lose(pool, w);
    std::fflush(stdout);
    return pool.tally;
}

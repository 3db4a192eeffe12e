// sharefetch against SMB clients people use instead, on the same loopback
// smbd and the same files, with the server's page cache warm.
//
// Run it under tests/sharefetch/smbd_harness.sh with MP_BENCH_DATA/share as
// the exported folder; the server's address and names come from the
// harness's SMBD_HARNESS_* variables. MP_BENCH_BULK_ITERATIONS sets how many
// times each bulk reader reads the file per repetition (8),
// MP_BENCH_LATENCY_ROUNDS how many connect rounds each client makes (15).
//
// Bulk figures read the whole 100 MiB file into one buffer per iteration over
// an established connection; client CPU (user + system, getrusage) is given
// per GiB. Latency figures cover connect, open, read 1 KiB, close, disconnect.
//
// smb/delay/in_turn reads a 64 MiB file (bulk64.bin) with every client in
// turn, straight on loopback and through bench/delay_proxy at 0, 1 and 10 ms
// each way (MP_BENCH_DELAY_ROUNDS rounds, 3; MP_BENCH_ROUTES limits the
// routes).
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <libsmbclient.h>

#include "raw_readraw.h"
#include "sharefetch.h"

namespace {

std::string env(const char *name, const char *fallback)
{
    const char *v = std::getenv(name);
    return v != nullptr && *v != '\0' ? v : fallback;
}

struct Config {
    std::string data = env("MP_BENCH_DATA", "/tmp/mp-bench-data");
    std::string address = env("SMBD_HARNESS_ADDRESS", "127.0.0.1");
    std::string serverName = env("SMBD_HARNESS_SERVER_NAME", "SMBTEST");
    std::string share = env("SMBD_HARNESS_SHARE", "share");
    std::string uncShare = "\\\\" + serverName + "\\" + share;
    std::string url = "smb://" + address + "/" + share + "/";
    int bulkIterations = std::atoi(env("MP_BENCH_BULK_ITERATIONS", "8").c_str());
};

const Config &config()
{
    static const Config c;
    return c;
}

constexpr const char *kBulk = "bulk.bin";
constexpr const char *kSmall = "small.bin";
constexpr uint32_t kSmallRead = 1024;

// The local copy of what the server exports, to check what came over the wire.
struct LocalFile {
    std::vector<uint8_t> bytes;
};

// The local copy of a file of the share, read once.
const LocalFile &localShareFile(const std::string &name)
{
    static std::map<std::string, LocalFile> loaded;
    auto found = loaded.find(name);
    if (found != loaded.end())
        return found->second;
    LocalFile lf;
    const std::string path = config().data + "/share/" + name;
    FILE *fp = std::fopen(path.c_str(), "rb");
    if (fp != nullptr) {
        std::fseek(fp, 0, SEEK_END);
        lf.bytes.resize(static_cast<size_t>(std::ftell(fp)));
        std::fseek(fp, 0, SEEK_SET);
        if (std::fread(lf.bytes.data(), 1, lf.bytes.size(), fp) != lf.bytes.size())
            lf.bytes.clear();
        std::fclose(fp);
    }
    return loaded.emplace(name, std::move(lf)).first->second;
}

const LocalFile &localBulk() { return localShareFile(kBulk); }

// One destination buffer for every bulk reader, touched once up front so that
// no reader pays for its page faults.
std::vector<uint8_t> &bulkBuffer()
{
    static std::vector<uint8_t> buffer(localBulk().bytes.size(), 1);
    return buffer;
}

// User and system time of this process (RUSAGE_SELF) or of its waited-for
// children (RUSAGE_CHILDREN).
double cpuSeconds(int who = RUSAGE_SELF)
{
    rusage ru{};
    ::getrusage(who, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Whether name is in the list (names separated by commas) of an environment
// variable; an unset variable lists everything.
bool listed(const char *variable, const std::string &name)
{
    const std::string only = env(variable, "");
    if (only.empty())
        return true;
    return ("," + only + ",").find("," + name + ",") != std::string::npos;
}

// MP_BENCH_ONLY limits the readers and clients that take turns, for
// before-and-after runs of one library.
bool wanted(const std::string &name) { return listed("MP_BENCH_ONLY", name); }

double median(std::vector<double> v)
{
    if (v.empty())
        return 0.0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// ---- sharefetch ---------------------------------------------------------

bool sharefetchRound()
{
    const Config &c = config();
    const std::string path = std::string("\\") + kSmall;
    uint8_t buf[kSmallRead];
    SmbSession *session = nullptr;
    SmbFile *file = nullptr;
    bool ok = SMBConnect(c.address.c_str(), c.serverName.c_str(), c.uncShare.c_str(), &session) == 1;
    ok = ok && SMBOpenFile(session, path.c_str(), 0, &file) == 1;
    ok = ok && SMBReadFile(file, kSmallRead, buf) == static_cast<int32_t>(kSmallRead);
    if (file != nullptr)
        SMBCloseFile(file);
    if (session != nullptr)
        SMBDisonnect(session);
    return ok;
}

// ---- the bare READ_RAW loop ---------------------------------------------

bool rawRound()
{
    const Config &c = config();
    const std::string path = std::string("\\") + kSmall;
    uint8_t buf[kSmallRead];
    RawSmbFile f;
    bool ok = rawSmbOpen(c.address.c_str(), c.serverName.c_str(), c.uncShare.c_str(), path.c_str(), f);
    ok = ok && rawSmbRead(f, buf, kSmallRead);
    rawSmbClose(f);
    return ok;
}

bool sessionRequestRound()
{
    const Config &c = config();
    return rawSessionRequestOnly(c.address.c_str(), c.serverName.c_str());
}

// ---- libsmbclient -------------------------------------------------------

void guestAuth(const char *, const char *, char *wg, int wglen, char *un, int unlen, char *pw,
               int pwlen)
{
    std::snprintf(wg, static_cast<size_t>(wglen), "WORKGROUP");
    std::snprintf(un, static_cast<size_t>(unlen), "guest");
    if (pwlen > 0)
        pw[0] = '\0';
}

// nt1: forced to the dialect sharefetch speaks; otherwise the library's
// default (SMB3 against this server).
// The protocol range is the process's loadparm, shared by every context:
// once an NT1 context exists the default one speaks NT1 too. So the NT1
// context is made only when its figures are wanted (MP_BENCH_ONLY).
SMBCCTX *smbContext(bool nt1)
{
    if (nt1 && !wanted("libsmbclient_nt1"))
        return nullptr;
    SMBCCTX *ctx = smbc_new_context();
    if (ctx == nullptr)
        return nullptr;
    smbc_setDebug(ctx, 0);
    smbc_setFunctionAuthData(ctx, guestAuth);
    smbc_setOptionUseKerberos(ctx, 0);
    smbc_setOptionFallbackAfterKerberos(ctx, 1);
    if (nt1)
        smbc_setOptionProtocols(ctx, "NT1", "NT1");
    if (smbc_init_context(ctx) == nullptr) {
        smbc_free_context(ctx, 1);
        return nullptr;
    }
    return ctx;
}

bool smbcReadAll(SMBCCTX *ctx, SMBCFILE *file, uint8_t *buf, uint32_t n)
{
    uint32_t done = 0;
    while (done < n) {
        const ssize_t got = smbc_getFunctionRead(ctx)(ctx, file, buf + done, n - done);
        if (got <= 0)
            break;
        done += static_cast<uint32_t>(got);
    }
    return done == n;
}

// Opens url, reads n bytes through read (given the open file), closes.
template <typename Read>
auto smbcWithFile(SMBCCTX *ctx, const std::string &url, Read read) -> decltype(read(nullptr))
{
    SMBCFILE *file = smbc_getFunctionOpen(ctx)(ctx, url.c_str(), O_RDONLY, 0);
    if (file == nullptr)
        return {};
    const auto result = read(file);
    smbc_getFunctionClose(ctx)(ctx, file);
    return result;
}

bool smbcRead(SMBCCTX *ctx, const std::string &url, uint8_t *buf, uint32_t n)
{
    return smbcWithFile(ctx, url, [&](SMBCFILE *file) { return smbcReadAll(ctx, file, buf, n); });
}

// The context (configuration, parameters) is made once; each round connects
// afresh and purging the cached server disconnects it again.
bool smbcRound(SMBCCTX *ctx)
{
    const std::string url = config().url + kSmall;
    uint8_t buf[kSmallRead];
    const bool ok = smbcRead(ctx, url, buf, kSmallRead);
    smbc_getFunctionPurgeCachedServers(ctx)(ctx);
    return ok;
}

// ---- the smbclient command ----------------------------------------------

// The smbclient command that fetches file from address into /dev/null.
std::string smbclientGetCommand(const std::string &address, bool nt1, const char *file)
{
    std::string cmd = "smbclient //" + address + "/" + config().share + " -N ";
    if (nt1)
        cmd += "-m NT1 --option='client min protocol=NT1' ";
    return cmd + "-c 'get " + file + " /dev/null' 2>&1";
}

// Runs an smbclient command to its end; its own average rate in KiB/s, 0 when
// it failed or reported none.
double smbclientAverageKiBps(const std::string &cmd)
{
    FILE *p = ::popen(cmd.c_str(), "r");
    if (p == nullptr)
        return 0;
    char line[512];
    double kibPerSecond = 0;
    while (std::fgets(line, sizeof line, p) != nullptr) {
        const char *avg = std::strstr(line, "(average ");
        if (avg != nullptr)
            kibPerSecond = std::strtod(avg + 9, nullptr);
    }
    return ::pclose(p) == 0 ? kibPerSecond : 0;
}

// smbclient reports its own transfer rate, which leaves out its start-up and
// logon; that rate is the figure. The whole command's wall time is a counter.
void smbclientCommand(benchmark::State &state, bool nt1)
{
    const std::string cmd = smbclientGetCommand(config().address, nt1, kBulk);
    double wall = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const double kibPerSecond = smbclientAverageKiBps(cmd);
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (kibPerSecond <= 0) {
            state.SkipWithError("smbclient failed");
            return;
        }
        state.SetIterationTime(static_cast<double>(localBulk().bytes.size()) / 1024.0 /
                               kibPerSecond);
    }
    state.SetBytesProcessed(static_cast<int64_t>(localBulk().bytes.size()) * state.iterations());
    state.counters["wall_s_with_startup"] = wall / static_cast<double>(state.iterations());
}

// ---- plain TCP over loopback between two processes -----------------------

// ---- bulk read of the 100 MiB file, all readers in turn ----------------

// A reader connects once (untimed), then reads the whole file into the
// buffer once per round.
struct BulkReader {
    std::string name;
    std::function<bool(uint8_t *, uint32_t)> readAll;
    std::vector<double> mbps, cpuPerGiB;
};

// A child process sends the requested number of bytes from its own memory
// for every 4-byte request: plain TCP over loopback, nothing else.
struct TcpSender {
    pid_t child = -1;
    int fd = -1;

    bool start()
    {
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
            ::listen(listener, 1) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr *>(&sa), &len) != 0)
            return false;
        child = ::fork();
        if (child == 0) {
            const int peer = ::accept(listener, nullptr, nullptr);
            const std::vector<uint8_t> &source = localBulk().bytes;
            uint32_t want = 0;
            while (::recv(peer, &want, sizeof want, MSG_WAITALL) == sizeof want) {
                size_t sent = 0;
                while (sent < want && sent < source.size()) {
                    const ssize_t n =
                        ::send(peer, source.data() + sent, want - sent, MSG_NOSIGNAL);
                    if (n <= 0)
                        ::_exit(1);
                    sent += static_cast<size_t>(n);
                }
            }
            ::_exit(0);
        }
        ::close(listener);
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        return child > 0 && fd >= 0 &&
               ::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    }
    bool readAll(uint8_t *buf, uint32_t n) const
    {
        if (::send(fd, &n, sizeof n, 0) != sizeof n)
            return false;
        size_t got = 0;
        while (got < n) {
            const ssize_t r = ::recv(fd, buf + got, n - got, MSG_WAITALL);
            if (r <= 0)
                return false;
            got += static_cast<size_t>(r);
        }
        return true;
    }
    ~TcpSender()
    {
        if (fd >= 0)
            ::close(fd);
        if (child > 0)
            ::waitpid(child, nullptr, 0);
    }
};

// The readers take turns, round after round, so that load swings on the
// shared machine hit all of them alike; each one's figures are the medians
// of its rounds. Before each round the buffer is cleared.
void bulkInTurn(benchmark::State &state)
{
    const Config &c = config();
    std::vector<uint8_t> &buffer = bulkBuffer();
    const auto size = static_cast<uint32_t>(buffer.size());
    if (size == 0) {
        state.SkipWithError("no local copy of the bulk file");
        return;
    }
    std::vector<BulkReader> readers;
    const std::string path = std::string("\\") + kBulk;
    SmbSession *session = nullptr;
    if (SMBConnect(c.address.c_str(), c.serverName.c_str(), c.uncShare.c_str(), &session) == 1) {
        readers.push_back({"sharefetch", [&](uint8_t *buf, uint32_t n) {
                               SmbFile *file = nullptr;
                               if (SMBOpenFile(session, path.c_str(), 0, &file) != 1)
                                   return false;
                               const bool ok = SMBGetFileSize(file) == n &&
                                               SMBReadFile(file, n, buf) == static_cast<int32_t>(n);
                               SMBCloseFile(file);
                               return ok;
                           }, {}, {}});
    }
    RawSmbFile raw;
    if (rawSmbConnect(c.address.c_str(), c.serverName.c_str(), c.uncShare.c_str(), raw)) {
        readers.push_back({"raw_readraw", [&](uint8_t *buf, uint32_t n) {
                               if (!rawSmbOpenFile(raw, path.c_str()))
                                   return false;
                               const bool ok = raw.size == n && rawSmbRead(raw, buf, n);
                               rawSmbCloseFile(raw);
                               return ok;
                           }, {}, {}});
    }
    const std::string url = c.url + kBulk;
    SMBCCTX *nt1 = smbContext(true);
    SMBCCTX *smb3 = smbContext(false);
    uint8_t warm[1];
    // The first open connects; the context keeps the connection for the rest.
    if (nt1 != nullptr && smbcRead(nt1, url, warm, 1))
        readers.push_back({"libsmbclient_nt1",
                           [&](uint8_t *buf, uint32_t n) { return smbcRead(nt1, url, buf, n); },
                           {}, {}});
    if (smb3 != nullptr && smbcRead(smb3, url, warm, 1))
        readers.push_back({"libsmbclient_smb3",
                           [&](uint8_t *buf, uint32_t n) { return smbcRead(smb3, url, buf, n); },
                           {}, {}});
    TcpSender tcp;
    if (tcp.start())
        readers.push_back({"tcp_loopback", [&](uint8_t *buf, uint32_t n) { return tcp.readAll(buf, n); },
                           {}, {}});

    // One untimed round per reader first: it warms both ends and its data is
    // checked against the file.
    for (BulkReader &reader : readers) {
        if (!wanted(reader.name))
            continue;
        std::memset(buffer.data(), 0, buffer.size());
        if (!reader.readAll(buffer.data(), size) ||
            std::memcmp(buffer.data(), localBulk().bytes.data(), size) != 0) {
            state.SkipWithError((reader.name + ": read failed or wrong data").c_str());
            break;
        }
    }
    const int rounds = config().bulkIterations > 0 ? config().bulkIterations : 8;
    for (auto _ : state) {
        for (int r = 0; r < rounds && !state.error_occurred(); ++r) {
            for (BulkReader &reader : readers) {
                if (!wanted(reader.name))
                    continue;
                std::memset(buffer.data(), 0, buffer.size());
                const double cpuBefore = cpuSeconds();
                const auto start = std::chrono::steady_clock::now();
                const bool ok = reader.readAll(buffer.data(), size);
                const double seconds =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                const double cpu = cpuSeconds() - cpuBefore;
                if (!ok) {
                    state.SkipWithError((reader.name + ": read failed").c_str());
                    break;
                }
                reader.mbps.push_back(size / seconds / 1e6);
                reader.cpuPerGiB.push_back(cpu / (static_cast<double>(size) / (1u << 30)));
            }
        }
    }
    for (const BulkReader &reader : readers) {
        if (!wanted(reader.name))
            continue;
        state.counters[reader.name + "_MBps"] = median(reader.mbps);
        state.counters[reader.name + "_cpu_s_per_GiB"] = median(reader.cpuPerGiB);
    }
    if (nt1 != nullptr)
        smbc_free_context(nt1, 1);
    if (smb3 != nullptr)
        smbc_free_context(smb3, 1);
    rawSmbClose(raw);
    if (session != nullptr)
        SMBDisonnect(session);
}

// ---- bulk read of 64 MiB through the delay proxy, all clients in turn ----

constexpr const char *kBulk64 = "bulk64.bin";

// How the clients reach the server: straight on loopback, or through a
// delay proxy of our own (bench/delay_proxy) on another loopback address,
// port 139 like the server, so that every client finds it as it would the
// server.
struct Route {
    std::string name;
    std::string address;
    double delayMs = -1;  // -1: no proxy
    pid_t proxy = -1;
};

std::string benchFolder()
{
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path(self, n > 0 ? static_cast<size_t>(n) : 0);
    return path.substr(0, path.rfind('/'));
}

// Starts the route's proxy in front of the server and waits for its "ready".
bool startProxy(Route &route)
{
    int ready[2];
    if (route.delayMs < 0 || ::pipe2(ready, O_CLOEXEC) != 0)
        return route.delayMs < 0;
    const std::string program = benchFolder() + "/delay_proxy";
    const std::string listen = route.address + ":139";
    const std::string target = config().address + ":139";
    const std::string delay = std::to_string(route.delayMs);
    route.proxy = ::fork();
    if (route.proxy == 0) {
        ::dup2(ready[1], STDOUT_FILENO);
        ::execl(program.c_str(), program.c_str(), listen.c_str(), target.c_str(), delay.c_str(),
                "1800", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    ::close(ready[1]);
    pollfd p{ready[0], POLLIN, 0};
    char line[16] = {};
    const bool up = route.proxy > 0 && ::poll(&p, 1, 5000) == 1 &&
                    ::read(ready[0], line, sizeof line - 1) > 0 &&
                    std::strncmp(line, "ready", 5) == 0;
    ::close(ready[0]);
    return up;
}

void stopProxy(Route &route)
{
    if (route.proxy <= 0)
        return;
    ::kill(route.proxy, SIGTERM);
    ::waitpid(route.proxy, nullptr, 0);
    route.proxy = -1;
}

struct Measured {
    bool ok = false;
    double seconds = 0;
    double cpu = 0;  // client CPU seconds
};

// Wall and CPU time of one in-process read.
Measured timedHere(const std::function<bool()> &read)
{
    Measured m;
    const double cpuBefore = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    m.ok = read();
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.cpu = cpuSeconds() - cpuBefore;
    return m;
}

// One smbclient run: its own average rate (start-up and logon excluded)
// gives the time; its CPU is the whole process's, start-up included.
Measured smbclientGet(const std::string &address, bool nt1, uint32_t size)
{
    Measured m;
    const double cpuBefore = cpuSeconds(RUSAGE_CHILDREN);
    const double kibPerSecond = smbclientAverageKiBps(smbclientGetCommand(address, nt1, kBulk64));
    m.ok = kibPerSecond > 0;
    m.seconds = m.ok ? size / 1024.0 / kibPerSecond : 0;
    m.cpu = cpuSeconds(RUSAGE_CHILDREN) - cpuBefore;
    return m;
}

struct RouteReader {
    std::string name;
    std::function<Measured(uint8_t *, uint32_t)> read;
    bool checkable = true;  // its bytes land in the buffer
    std::vector<double> mbps, cpuPerGiB;
};

// The clients of one route; sessions and contexts are made once, untimed.
struct RouteClients {
    SmbSession *session = nullptr;
    SMBCCTX *nt1 = nullptr;
    SMBCCTX *smb3 = nullptr;
    std::vector<RouteReader> readers;

    ~RouteClients()
    {
        if (nt1 != nullptr)
            smbc_free_context(nt1, 1);
        if (smb3 != nullptr)
            smbc_free_context(smb3, 1);
        if (session != nullptr)
            SMBDisonnect(session);
    }
};

void addReader(RouteClients &c, const std::string &name,
               std::function<Measured(uint8_t *, uint32_t)> read, bool checkable = true)
{
    c.readers.push_back({name, std::move(read), checkable, {}, {}});
}

// Open, read the whole file in one call, close: with the positional read or
// the sequential raw read. Only the read is timed, as for libsmbclient's read
// loop below: open and close are round trips of their own.
Measured sharefetchWhole(SmbSession *session, uint8_t *buf, uint32_t n, bool positional)
{
    SmbFile *file = nullptr;
    const std::string path = std::string("\\") + kBulk64;
    if (SMBOpenFile(session, path.c_str(), 0, &file) != 1)
        return {};
    const Measured m = timedHere([&] {
        const int32_t got = positional ? SMBReadFileAt(file, 0, n, buf) : SMBReadFile(file, n, buf);
        return got == static_cast<int32_t>(n);
    });
    SMBCloseFile(file);
    return m;
}

void addClients(const Route &route, RouteClients &c)
{
    const Config &cfg = config();
    if (SMBConnect(route.address.c_str(), cfg.serverName.c_str(), cfg.uncShare.c_str(),
                   &c.session) == 1) {
        SmbSession *s = c.session;
        for (const bool positional : {true, false}) {
            addReader(c, positional ? "readat" : "readfile", [s, positional](uint8_t *b, uint32_t n) {
                return sharefetchWhole(s, b, n, positional);
            });
        }
    }
    const std::string url = "smb://" + route.address + "/" + cfg.share + "/" + kBulk64;
    uint8_t warm[1];
    c.nt1 = smbContext(true);
    c.smb3 = smbContext(false);
    for (SMBCCTX *ctx : {c.nt1, c.smb3}) {
        if (ctx == nullptr || !smbcRead(ctx, url, warm, 1))
            continue;
        addReader(c, ctx == c.nt1 ? "libsmbclient_nt1" : "libsmbclient_smb3",
                  [ctx, url](uint8_t *b, uint32_t n) {
                      return smbcWithFile(ctx, url, [&](SMBCFILE *file) {
                          return timedHere([&] { return smbcReadAll(ctx, file, b, n); });
                      });
                  });
    }
    const std::string address = route.address;
    for (const bool nt1 : {true, false}) {
        addReader(c, nt1 ? "smbclient_nt1" : "smbclient_smb3",
                  [address, nt1](uint8_t *, uint32_t n) { return smbclientGet(address, nt1, n); },
                  false);
    }
}

// Every client on every route, round after round, so that load swings hit
// all alike. Counters per route and client: the median rate (MB/s) and the
// median client CPU per GiB.
void delayInTurn(benchmark::State &state)
{
    const LocalFile &local = localShareFile(kBulk64);
    const auto size = static_cast<uint32_t>(local.bytes.size());
    std::vector<uint8_t> buffer(size, 1);
    std::vector<Route> routes;
    for (const Route &route : {Route{"loopback", config().address}, Route{"proxy_0ms", "127.0.0.2", 0},
                               Route{"proxy_1ms", "127.0.0.3", 1},
                               Route{"proxy_10ms", "127.0.0.4", 10}}) {
        // MP_BENCH_ROUTES (names separated by commas) limits the routes.
        if (listed("MP_BENCH_ROUTES", route.name))
            routes.push_back(route);
    }
    std::vector<RouteClients> clients(routes.size());
    for (size_t i = 0; i < routes.size(); ++i) {
        if (size == 0 || !startProxy(routes[i])) {
            state.SkipWithError(("cannot start the route " + routes[i].name).c_str());
            break;
        }
        addClients(routes[i], clients[i]);
    }
    // One checked round first, untimed.
    for (size_t i = 0; i < routes.size() && !state.error_occurred(); ++i) {
        for (RouteReader &reader : clients[i].readers) {
            if (!wanted(reader.name) || !reader.checkable)
                continue;
            std::memset(buffer.data(), 0, size);
            if (!reader.read(buffer.data(), size).ok ||
                std::memcmp(buffer.data(), local.bytes.data(), size) != 0)
                state.SkipWithError((routes[i].name + " " + reader.name + ": wrong data").c_str());
        }
    }
    const int rounds = std::atoi(env("MP_BENCH_DELAY_ROUNDS", "3").c_str());
    for (auto _ : state) {
        for (int r = 0; r < rounds && !state.error_occurred(); ++r) {
            for (size_t i = 0; i < routes.size(); ++i) {
                for (RouteReader &reader : clients[i].readers) {
                    if (!wanted(reader.name))
                        continue;
                    const Measured m = reader.read(buffer.data(), size);
                    if (!m.ok) {
                        state.SkipWithError((routes[i].name + " " + reader.name + ": failed").c_str());
                        break;
                    }
                    reader.mbps.push_back(size / m.seconds / 1e6);
                    reader.cpuPerGiB.push_back(m.cpu / (static_cast<double>(size) / (1u << 30)));
                }
            }
        }
    }
    for (size_t i = 0; i < routes.size(); ++i) {
        for (const RouteReader &reader : clients[i].readers) {
            if (!wanted(reader.name) || reader.mbps.empty())
                continue;
            state.counters[routes[i].name + "/" + reader.name + "_MBps"] = median(reader.mbps);
            state.counters[routes[i].name + "/" + reader.name + "_cpu_s_per_GiB"] =
                median(reader.cpuPerGiB);
        }
    }
    clients.clear();
    for (Route &route : routes)
        stopProxy(route);
}

// ---- connect-to-disconnect latency, all clients in turn ------------------

// Each connect makes the server start a process, whose cost swings with the
// machine's load; the clients therefore take turns, round after round, and
// each one's figure is the median of its rounds. Counters: wall and client
// CPU time per round in microseconds.
void latencyInTurn(benchmark::State &state)
{
    struct Client {
        const char *name;
        std::function<bool()> round;
        std::vector<double> wall, cpu;
    };
    SMBCCTX *nt1 = smbContext(true);
    SMBCCTX *smb3 = smbContext(false);
    std::vector<Client> clients;
    clients.push_back({"sharefetch", sharefetchRound, {}, {}});
    clients.push_back({"raw_readraw", rawRound, {}, {}});
    clients.push_back({"session_request_floor", sessionRequestRound, {}, {}});
    if (nt1 != nullptr)
        clients.push_back({"libsmbclient_nt1", [nt1] { return smbcRound(nt1); }, {}, {}});
    if (smb3 != nullptr)
        clients.push_back({"libsmbclient_smb3", [smb3] { return smbcRound(smb3); }, {}, {}});
    const int rounds = std::atoi(env("MP_BENCH_LATENCY_ROUNDS", "15").c_str());
    for (auto _ : state) {
        for (int r = 0; r < rounds; ++r) {
            for (Client &client : clients) {
                if (!wanted(client.name))
                    continue;
                const double cpuBefore = cpuSeconds();
                const auto start = std::chrono::steady_clock::now();
                if (!client.round()) {
                    state.SkipWithError((std::string(client.name) + " round failed").c_str());
                    break;
                }
                client.wall.push_back(std::chrono::duration<double, std::micro>(
                                          std::chrono::steady_clock::now() - start)
                                          .count());
                client.cpu.push_back((cpuSeconds() - cpuBefore) * 1e6);
            }
        }
    }
    for (const Client &client : clients) {
        if (!wanted(client.name))
            continue;
        state.counters[std::string(client.name) + "_us"] = median(client.wall);
        state.counters[std::string(client.name) + "_cpu_us"] = median(client.cpu);
    }
    if (nt1 != nullptr)
        smbc_free_context(nt1, 1);
    if (smb3 != nullptr)
        smbc_free_context(smb3, 1);
}

void registerAll()
{
    benchmark::RegisterBenchmark("smb/bulk/in_turn", bulkInTurn)
        ->Iterations(1)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    for (bool nt1 : {true, false}) {
        benchmark::RegisterBenchmark(nt1 ? "smb/bulk/smbclient_cmd_nt1" : "smb/bulk/smbclient_cmd_smb3",
                                     smbclientCommand, nt1)
            ->Iterations(3)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    }
    // One repetition: its rounds give the medians, and a raw read through
    // 10 ms takes 20 s.
    benchmark::RegisterBenchmark("smb/delay/in_turn", delayInTurn)
        ->Iterations(1)
        ->Repetitions(1)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("smb/latency/in_turn", latencyInTurn)
        ->Iterations(1)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char **argv)
{
    if (SMBStartup() != 0)
        return 1;
    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    SMBShutdown();
    return 0;
}

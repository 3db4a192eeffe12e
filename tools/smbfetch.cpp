// smbfetch: copies one file from an SMB share to a local file with
// libsharefetch, logged on as guest.
#include <CLI/CLI.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "sharefetch.h"

namespace {

constexpr uint32_t kBlockBytes = 1u << 20;  // one SMBReadFile call; many raw chunks
constexpr uint32_t kOffsetMeansZero = 0xFFFFFFFFu;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

volatile std::sig_atomic_t g_stopSignal = 0;

extern "C" void onStopSignal(int signo) { g_stopSignal = signo; }

[[noreturn]] void usageError(const std::string &message)
{
    std::cerr << "smbfetch: " << message << "\nRun with --help for more information.\n";
    std::exit(kExitUsage);
}

// ---- What to fetch ------------------------------------------------------

struct Request {
    std::string address;     // dotted IPv4
    std::string serverName;  // NetBIOS name
    std::string sharePath;   // \\SERVER\SHARE
    std::string remotePath;  // \dir\file
    std::string output;
    uint32_t offset = 0;
};

std::string percentDecoded(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string backslashed(std::string path)
{
    std::replace(path.begin(), path.end(), '/', '\\');
    if (path.empty() || path.front() != '\\') path.insert(path.begin(), '\\');
    return path;
}

std::string lastComponent(const std::string &remotePath)
{
    const size_t cut = remotePath.find_last_of('\\');
    return cut == std::string::npos ? remotePath : remotePath.substr(cut + 1);
}

// The library wants a dotted IPv4 address; a host name is looked up here.
std::optional<std::string> dottedAddress(const std::string &host)
{
    in_addr parsed{};
    if (inet_pton(AF_INET, host.c_str(), &parsed) == 1) return host;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return std::nullopt;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(found->ai_addr)->sin_addr, text, sizeof text);
    freeaddrinfo(found);
    return std::string(text);
}

// smb://ADDRESS/SHARE/PATH
void parseUrl(const std::string &url, std::string &host, std::string &share, std::string &path)
{
    const std::string scheme = "smb://";
    if (url.compare(0, scheme.size(), scheme) != 0) usageError("expected smb://ADDRESS/SHARE/PATH, got " + url);
    const std::string rest = url.substr(scheme.size());
    const size_t hostEnd = rest.find('/');
    const size_t shareEnd = hostEnd == std::string::npos ? std::string::npos : rest.find('/', hostEnd + 1);
    if (hostEnd == 0 || shareEnd == std::string::npos || shareEnd == hostEnd + 1 || shareEnd + 1 >= rest.size())
        usageError("expected smb://ADDRESS/SHARE/PATH, got " + url);
    host = rest.substr(0, hostEnd);
    share = percentDecoded(rest.substr(hostEnd + 1, shareEnd - hostEnd - 1));
    path = percentDecoded(rest.substr(shareEnd + 1));
}

std::string outputPath(const std::string &requested, const std::string &remotePath)
{
    const std::string name = lastComponent(remotePath);
    if (requested.empty()) return name;
    struct stat st {};
    if (stat(requested.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return requested.back() == '/' ? requested + name : requested + "/" + name;
    return requested;
}

Request makeRequest(const std::vector<std::string> &args, const std::string &serverNameOption,
                    const std::string &output, uint64_t offset)
{
    Request q;
    std::string host, share, path;
    if (args.size() == 1) {
        parseUrl(args[0], host, share, path);
        q.serverName = serverNameOption;
    } else if (args.size() == 4) {
        host = args[0];
        q.serverName = args[1];
        share = args[2];
        path = args[3];
    } else {
        usageError("give ADDRESS SERVERNAME SHARE PATH, or smb://ADDRESS/SHARE/PATH");
    }
    if (q.serverName.empty() || q.serverName.size() > 15) usageError("the server name must have 1 to 15 characters");
    const auto address = dottedAddress(host);
    if (!address) {
        std::cerr << "smbfetch: cannot find an IPv4 address for " << host << '\n';
        std::exit(kExitFailure);
    }
    q.address = *address;
    // A share may be given as a plain name or as a full \\SERVER\SHARE path.
    std::string unc = share;
    std::replace(unc.begin(), unc.end(), '/', '\\');
    q.sharePath = unc.rfind("\\\\", 0) == 0 ? unc : "\\\\" + q.serverName + "\\" + unc;
    q.remotePath = backslashed(path);
    if (lastComponent(q.remotePath).empty()) usageError("PATH must name a file, not a folder: " + path);
    q.output = outputPath(output, q.remotePath);
    if (offset >= kOffsetMeansZero) usageError("--offset must be below 4294967295");
    q.offset = static_cast<uint32_t>(offset);
    return q;
}

// ---- Holders that give everything back on every path ---------------------

struct SocketLayer {
    bool started = SMBStartup() == 0;
    ~SocketLayer() { SMBShutdown(); }
};

struct Session {
    SmbSession *handle = nullptr;
    ~Session()
    {
        if (handle) SMBDisonnect(handle);
    }
};

// Declared after its Session, so it is closed before the session goes.
struct RemoteFile {
    SmbFile *handle = nullptr;
    ~RemoteFile()
    {
        if (handle) SMBCloseFile(handle);
    }
};

// The download goes to a hidden file beside the target and takes the
// target's name only once every byte is there.
struct TempFile {
    std::string path;
    int fd = -1;
    bool kept = false;
    ~TempFile()
    {
        if (fd >= 0) close(fd);
        if (!path.empty() && !kept) unlink(path.c_str());
    }
};

std::string directoryOf(const std::string &path)
{
    const size_t cut = path.find_last_of('/');
    if (cut == std::string::npos) return ".";
    return cut == 0 ? "/" : path.substr(0, cut);
}

std::string baseOf(const std::string &path)
{
    const size_t cut = path.find_last_of('/');
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

bool createTemp(TempFile &temp, const std::string &target)
{
    std::string pattern = directoryOf(target) + "/." + baseOf(target) + ".smbfetch-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    temp.fd = mkstemp(name.data());
    if (temp.fd < 0) return false;
    temp.path = name.data();
    return true;
}

bool writeAll(int fd, const unsigned char *data, size_t count)
{
    while (count > 0) {
        const ssize_t n = write(fd, data, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

// Signals wait while a block is read, so a read is never cut in half; the
// loop looks at the flag between blocks.
int32_t readBlockShielded(SmbFile *file, uint32_t count, void *buffer)
{
    sigset_t stops, previous;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_BLOCK, &stops, &previous);
    const int32_t got = SMBReadFile(file, count, buffer);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return got;
}

std::string readCodeMeaning(int32_t code)
{
    switch (code) {
    case SMB_READ_NO_RECEIVE_NODE: return "out of memory for the receive buffer";
    case SMB_READ_NO_REQUEST_NODE: return "out of memory for the request";
    case SMB_READ_SEND_FAILED: return "the READ_RAW request could not be sent";
    case SMB_READ_BAD_REPLY:
        return "the server's raw reply did not bring the bytes asked for "
               "(time-out, closed connection, short or long reply)";
    case SMB_READ_BAD_ARGUMENT: return "bad argument";
    case SMB_READ_NO_RAW_SIZE: return "the server allows no raw reads";
    default: return "unexpected result";
    }
}

// ---- Progress -----------------------------------------------------------

std::string humanBytes(double bytes)
{
    const char *units[] = {"B", "KiB", "MiB", "GiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 3) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

std::string clockText(double seconds)
{
    const long s = static_cast<long>(seconds + 0.5);
    char text[32];
    if (s >= 3600) std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

class Progress {
    using Clock = std::chrono::steady_clock;

public:
    Progress(uint64_t total, bool bar) : total_(total), bar_(bar), start_(Clock::now()), shown_(start_) {}

    void update(uint64_t done, bool final = false)
    {
        if (!bar_) return;
        const auto now = Clock::now();
        if (!final && now - shown_ < std::chrono::milliseconds(100)) return;
        shown_ = now;
        const double elapsed = seconds(now);
        const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
        const double share = total_ ? static_cast<double>(done) / static_cast<double>(total_) : 1;
        constexpr int kWidth = 24;
        const int filled = static_cast<int>(share * kWidth);
        std::string eta = "--:--";
        if (rate > 0) eta = clockText(static_cast<double>(total_ - done) / rate);
        std::fprintf(stderr, "\r%3d%% [%s%s] %s / %s  %s/s  ETA %s \x1b[K", static_cast<int>(share * 100),
                     std::string(static_cast<size_t>(filled), '#').c_str(),
                     std::string(static_cast<size_t>(kWidth - filled), '.').c_str(),
                     humanBytes(static_cast<double>(done)).c_str(), humanBytes(static_cast<double>(total_)).c_str(),
                     humanBytes(rate).c_str(), eta.c_str());
        if (final) std::fputc('\n', stderr);
        std::fflush(stderr);
    }

    double seconds(Clock::time_point now = Clock::now()) const
    {
        return std::chrono::duration<double>(now - start_).count();
    }

private:
    uint64_t total_;
    bool bar_;
    Clock::time_point start_, shown_;
};

// ---- The fetch ----------------------------------------------------------

int failure(const std::string &message)
{
    std::cerr << "smbfetch: " << message << '\n';
    return kExitFailure;
}

int interrupted(const std::string &output, uint64_t done = 0, uint64_t total = 0)
{
    if (total) std::cerr << "smbfetch: interrupted after " << done << " of " << total << " bytes; ";
    else std::cerr << "smbfetch: interrupted before the transfer; ";
    std::cerr << output << " was not written\n";
    return 128 + g_stopSignal;
}

void installStopHandlers()
{
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int fetch(const Request &q, bool quiet)
{
    installStopHandlers();
    SocketLayer sockets;
    if (!sockets.started) return failure("cannot start the socket layer");

    Session session;
    if (SMBConnect(q.address.c_str(), q.serverName.c_str(), q.sharePath.c_str(), &session.handle) != 1)
        return g_stopSignal ? interrupted(q.output)
                            : failure("cannot connect to " + q.address + " as guest: TCP port 139, the NetBIOS "
                                      "session for " + q.serverName + ", the NT LM 0.12 dialect or the guest "
                                      "logon was refused");
    if (g_stopSignal) return interrupted(q.output);
    RemoteFile file;
    if (SMBOpenFile(session.handle, q.remotePath.c_str(), q.offset == 0 ? kOffsetMeansZero : q.offset,
                    &file.handle) != 1)
        return g_stopSignal ? interrupted(q.output)
                            : failure("cannot open " + q.remotePath + " on " + q.sharePath +
                                      ": no such file, or the server refused the share");

    const uint32_t size = SMBGetFileSize(file.handle);
    if (q.offset > size)
        return failure("--offset " + std::to_string(q.offset) + " is past the end of " + q.remotePath + " (" +
                       std::to_string(size) + " bytes)");
    const uint64_t total = size - q.offset;

    TempFile temp;
    if (!createTemp(temp, q.output))
        return failure("cannot create a temporary file in " + directoryOf(q.output) + ": " + std::strerror(errno));

    std::vector<unsigned char> buffer(std::min<uint64_t>(kBlockBytes, std::max<uint64_t>(total, 1)));
    Progress progress(total, !quiet && isatty(STDERR_FILENO));
    uint64_t done = 0;
    while (done < total) {
        if (g_stopSignal) return interrupted(q.output, done, total);
        const auto count = static_cast<uint32_t>(std::min<uint64_t>(buffer.size(), total - done));
        const int32_t got = readBlockShielded(file.handle, count, buffer.data());
        if (got != static_cast<int32_t>(count))
            return failure("reading " + q.remotePath + " failed at byte " + std::to_string(q.offset + done) +
                           " with code " + std::to_string(got) + ": " + readCodeMeaning(got));
        if (!writeAll(temp.fd, buffer.data(), count))
            return failure("cannot write " + temp.path + ": " + std::strerror(errno));
        done += count;
        progress.update(done);
    }
    // Every byte is here: a stop that came with the last block still gets the file.
    progress.update(done, true);

    const mode_t mask = umask(0);
    umask(mask);
    if (fchmod(temp.fd, 0666 & ~mask) != 0 || fsync(temp.fd) != 0 || close(temp.fd) != 0) {
        temp.fd = -1;
        return failure("cannot finish " + temp.path + ": " + std::strerror(errno));
    }
    temp.fd = -1;
    if (rename(temp.path.c_str(), q.output.c_str()) != 0)
        return failure("cannot rename " + temp.path + " to " + q.output + ": " + std::strerror(errno));
    temp.kept = true;

    const double elapsed = progress.seconds();
    if (!quiet)
        std::fprintf(stderr, "smbfetch: %s -> %s: %llu bytes in %.2f s (%s/s)\n", q.remotePath.c_str(),
                     q.output.c_str(), static_cast<unsigned long long>(total), elapsed,
                     humanBytes(elapsed > 0 ? static_cast<double>(total) / elapsed : 0).c_str());
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app{"Fetches one file from an SMB share (NetBIOS over TCP port 139) as guest with "
                 "libsharefetch.\n\n"
                 "  smbfetch ADDRESS SERVERNAME SHARE PATH [-o OUT] [--offset N]\n"
                 "  smbfetch smb://ADDRESS/SHARE/PATH [--server-name NAME] [-o OUT] [--offset N]\n\n"
                 "The file is written beside OUT under a temporary name and renamed to OUT only when "
                 "every byte has arrived.",
                 "smbfetch"};
    std::string address, name, share, path;
    std::string output, serverName = "*SMBSERVER";
    uint64_t offset = 0;
    bool quiet = false;
    app.add_option("ADDRESS", address, "server's IPv4 address or host name, or smb://ADDRESS/SHARE/PATH")
        ->required();
    app.add_option("SERVERNAME", name, "server's NetBIOS name");
    app.add_option("SHARE", share, "share name, or \\\\SERVER\\SHARE");
    app.add_option("PATH", path, "file on the share, with / or \\");
    app.add_option("-o,--output", output, "local file or folder (default: the remote file's name, here)");
    app.add_option("--offset", offset, "first byte to fetch (default 0)");
    app.add_option("--server-name", serverName, "NetBIOS name to call with the smb:// form")
        ->capture_default_str();
    app.add_flag("-q,--quiet", quiet, "no progress bar and no summary line");
    app.set_version_flag("--version", "smbfetch " MP_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? 0 : kExitUsage;
    }
    std::vector<std::string> args{address};
    for (const std::string *given : {&name, &share, &path})
        if (!given->empty()) args.push_back(*given);
    return fetch(makeRequest(args, serverName, output, offset), quiet);
}

#include "output.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "messages.h"
#include "transfer.h"

namespace smbfetch {

namespace {

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

std::string why() { return std::strerror(errno); }

// Where a dangling symbolic link points: the file to create there.
std::string danglingTarget(std::string path)
{
    for (int hop = 0; hop < 40; ++hop) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        std::vector<char> link(PATH_MAX + 1);
        const ssize_t n = readlink(path.c_str(), link.data(), PATH_MAX);
        if (n < 0) return path;
        const std::string to(link.data(), static_cast<size_t>(n));
        path = to.front() == '/' ? to : directoryOf(path) + "/" + to;
    }
    return path;
}

int openSocket(const std::string &path)
{
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

int openDirect(const Request &q, Output &out, const struct stat &st)
{
    if (q.resume) usageError("--continue needs a regular file as output; " + q.output + " is not one");
    out.kind = OutputKind::Direct;
    out.target = q.output;
    out.fd = S_ISSOCK(st.st_mode) ? openSocket(q.output) : open(q.output.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (out.fd < 0) return fail(kExitFailure, "cannot open " + q.output + " for writing: " + why());
    return 0;
}

int refuseUnwritable(const Output &out, const struct stat &st)
{
    if (faccessat(AT_FDCWD, out.target.c_str(), W_OK, AT_EACCESS) == 0) return 0;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", st.st_mode & 07777);
    return fail(kExitFailure, out.shown + " exists and you may not write it (mode " + mode +
                                  "); change its mode or choose another output");
}

int openInPlace(Output &out)
{
    out.kind = OutputKind::InPlace;
    out.fd = open(out.target.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOCTTY | O_CLOEXEC, 0666);
    struct stat st {};
    if (out.fd < 0 || fstat(out.fd, &st) != 0) return fail(kExitFailure, "cannot open " + out.shown + ": " + why());
    out.existing = static_cast<uint64_t>(st.st_size);
    return 0;
}

int openTemp(Output &out)
{
    std::string pattern = directoryOf(out.target) + "/." + baseOf(out.target) + ".smbfetch-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    out.fd = mkostemp(name.data(), O_CLOEXEC);
    if (out.fd < 0)
        return fail(kExitFailure, "cannot create a temporary file in " + directoryOf(out.target) + ": " + why());
    out.temp = name.data();
    return 0;
}

// A regular file, existing or not: settles the target and the mode it will get.
int openRegular(const Request &q, Output &out, bool exists, const struct stat &st)
{
    if (exists) {
        char *real = realpath(q.output.c_str(), nullptr);
        out.target = real ? real : q.output;
        std::free(real);
        if (const int status = refuseUnwritable(out, st)) return status;
    } else {
        out.target = danglingTarget(q.output);
    }
    if (q.resume) return openInPlace(out);
    out.kind = OutputKind::Replace;
    out.replacing = exists;
    // An existing file keeps its permission bits (but never set-id bits) and owner.
    const mode_t mask = umask(0);
    umask(mask);
    out.mode = exists ? (st.st_mode & 0777) : (0666 & ~mask);
    out.owner = st.st_uid;
    out.group = st.st_gid;
    return openTemp(out);
}

bool closeChecked(int &fd)
{
    const int result = close(fd);
    fd = -1;
    return result == 0;
}

}  // namespace

Output::~Output()
{
    if (fd >= 0 && kind != OutputKind::Stdout) close(fd);
    if (!finished && !temp.empty()) unlink(temp.c_str());
}

int openOutput(const Request &q, Output &out)
{
    out.shown = q.output;
    if (q.output == "-") {
        if (q.resume) usageError("--continue needs a regular file as output, not standard output");
        out.kind = OutputKind::Stdout;
        out.target = "standard output";
        out.fd = STDOUT_FILENO;
        return 0;
    }
    struct stat st {};
    const bool exists = stat(q.output.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) return fail(kExitFailure, "cannot use " + q.output + ": " + why());
    if (exists && !S_ISREG(st.st_mode)) return openDirect(q, out, st);
    return openRegular(q, out, exists, st);
}

bool writeOutput(Output &out, const unsigned char *data, size_t count)
{
    // A stop ends a write that waits for a slow reader (a FIFO, a pipe).
    while (count > 0 && !stopSignal()) {
        const ssize_t n = write(out.fd, data, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        count -= static_cast<size_t>(n);
        out.written += static_cast<uint64_t>(n);
    }
    return count == 0;
}

int finishOutput(Output &out)
{
    const std::string name = out.temp.empty() ? out.shown : out.temp;
    switch (out.kind) {
    case OutputKind::Stdout: break;
    case OutputKind::Direct:
        if (!closeChecked(out.fd)) return fail(kExitFailure, "cannot finish " + name + ": " + why());
        break;
    case OutputKind::InPlace:
        if (fsync(out.fd) != 0 || !closeChecked(out.fd))
            return fail(kExitFailure, "cannot finish " + name + ": " + why());
        break;
    case OutputKind::Replace:
        // The owner can only be given back by root; anyone else's copy becomes theirs.
        if (out.replacing && fchown(out.fd, out.owner, out.group) != 0 && errno != EPERM)
            return fail(kExitFailure, "cannot finish " + name + ": " + why());
        if (fchmod(out.fd, out.mode) != 0 || fsync(out.fd) != 0 || !closeChecked(out.fd))
            return fail(kExitFailure, "cannot finish " + name + ": " + why());
        if (rename(out.temp.c_str(), out.target.c_str()) != 0)
            return fail(kExitFailure, "cannot rename " + out.temp + " to " + out.target + ": " + why());
        break;
    }
    out.finished = true;
    return 0;
}

std::string leftoverNote(const Output &out)
{
    switch (out.kind) {
    case OutputKind::Replace: return out.shown + " was not written";
    case OutputKind::InPlace:
        return out.shown + " keeps " + std::to_string(out.existing + out.written) +
               " bytes; run the same command again to continue";
    case OutputKind::Stdout:
    case OutputKind::Direct: break;
    }
    return out.target + " got the first " + std::to_string(out.written) + " bytes";
}

}  // namespace smbfetch

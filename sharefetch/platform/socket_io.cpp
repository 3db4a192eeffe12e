#include "platform/socket_io.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

// poll until one of events (or an error condition) shows up, for the whole
// time even across EINTR: each retry waits only for what is left.
SocketWait waitFor(SocketHandle socket, short events, int milliseconds)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        const int timeout = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        pollfd entry{socket, events, 0};
        const int rc = ::poll(&entry, 1, timeout);
        if (rc > 0) {
            if (entry.revents & POLLNVAL) {
                errno = EBADF;
                return SocketWait::Failed;
            }
            // An error or hang-up is reported by the next call on the socket,
            // as select would report the socket ready.
            return SocketWait::Ready;
        }
        if (rc == 0) {
            if (timeout == 0) {
                errno = ETIMEDOUT;
                return SocketWait::TimedOut;
            }
            continue;  // poll may wake a hair early; the deadline decides
        }
        if (errno != EINTR)
            return SocketWait::Failed;
    }
}

}  // namespace

bool socketLayerStart() { return true; }

void socketLayerStop() {}

SocketHandle socketCreateStream()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return kNoSocket;
    // Requests are small and answered one at a time; without this, Nagle's
    // delay would hold back a request that was sent in several pieces.
    const int on = 1;
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

bool socketSetNonBlocking(SocketHandle socket)
{
    const int flags = ::fcntl(socket, F_GETFL);
    return flags >= 0 && ::fcntl(socket, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool socketBindAny(SocketHandle socket)
{
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = 0;
    return ::bind(socket, reinterpret_cast<const sockaddr *>(&local), sizeof local) == 0;
}

bool socketAddressFromText(const char *text, uint32_t *addressOut)
{
    if (text == nullptr) {
        errno = EINVAL;
        return false;
    }
    // inet_addr gives the all-ones address for bad text; no TCP peer can be
    // reached there, so it counts as no address.
    const in_addr_t address = ::inet_addr(text);
    if (address == INADDR_NONE) {
        errno = EINVAL;
        return false;
    }
    *addressOut = address;
    return true;
}

SocketConnect socketStartConnect(SocketHandle socket, uint32_t address, uint16_t port)
{
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = address;
    peer.sin_port = htons(port);
    if (::connect(socket, reinterpret_cast<const sockaddr *>(&peer), sizeof peer) == 0)
        return SocketConnect::Connected;
    // EINPROGRESS is this platform's would-block for a connect; after EINTR
    // the connect goes on in the background just the same.
    if (errno == EINPROGRESS || errno == EINTR)
        return SocketConnect::InProgress;
    return SocketConnect::Failed;
}

bool socketConnectSucceeded(SocketHandle socket)
{
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return false;
    if (error != 0)
        errno = error;
    return error == 0;
}

SocketWait socketWaitReadable(SocketHandle socket, int milliseconds)
{
    return waitFor(socket, POLLIN, milliseconds);
}

SocketWait socketWaitWritable(SocketHandle socket, int milliseconds)
{
    return waitFor(socket, POLLOUT, milliseconds);
}

long socketSendPieces(SocketHandle socket, const SocketPiece *pieces, int count)
{
    constexpr int kMaxPieces = 16;
    if (count < 0 || count > kMaxPieces)
        return -1;
    iovec vectors[kMaxPieces];
    for (int i = 0; i < count; ++i)
        vectors[i] = iovec{const_cast<void *>(pieces[i].data), pieces[i].length};
    msghdr message{};
    message.msg_iov = vectors;
    message.msg_iovlen = static_cast<size_t>(count);
    for (;;) {
        const ssize_t n = ::sendmsg(socket, &message, MSG_NOSIGNAL);
        if (n >= 0)
            return static_cast<long>(n);
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? kSocketWouldBlock : -1;
    }
}

long socketReceive(SocketHandle socket, void *data, size_t length)
{
    for (;;) {
        const ssize_t n = ::recv(socket, data, length, 0);
        if (n >= 0)
            return static_cast<long>(n);
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? kSocketWouldBlock : -1;
    }
}

void socketClose(SocketHandle socket)
{
    // Closing happens on failure paths, after the reason is in errno.
    const int reason = errno;
    if (socket != kNoSocket)
        ::close(socket);
    errno = reason;
}

// The hostile server of the sharefetch fuzz targets: a loopback listener,
// and a peer that sends the fuzzer's bytes to one accepted client as they
// come, then ends the stream, so the client never waits out a time-out.
#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

// Only a client that stopped reading and sending for this long ends the
// peer early; the client's own waits end sooner.
inline constexpr int kPeerPatienceMs = 20000;

struct Listener {
    int fd = -1;
    uint16_t port = 0;
};

// One listening socket for the whole run; every input is one connection.
inline const Listener &listener()
{
    static const Listener made = [] {
        Listener l;
        l.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (l.fd < 0 || bind(l.fd, reinterpret_cast<sockaddr *>(&addr), len) != 0 ||
            listen(l.fd, 4) != 0 ||
            getsockname(l.fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
            std::abort();
        l.port = ntohs(addr.sin_port);
        return l;
    }();
    return made;
}

// Sends data to the accepted client, then ends the stream, reading and
// dropping whatever the client sends until it closes.
inline void playServer(int listenFd, const uint8_t *data, size_t size)
{
    pollfd waitAccept{listenFd, POLLIN, 0};
    if (poll(&waitAccept, 1, kPeerPatienceMs) != 1)
        return;
    const int conn = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (conn < 0)
        return;
    size_t sent = 0;
    bool ended = false;
    char sink[4096];
    for (;;) {
        if (!ended && sent == size) {
            shutdown(conn, SHUT_WR);
            ended = true;
        }
        pollfd p{conn, static_cast<short>(POLLIN | (ended ? 0 : POLLOUT)), 0};
        if (poll(&p, 1, kPeerPatienceMs) != 1)
            break;
        if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            const ssize_t n = recv(conn, sink, sizeof sink, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                break;
        }
        if (!ended && (p.revents & POLLOUT) != 0) {
            const ssize_t n = send(conn, data + sent, size - sent, MSG_NOSIGNAL);
            if (n > 0)
                sent += static_cast<size_t>(n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                break;
        }
    }
    close(conn);
}

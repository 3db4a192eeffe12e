// A hostile SMB server. The client runs the host's whole sequence (connect,
// open, size, two reads, a positional read of the whole file, close,
// disconnect) against a loopback peer whose
// byte stream is the fuzzer's input, sent as it comes and followed by the
// end of the stream. The client therefore never waits out a time-out: every
// receive finds either bytes or the peer's close.
#include <poll.h>
#include <sys/socket.h>

#include <netinet/in.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <thread>

#include "sharefetch.h"
#include "smb_tree.h"

namespace {

// Reads larger than this would only spend time filling memory.
constexpr uint32_t kMaxRead = 1u << 18;
// The session's MID is the process id, which differs from run to run; a
// fixed one lets the inputs name the MIDs of the positional read's requests
// (this one and the numbers after it).
constexpr uint16_t kSessionMid = 0x1234;
// Only a client that stopped reading and sending for this long ends the
// peer early; the client's own waits end sooner.
constexpr int kPeerPatienceMs = 20000;

struct Listener {
    int fd = -1;
    uint16_t port = 0;
};

// One listening socket for the whole run; every input is one connection.
const Listener &listener()
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
void playServer(int listenFd, const uint8_t *data, size_t size)
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

void runClient(uint16_t port)
{
    SmbSession *session = nullptr;
    if (SmbConnectAtPort("127.0.0.1", "FUZZSERVER", "\\\\FUZZSERVER\\SHARE", port, &session) != 1)
        return;
    session->mid = kSessionMid;
    SmbFile *file = nullptr;
    if (SMBOpenFile(session, "\\media\\song.mp3", 0, &file) == 1) {
        const uint32_t count = std::min(SMBGetFileSize(file), kMaxRead);
        // Exactly count bytes, so a write past the end is caught.
        auto buffer = std::make_unique<uint8_t[]>(count);
        const uint32_t first = count / 2;
        if (SMBReadFile(file, first, buffer.get()) == static_cast<int32_t>(first))
            SMBReadFile(file, count - first, buffer.get() + first);
        SMBReadFileAt(file, 0, count, buffer.get());
        SMBCloseFile(file);
    }
    SMBDisonnect(session);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const Listener &l = listener();
    std::thread server(playServer, l.fd, data, size);
    runClient(l.port);
    server.join();
    return 0;
}

// A TCP relay on loopback that holds every byte for a fixed time in each
// direction: a stand-in for a network's latency where netem is not
// available. It has no rate limit and no loss; what it does not model is
// written in docs/benchmarks.md.
//
// usage: delay_proxy LISTEN_ADDRESS:PORT TARGET_ADDRESS:PORT DELAY_MS [MAX_SECONDS]
//
// Both addresses must be loopback (127.x.x.x). Every accepted connection
// gets its own connection to the target and two relaying threads. The proxy
// prints "ready" once it listens, and ends by itself when no connection has
// been open for 30 s, after MAX_SECONDS (default 900) in any case, or on
// SIGTERM.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kReadSize = 256 * 1024;
// Bytes held per direction before the proxy stops reading: far above any
// delay times rate reached here, so it never limits the rate.
constexpr size_t kMaxHeld = 256u << 20;
constexpr int kIdleExitSeconds = 30;

std::atomic<int> openConnections{0};
std::atomic<bool> stopping{false};

struct Endpoint {
    sockaddr_in address{};
};

bool parseEndpoint(const char *text, Endpoint &out)
{
    const std::string s = text;
    const size_t colon = s.rfind(':');
    if (colon == std::string::npos)
        return false;
    out.address.sin_family = AF_INET;
    out.address.sin_port = htons(static_cast<uint16_t>(std::atoi(s.c_str() + colon + 1)));
    if (::inet_pton(AF_INET, s.substr(0, colon).c_str(), &out.address.sin_addr) != 1)
        return false;
    // Loopback only: this is a benchmark tool, not a relay for real traffic.
    return (ntohl(out.address.sin_addr.s_addr) >> 24) == 127 && out.address.sin_port != 0;
}

struct Held {
    Clock::time_point due;
    std::vector<uint8_t> bytes;
    size_t sent = 0;
};

// The wait until due (at most a second), to the microsecond: a millisecond
// poll would add up to a millisecond to every delay.
timespec waitUntil(bool any, Clock::time_point due)
{
    auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(due - Clock::now());
    if (!any || left > std::chrono::seconds(1))
        left = std::chrono::seconds(1);
    if (left.count() < 0)
        left = std::chrono::nanoseconds(0);
    return timespec{static_cast<time_t>(left.count() / 1000000000),
                    static_cast<long>(left.count() % 1000000000)};
}

// Moves bytes from one socket to the other, each sent no earlier than delay
// after it arrived. Ends when the source has ended and everything held has
// been sent, or when either side fails.
void relay(int from, int to, std::chrono::microseconds delay)
{
    std::deque<Held> held;
    size_t heldBytes = 0;
    bool ended = false;
    while (!stopping && !(ended && held.empty())) {
        const bool due = !held.empty() && held.front().due <= Clock::now();
        pollfd fds[2] = {{from, static_cast<short>(!ended && heldBytes < kMaxHeld ? POLLIN : 0), 0},
                         {to, static_cast<short>(due ? POLLOUT : 0), 0}};
        const timespec wait =
            waitUntil(!held.empty() && !due, held.empty() ? Clock::now() : held.front().due);
        if (::ppoll(fds, 2, &wait, nullptr) < 0 && errno != EINTR)
            break;
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            Held chunk{Clock::now() + delay, std::vector<uint8_t>(kReadSize)};
            const ssize_t n = ::recv(from, chunk.bytes.data(), kReadSize, MSG_DONTWAIT);
            if (n > 0) {
                chunk.bytes.resize(static_cast<size_t>(n));
                heldBytes += chunk.bytes.size();
                held.push_back(std::move(chunk));
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                ended = true;
            }
        }
        if ((fds[1].revents & (POLLERR | POLLHUP)) != 0)
            break;
        while (!held.empty() && held.front().due <= Clock::now()) {
            Held &front = held.front();
            const ssize_t n = ::send(to, front.bytes.data() + front.sent,
                                     front.bytes.size() - front.sent, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return;
            if (n <= 0)
                break;
            front.sent += static_cast<size_t>(n);
            if (front.sent < front.bytes.size())
                break;
            heldBytes -= front.bytes.size();
            held.pop_front();
        }
    }
    ::shutdown(to, SHUT_WR);
}

void serve(int client, Endpoint target, std::chrono::microseconds delay)
{
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server >= 0 &&
        ::connect(server, reinterpret_cast<const sockaddr *>(&target.address),
                  sizeof target.address) == 0) {
        const int one = 1;
        ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::thread back(relay, server, client, delay);
        relay(client, server, delay);
        back.join();
    }
    if (server >= 0)
        ::close(server);
    ::close(client);
    --openConnections;
}

int listenOn(const Endpoint &where)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd < 0 ||
        ::bind(fd, reinterpret_cast<const sockaddr *>(&where.address), sizeof where.address) != 0 ||
        ::listen(fd, 16) != 0) {
        std::perror("delay_proxy: listen");
        std::exit(1);
    }
    return fd;
}

}  // namespace

int main(int argc, char **argv)
{
    Endpoint listenAt, target;
    if (argc < 4 || !parseEndpoint(argv[1], listenAt) || !parseEndpoint(argv[2], target)) {
        std::fprintf(stderr,
                     "usage: delay_proxy LISTEN_ADDRESS:PORT TARGET_ADDRESS:PORT DELAY_MS "
                     "[MAX_SECONDS]\n  (loopback addresses only)\n");
        return 2;
    }
    const auto delay = std::chrono::microseconds(std::llround(std::atof(argv[3]) * 1000));
    const auto end = Clock::now() + std::chrono::seconds(argc > 4 ? std::atoi(argv[4]) : 900);
    std::signal(SIGTERM, [](int) { stopping = true; });
    const int listener = listenOn(listenAt);
    std::printf("ready\n");
    std::fflush(stdout);

    auto lastActive = Clock::now();
    while (!stopping && Clock::now() < end) {
        if (openConnections > 0)
            lastActive = Clock::now();
        else if (Clock::now() - lastActive > std::chrono::seconds(kIdleExitSeconds))
            break;
        pollfd p{listener, POLLIN, 0};
        if (::poll(&p, 1, 500) != 1)
            continue;
        const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        ++openConnections;
        std::thread(serve, client, target, delay).detach();
    }
    // Relays see the flag within their next second of waiting.
    stopping = true;
    ::close(listener);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    return 0;
}

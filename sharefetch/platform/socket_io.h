// Stand-in for the platform's socket layer: one IPv4 TCP stream socket,
// non-blocking for its whole life, with time-limited waits for readability
// and writability. POSIX sockets need no start, so the layer start and stop
// have nothing to do. Every failure leaves its reason in errno (ETIMEDOUT
// for a wait that ran out); socketClose leaves errno as it was.
#pragma once

#include <cstddef>
#include <cstdint>

using SocketHandle = int;
inline constexpr SocketHandle kNoSocket = -1;

// Result of socketSendPieces and socketReceive when the non-blocking socket has no
// room or no data at the moment; a wait and another try may succeed.
inline constexpr long kSocketWouldBlock = -2;

enum class SocketWait { Ready, TimedOut, Failed };
enum class SocketConnect { Connected, InProgress, Failed };

// True when sockets can be used; always the case here.
bool socketLayerStart();
void socketLayerStop();

// A new IPv4 stream socket (close-on-exec), or kNoSocket.
SocketHandle socketCreateStream();
bool socketSetNonBlocking(SocketHandle socket);
// Binds to any local address and an ephemeral port.
bool socketBindAny(SocketHandle socket);

// The IPv4 address (network byte order) of dotted-decimal text, with the
// inet_addr rules; false for text that is not an address.
bool socketAddressFromText(const char *text, uint32_t *addressOut);

// Starts connecting to address (network byte order) and port (host order).
SocketConnect socketStartConnect(SocketHandle socket, uint32_t address, uint16_t port);
// After the socket became writable: whether the pending connect succeeded.
bool socketConnectSucceeded(SocketHandle socket);

// Waits up to milliseconds for the socket to become readable (data, end of
// stream or an error to report) or writable. The whole time is waited even
// when signals interrupt the wait.
SocketWait socketWaitReadable(SocketHandle socket, int milliseconds);
SocketWait socketWaitWritable(SocketHandle socket, int milliseconds);

// Gathers count pieces into one send: bytes taken (0 only when the pieces
// hold none), kSocketWouldBlock, or -1 on error; the non-blocking socket may
// take only a leading part. A peer that has gone away gives -1, never a
// signal.
struct SocketPiece {
    const void *data;
    size_t length;
};
long socketSendPieces(SocketHandle socket, const SocketPiece *pieces, int count);
// Bytes received, 0 when the peer closed, kSocketWouldBlock, or -1 on error.
long socketReceive(SocketHandle socket, void *data, size_t length);

void socketClose(SocketHandle socket);

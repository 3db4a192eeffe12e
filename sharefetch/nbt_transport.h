// NetBIOS session service over TCP (RFC 1001/1002): buffer chains, the TCP
// connect and session request, and whole session messages framed by the
// 4-byte session header. Bodies are never copied: the header travels in a
// small buffer of its own, linked in front of the caller's chain.
#pragma once

#include <cstdint>

#include "platform/socket_io.h"

// One node of a singly linked chain of byte buffers; the order of the nodes
// is the order of the bytes on the wire. A node made with length 0 can
// borrow a caller's buffer: the caller sets data and length, and sets them
// back to null and 0 before the node is released.
struct BufChain {
    uint8_t *data;
    int32_t length;
    BufChain *next;
};

// One established NetBIOS session; the socket is non-blocking throughout.
struct NbtConnection {
    SocketHandle socket;
};

inline constexpr int32_t kNbtDefaultPort = 139;
inline constexpr int32_t kNbtHeaderLength = 4;
inline constexpr int32_t kNbtMaxBodyLength = 0x1FFFF;  // 17 bits
inline constexpr int32_t kNbtMaxSendPieces = 10;

// Session-service packet types.
inline constexpr uint8_t kNbtSessionMessage = 0x00;
inline constexpr uint8_t kNbtSessionRequest = 0x81;
inline constexpr uint8_t kNbtPositiveResponse = 0x82;
inline constexpr uint8_t kNbtNegativeResponse = 0x83;
inline constexpr uint8_t kNbtRetargetResponse = 0x84;
inline constexpr uint8_t kNbtKeepAlive = 0x85;

// Waits, in milliseconds: the connect and every packet read, and every read
// that discards surplus bytes.
inline constexpr int kNbtWaitMs = 8000;
inline constexpr int kNbtDrainWaitMs = 3000;

// Every -1 or null result below leaves its reason in errno: ETIMEDOUT (no
// data within the wait), ECONNRESET or EPIPE (connection lost; the peer's end
// of the stream counts as a reset), ECONNREFUSED (nothing listening, or the
// NetBIOS session refused), EPROTO (a packet too long for the room given, or
// not the packet type awaited), ENOMEM, EINVAL (bad arguments or address).
// Nothing here repairs a stream left out of step: the caller stops using it.

// A node with its own uninitialised buffer of length bytes, or with no
// buffer for length 0; null when memory is exhausted or length is negative.
BufChain *BufChainNew(int32_t length);
// Releases chain, every node after it and every buffer they still point to.
void BufChainFree(BufChain *chain);

// Connects to addressText:port (0 meaning 139) and establishes a NetBIOS
// session from callingName to calledName (both already upper-case). Null on
// any failure, with nothing left open.
NbtConnection *NbtOpen(const char *calledName, const char *callingName, int32_t port,
                       const char *addressText);
// Closes the socket and releases the record; accepts null. Always 0.
int32_t NbtClose(NbtConnection *connection);

// Sends length bytes of chain (at most nine buffers) as one session message.
// length + 4 on success, -1 on failure.
int32_t NbtSendMessage(NbtConnection *connection, BufChain *chain, int32_t length);
// Receives one session message into chain, whose buffers hold capacity bytes.
// The number of body bytes (0 to capacity), or -1: failure, a body longer
// than capacity, or a packet that is not a session message.
int32_t NbtReceiveMessage(NbtConnection *connection, BufChain *chain, int32_t capacity);

// The steps below are used by the calls above; they are declared for tests.

// A connected non-blocking socket, or kNoSocket.
SocketHandle NbtTcpConnect(const char *addressText, int32_t port);
// 0 when the server answered the session request positively, else -1.
int32_t NbtSessionRequest(NbtConnection *connection, const char *calledName,
                          const char *callingName);
// First-level encoding of name (first 16 bytes, space padded): 32 letters
// A-P and a 0 byte into out.
void NbtEncodeName(const char *name, uint8_t out[33]);
// Sends the first total bytes of chain (up to ten pieces); the count sent or -1.
int32_t NbtSendChain(NbtConnection *connection, BufChain *chain, int32_t total);
// Reads one packet, header first, into chain (at least 4 bytes in its first
// buffer) whose room is capacity bytes. Keep-alives are skipped. Returns
// body length + 4; 0 when the chain ended before the body and the rest was
// discarded; -1 on failure or a body longer than capacity - 4 (left unread).
int32_t NbtReceiveChain(NbtConnection *connection, BufChain *chain, uint32_t capacity);
// Reads and discards count bytes; 0, or -1 when they did not come.
int32_t NbtDrain(NbtConnection *connection, int32_t count);
// Reads exactly count bytes of the stream into data, each piece within the
// packet wait; 0, or -1 when they did not all come. For framings whose
// length field this layer does not parse (SMB2 uses 24 bits).
int32_t NbtReadExact(NbtConnection *connection, uint8_t *data, uint32_t count);
// The 4 header bytes of the next packet that is not a keep-alive; 0, or -1
// when they did not come within the waits. For readers that place the parts
// of one message themselves (a small buffer for the header words, the
// caller's memory for the data).
int32_t NbtReceivePacketHeader(NbtConnection *connection, uint8_t header[4]);

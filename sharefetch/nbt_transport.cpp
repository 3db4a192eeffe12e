#include "nbt_transport.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

inline constexpr int32_t kSessionRequestLength = 72;
inline constexpr int32_t kSessionAnswerRoom = 16;  // header and up to 12 body bytes
inline constexpr int32_t kEncodedNameLength = 32;
inline constexpr int32_t kNameCharacters = 16;
inline constexpr int32_t kDrainScratch = 100;

// Bytes read, or -1 with errno set: the peer's end of the stream counts as a
// connection reset, since a reply was still owed.
long receivedOrFailed(long n)
{
    if (n == 0)
        errno = ECONNRESET;
    return n > 0 ? n : -1;
}

// -1 with errno set to reason.
int32_t failWith(int reason)
{
    errno = reason;
    return -1;
}

// One read of at most length bytes after a readability wait; a wake-up that
// finds no data waits again. Bytes read, or -1 for a time-out, a failed wait,
// end of stream or an error.
long readAfterWait(const NbtConnection *connection, uint8_t *data, size_t length, int waitMs)
{
    for (;;) {
        if (socketWaitReadable(connection->socket, waitMs) != SocketWait::Ready)
            return -1;
        const long n = socketReceive(connection->socket, data, length);
        if (n == kSocketWouldBlock)
            continue;
        return receivedOrFailed(n);
    }
}

// Like readAfterWait, but reads first and waits only when nothing is there:
// a body usually arrives right behind its header, and a readability wait
// that would return at once is a system call for nothing.
long readBeforeWait(const NbtConnection *connection, uint8_t *data, size_t length, int waitMs)
{
    const long n = socketReceive(connection->socket, data, length);
    if (n == kSocketWouldBlock)
        return readAfterWait(connection, data, length, waitMs);
    return receivedOrFailed(n);
}

// Puts all pieces on the wire, gathered: a request and its session header
// leave in one call and one TCP segment instead of one per piece. A
// non-blocking socket may take only part; the rest follows once it is
// writable again, within the wait.
bool sendWhole(const NbtConnection *connection, SocketPiece *pieces, int32_t count)
{
    int32_t first = 0;
    while (first < count && pieces[first].length == 0)
        ++first;
    while (first < count) {
        const long n = socketSendPieces(connection->socket, pieces + first, count - first);
        if (n == kSocketWouldBlock || n == 0) {
            if (socketWaitWritable(connection->socket, kNbtWaitMs) != SocketWait::Ready)
                return false;
            continue;
        }
        if (n < 0)
            return false;
        // Step past what was taken: whole pieces, then part of the next.
        auto taken = static_cast<size_t>(n);
        while (first < count && taken >= pieces[first].length) {
            taken -= pieces[first].length;
            ++first;
        }
        if (first < count) {
            pieces[first].data = static_cast<const uint8_t *>(pieces[first].data) + taken;
            pieces[first].length -= taken;
        }
        while (first < count && pieces[first].length == 0)
            ++first;
    }
    return true;
}

// The 4 header bytes of the next packet that is not a keep-alive. TCP may
// deliver a header in pieces; each piece comes within its own wait.
bool readPacketHeader(const NbtConnection *connection, uint8_t header[4])
{
    for (;;) {
        size_t got = 0;
        while (got < kNbtHeaderLength) {
            const long n = readAfterWait(connection, header + got, kNbtHeaderLength - got,
                                         kNbtWaitMs);
            if (n < 0)
                return false;
            got += static_cast<size_t>(n);
        }
        if (header[0] != kNbtKeepAlive)
            return true;
    }
}

uint32_t bodyLength(const uint8_t header[4])
{
    return ((header[1] & 1u) << 16) | (static_cast<uint32_t>(header[2]) << 8) | header[3];
}

void writeHeader(uint8_t header[4], uint8_t type, int32_t length)
{
    const auto value = static_cast<uint32_t>(length);
    header[0] = type;
    header[1] = static_cast<uint8_t>((value >> 16) & 1u);
    header[2] = static_cast<uint8_t>(value >> 8);
    header[3] = static_cast<uint8_t>(value);
}

// First node at or after node with room to receive into.
BufChain *nextWithRoom(BufChain *node)
{
    while (node != nullptr && (node->data == nullptr || node->length <= 0))
        node = node->next;
    return node;
}

}  // namespace

BufChain *BufChainNew(int32_t length)
{
    if (length < 0) {
        errno = EINVAL;
        return nullptr;
    }
    auto *node = new (std::nothrow) BufChain{nullptr, length, nullptr};
    if (node != nullptr && length > 0) {
        node->data = static_cast<uint8_t *>(std::malloc(static_cast<size_t>(length)));
        if (node->data == nullptr) {
            delete node;
            node = nullptr;
        }
    }
    if (node == nullptr)
        errno = ENOMEM;
    return node;
}

void BufChainFree(BufChain *chain)
{
    while (chain != nullptr) {
        BufChain *next = chain->next;
        std::free(chain->data);
        delete chain;
        chain = next;
    }
}

SocketHandle NbtTcpConnect(const char *addressText, int32_t port)
{
    if (port <= 0 || port > 0xFFFF) {
        errno = EINVAL;
        return kNoSocket;
    }
    const SocketHandle socket = socketCreateStream();
    if (socket == kNoSocket)
        return kNoSocket;
    uint32_t address = 0;
    bool made = socketSetNonBlocking(socket) && socketBindAny(socket) &&
                socketAddressFromText(addressText, &address);
    if (made) {
        const SocketConnect start =
            socketStartConnect(socket, address, static_cast<uint16_t>(port));
        // A refused connect also makes the socket writable here, with the
        // error pending; only a clean one counts as made.
        made = start == SocketConnect::Connected ||
               (start == SocketConnect::InProgress &&
                socketWaitWritable(socket, kNbtWaitMs) == SocketWait::Ready &&
                socketConnectSucceeded(socket));
    }
    if (!made) {
        socketClose(socket);
        return kNoSocket;
    }
    return socket;
}

void NbtEncodeName(const char *name, uint8_t out[33])
{
    const size_t length = name != nullptr ? std::strlen(name) : 0;
    for (int32_t i = 0; i < kNameCharacters; ++i) {
        const auto byte = static_cast<size_t>(i) < length ? static_cast<uint8_t>(name[i])
                                                          : static_cast<uint8_t>(' ');
        out[2 * i] = static_cast<uint8_t>('A' + (byte >> 4));
        out[2 * i + 1] = static_cast<uint8_t>('A' + (byte & 0x0F));
    }
    out[kEncodedNameLength] = 0;
}

int32_t NbtSessionRequest(NbtConnection *connection, const char *calledName,
                          const char *callingName)
{
    BufChain *request = BufChainNew(kSessionRequestLength);
    if (request == nullptr)
        return -1;
    uint8_t *bytes = request->data;
    writeHeader(bytes, kNbtSessionRequest, kSessionRequestLength - kNbtHeaderLength);
    bytes[4] = kEncodedNameLength;
    NbtEncodeName(calledName, bytes + 5);  // its 0 byte lands at 37
    bytes[38] = kEncodedNameLength;
    NbtEncodeName(callingName, bytes + 39);  // its 0 byte lands at 71

    int32_t result = -1;
    if (NbtSendChain(connection, request, kSessionRequestLength) == kSessionRequestLength) {
        uint8_t answer[kSessionAnswerRoom];
        BufChain answerNode{answer, kSessionAnswerRoom, nullptr};
        const int32_t rc = NbtReceiveChain(connection, &answerNode, kSessionAnswerRoom);
        // The body of a negative or retarget answer is not examined.
        if (rc >= kNbtHeaderLength && answer[0] == kNbtPositiveResponse)
            result = 0;
        else if (rc >= kNbtHeaderLength)
            errno = ECONNREFUSED;
    }
    BufChainFree(request);
    return result;
}

NbtConnection *NbtOpen(const char *calledName, const char *callingName, int32_t port,
                       const char *addressText)
{
    if (port == 0)
        port = kNbtDefaultPort;
    auto *connection = new (std::nothrow) NbtConnection{kNoSocket};
    if (connection == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    connection->socket = NbtTcpConnect(addressText, port);
    if (connection->socket == kNoSocket ||
        NbtSessionRequest(connection, calledName, callingName) != 0) {
        NbtClose(connection);
        return nullptr;
    }
    return connection;
}

int32_t NbtClose(NbtConnection *connection)
{
    if (connection != nullptr) {
        socketClose(connection->socket);
        delete connection;
    }
    return 0;
}

int32_t NbtSendChain(NbtConnection *connection, BufChain *chain, int32_t total)
{
    if (total < 0)
        return failWith(EINVAL);
    SocketPiece pieces[kNbtMaxSendPieces];
    int32_t count = 0;
    int32_t sum = 0;
    for (BufChain *node = chain; node != nullptr && count < kNbtMaxSendPieces;
         node = node->next) {
        const int32_t room = node->data != nullptr && node->length > 0 ? node->length : 0;
        const int32_t take = room < total - sum ? room : total - sum;
        pieces[count++] = SocketPiece{node->data, static_cast<size_t>(take)};
        sum += take;
        if (sum == total)
            break;
    }
    if (!sendWhole(connection, pieces, count))
        return -1;
    return sum;
}

int32_t NbtSendMessage(NbtConnection *connection, BufChain *chain, int32_t length)
{
    if (connection == nullptr || length < 0 || length > kNbtMaxBodyLength)
        return failWith(EINVAL);
    uint8_t header[kNbtHeaderLength];
    writeHeader(header, kNbtSessionMessage, length);
    BufChain headerNode{header, kNbtHeaderLength, chain};
    const int32_t rc = NbtSendChain(connection, &headerNode, length + kNbtHeaderLength);
    // A chain shorter than length would leave the stream out of frame.
    if (rc >= 0 && rc != length + kNbtHeaderLength)
        return failWith(EINVAL);
    return rc;
}

int32_t NbtReceiveChain(NbtConnection *connection, BufChain *chain, uint32_t capacity)
{
    if (capacity < kNbtHeaderLength || connection == nullptr || chain == nullptr ||
        chain->data == nullptr || chain->length < kNbtHeaderLength)
        return failWith(EINVAL);
    uint8_t header[kNbtHeaderLength];
    if (!readPacketHeader(connection, header))
        return -1;
    std::memcpy(chain->data, header, kNbtHeaderLength);
    const uint32_t length = bodyLength(header);
    if (length == 0)
        return kNbtHeaderLength;
    if (length > capacity - kNbtHeaderLength)
        return failWith(EPROTO);  // the body stays in the stream

    const uint32_t expected = length + kNbtHeaderLength;
    uint32_t total = kNbtHeaderLength;
    BufChain *node = chain;
    uint32_t position = kNbtHeaderLength;
    if (chain->length == kNbtHeaderLength) {
        node = nextWithRoom(chain->next);
        position = 0;
    }
    while (node != nullptr && total < expected) {
        const uint32_t room = static_cast<uint32_t>(node->length) - position;
        const uint32_t missing = expected - total;
        const long n = readBeforeWait(connection, node->data + position,
                                      missing < room ? missing : room, kNbtWaitMs);
        if (n < 0)
            return -1;
        total += static_cast<uint32_t>(n);
        position += static_cast<uint32_t>(n);
        if (position == static_cast<uint32_t>(node->length)) {
            node = nextWithRoom(node->next);
            position = 0;
        }
    }
    if (total < expected)
        return NbtDrain(connection, static_cast<int32_t>(expected - total));
    return static_cast<int32_t>(expected);
}

int32_t NbtReceiveMessage(NbtConnection *connection, BufChain *chain, int32_t capacity)
{
    if (capacity < 0)
        return failWith(EINVAL);
    uint8_t header[kNbtHeaderLength];
    BufChain headerNode{header, kNbtHeaderLength, chain};
    const int32_t rc = NbtReceiveChain(connection, &headerNode,
                                       static_cast<uint32_t>(capacity) + kNbtHeaderLength);
    if (rc < 0)
        return -1;
    // Drained (a body longer than the chain) or not a session message.
    if (rc < kNbtHeaderLength || header[0] != kNbtSessionMessage)
        return failWith(EPROTO);
    return rc - kNbtHeaderLength;
}

int32_t NbtDrain(NbtConnection *connection, int32_t count)
{
    uint8_t scratch[kDrainScratch];
    while (count > 0) {
        const size_t want = count < kDrainScratch ? static_cast<size_t>(count) : kDrainScratch;
        const long n = readAfterWait(connection, scratch, want, kNbtDrainWaitMs);
        if (n < 0)
            return -1;
        count -= static_cast<int32_t>(n);
    }
    return 0;
}

int32_t NbtReadExact(NbtConnection *connection, uint8_t *data, uint32_t count)
{
    if (connection == nullptr)
        return failWith(EINVAL);
    uint32_t got = 0;
    while (got < count) {
        const long n = readBeforeWait(connection, data + got, count - got, kNbtWaitMs);
        if (n < 0)
            return -1;
        got += static_cast<uint32_t>(n);
    }
    return 0;
}

int32_t NbtReceivePacketHeader(NbtConnection *connection, uint8_t header[4])
{
    // Read first: behind a reply to one of several requests on the wire the
    // next one is usually there already.
    do {
        if (NbtReadExact(connection, header, kNbtHeaderLength) != 0)
            return -1;
    } while (header[0] == kNbtKeepAlive);
    return 0;
}

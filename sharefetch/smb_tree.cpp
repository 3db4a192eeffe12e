#include "smb_tree.h"

#include <cstring>
#include <new>

#include "platform/socket_io.h"
#include "sharefetch.h"

namespace {

inline constexpr int32_t kTreeConnectWordCount = 4;
inline constexpr int32_t kTreeConnectFixedLength = 43;  // up to the data bytes
inline constexpr int32_t kTreeConnectMinReply = 42;

void copyCut(char *out, size_t room, const char *text)
{
    std::strncpy(out, text, room - 1);
    out[room - 1] = '\0';
}

bool acceptTreeConnectReply(const uint8_t *reply, int32_t n)
{
    // Checked in this order; a field the reply did not carry fails its check.
    if (n <= kSmbErrorClassOffset || reply[kSmbErrorClassOffset] != 0)
        return false;
    if (reply[kSmbCommandOffset] != kSmbComTreeConnectAndX)
        return false;
    if (n <= kSmbFlagsOffset || (reply[kSmbFlagsOffset] & kSmbFlagReply) == 0)
        return false;
    if (n < kTreeConnectMinReply)
        return false;
    const uint8_t wordCount = reply[kSmbWordCountOffset];
    return wordCount == 2 || wordCount == 3;
}

bool acceptTreeDisconnectReply(const uint8_t *reply, int32_t n)
{
    return n == kSmbTreeDisconnectLength && reply[kSmbErrorClassOffset] == 0 &&
           reply[kSmbCommandOffset] == kSmbComTreeDisconnect &&
           (reply[kSmbFlagsOffset] & kSmbFlagReply) != 0 && reply[kSmbWordCountOffset] == 0;
}

void appendTree(SmbSession *session, SmbTree *tree)
{
    if (session->treeListTail == nullptr) {
        session->treeListHead = tree;
    } else {
        session->treeListTail->next = tree;
        tree->prev = session->treeListTail;
    }
    session->treeListTail = tree;
}

}  // namespace

SmbTree *SmbTreeConnect(SmbSession *session, const char *sharePath, const char *service)
{
    if (session == nullptr || sharePath == nullptr || service == nullptr)
        return nullptr;
    const size_t pathLength = std::strlen(sharePath);
    const size_t serviceLength = std::strlen(service);
    // The message is 46 + Lp + Ls bytes; it has to fit the buffer.
    constexpr size_t kMaxNames = kSmbTreeConnectBufferSize - 46;
    if (pathLength > kMaxNames || serviceLength > kMaxNames - pathLength)
        return nullptr;
    const auto byteCount = static_cast<int32_t>(pathLength + serviceLength + 3);

    auto *tree = new (std::nothrow) SmbTree{};
    BufChain *buffer = BufChainNew(kSmbTreeConnectBufferSize);
    if (tree == nullptr || buffer == nullptr) {
        delete tree;
        BufChainFree(buffer);
        return nullptr;
    }
    tree->session = session;
    copyCut(tree->sharePath, sizeof tree->sharePath, sharePath);
    copyCut(tree->service, sizeof tree->service, service);

    uint8_t *bytes = buffer->data;
    std::memset(bytes, 0, kSmbTreeConnectBufferSize);
    SmbFillHeader(bytes, kSmbComTreeConnectAndX, session, 0);
    bytes[32] = kTreeConnectWordCount;
    bytes[33] = kSmbNoAndX;
    SmbPut16(bytes + 39, 1);  // password length: one 0 byte
    SmbPut16(bytes + 41, static_cast<uint32_t>(byteCount));
    std::memcpy(bytes + 44, sharePath, pathLength + 1);
    std::memcpy(bytes + 45 + pathLength, service, serviceLength + 1);

    bool connected = false;
    if (NbtSendMessage(session->transport, buffer, kTreeConnectFixedLength + byteCount) >= 0) {
        const int32_t n =
            NbtReceiveMessage(session->transport, buffer, kSmbTreeConnectBufferSize);
        connected = n >= 0 && acceptTreeConnectReply(bytes, n);
    }
    if (!connected) {
        BufChainFree(buffer);
        delete tree;
        return nullptr;
    }
    tree->tid = SmbGet16(bytes + kSmbTidOffset);
    appendTree(session, tree);
    BufChainFree(buffer);
    return tree;
}

void SmbTreeRelease(SmbTree *tree)
{
    SmbSession *session = tree->session;
    if (tree->prev == nullptr)
        session->treeListHead = tree->next;
    else
        tree->prev->next = tree->next;
    if (tree->next == nullptr)
        session->treeListTail = tree->prev;
    else
        tree->next->prev = tree->prev;
    delete tree;
}

int32_t SmbTreeDisconnect(SmbTree *tree)
{
    if (tree == nullptr)
        return -1;
    SmbSession *session = tree->session;
    BufChain *buffer = BufChainNew(kSmbTreeDisconnectBufferSize);
    if (buffer == nullptr)
        return -1;
    uint8_t *bytes = buffer->data;
    std::memset(bytes, 0, kSmbTreeDisconnectBufferSize);
    SmbFillHeader(bytes, kSmbComTreeDisconnect, session, static_cast<uint16_t>(tree->tid));
    // Word count 0 and byte count 0 stay zero.

    bool confirmed = false;
    if (NbtSendMessage(session->transport, buffer, kSmbTreeDisconnectLength) >= 0) {
        const int32_t n =
            NbtReceiveMessage(session->transport, buffer, kSmbTreeDisconnectBufferSize);
        confirmed = n >= 0 && acceptTreeDisconnectReply(bytes, n);
    }
    BufChainFree(buffer);
    if (!confirmed)
        return -1;
    SmbTreeRelease(tree);
    return 1;
}

int32_t SmbConnectAtPort(const char *serverAddress, const char *serverName,
                         const char *sharePath, int32_t port, SmbSession **sessionOut)
{
    if (sessionOut == nullptr)
        return 0;
    *sessionOut = nullptr;
    if (serverAddress == nullptr || serverName == nullptr)
        return 0;
    SmbSession *session = SmbSessionCreateAtPort(serverName, serverAddress, port);
    *sessionOut = session;
    if (session == nullptr)
        return 0;
    session->currentTree = SmbTreeConnect(session, sharePath, kSmbDiskService);
    // A second logon whose outcome does not matter: on success its UID
    // replaces the first one for every later request.
    (void)SmbSessionSetup(session);
    return 1;
}

extern "C" {

int32_t SMBStartup(void) { return socketLayerStart() ? 0 : 1; }

int32_t SMBShutdown(void)
{
    socketLayerStop();
    return 1;
}

int32_t SMBConnect(const char *serverAddress, const char *serverName, const char *sharePath,
                   SmbSession **sessionOut)
{
    return SmbConnectAtPort(serverAddress, serverName, sharePath, 0, sessionOut);
}

int32_t SMBDisonnect(SmbSession *session)
{
    if (session == nullptr)
        return 0;
    SmbTree *tree = session->currentTree;
    // The host treats the session as gone whatever the server answers, so a
    // tree the server would not disconnect is released all the same.
    if (tree != nullptr && SmbTreeDisconnect(tree) != 1)
        SmbTreeRelease(tree);
    session->currentTree = nullptr;
    SmbSessionFree(session);
    return 1;
}

}  // extern "C"

#include "smb_tree.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "platform/socket_io.h"
#include "sharefetch.h"

namespace {

// TREE_CONNECT_ANDX request: word count 4, an empty password, the share
// path (at an even offset, as a Unicode one must be) and the service, which
// is ASCII always.
namespace tree_connect {
inline constexpr int32_t kWordCount = 4;
inline constexpr int32_t kAndXCommand = 33;
inline constexpr int32_t kPasswordLength = 39;
inline constexpr int32_t kByteCount = 41;
inline constexpr int32_t kPassword = 43;
inline constexpr int32_t kPath = 44;
}  // namespace tree_connect
inline constexpr int32_t kTreeConnectMinReply = 42;

// Length of the TREE_CONNECT_ANDX request for name and service.
size_t treeConnectLength(const SmbName &name, size_t serviceLength)
{
    return tree_connect::kPath + name.length + serviceLength + 1;
}

void writeTreeConnect(uint8_t *bytes, const SmbSession *session, const SmbName &name,
                      const char *service, size_t serviceLength)
{
    using namespace tree_connect;
    std::memset(bytes, 0, kSmbTreeConnectBufferSize);
    SmbFillHeader(bytes, kSmbComTreeConnectAndX, session, 0);
    SmbPut16(bytes + kSmbFlags2Offset, SmbNameFlags2(name));
    bytes[kSmbWordCountOffset] = kWordCount;
    bytes[kAndXCommand] = kSmbNoAndX;
    SmbPut16(bytes + kPasswordLength, 1);  // one 0 byte
    const size_t length = treeConnectLength(name, serviceLength);
    SmbPut16(bytes + kByteCount, static_cast<uint32_t>(length - kPassword));
    bytes[kPassword] = 0;
    SmbPutName(bytes + kPath, name);
    std::memcpy(bytes + kPath + name.length, service, serviceLength + 1);
}

void copyCut(char *out, size_t room, const char *text)
{
    std::strncpy(out, text, room - 1);
    out[room - 1] = '\0';
}

// A refused share is EACCES whatever status the server gave.
bool acceptTreeConnectReply(SmbSession *session, const uint8_t *reply, int32_t n)
{
    const int32_t check = SmbCheckReply(session, reply, n, kSmbComTreeConnectAndX);
    if (check <= 0) {
        if (check == 0)
            errno = EACCES;
        return false;
    }
    const uint8_t wordCount = reply[kSmbWordCountOffset];
    if (n < kTreeConnectMinReply || (wordCount != 2 && wordCount != 3)) {
        SmbSessionBreak(session, EPROTO);
        return false;
    }
    return true;
}

bool acceptTreeDisconnectReply(SmbSession *session, const uint8_t *reply, int32_t n)
{
    if (SmbCheckReply(session, reply, n, kSmbComTreeDisconnect) != 1)
        return false;
    if (n != kSmbTreeDisconnectLength || reply[kSmbWordCountOffset] != 0) {
        SmbSessionBreak(session, EPROTO);
        return false;
    }
    return true;
}

// Releases the session's tree and the session, without a message.
void releaseSession(SmbSession *session)
{
    if (session->currentTree != nullptr)
        SmbTreeRelease(session->currentTree);
    session->currentTree = nullptr;
    SmbSessionFree(session);
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
    if (session == nullptr || sharePath == nullptr || service == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    if (!SmbSessionUsable(session))
        return nullptr;
    const SmbName name = SmbNameOnWire(session, sharePath);
    const size_t serviceLength = std::strlen(service);
    // The request has to fit the buffer; the sum cannot wrap for strings in
    // memory.
    const size_t requestLength = treeConnectLength(name, serviceLength);
    if (requestLength > kSmbTreeConnectBufferSize) {
        errno = ENAMETOOLONG;
        return nullptr;
    }

    auto *tree = new (std::nothrow) SmbTree{};
    BufChain *buffer = BufChainNew(kSmbTreeConnectBufferSize);
    if (tree == nullptr || buffer == nullptr) {
        delete tree;
        BufChainFree(buffer);
        errno = ENOMEM;
        return nullptr;
    }
    tree->session = session;
    copyCut(tree->sharePath, sizeof tree->sharePath, sharePath);
    copyCut(tree->service, sizeof tree->service, service);

    uint8_t *bytes = buffer->data;
    writeTreeConnect(bytes, session, name, service, serviceLength);
    const int32_t n = SmbExchange(session, buffer, static_cast<int32_t>(requestLength), buffer,
                                  kSmbTreeConnectBufferSize);
    if (n < 0 || !acceptTreeConnectReply(session, bytes, n)) {
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
    if (tree == nullptr) {
        errno = EINVAL;
        return -1;
    }
    SmbSession *session = tree->session;
    if (!SmbSessionUsable(session))
        return -1;
    BufChain *buffer = BufChainNew(kSmbTreeDisconnectBufferSize);
    if (buffer == nullptr)
        return -1;
    uint8_t *bytes = buffer->data;
    std::memset(bytes, 0, kSmbTreeDisconnectBufferSize);
    SmbFillHeader(bytes, kSmbComTreeDisconnect, session, static_cast<uint16_t>(tree->tid));
    // Word count 0 and byte count 0 stay zero.

    const int32_t n = SmbExchange(session, buffer, kSmbTreeDisconnectLength, buffer,
                                  kSmbTreeDisconnectBufferSize);
    const bool confirmed = n >= 0 && acceptTreeDisconnectReply(session, bytes, n);
    BufChainFree(buffer);
    if (!confirmed)
        return -1;
    SmbTreeRelease(tree);
    return 1;
}

int32_t SmbConnectAtPort(const char *serverAddress, const char *serverName,
                         const char *sharePath, int32_t port, SmbSession **sessionOut)
{
    const int callerErrno = errno;
    if (sessionOut == nullptr) {
        errno = EINVAL;
        return 0;
    }
    *sessionOut = nullptr;
    if (serverAddress == nullptr || serverName == nullptr) {
        errno = EINVAL;
        return 0;
    }
    SmbSession *session = SmbSessionCreateAtPort(serverName, serverAddress, port);
    if (session == nullptr)
        return 0;
    session->currentTree = SmbTreeConnect(session, sharePath, kSmbDiskService);
    if (session->currentTree == nullptr)
        session->treeConnectErrno = errno;
    // A second logon whose outcome does not matter: on success its UID
    // replaces the first one for every later request.
    (void)SmbSessionSetup(session);
    // A share refused in good order is reported by the opens; a connection
    // that lost step here is of no use to the host.
    if (session->broken != 0) {
        const int reason = session->broken;
        releaseSession(session);
        errno = reason;
        return 0;
    }
    *sessionOut = session;
    errno = callerErrno;
    return 1;
}

int32_t Smb1Disconnect(SmbSession *session)
{
    if (session == nullptr) {
        errno = EINVAL;
        return 0;
    }
    const int callerErrno = errno;
    // The host treats the session as gone whatever the server answers, so a
    // tree the server would not disconnect is released all the same. On a
    // broken session nothing is sent.
    if (session->currentTree != nullptr && SmbTreeDisconnect(session->currentTree) == 1)
        session->currentTree = nullptr;
    releaseSession(session);
    errno = callerErrno;
    return 1;
}

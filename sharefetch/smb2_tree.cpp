#include "smb2_tree.h"

#include <cerrno>
#include <cstring>

namespace {

// TREE_CONNECT request: the path follows the fixed part.
inline constexpr uint16_t kTreeConnectStructureSize = 9;
inline constexpr uint32_t kTreeConnectPathOffsetAt = 68;
inline constexpr uint32_t kTreeConnectPathLengthAt = 70;
inline constexpr uint32_t kTreeConnectPathAt = 72;
inline constexpr uint32_t kTreeConnectPathRoom = 1024;
// TREE_CONNECT reply.
inline constexpr uint16_t kTreeConnectReplyStructureSize = 16;
inline constexpr uint32_t kTreeConnectReplyShareFlagsAt = 68;
inline constexpr uint32_t kTreeConnectReplyLength = 80;
inline constexpr uint32_t kShareFlagEncrypt = 0x00000008;
// TREE_DISCONNECT request and reply: structure size 4, two reserved bytes.
inline constexpr uint16_t kTreeDisconnectStructureSize = 4;
inline constexpr uint32_t kTreeDisconnectLength = 68;

}  // namespace

int32_t Smb2TreeConnect(Smb2Session *session, const char *sharePath)
{
    uint8_t request[kTreeConnectPathAt + kTreeConnectPathRoom];
    const int32_t pathLength = sharePath == nullptr
                                   ? -1
                                   : Smb2PutUtf16(sharePath, request + kTreeConnectPathAt,
                                                  kTreeConnectPathRoom);
    if (pathLength <= 0) {
        session->treeErrno = EINVAL;
        errno = EINVAL;
        return -1;
    }
    Smb2WriteHeader(request, kSmb2TreeConnect);
    std::memset(request + kSmb2HeaderLength, 0, kTreeConnectPathAt - kSmb2HeaderLength);
    SmbPut16(request + kSmb2HeaderLength, kTreeConnectStructureSize);
    SmbPut16(request + kTreeConnectPathOffsetAt, kTreeConnectPathAt);
    SmbPut16(request + kTreeConnectPathLengthAt, static_cast<uint32_t>(pathLength));

    uint8_t reply[kTreeConnectReplyLength + 64];
    Smb2Header header{};
    const int32_t n = Smb2Exchange(session, request, kTreeConnectPathAt + static_cast<uint32_t>(pathLength), reply,
                                   sizeof reply, &header);
    int reason = 0;
    if (n < 0)
        reason = errno;
    else if (header.status != kStatusSuccess)
        reason = Smb2StatusErrno(header.status);
    else if (n < static_cast<int32_t>(kTreeConnectReplyLength) ||
             header.command != kSmb2TreeConnect ||
             SmbGet16(reply + kSmb2HeaderLength) != kTreeConnectReplyStructureSize)
        reason = EPROTO;
    // Reads from a share that wants encryption would be refused one by one.
    else if ((SmbGet32(reply + kTreeConnectReplyShareFlagsAt) & kShareFlagEncrypt) != 0)
        reason = EPERM;
    session->treeErrno = reason;
    if (reason != 0) {
        errno = reason;
        return -1;
    }
    session->treeId = header.treeId;
    return 0;
}

int32_t Smb2TreeDisconnect(Smb2Session *session)
{
    uint8_t request[kTreeDisconnectLength];
    uint8_t reply[kTreeDisconnectLength + 64];
    Smb2WriteHeader(request, kSmb2TreeDisconnect);
    SmbPut16(request + kSmb2HeaderLength, kTreeDisconnectStructureSize);
    SmbPut16(request + kSmb2HeaderLength + 2, 0);
    Smb2Header header{};
    const int32_t n = Smb2Exchange(session, request, sizeof request, reply, sizeof reply, &header);
    return n >= 0 && header.status == kStatusSuccess ? 0 : -1;
}

Smb2Session *Smb2ConnectAtPort(const char *serverAddress, const char *serverName,
                               const char *sharePath, int32_t port)
{
    Smb2Session *session = Smb2SessionCreateAtPort(serverName, serverAddress, port);
    if (session == nullptr)
        return nullptr;
    const int saved = errno;
    // A refused share still leaves a session, as on SMB1, and the opens
    // report it; a connection that lost step here is of no use.
    (void)Smb2TreeConnect(session, sharePath);
    if (session->broken != 0) {
        const int reason = session->broken;
        Smb2SessionFree(session);
        errno = reason;
        return nullptr;
    }
    errno = saved;
    return session;
}

void Smb2Disconnect(Smb2Session *session)
{
    if (session == nullptr)
        return;
    const int saved = errno;
    if (session->treeErrno == 0 && !session->broken)
        (void)Smb2TreeDisconnect(session);
    Smb2SessionFree(session);
    errno = saved;
}

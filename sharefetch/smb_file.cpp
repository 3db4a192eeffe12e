#include "smb_file.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "sharefetch.h"

namespace {

inline constexpr int32_t kOpenWordCount = 2;
inline constexpr int32_t kOpenReplyWordCount = 7;  // up to the access granted
inline constexpr uint16_t kOpenReadDenyNone = 0x0040;
inline constexpr uint8_t kStringBufferFormat = 0x04;
inline constexpr uint32_t kMaxPathLength = 0xFFFF - 2;  // BC = L + 2 has 16 bits

inline constexpr int32_t kReadRawWordCount = 8;
inline constexpr uint8_t kReadRawFlags = 0x08;    // case-insensitive path names
inline constexpr uint16_t kReadRawFlags2 = 0x0001;  // long names allowed
inline constexpr uint32_t kNoTimeout = 0xFFFFFFFF;
inline constexpr uint32_t kMaxReadCount = 0x7FFFFFFF;  // the result is signed 32-bit
inline constexpr uint32_t kRawSizeLimit = 0x10000;

inline constexpr int32_t kCloseWordCount = 3;
inline constexpr uint16_t kNoFid = 0xFFFF;

// Chunk size for the session's raw size: MaxCount has 16 bits; 0 when the
// server allows no raw reads.
uint32_t rawChunkLimit(const SmbSession *session)
{
    return session->maxRawSize >= kRawSizeLimit ? kSmbMaxRawChunk : session->maxRawSize;
}

void buildReadRaw(uint8_t *bytes, const SmbFile *file)
{
    std::memset(bytes, 0, kSmbReadRawRequestLength);
    SmbFillHeader(bytes, kSmbComReadRaw, file->tree->session,
                  static_cast<uint16_t>(file->tree->tid));
    bytes[kSmbFlagsOffset] = kReadRawFlags;
    SmbPut16(bytes + kSmbFlags2Offset, kReadRawFlags2);
    bytes[32] = kReadRawWordCount;
    SmbPut16(bytes + 33, file->fid);
}

void setReadRawChunk(uint8_t *bytes, uint32_t offset, uint32_t chunk)
{
    SmbPut32(bytes + 35, offset);
    SmbPut16(bytes + 39, chunk);    // MaxCount
    SmbPut16(bytes + 41, 0);        // MinCount
    SmbPut32(bytes + 43, kNoTimeout);
    SmbPut16(bytes + 49, 0);        // byte count
}

// Sends the request and receives one chunk straight into its place in the
// caller's buffer through the borrowing node. 0, or an SMB_READ_* code. A
// raw reply carries no header to tell whose it is, so any reply but the
// whole chunk breaks the session: a retry could otherwise take a late one.
int32_t readChunk(SmbFile *file, BufChain *request, BufChain *window, uint8_t *at,
                  uint32_t chunk)
{
    SmbSession *session = file->tree->session;
    setReadRawChunk(request->data, file->readOffset, chunk);
    if (SmbSendRequest(session, request, kSmbReadRawRequestLength) < 0)
        return SMB_READ_SEND_FAILED;
    // The raw data comes as a bare session message, without an SMB header.
    window->data = at;
    window->length = static_cast<int32_t>(chunk);
    const int32_t n = SmbReceiveReply(session, window, static_cast<int32_t>(chunk));
    window->data = nullptr;
    window->length = 0;
    if (n == static_cast<int32_t>(chunk))
        return 0;
    // Shorter or empty: the server could not give the chunk (past the end of
    // the file, or raw reads refused).
    if (n >= 0)
        SmbSessionBreak(session, EIO);
    return SMB_READ_BAD_REPLY;
}

// The OPEN reply of n bytes, checked; a refusal leaves the server's reason.
bool acceptOpenReply(SmbSession *session, const uint8_t *reply, int32_t n)
{
    const int32_t check = SmbCheckReply(session, reply, n, kSmbComOpen);
    if (check <= 0)
        return false;
    if (reply[kSmbWordCountOffset] < kOpenReplyWordCount) {
        SmbSessionBreak(session, EPROTO);
        return false;
    }
    return true;
}

bool acceptCloseReply(SmbSession *session, const uint8_t *reply, int32_t n)
{
    return SmbCheckReply(session, reply, n, kSmbComClose) == 1;
}

}  // namespace

SmbFile *SmbOpen(SmbTree *tree, const char *path)
{
    if (tree == nullptr || path == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    if (!SmbSessionUsable(tree->session))
        return nullptr;
    const size_t pathLength = std::strlen(path);
    if (pathLength > kMaxPathLength) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    auto *file = new (std::nothrow) SmbFile{};
    if (file == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    std::strncpy(file->path, path, sizeof file->path - 1);
    file->fid = kNoFid;
    file->tree = tree;

    const auto length = static_cast<int32_t>(pathLength);
    const int32_t requestLength = length + kSmbOpenFixedLength;
    // The buffer also takes the 49-byte reply.
    const int32_t size = requestLength > 49 ? requestLength : 49;
    BufChain *buffer = BufChainNew(size);
    if (buffer == nullptr) {
        delete file;
        return nullptr;
    }
    uint8_t *bytes = buffer->data;
    std::memset(bytes, 0, 39);
    SmbFillHeader(bytes, kSmbComOpen, tree->session, static_cast<uint16_t>(tree->tid));
    bytes[32] = kOpenWordCount;
    SmbPut16(bytes + 33, kOpenReadDenyNone);
    SmbPut16(bytes + 35, 0);  // search attributes
    SmbPut16(bytes + 37, static_cast<uint32_t>(length + 2));
    bytes[39] = kStringBufferFormat;
    std::memcpy(bytes + 40, path, pathLength + 1);

    const int32_t n = SmbExchange(tree->session, buffer, requestLength, buffer, size);
    if (n < 0 || !acceptOpenReply(tree->session, bytes, n)) {
        BufChainFree(buffer);
        delete file;
        return nullptr;
    }
    file->fid = SmbGet16(bytes + 33);
    file->lastWriteTime = SmbGet32(bytes + 37);
    file->fileSize = SmbGet32(bytes + 41);
    file->grantedAccess = SmbGet16(bytes + 45);
    file->readOffset = 0;
    BufChainFree(buffer);
    return file;
}

int32_t SmbSetReadOffset(SmbFile *file, uint32_t offset)
{
    if (file == nullptr)
        return -1;
    file->readOffset = offset == 0xFFFFFFFF ? 0 : offset;
    return 0;
}

int32_t SmbReadRaw(SmbFile *file, uint8_t *buffer, uint32_t count)
{
    if (file == nullptr) {
        errno = EINVAL;
        return SMB_READ_BAD_ARGUMENT;
    }
    if (!SmbSessionUsable(file->tree->session))
        return SMB_READ_BAD_REPLY;
    if (count == 0)
        return 0;
    if (buffer == nullptr || count > kMaxReadCount) {
        errno = EINVAL;
        return SMB_READ_BAD_ARGUMENT;
    }
    // The offset field has 32 bits: a read that went past its end would
    // silently wrap round to the start of the file.
    if (static_cast<uint64_t>(file->readOffset) + count > 0xFFFFFFFFu) {
        errno = EINVAL;
        return SMB_READ_BAD_ARGUMENT;
    }
    const uint32_t limit = rawChunkLimit(file->tree->session);
    if (limit == 0) {
        errno = EOPNOTSUPP;
        return SMB_READ_NO_RAW_SIZE;
    }

    BufChain *window = BufChainNew(0);
    if (window == nullptr)
        return SMB_READ_NO_RECEIVE_NODE;
    BufChain *request = BufChainNew(kSmbReadRawRequestLength);
    if (request == nullptr) {
        BufChainFree(window);
        return SMB_READ_NO_REQUEST_NODE;
    }
    buildReadRaw(request->data, file);

    int32_t result = 0;
    uint32_t total = 0;
    while (total < count) {
        const uint32_t remaining = count - total;
        const uint32_t chunk = remaining < limit ? remaining : limit;
        result = readChunk(file, request, window, buffer + total, chunk);
        if (result < 0)
            break;
        file->readOffset += chunk;
        total += chunk;
    }
    BufChainFree(request);
    BufChainFree(window);
    return result < 0 ? result : static_cast<int32_t>(total);
}

int32_t SmbClose(SmbFile *file)
{
    if (file == nullptr) {
        errno = EINVAL;
        return -1;
    }
    SmbSession *session = file->tree->session;
    if (!SmbSessionUsable(session))
        return -1;
    BufChain *buffer = BufChainNew(kSmbCloseLength);
    if (buffer == nullptr)
        return -1;
    uint8_t *bytes = buffer->data;
    std::memset(bytes, 0, kSmbCloseLength);
    SmbFillHeader(bytes, kSmbComClose, file->tree->session,
                  static_cast<uint16_t>(file->tree->tid));
    bytes[32] = kCloseWordCount;
    SmbPut16(bytes + 33, file->fid);
    // Last write time 0 (the server keeps its own) and byte count 0.

    const int32_t n = SmbExchange(session, buffer, kSmbCloseLength, buffer, kSmbCloseLength);
    const bool closed = n >= 0 && acceptCloseReply(session, bytes, n);
    BufChainFree(buffer);
    if (!closed)
        return -1;
    delete file;
    return 0;
}

int32_t Smb1OpenFile(SmbSession *session, const char *path, uint32_t startOffset,
                    SmbFile **fileOut)
{
    if (fileOut == nullptr) {
        errno = EINVAL;
        return 0;
    }
    *fileOut = nullptr;
    if (!SmbSessionUsable(session))
        return 0;
    if (session->currentTree == nullptr) {
        errno = session->treeConnectErrno != 0 ? session->treeConnectErrno : EACCES;
        return 0;
    }
    SmbFile *file = SmbOpen(session->currentTree, path);
    *fileOut = file;
    if (file == nullptr)
        return 0;
    SmbSetReadOffset(file, startOffset);
    return 1;
}

int32_t Smb1ReadFile(SmbFile *file, uint32_t count, void *buffer)
{
    return SmbReadRaw(file, static_cast<uint8_t *>(buffer), count);
}

uint32_t Smb1GetFileSize(SmbFile *file) { return file != nullptr ? file->fileSize : 0; }

int32_t Smb1CloseFile(SmbFile *file)
{
    if (file == nullptr) {
        errno = EINVAL;
        return 0;
    }
    const int callerErrno = errno;
    // The host treats the handle as gone whatever the server answers; on a
    // broken session nothing is sent.
    if (SmbClose(file) != 0)
        delete file;
    errno = callerErrno;
    return 1;
}

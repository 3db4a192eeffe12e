#include "smb_file.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "sharefetch.h"
#include "smb_file_info.h"

namespace {

// OPEN request (word count 2, the path as a string) and reply (word count
// 7 up to the access granted).
namespace open_request {
inline constexpr int32_t kWordCount = 2;
inline constexpr int32_t kAccessMode = 33;
inline constexpr int32_t kSearchAttributes = 35;
inline constexpr int32_t kByteCount = 37;
inline constexpr int32_t kBufferFormat = 39;
inline constexpr int32_t kFileName = 40;
inline constexpr uint16_t kReadDenyNone = 0x0040;
inline constexpr uint8_t kStringFormat = 0x04;
inline constexpr uint8_t kFlags = 0x08;  // case-insensitive path names
inline constexpr size_t kMaxNameBytes = 0xFFFF - 1;  // BC = 1 + name has 16 bits
}  // namespace open_request
namespace open_reply {
inline constexpr int32_t kWordCount = 7;
inline constexpr int32_t kFid = 33;
inline constexpr int32_t kLastWriteTime = 37;
inline constexpr int32_t kFileSize = 41;
inline constexpr int32_t kGrantedAccess = 45;
inline constexpr int32_t kLength = 49;
}  // namespace open_reply

// READ_RAW request: word count 8, or 10 with the offset's high part where
// the byte count would be.
namespace read_raw {
inline constexpr int32_t kWordCount = 8;
inline constexpr int32_t kLargeWordCount = 10;
inline constexpr int32_t kFid = 33;
inline constexpr int32_t kOffset = 35;
inline constexpr int32_t kMaxCount = 39;
inline constexpr int32_t kMinCount = 41;
inline constexpr int32_t kTimeout = 43;
inline constexpr int32_t kByteCount = 49;
inline constexpr int32_t kOffsetHigh = 49;
inline constexpr int32_t kLargeByteCount = 53;
inline constexpr uint8_t kFlags = 0x08;      // case-insensitive path names
inline constexpr uint16_t kFlags2 = 0x0001;  // long names allowed
inline constexpr uint32_t kNoTimeout = 0xFFFFFFFF;
}  // namespace read_raw

// CLOSE request: word count 3, FID and a last write time of 0 (the server
// keeps its own).
namespace close_request {
inline constexpr int32_t kWordCount = 3;
inline constexpr int32_t kFid = 33;
}  // namespace close_request

inline constexpr uint32_t kMaxReadCount = 0x7FFFFFFF;  // the result is signed 32-bit
inline constexpr uint32_t kRawSizeLimit = 0x10000;
inline constexpr uint16_t kNoFid = 0xFFFF;
// Where a range may end: the 32-bit offset field's end, or the server's
// signed 64-bit offsets with large files.
inline constexpr uint64_t kSmallFileEnd = 1ull << 32;
inline constexpr uint64_t kLargeFileEnd = 0x7FFFFFFFFFFFFFFFull;

bool offersLargeFiles(const SmbSession *session)
{
    return (session->capabilities & kSmbCapLargeFiles) != 0;
}

// Chunk size for the session's raw size: MaxCount has 16 bits; 0 when the
// server allows no raw reads.
uint32_t rawChunkLimit(const SmbSession *session)
{
    return session->maxRawSize >= kRawSizeLimit ? kSmbMaxRawChunk : session->maxRawSize;
}

// Names match without regard to case, as on a Windows share. The file name
// starts at an even offset, as a Unicode one must.
void writeOpen(uint8_t *bytes, const SmbTree *tree, const SmbName &name)
{
    using namespace open_request;
    std::memset(bytes, 0, kBufferFormat);
    SmbFillHeader(bytes, kSmbComOpen, tree->session, static_cast<uint16_t>(tree->tid));
    bytes[kSmbFlagsOffset] = kFlags;
    SmbPut16(bytes + kSmbFlags2Offset, SmbNameFlags2(name));
    bytes[kSmbWordCountOffset] = kWordCount;
    SmbPut16(bytes + kAccessMode, kReadDenyNone);
    SmbPut16(bytes + kSearchAttributes, 0);
    SmbPut16(bytes + kByteCount, static_cast<uint32_t>(1 + name.length));
    bytes[kBufferFormat] = kStringFormat;
    SmbPutName(bytes + kFileName, name);
}

void readOpenReply(const uint8_t *bytes, SmbFile *file)
{
    using namespace open_reply;
    file->fid = SmbGet16(bytes + kFid);
    file->lastWriteTime = SmbGet32(bytes + kLastWriteTime);
    file->fileSize = SmbGet32(bytes + kFileSize);
    file->grantedAccess = SmbGet16(bytes + kGrantedAccess);
    file->readOffset = 0;
}

void writeReadRaw(uint8_t *bytes, const SmbFile *file)
{
    std::memset(bytes, 0, kSmbReadRawLargeRequestLength);
    SmbFillHeader(bytes, kSmbComReadRaw, file->tree->session,
                  static_cast<uint16_t>(file->tree->tid));
    bytes[kSmbFlagsOffset] = read_raw::kFlags;
    SmbPut16(bytes + kSmbFlags2Offset, read_raw::kFlags2);
    SmbPut16(bytes + read_raw::kFid, file->fid);
}

// Writes one chunk's fields; the request's length. Offsets below 4 GiB keep
// the 32-bit form.
int32_t setReadRawChunk(uint8_t *bytes, uint64_t offset, uint32_t chunk)
{
    using namespace read_raw;
    SmbPut32(bytes + kOffset, static_cast<uint32_t>(offset));
    SmbPut16(bytes + kMaxCount, chunk);
    SmbPut16(bytes + kMinCount, 0);
    SmbPut32(bytes + kTimeout, kNoTimeout);
    if ((offset >> 32) == 0) {
        bytes[kSmbWordCountOffset] = kWordCount;
        SmbPut16(bytes + kByteCount, 0);
        return kSmbReadRawRequestLength;
    }
    bytes[kSmbWordCountOffset] = kLargeWordCount;
    SmbPut32(bytes + kOffsetHigh, static_cast<uint32_t>(offset >> 32));
    SmbPut16(bytes + kLargeByteCount, 0);
    return kSmbReadRawLargeRequestLength;
}

void writeClose(uint8_t *bytes, const SmbFile *file)
{
    std::memset(bytes, 0, kSmbCloseLength);
    SmbFillHeader(bytes, kSmbComClose, file->tree->session,
                  static_cast<uint16_t>(file->tree->tid));
    bytes[kSmbWordCountOffset] = close_request::kWordCount;
    SmbPut16(bytes + close_request::kFid, file->fid);
}

// Sends the request and receives one chunk straight into its place in the
// caller's buffer through the borrowing node. 0, or an SMB_READ_* code. A
// raw reply carries no header to tell whose it is, so any reply but the
// whole chunk breaks the session: a retry could otherwise take a late one.
int32_t readChunk(SmbFile *file, BufChain *request, BufChain *window, uint8_t *at,
                  uint32_t chunk)
{
    SmbSession *session = file->tree->session;
    const int32_t length = setReadRawChunk(request->data, file->readOffset, chunk);
    if (SmbSendRequest(session, request, length) < 0)
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
    if (reply[kSmbWordCountOffset] < open_reply::kWordCount) {
        SmbSessionBreak(session, EPROTO);
        return false;
    }
    return true;
}

bool acceptCloseReply(SmbSession *session, const uint8_t *reply, int32_t n)
{
    return SmbCheckReply(session, reply, n, kSmbComClose) == 1;
}

// 0 when a read of count (> 0) bytes into buffer may go out; else its
// SMB_READ_* code, with errno set.
int32_t readRefusal(const SmbFile *file, const uint8_t *buffer, uint32_t count)
{
    const auto refuse = [](int reason, int32_t code) {
        errno = reason;
        return code;
    };
    if (buffer == nullptr || count > kMaxReadCount)
        return refuse(EINVAL, SMB_READ_BAD_ARGUMENT);
    // Without large files the offset field has 32 bits: a read that went
    // past its end would silently wrap round to the start of the file.
    const uint64_t end = offersLargeFiles(file->tree->session) ? kLargeFileEnd : kSmallFileEnd;
    if (file->readOffset > end || count > end - file->readOffset)
        return refuse(EINVAL, SMB_READ_BAD_ARGUMENT);
    if (rawChunkLimit(file->tree->session) == 0)
        return refuse(EOPNOTSUPP, SMB_READ_NO_RAW_SIZE);
    return 0;
}

// With large files the OPEN's 32-bit size may have wrapped: the true one
// replaces it. A file whose size cannot be learnt is closed again and
// released; false then, with the reason in errno.
bool learnTrueSize(SmbFile *file)
{
    SmbSession *session = file->tree->session;
    if (!offersLargeFiles(session))
        return true;
    uint64_t size = 0;
    if (SmbQueryFileSize(session, static_cast<uint16_t>(file->tree->tid), file->fid, &size) == 1) {
        file->fileSize = size;
        return true;
    }
    const int reason = errno;
    if (SmbClose(file) != 0)
        delete file;
    errno = reason;
    return false;
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
    const SmbName name = SmbNameOnWire(tree->session, path);
    if (name.length > open_request::kMaxNameBytes) {
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

    const auto requestLength = static_cast<int32_t>(open_request::kFileName + name.length);
    // The buffer also takes the reply.
    const int32_t size = requestLength > open_reply::kLength ? requestLength : open_reply::kLength;
    BufChain *buffer = BufChainNew(size);
    if (buffer == nullptr) {
        delete file;
        return nullptr;
    }
    uint8_t *bytes = buffer->data;
    writeOpen(bytes, tree, name);
    const int32_t n = SmbExchange(tree->session, buffer, requestLength, buffer, size);
    const bool opened = n >= 0 && acceptOpenReply(tree->session, bytes, n);
    if (opened)
        readOpenReply(bytes, file);
    BufChainFree(buffer);
    if (!opened) {
        delete file;
        return nullptr;
    }
    return learnTrueSize(file) ? file : nullptr;
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
    const int32_t refused = readRefusal(file, buffer, count);
    if (refused != 0)
        return refused;
    const uint32_t limit = rawChunkLimit(file->tree->session);

    BufChain *window = BufChainNew(0);
    if (window == nullptr)
        return SMB_READ_NO_RECEIVE_NODE;
    BufChain *request = BufChainNew(kSmbReadRawLargeRequestLength);
    if (request == nullptr) {
        BufChainFree(window);
        return SMB_READ_NO_REQUEST_NODE;
    }
    writeReadRaw(request->data, file);

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
    writeClose(bytes, file);
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

uint32_t Smb1GetFileSize(SmbFile *file)
{
    if (file == nullptr)
        return 0;
    return file->fileSize > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(file->fileSize);
}

uint64_t Smb1GetFileSize64(SmbFile *file) { return file != nullptr ? file->fileSize : 0; }

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

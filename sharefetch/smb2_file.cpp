#include "smb2_file.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "sharefetch.h"

namespace {

// CREATE request: the name follows the fixed part.
inline constexpr uint16_t kCreateStructureSize = 57;
inline constexpr uint32_t kCreateImpersonationAt = 68;
inline constexpr uint32_t kCreateDesiredAccessAt = 88;
inline constexpr uint32_t kCreateShareAccessAt = 96;
inline constexpr uint32_t kCreateDispositionAt = 100;
inline constexpr uint32_t kCreateOptionsAt = 104;
inline constexpr uint32_t kCreateNameOffsetAt = 108;
inline constexpr uint32_t kCreateNameLengthAt = 110;
inline constexpr uint32_t kCreateNameAt = 120;
inline constexpr uint32_t kCreateNameRoom = 2048;
inline constexpr uint32_t kImpersonation = 2;
// READ_DATA, READ_EA, READ_ATTRIBUTES, READ_CONTROL, SYNCHRONIZE.
inline constexpr uint32_t kReadAccess = 0x00120089;
inline constexpr uint32_t kShareAll = 0x00000007;  // others may read, write, delete
inline constexpr uint32_t kFileOpen = 1;
inline constexpr uint32_t kNonDirectoryFile = 0x00000040;
// CREATE reply.
inline constexpr uint16_t kCreateReplyStructureSize = 89;
inline constexpr uint32_t kCreateReplyEndOfFileAt = 112;
inline constexpr uint32_t kCreateReplyFileIdAt = 128;
inline constexpr uint32_t kCreateReplyMinLength = 152;
inline constexpr uint32_t kCreateReplyRoom = 1024;

// CLOSE request and reply.
inline constexpr uint16_t kCloseStructureSize = 24;
inline constexpr uint32_t kCloseFileIdAt = 72;
inline constexpr uint32_t kCloseLength = 88;
inline constexpr uint32_t kCloseReplyRoom = 128;

// READ request.
inline constexpr uint16_t kReadStructureSize = 49;
inline constexpr uint32_t kReadPaddingAt = 66;
inline constexpr uint32_t kReadLengthAt = 68;
inline constexpr uint32_t kReadOffsetAt = 72;
inline constexpr uint32_t kReadFileIdAt = 80;
inline constexpr uint32_t kReadLength = 113;  // with the one-byte buffer
// READ reply: the fixed part after the header, data at DataOffset.
inline constexpr uint16_t kReadReplyStructureSize = 17;
inline constexpr uint32_t kReadReplyFixedLength = 16;
inline constexpr uint32_t kReadReplyDataOffsetAt = 2;  // within the fixed part
inline constexpr uint32_t kReadReplyDataLengthAt = 4;
inline constexpr uint32_t kReadReplyDataStart = kSmb2HeaderLength + kReadReplyFixedLength;

// One READ in flight: which bytes of the caller's buffer it fills.
struct ReadSlot {
    uint64_t messageId;
    uint32_t start;
    uint32_t length;
    bool busy;
};

// The state of one Smb2ReadAt call.
struct ReadRun {
    Smb2File *file;
    uint64_t offset;
    uint8_t *buffer;
    uint32_t issued;  // bytes asked for so far, from the start
    uint32_t end;     // bytes that can be had: count, or less once the file ended
    uint32_t inFlight;
    uint32_t bytesInFlight;
    int failure;  // errno of a refused read; nothing more is sent
    ReadSlot slots[kSmb2MaxReadsInFlight];
};

uint32_t readChunk(const Smb2Session *session)
{
    return session->maxReadSize < kSmb2ReadRequestSize ? session->maxReadSize
                                                       : kSmb2ReadRequestSize;
}

bool sendRead(ReadRun &run, uint32_t length)
{
    Smb2Session *session = run.file->session;
    uint8_t request[kReadLength];
    Smb2WriteHeader(request, kSmb2Read);
    std::memset(request + kSmb2HeaderLength, 0, kReadLength - kSmb2HeaderLength);
    SmbPut16(request + kSmb2HeaderLength, kReadStructureSize);
    request[kReadPaddingAt] = static_cast<uint8_t>(kReadReplyDataStart);
    SmbPut32(request + kReadLengthAt, length);
    Smb2Put64(request + kReadOffsetAt, run.offset + run.issued);
    std::memcpy(request + kReadFileIdAt, run.file->fileId, kSmb2FileIdLength);
    const int64_t messageId = Smb2Send(session, request, kReadLength, length);
    if (messageId < 0)
        return false;
    for (ReadSlot &slot : run.slots) {
        if (!slot.busy) {
            slot = ReadSlot{static_cast<uint64_t>(messageId), run.issued, length, true};
            break;
        }
    }
    run.issued += length;
    run.inFlight += 1;
    run.bytesInFlight += length;
    return true;
}

// Sends READs while the window, the slots and the credits allow.
bool fillWindow(ReadRun &run)
{
    Smb2Session *session = run.file->session;
    const uint32_t chunkLimit = readChunk(session);
    while (run.failure == 0 && run.issued < run.end && run.inFlight < kSmb2MaxReadsInFlight) {
        const uint32_t left = run.end - run.issued;
        const uint32_t chunk = left < chunkLimit ? left : chunkLimit;
        if (run.inFlight > 0 && (run.bytesInFlight + chunk > kSmb2ReadWindow ||
                                 session->credits < Smb2CreditCharge(session, chunk)))
            break;
        if (!sendRead(run, chunk))
            return false;
    }
    return true;
}

ReadSlot *findSlot(ReadRun &run, uint64_t messageId)
{
    for (ReadSlot &slot : run.slots) {
        if (slot.busy && slot.messageId == messageId)
            return &slot;
    }
    return nullptr;
}

// The data of a successful reply with body bytes after its header, straight
// into the slot's part of the buffer.
bool receiveData(ReadRun &run, ReadSlot &slot, uint64_t body)
{
    Smb2Session *session = run.file->session;
    uint8_t fixed[kReadReplyFixedLength];
    if (body < kReadReplyFixedLength || Smb2ReceiveBody(session, fixed, sizeof fixed) != 0)
        return false;
    const uint32_t dataOffset = fixed[kReadReplyDataOffsetAt];
    const uint32_t dataLength = SmbGet32(fixed + kReadReplyDataLengthAt);
    const uint64_t frame = body + kSmb2HeaderLength;
    // The data must lie inside this reply and inside what the slot asked for.
    if (SmbGet16(fixed) != kReadReplyStructureSize || dataOffset < kReadReplyDataStart ||
        dataOffset + static_cast<uint64_t>(dataLength) > frame || dataLength > slot.length)
        return false;
    if (Smb2Skip(session, dataOffset - kReadReplyDataStart) != 0 ||
        Smb2ReceiveBody(session, run.buffer + slot.start, dataLength) != 0 ||
        Smb2Skip(session, static_cast<uint32_t>(frame - dataOffset - dataLength)) != 0)
        return false;
    if (dataLength < slot.length && slot.start + dataLength < run.end)
        run.end = slot.start + dataLength;
    return true;
}

// One reply of the run, matched to its READ by message id.
bool receiveRead(ReadRun &run)
{
    Smb2Session *session = run.file->session;
    uint8_t header[kSmb2HeaderLength];
    Smb2Header reply{};
    const int64_t body = Smb2ReceiveHeader(session, header, &reply);
    if (body < 0)
        return false;
    ReadSlot *slot = findSlot(run, reply.messageId);
    if (slot == nullptr || reply.command != kSmb2Read) {
        Smb2Break(session, EPROTO);
        return false;
    }
    bool received = true;
    if (reply.status == kStatusSuccess) {
        received = receiveData(run, *slot, static_cast<uint64_t>(body));
        if (!received && !session->broken)
            Smb2Break(session, EPROTO);
    } else {
        received = Smb2Skip(session, static_cast<uint32_t>(body)) == 0;
        if (reply.status == kStatusEndOfFile) {
            if (slot->start < run.end)
                run.end = slot->start;
        } else if (run.failure == 0) {
            run.failure = Smb2StatusErrno(reply.status);
        }
    }
    slot->busy = false;
    run.inFlight -= 1;
    run.bytesInFlight -= slot->length;
    return received;
}

}  // namespace

Smb2File *Smb2Open(Smb2Session *session, const char *path)
{
    if (session->broken || session->treeErrno != 0) {
        errno = session->broken ? ENOTCONN : session->treeErrno;
        return nullptr;
    }
    while (*path == '\\')
        ++path;  // SMB2 names are relative to the share root
    uint8_t request[kCreateNameAt + kCreateNameRoom];
    const int32_t nameLength = Smb2PutUtf16(path, request + kCreateNameAt, kCreateNameRoom);
    if (nameLength < 0) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    Smb2WriteHeader(request, kSmb2Create);
    std::memset(request + kSmb2HeaderLength, 0, kCreateNameAt - kSmb2HeaderLength);
    SmbPut16(request + kSmb2HeaderLength, kCreateStructureSize);
    SmbPut32(request + kCreateImpersonationAt, kImpersonation);
    SmbPut32(request + kCreateDesiredAccessAt, kReadAccess);
    SmbPut32(request + kCreateShareAccessAt, kShareAll);
    SmbPut32(request + kCreateDispositionAt, kFileOpen);
    SmbPut32(request + kCreateOptionsAt, kNonDirectoryFile);
    SmbPut16(request + kCreateNameOffsetAt, kCreateNameAt);
    SmbPut16(request + kCreateNameLengthAt, static_cast<uint32_t>(nameLength));
    // The variable part is never empty: the share root's name gets one pad byte.
    const uint32_t length = kCreateNameAt + (nameLength > 0 ? static_cast<uint32_t>(nameLength) : 1u);
    if (nameLength == 0)
        request[kCreateNameAt] = 0;

    uint8_t reply[kCreateReplyRoom];
    Smb2Header header{};
    const int32_t n = Smb2Exchange(session, request, length, reply, sizeof reply, &header);
    if (n < 0)
        return nullptr;
    if (header.status != kStatusSuccess) {
        errno = Smb2StatusErrno(header.status);
        return nullptr;
    }
    if (n < static_cast<int32_t>(kCreateReplyMinLength) || header.command != kSmb2Create ||
        SmbGet16(reply + kSmb2HeaderLength) != kCreateReplyStructureSize) {
        Smb2Break(session, EPROTO);
        return nullptr;
    }
    auto *file = new (std::nothrow) Smb2File{};
    if (file == nullptr) {
        errno = ENOMEM;
        return nullptr;  // the server keeps the handle until the session ends
    }
    file->session = session;
    std::memcpy(file->fileId, reply + kCreateReplyFileIdAt, kSmb2FileIdLength);
    file->size = Smb2Get64(reply + kCreateReplyEndOfFileAt);
    return file;
}

int32_t Smb2ReadAt(Smb2File *file, uint64_t offset, uint8_t *buffer, uint32_t count)
{
    Smb2Session *session = file->session;
    if (session->broken) {
        errno = ENOTCONN;
        return SMB_READ_BAD_REPLY;
    }
    if (count == 0)
        return 0;
    ReadRun run{};
    run.file = file;
    run.offset = offset;
    run.buffer = buffer;
    run.end = count;
    // With nothing in flight a READ goes out whatever the credits say: a
    // server that left none can never be asked again, and Smb2Send breaks
    // the session on it.
    if (!fillWindow(run))
        return SMB_READ_SEND_FAILED;
    while (run.inFlight > 0) {
        if (!receiveRead(run))
            return SMB_READ_BAD_REPLY;
        if (!fillWindow(run))
            return SMB_READ_SEND_FAILED;
    }
    if (run.failure != 0) {
        errno = run.failure;
        return SMB_READ_BAD_REPLY;
    }
    return static_cast<int32_t>(run.end);
}

void Smb2Close(Smb2File *file)
{
    Smb2Session *session = file->session;
    const int saved = errno;
    if (!session->broken) {
        uint8_t request[kCloseLength];
        uint8_t reply[kCloseReplyRoom];
        Smb2WriteHeader(request, kSmb2Close);
        std::memset(request + kSmb2HeaderLength, 0, kCloseLength - kSmb2HeaderLength);
        SmbPut16(request + kSmb2HeaderLength, kCloseStructureSize);
        std::memcpy(request + kCloseFileIdAt, file->fileId, kSmb2FileIdLength);
        Smb2Header header{};
        (void)Smb2Exchange(session, request, sizeof request, reply, sizeof reply, &header);
    }
    delete file;
    errno = saved;
}

namespace {

// The checks both reads share: a negative code with errno EINVAL, or 0
// when the read may go ahead.
int32_t checkReadArguments(uint32_t count, const void *buffer)
{
    if (count > 0 && (buffer == nullptr || count > 0x7FFFFFFF)) {
        errno = EINVAL;
        return SMB_READ_BAD_ARGUMENT;
    }
    return 0;
}

}  // namespace

int32_t Smb2ReadNext(Smb2File *file, uint32_t count, void *buffer)
{
    const int32_t refused = checkReadArguments(count, buffer);
    if (refused != 0)
        return refused;
    const int32_t n = Smb2ReadAt(file, file->readOffset, static_cast<uint8_t *>(buffer), count);
    if (n < 0)
        return n;
    file->readOffset += static_cast<uint32_t>(n);
    if (static_cast<uint32_t>(n) != count) {
        errno = EIO;
        return SMB_READ_BAD_REPLY;
    }
    return n;
}

int32_t Smb2ReadFileAt(Smb2File *file, uint64_t offset, uint32_t count, void *buffer)
{
    const int32_t refused = checkReadArguments(count, buffer);
    if (refused != 0)
        return refused;
    return Smb2ReadAt(file, offset, static_cast<uint8_t *>(buffer), count);
}

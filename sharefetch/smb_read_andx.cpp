#include "smb_read_andx.h"

#include <cerrno>
#include <cstring>

#include "sharefetch.h"

namespace {

// READ_ANDX request words (offsets from the start of the SMB header).
inline constexpr uint8_t kRequestWordCount = 12;  // with the high offset part
inline constexpr int32_t kAndXCommandAt = 33;
inline constexpr int32_t kFidAt = 37;
inline constexpr int32_t kOffsetAt = 39;
inline constexpr int32_t kMaxCountAt = 43;
inline constexpr int32_t kMinCountAt = 45;
inline constexpr int32_t kMaxCountHighAt = 47;  // the time-out field, for large reads
inline constexpr int32_t kRemainingAt = 51;
inline constexpr int32_t kOffsetHighAt = 53;
inline constexpr int32_t kRequestByteCountAt = 57;

// READ_ANDX reply: header and word count first, then the words.
inline constexpr uint32_t kReplyHeadLength = 33;
inline constexpr uint8_t kReplyWordCount = 12;
inline constexpr int32_t kDataLengthAt = 43;
inline constexpr int32_t kDataOffsetAt = 45;
inline constexpr int32_t kDataLengthHighAt = 47;
inline constexpr int32_t kStatusAt = 5;  // 4 bytes: class, reserved, code (or one NT status)

inline constexpr uint16_t kOplockBreakMid = 0xFFFF;
inline constexpr uint32_t kMaxReadCount = 0x7FFFFFFF;  // the result is signed 32-bit
inline constexpr uint64_t kSmallFileLimit = 0x100000000;  // without large files
inline constexpr uint64_t kLargeFileLimit = 0x8000000000000000;  // offsets are signed

// Without large reads a reply must fit the server's buffer: header, words,
// byte count and a few bytes of padding come off it.
inline constexpr uint32_t kReplyOverhead = 64;
inline constexpr uint32_t kSmallReadLimit = 0xFFFF;  // MaxCount has 16 bits

// With large reads: 1 MiB per request, at most 16 MiB on the wire. Measured
// through the delay proxy (bench/delay_proxy; docs/benchmarks.md): at 10 ms
// each way the rate grew with the window up to 16 MiB and no further (8 MiB:
// about 185 MB/s; 16 and 32 MiB: about 290), whatever the request size; at
// 0 and 1 ms and on loopback the request size made no difference beyond the
// noise. 1 MiB keeps the requests few (16 fill the window, well within
// Samba's MaxMpxCount of 50) and the system calls per byte low.
inline constexpr uint32_t kLargeRequestSize = 1u << 20;
inline constexpr uint32_t kWindowBytes = 16u << 20;

// A large reply's session header carries a 24-bit length: the flags byte
// holds its top bits, as servers that offer large reads send it.
uint32_t largeBodyLength(const uint8_t header[4])
{
    return (static_cast<uint32_t>(header[1]) << 16) | (static_cast<uint32_t>(header[2]) << 8) |
           header[3];
}

uint32_t smaller(uint64_t a, uint32_t b) { return a < b ? static_cast<uint32_t>(a) : b; }

struct Slot {
    SmbReadAndXRequest request;
    bool busy;
};

// One call's requests: the part of the range asked for so far, the part
// still wanted (it shrinks when the file ends early), and the requests on
// the wire.
struct ReadWindow {
    SmbFile *file;
    uint8_t *buffer;
    uint64_t offset;
    uint32_t wanted;
    uint32_t asked;
    uint16_t nextMid;
    uint32_t inFlight;
    int refusal;  // errno of the first request the server refused, or 0
    Slot slots[kSmbReadAndXMaxInFlight];
};

NbtConnection *transportOf(const ReadWindow &window)
{
    return window.file->tree->session->transport;
}

// A MID no request of the session's one-at-a-time exchanges uses, and never
// the one reserved for oplock breaks.
uint16_t takeMid(ReadWindow &window)
{
    const auto sessionMid = static_cast<uint16_t>(window.file->tree->session->mid);
    uint16_t mid = window.nextMid;
    while (mid == sessionMid || mid == kOplockBreakMid)
        ++mid;
    window.nextMid = static_cast<uint16_t>(mid + 1);
    return mid;
}

Slot *freeSlot(ReadWindow &window)
{
    for (Slot &slot : window.slots) {
        if (!slot.busy)
            return &slot;
    }
    return nullptr;
}

Slot *slotFor(ReadWindow &window, uint16_t mid)
{
    for (Slot &slot : window.slots) {
        if (slot.busy && slot.request.mid == mid)
            return &slot;
    }
    return nullptr;
}

// Puts requests on the wire until the window is full or the range is asked
// for, all in one send. False when the send failed.
bool sendRequests(ReadWindow &window, const SmbReadAndXPlan &plan)
{
    constexpr int32_t kPacket = kNbtHeaderLength + kSmbReadAndXRequestLength;
    uint8_t packets[kSmbReadAndXMaxInFlight * kPacket];
    int32_t length = 0;
    while (window.inFlight < plan.maxInFlight && window.asked < window.wanted) {
        Slot *slot = freeSlot(window);
        const uint32_t count = smaller(window.wanted - window.asked, plan.requestSize);
        slot->request = {takeMid(window), window.offset + window.asked, window.asked, count};
        slot->busy = true;
        SmbWriteReadAndX(packets + length, window.file, slot->request);
        length += kPacket;
        window.asked += count;
        ++window.inFlight;
    }
    if (length == 0)
        return true;
    BufChain node{packets, length, nullptr};
    return NbtSendChain(transportOf(window), &node, length) == length;
}

// false with errno EPROTO: the reply does not fit what was asked.
bool malformed()
{
    errno = EPROTO;
    return false;
}

// Reads past count bytes of padding or surplus. Padding usually follows
// at once, so this reads first and waits only when nothing is there.
bool skip(ReadWindow &window, uint64_t count)
{
    uint8_t scratch[256];
    while (count > 0) {
        const uint32_t piece = smaller(count, sizeof scratch);
        if (NbtReadExact(transportOf(window), scratch, piece) != 0)
            return false;
        count -= piece;
    }
    return true;
}

void finish(ReadWindow &window, Slot &slot)
{
    slot.busy = false;
    --window.inFlight;
}

// Receives one reply and places its data inside the range of the request
// with its MID. False when the reply does not fit an outstanding request or
// did not come whole (errno says which): the stream is then out of frame.
bool receiveReply(ReadWindow &window)
{
    NbtConnection *transport = transportOf(window);
    uint8_t session[kNbtHeaderLength];
    if (NbtReceivePacketHeader(transport, session) != 0)
        return false;
    const uint32_t length = largeBodyLength(session);
    if (session[0] != kNbtSessionMessage || length < kReplyHeadLength)
        return malformed();
    // The fixed part in one read; a refusal may be shorter.
    uint8_t fixed[kSmbReadAndXReplyFixedLength];
    const uint32_t fixedLength = smaller(length, sizeof fixed);
    if (NbtReadExact(transport, fixed, fixedLength) != 0)
        return false;
    SmbReadAndXReply reply{};
    Slot *slot = SmbReadAndXReplyHead(fixed, length, &reply) ? slotFor(window, reply.mid) : nullptr;
    if (slot == nullptr)
        return malformed();
    if (reply.refused) {
        window.refusal = SmbStatusErrno(fixed);
        finish(window, *slot);
        return skip(window, length - fixedLength);
    }
    const SmbReadAndXRequest &request = slot->request;
    if (!SmbReadAndXReplyWords(fixed, length, &reply) || reply.dataLength > request.count)
        return malformed();
    const uint64_t trailing = uint64_t{length} - reply.dataOffset - reply.dataLength;
    if (!skip(window, reply.dataOffset - kSmbReadAndXReplyFixedLength) ||
        NbtReadExact(transport, window.buffer + request.bufferOffset, reply.dataLength) != 0 ||
        !skip(window, trailing))
        return false;
    // A short answer is the end of the file: nothing after it is wanted.
    if (reply.dataLength < request.count && request.bufferOffset + reply.dataLength < window.wanted)
        window.wanted = request.bufferOffset + reply.dataLength;
    finish(window, *slot);
    return true;
}

// Keeps the window full until every wanted byte has come and every request
// on the wire has been answered. 0, or an SMB_READ_* code with the session
// broken: replies may still be on their way, and no later request may take
// one of them for its own.
int32_t runWindow(ReadWindow &window, const SmbReadAndXPlan &plan)
{
    SmbSession *session = window.file->tree->session;
    while (window.asked < window.wanted || window.inFlight > 0) {
        if (!sendRequests(window, plan)) {
            SmbSessionBreak(session, errno);
            return SMB_READ_SEND_FAILED;
        }
        if (!receiveReply(window)) {
            SmbSessionBreak(session, errno);
            return SMB_READ_BAD_REPLY;
        }
    }
    return 0;
}

int32_t badArgument()
{
    errno = EINVAL;
    return SMB_READ_BAD_ARGUMENT;
}

bool rangeFits(const SmbSession *session, uint64_t offset, uint32_t count)
{
    const uint64_t limit =
        (session->capabilities & kSmbCapLargeFiles) != 0 ? kLargeFileLimit : kSmallFileLimit;
    return offset <= limit && count <= limit - offset;
}

}  // namespace

SmbReadAndXPlan SmbReadAndXPlanFor(const SmbSession *session)
{
    uint32_t size = 0;
    if ((session->capabilities & kSmbCapLargeReadX) != 0)
        size = kLargeRequestSize;
    else if (session->maxBufferSize > kReplyOverhead)
        size = smaller(session->maxBufferSize - kReplyOverhead, kSmallReadLimit);
    uint32_t inFlight = size == 0 ? 1 : kWindowBytes / size;
    inFlight = inFlight < kSmbReadAndXMaxInFlight ? inFlight : kSmbReadAndXMaxInFlight;
    if (session->maxMpxCount != 0 && session->maxMpxCount < inFlight)
        inFlight = session->maxMpxCount;
    return SmbReadAndXPlan{size, inFlight > 0 ? inFlight : 1};
}

void SmbWriteReadAndX(uint8_t *out, const SmbFile *file, const SmbReadAndXRequest &request)
{
    // The session header: a message of 59 bytes.
    out[0] = kNbtSessionMessage;
    out[1] = 0;
    out[2] = 0;
    out[3] = kSmbReadAndXRequestLength;
    uint8_t *smb = out + kNbtHeaderLength;
    std::memset(smb, 0, kSmbReadAndXRequestLength);
    SmbFillHeader(smb, kSmbComReadAndX, file->tree->session,
                  static_cast<uint16_t>(file->tree->tid));
    SmbPut16(smb + kSmbMidOffset, request.mid);
    smb[kSmbWordCountOffset] = kRequestWordCount;
    smb[kAndXCommandAt] = kSmbNoAndX;
    SmbPut16(smb + kFidAt, file->fid);
    SmbPut32(smb + kOffsetAt, static_cast<uint32_t>(request.fileOffset));
    SmbPut16(smb + kMaxCountAt, request.count & 0xFFFF);
    SmbPut16(smb + kMinCountAt, 0);
    SmbPut32(smb + kMaxCountHighAt, request.count >> 16);
    SmbPut16(smb + kRemainingAt, 0);
    SmbPut32(smb + kOffsetHighAt, static_cast<uint32_t>(request.fileOffset >> 32));
    SmbPut16(smb + kRequestByteCountAt, 0);
}

bool SmbReadAndXReplyHead(const uint8_t *head, uint32_t length, SmbReadAndXReply *reply)
{
    if (length < kReplyHeadLength || head[0] != 0xFF || head[1] != 'S' || head[2] != 'M' ||
        head[3] != 'B' || head[kSmbCommandOffset] != kSmbComReadAndX ||
        (head[kSmbFlagsOffset] & kSmbFlagReply) == 0)
        return false;
    reply->mid = SmbGet16(head + kSmbMidOffset);
    reply->refused = SmbGet32(head + kStatusAt) != 0;
    // A refusal needs no words; anything else must carry all of them.
    return reply->refused || length >= kSmbReadAndXReplyFixedLength;
}

bool SmbReadAndXReplyWords(const uint8_t *fixed, uint32_t length, SmbReadAndXReply *reply)
{
    if (length < kSmbReadAndXReplyFixedLength || fixed[kSmbWordCountOffset] != kReplyWordCount)
        return false;
    reply->dataOffset = SmbGet16(fixed + kDataOffsetAt);
    reply->dataLength = SmbGet16(fixed + kDataLengthAt) |
                        (static_cast<uint32_t>(SmbGet16(fixed + kDataLengthHighAt)) << 16);
    return reply->dataOffset >= kSmbReadAndXReplyFixedLength &&
           uint64_t{reply->dataOffset} + reply->dataLength <= length;
}

int32_t Smb1ReadFileAt(SmbFile *file, uint64_t offset, uint32_t count, void *buffer)
{
    if (file == nullptr)
        return badArgument();
    SmbSession *session = file->tree->session;
    if (!SmbSessionUsable(session))
        return SMB_READ_BAD_REPLY;
    if (count == 0)
        return 0;
    if (buffer == nullptr || count > kMaxReadCount || !rangeFits(session, offset, count))
        return badArgument();
    const SmbReadAndXPlan plan = SmbReadAndXPlanFor(session);
    if (plan.requestSize == 0) {
        errno = EOPNOTSUPP;
        return SMB_READ_NO_RAW_SIZE;
    }

    ReadWindow window{};
    window.file = file;
    window.buffer = static_cast<uint8_t *>(buffer);
    window.offset = offset;
    window.wanted = count;
    window.nextMid = static_cast<uint16_t>(session->mid + 1);
    const int32_t result = runWindow(window, plan);
    if (result < 0)
        return result;
    if (window.refusal != 0) {
        errno = window.refusal;
        return SMB_READ_REFUSED;
    }
    return static_cast<int32_t>(window.wanted);
}

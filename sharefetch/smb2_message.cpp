#include "smb2_message.h"

#include <cerrno>
#include <cstring>

namespace {

constexpr uint8_t kProtocolId[4] = {0xFE, 'S', 'M', 'B'};
inline constexpr uint16_t kHeaderStructureSize = 64;
// Every request asks for this many credits beyond its charge, so that a
// window of reads can be kept in flight; servers cap what they grant.
inline constexpr uint16_t kCreditsAsked = 64;
inline constexpr uint32_t kCreditUnit = 65536;
inline constexpr uint16_t kDialect202 = 0x0202;
inline constexpr uint32_t kSkipScratch = 4096;

// 24-bit body length of a session message; keep-alives are skipped. -1
// when the stream broke or the packet is not a session message.
int64_t readFrameLength(Smb2Session *session)
{
    uint8_t frame[kNbtHeaderLength];
    do {
        if (NbtReadExact(session->transport, frame, kNbtHeaderLength) != 0)
            return -1;
    } while (frame[0] == kNbtKeepAlive);
    if (frame[0] != kNbtSessionMessage)
        return -1;
    return (static_cast<int64_t>(frame[1]) << 16) | (frame[2] << 8) | frame[3];
}

bool isInterim(const Smb2Header &header)
{
    return header.status == kStatusPending && (header.flags & kSmb2FlagAsync) != 0;
}

// Decodes one UTF-8 sequence at text; the code point, and its byte count in
// *used. A byte that starts no valid sequence stands for itself (Latin-1).
uint32_t decodeUtf8(const uint8_t *text, int *used)
{
    const uint8_t lead = text[0];
    *used = 1;
    int extra = lead >= 0xF0 && lead < 0xF5 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 ? 1 : 0;
    if (lead < 0x80 || extra == 0 || lead >= 0xF5)
        return lead;
    uint32_t point = lead & (0x3F >> extra);
    for (int i = 1; i <= extra; ++i) {
        if ((text[i] & 0xC0) != 0x80)  // also stops at the terminating 0
            return lead;
        point = (point << 6) | (text[i] & 0x3F);
    }
    const uint32_t least[] = {0, 0x80, 0x800, 0x10000};
    if (point < least[extra] || point > 0x10FFFF || (point >= 0xD800 && point < 0xE000))
        return lead;
    *used = extra + 1;
    return point;
}

}  // namespace

void Smb2WriteHeader(uint8_t *request, uint16_t command)
{
    std::memset(request, 0, kSmb2HeaderLength);
    std::memcpy(request, kProtocolId, sizeof kProtocolId);
    SmbPut16(request + 4, kHeaderStructureSize);
    SmbPut16(request + kSmb2CommandAt, command);
}

bool Smb2ReadHeader(const uint8_t *reply, Smb2Header *out)
{
    if (std::memcmp(reply, kProtocolId, sizeof kProtocolId) != 0 ||
        SmbGet16(reply + 4) != kHeaderStructureSize)
        return false;
    out->creditCharge = SmbGet16(reply + kSmb2CreditChargeAt);
    out->status = SmbGet32(reply + kSmb2StatusAt);
    out->command = SmbGet16(reply + kSmb2CommandAt);
    out->credits = SmbGet16(reply + kSmb2CreditsAt);
    out->flags = SmbGet32(reply + kSmb2FlagsAt);
    out->nextCommand = SmbGet32(reply + kSmb2NextCommandAt);
    out->messageId = Smb2Get64(reply + kSmb2MessageIdAt);
    out->treeId = SmbGet32(reply + kSmb2TreeIdAt);
    out->sessionId = Smb2Get64(reply + kSmb2SessionIdAt);
    return (out->flags & kSmb2FlagReply) != 0;
}

uint16_t Smb2CreditCharge(const Smb2Session *session, uint32_t payload)
{
    if (session->dialect == kDialect202 || payload <= kCreditUnit)
        return 1;
    return static_cast<uint16_t>((payload - 1) / kCreditUnit + 1);
}

int64_t Smb2Send(Smb2Session *session, uint8_t *request, uint32_t length, uint32_t payload)
{
    if (session->broken) {
        errno = ENOTCONN;
        return -1;
    }
    const uint16_t charge = Smb2CreditCharge(session, payload);
    if (session->credits < charge) {
        Smb2Break(session, EPROTO);
        return -1;
    }
    const uint64_t messageId = session->nextMessageId;
    // 2.0.2 has no credit charge field; it must stay 0 there.
    SmbPut16(request + kSmb2CreditChargeAt, session->dialect == kDialect202 ? 0 : charge);
    SmbPut16(request + kSmb2CreditsAt, charge + kCreditsAsked);
    Smb2Put64(request + kSmb2MessageIdAt, messageId);
    SmbPut32(request + kSmb2TreeIdAt, session->treeId);
    Smb2Put64(request + kSmb2SessionIdAt, session->sessionId);
    BufChain node{request, static_cast<int32_t>(length), nullptr};
    if (NbtSendMessage(session->transport, &node, static_cast<int32_t>(length)) < 0) {
        Smb2Break(session, errno);
        return -1;
    }
    session->credits -= charge;
    session->nextMessageId += charge;
    return static_cast<int64_t>(messageId);
}

int64_t Smb2ReceiveHeader(Smb2Session *session, uint8_t header[kSmb2HeaderLength],
                          Smb2Header *out)
{
    for (;;) {
        if (session->broken) {
            errno = ENOTCONN;
            return -1;
        }
        const int64_t length = readFrameLength(session);
        if (length < 0 || NbtReadExact(session->transport, header, kSmb2HeaderLength) != 0) {
            Smb2Break(session, errno);
            return -1;
        }
        // Compound replies answer compound requests, which are never sent.
        if (length < kSmb2HeaderLength || length > kSmb2MaxFrame ||
            !Smb2ReadHeader(header, out) || out->nextCommand != 0 ||
            (out->flags & kSmb2FlagRelated) != 0) {
            Smb2Break(session, EPROTO);
            return -1;
        }
        // Credits are counted in 16 bits per reply; the sum stays far below 2^32.
        session->credits += out->credits;
        const int64_t body = length - kSmb2HeaderLength;
        if (!isInterim(*out))
            return body;
        if (Smb2Skip(session, static_cast<uint32_t>(body)) != 0)
            return -1;
    }
}

int32_t Smb2ReceiveBody(Smb2Session *session, uint8_t *data, uint32_t count)
{
    if (count == 0)
        return 0;
    if (NbtReadExact(session->transport, data, count) != 0) {
        Smb2Break(session, errno);
        return -1;
    }
    return 0;
}

int32_t Smb2Skip(Smb2Session *session, uint32_t count)
{
    uint8_t scratch[kSkipScratch];
    while (count > 0) {
        const uint32_t take = count < kSkipScratch ? count : kSkipScratch;
        if (Smb2ReceiveBody(session, scratch, take) != 0)
            return -1;
        count -= take;
    }
    return 0;
}

int32_t Smb2Exchange(Smb2Session *session, uint8_t *request, uint32_t length, uint8_t *reply,
                     uint32_t capacity, Smb2Header *header)
{
    const int64_t messageId = Smb2Send(session, request, length, 0);
    if (messageId < 0)
        return -1;
    const int64_t body = Smb2ReceiveHeader(session, reply, header);
    if (body < 0)
        return -1;
    if (header->messageId != static_cast<uint64_t>(messageId) ||
        body > capacity - kSmb2HeaderLength) {
        Smb2Break(session, EPROTO);
        return -1;
    }
    if (Smb2ReceiveBody(session, reply + kSmb2HeaderLength, static_cast<uint32_t>(body)) != 0)
        return -1;
    return static_cast<int32_t>(body + kSmb2HeaderLength);
}

void Smb2Break(Smb2Session *session, int reason)
{
    if (!session->broken) {
        NbtClose(session->transport);
        session->transport = nullptr;
        session->broken = reason != 0 ? reason : EIO;
    }
    errno = reason;
}

int Smb2StatusErrno(uint32_t status)
{
    switch (status) {
    case 0xC000000F:  // NO_SUCH_FILE
    case 0xC0000034:  // OBJECT_NAME_NOT_FOUND
    case 0xC000003A:  // OBJECT_PATH_NOT_FOUND
    case 0xC0000033:  // OBJECT_NAME_INVALID
        return ENOENT;
    case 0xC00000BA:  // FILE_IS_A_DIRECTORY
        return EISDIR;
    case 0xC0000043:  // SHARING_VIOLATION
        return EBUSY;
    case 0xC0000022:  // ACCESS_DENIED
    case 0xC000006D:  // LOGON_FAILURE
    case 0xC00000CC:  // BAD_NETWORK_NAME
        return EACCES;
    case 0xC0000203:  // USER_SESSION_DELETED
    case 0xC000035C:  // NETWORK_SESSION_EXPIRED
        return ENOTCONN;
    default:
        return EIO;
    }
}

int32_t Smb2PutUtf16(const char *text, uint8_t *out, uint32_t room)
{
    const auto *at = reinterpret_cast<const uint8_t *>(text);
    uint32_t written = 0;
    while (*at != 0) {
        int used = 0;
        uint32_t point = decodeUtf8(at, &used);
        at += used;
        const uint32_t units = point >= 0x10000 ? 2 : 1;
        if (room - written < 2 * units)
            return -1;
        if (units == 2) {
            point -= 0x10000;
            SmbPut16(out + written, 0xD800 | (point >> 10));
            point = 0xDC00 | (point & 0x3FF);
            written += 2;
        }
        SmbPut16(out + written, point);
        written += 2;
    }
    return static_cast<int32_t>(written);
}

#include "smb_session.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "platform/host_identity.h"
#include "platform/text_encoding.h"

namespace {

struct SmbDialect {
    const char *name;
    int32_t level;
};

// Every dialect we know, in table order; no dialect has level 6.
constexpr SmbDialect kSmbDialectTable[] = {
    {"PC NETWORK PROGRAM 1.0", 0}, {"MICROSOFT NETWORKS 1.03", 1}, {"MICROSOFT NETWORKS 3.0", 2},
    {"DOS LANMAN1.0", 2},          {"LANMAN1.0", 3},               {"DOS LM1.2X002", 4},
    {"LM1.2X002", 5},              {"DOS LANMAN2.1", 7},           {"LANMAN2.1", 7},
    {"Samba", 8},                  {"NT LM 0.12", 8},              {"NT LANMAN 1.0", 8},
};

inline constexpr uint8_t kDialectBufferFormat = 0x02;
inline constexpr int32_t kNegotiateWordCount = 17;
inline constexpr uint16_t kNoDialect = 0xFFFF;
inline constexpr uint8_t kExtendedSecurityBit = 0x80;  // bit 31 of Capabilities, in byte 55

inline constexpr int32_t kSessionSetupWordCount = 13;
inline constexpr int32_t kSessionSetupReplyWordCount = 3;
inline constexpr uint16_t kClientMaxBuffer = 0xFFFF;
inline constexpr uint16_t kClientMaxMpx = 2;
// Empty case-insensitive password, account, domain, native OS and LAN
// manager, each with its 0 byte: BC 28.
constexpr uint8_t kGuestLogonData[] = "\0Guest\0WORKGROUP\0Win32\0smbd";
inline constexpr int32_t kGuestLogonLength = sizeof kGuestLogonData;
static_assert(kGuestLogonLength == 28);

int32_t offeredDialectCount()
{
    int32_t count = 0;
    while (SmbOfferedDialects[count] != nullptr)
        ++count;
    return count;
}

// false with errno = reason.
bool refuse(int reason)
{
    errno = reason;
    return false;
}

// Reads the NEGOTIATE reply of n bytes in buffer into the session. A reply
// that picks no dialect we offered refuses ours (EPROTONOSUPPORT).
bool acceptNegotiateReply(SmbSession *session, const uint8_t *reply, int32_t n)
{
    const int32_t check = SmbCheckReply(session, reply, n, kSmbComNegotiate);
    if (check <= 0)
        return check == 0 ? refuse(EPROTONOSUPPORT) : false;
    if (reply[kSmbWordCountOffset] < 1) {
        SmbSessionBreak(session, EPROTO);
        return false;
    }
    const uint16_t index = SmbGet16(reply + 33);
    if (index == kNoDialect || index >= offeredDialectCount())
        return refuse(EPROTONOSUPPORT);
    session->protocolLevel = SmbDialectLevel(SmbOfferedDialects, index);
    if (session->protocolLevel == -1 || reply[kSmbWordCountOffset] != kNegotiateWordCount)
        return refuse(EPROTONOSUPPORT);
    // Word count 17 lies within n, so every field below was carried.
    session->maxMpxCount = SmbGet16(reply + 36);
    session->maxBufferSize = SmbGet32(reply + 40);
    session->maxRawSize = SmbGet32(reply + 44);
    session->sessionKey = SmbGet32(reply + 48);
    session->capabilities = SmbGet32(reply + 52);
    session->extendedSecurity = (reply[55] & kExtendedSecurityBit) != 0 ? 1 : 0;
    return true;
}

// A refused logon is EACCES whatever status the server gave.
bool acceptSessionSetupReply(SmbSession *session, const uint8_t *reply, int32_t n)
{
    const int32_t check = SmbCheckReply(session, reply, n, kSmbComSessionSetupAndX);
    if (check <= 0)
        return check == 0 ? refuse(EACCES) : false;
    if (reply[kSmbWordCountOffset] != kSessionSetupReplyWordCount ||
        n < kSmbSessionSetupMinReply) {
        SmbSessionBreak(session, EPROTO);
        return false;
    }
    return true;
}

// The reply is an SMB message for command whose word and data blocks, as
// its counts declare them, lie within its n bytes.
bool wellFormedReply(const uint8_t *reply, int32_t n, uint8_t command)
{
    if (n < kSmbMinMessage || reply[0] != 0xFF || reply[1] != 'S' || reply[2] != 'M' ||
        reply[3] != 'B' || reply[kSmbCommandOffset] != command ||
        (reply[kSmbFlagsOffset] & kSmbFlagReply) == 0)
        return false;
    const int32_t byteCountAt = kSmbWordCountOffset + 1 + 2 * reply[kSmbWordCountOffset];
    if (byteCountAt + 2 > n)
        return false;
    return byteCountAt + 2 + SmbGet16(reply + byteCountAt) <= n;
}

bool replyCarriesError(const uint8_t *reply)
{
    if ((SmbGet16(reply + kSmbFlags2Offset) & kSmbFlags2NtStatus) != 0)
        return SmbGet32(reply + kSmbErrorClassOffset) != 0;
    return reply[kSmbErrorClassOffset] != 0;
}

// DOS error classes and the codes a file server gives this client.
inline constexpr uint8_t kErrDos = 0x01;
inline constexpr uint8_t kErrSrv = 0x02;

int dosErrno(uint8_t errorClass, uint16_t code)
{
    if (errorClass == kErrDos) {
        switch (code) {
        case 2:   // ERRbadfile
        case 3:   // ERRbadpath
        case 123: // ERRinvalidname
            return ENOENT;
        case 5:   // ERRnoaccess
            return EACCES;
        case 4:   // ERRnofids
            return EMFILE;
        case 32:  // ERRbadshare: sharing violation
            return EBUSY;
        default:
            return EIO;
        }
    }
    if (errorClass == kErrSrv) {
        switch (code) {
        case 2:   // ERRbadpw
        case 4:   // ERRaccess
        case 6:   // ERRinvnetname
            return EACCES;
        case 5:   // ERRinvtid
            return ENOTCONN;
        default:
            return EIO;
        }
    }
    return EIO;
}

int ntStatusErrno(uint32_t status)
{
    switch (status) {
    case 0xC0000034:  // STATUS_OBJECT_NAME_NOT_FOUND
    case 0xC000003A:  // STATUS_OBJECT_PATH_NOT_FOUND
    case 0xC0000033:  // STATUS_OBJECT_NAME_INVALID
        return ENOENT;
    case 0xC0000022:  // STATUS_ACCESS_DENIED
    case 0xC000006D:  // STATUS_LOGON_FAILURE
    case 0xC00000CC:  // STATUS_BAD_NETWORK_NAME
        return EACCES;
    default:
        return EIO;
    }
}

}  // namespace

bool SmbUpperCaseName(const char *name, char (&out)[kSmbNameRoom])
{
    const size_t length = std::strlen(name);
    if (length >= sizeof out)
        return false;
    for (size_t i = 0; i <= length; ++i) {
        const char c = name[i];
        out[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return true;
}

const char *const SmbOfferedDialects[] = {"NT LM 0.12", nullptr};

void SmbFillHeader(uint8_t *buffer, uint8_t command, const SmbSession *session, uint16_t tid)
{
    buffer[0] = 0xFF;
    buffer[1] = 'S';
    buffer[2] = 'M';
    buffer[3] = 'B';
    buffer[kSmbCommandOffset] = command;
    SmbPut16(buffer + kSmbTidOffset, tid);
    SmbPut16(buffer + kSmbPidOffset, session->pid);
    SmbPut16(buffer + kSmbUidOffset, session->uid);
    SmbPut16(buffer + kSmbMidOffset, session->mid);
}

int32_t SmbDialectLevel(const char *const *list, int32_t index)
{
    if (list == nullptr || index < 0)
        return -1;
    for (int32_t i = 0; i < index; ++i) {
        if (list[i] == nullptr)
            return -1;
    }
    const char *name = list[index];
    if (name == nullptr)
        return -1;
    for (const SmbDialect &dialect : kSmbDialectTable) {
        if (std::strcmp(dialect.name, name) == 0)
            return dialect.level;
    }
    return -1;
}

void SmbSessionBreak(SmbSession *session, int reason)
{
    if (reason == 0)
        reason = EPROTO;  // a failure that named no reason
    if (session->broken == 0)
        session->broken = reason;
    NbtClose(session->transport);
    session->transport = nullptr;
    errno = reason;
}

bool SmbSessionUsable(const SmbSession *session)
{
    if (session == nullptr)
        return refuse(EINVAL);
    return session->broken == 0 || refuse(ENOTCONN);
}

int32_t SmbSendRequest(SmbSession *session, BufChain *request, int32_t requestLength)
{
    if (!SmbSessionUsable(session))
        return -1;
    if (NbtSendMessage(session->transport, request, requestLength) < 0) {
        SmbSessionBreak(session, errno);
        return -1;
    }
    return 0;
}

int32_t SmbReceiveReply(SmbSession *session, BufChain *reply, int32_t capacity)
{
    if (!SmbSessionUsable(session))
        return -1;
    const int32_t n = NbtReceiveMessage(session->transport, reply, capacity);
    if (n < 0)
        SmbSessionBreak(session, errno);
    return n;
}

int32_t SmbExchange(SmbSession *session, BufChain *request, int32_t requestLength,
                    BufChain *reply, int32_t capacity)
{
    if (SmbSendRequest(session, request, requestLength) < 0)
        return -1;
    return SmbReceiveReply(session, reply, capacity);
}

int32_t SmbCheckReply(SmbSession *session, const uint8_t *reply, int32_t n, uint8_t command)
{
    if (!wellFormedReply(reply, n, command)) {
        SmbSessionBreak(session, EPROTO);
        return -1;
    }
    if (replyCarriesError(reply)) {
        errno = SmbStatusErrno(reply);
        return 0;
    }
    return 1;
}

SmbName SmbNameOnWire(const SmbSession *session, const char *text)
{
    const size_t length = std::strlen(text);
    bool ascii = true;
    for (size_t i = 0; i < length && ascii; ++i)
        ascii = static_cast<unsigned char>(text[i]) < 0x80;
    const int64_t wide = ascii || (session->capabilities & kSmbCapUnicode) == 0
                             ? -1
                             : utf8ToUtf16Length(text);
    if (wide < 0)
        return SmbName{text, length + 1, false};
    return SmbName{text, static_cast<size_t>(wide) + 2, true};
}

void SmbPutName(uint8_t *out, const SmbName &name)
{
    if (!name.unicode) {
        std::memcpy(out, name.text, name.length);
        return;
    }
    utf8ToUtf16le(name.text, out);
    out[name.length - 2] = 0;
    out[name.length - 1] = 0;
}

int SmbStatusErrno(const uint8_t *reply)
{
    if ((SmbGet16(reply + kSmbFlags2Offset) & kSmbFlags2NtStatus) != 0)
        return ntStatusErrno(SmbGet32(reply + kSmbErrorClassOffset));
    return dosErrno(reply[kSmbErrorClassOffset], SmbGet16(reply + kSmbErrorCodeOffset));
}

int32_t SmbNegotiate(SmbSession *session)
{
    int32_t byteCount = 0;
    for (int32_t i = 0; SmbOfferedDialects[i] != nullptr; ++i)
        byteCount += static_cast<int32_t>(std::strlen(SmbOfferedDialects[i])) + 2;
    const int32_t requestLength = 35 + byteCount;
    const int32_t size =
        requestLength > kSmbNegotiateBufferSize ? requestLength : kSmbNegotiateBufferSize;

    BufChain *buffer = BufChainNew(size);
    if (buffer == nullptr)
        return -1;
    uint8_t *bytes = buffer->data;
    std::memset(bytes, 0, 35);
    SmbFillHeader(bytes, kSmbComNegotiate, session, 0);
    bytes[kSmbWordCountOffset] = 0;
    SmbPut16(bytes + 33, static_cast<uint32_t>(byteCount));
    uint8_t *at = bytes + 35;
    for (int32_t i = 0; SmbOfferedDialects[i] != nullptr; ++i) {
        const size_t length = std::strlen(SmbOfferedDialects[i]);
        *at++ = kDialectBufferFormat;
        std::memcpy(at, SmbOfferedDialects[i], length + 1);
        at += length + 1;
    }

    const int32_t n = SmbExchange(session, buffer, requestLength, buffer, size);
    const int32_t result = n >= 0 && acceptNegotiateReply(session, bytes, n) ? 0 : -1;
    BufChainFree(buffer);
    return result;
}

int32_t SmbSessionSetup(SmbSession *session)
{
    if (!SmbSessionUsable(session))
        return -1;
    if (session->protocolLevel != kSmbNtLevel || session->extendedSecurity == 1) {
        errno = EPROTONOSUPPORT;
        return -1;
    }
    BufChain *buffer = BufChainNew(kSmbSessionSetupBufferSize);
    if (buffer == nullptr)
        return -1;
    uint8_t *bytes = buffer->data;
    std::memset(bytes, 0, kSmbSessionSetupBufferSize);
    SmbFillHeader(bytes, kSmbComSessionSetupAndX, session, 0);
    bytes[32] = kSessionSetupWordCount;
    bytes[33] = kSmbNoAndX;
    SmbPut16(bytes + 37, kClientMaxBuffer);
    SmbPut16(bytes + 39, kClientMaxMpx);
    SmbPut16(bytes + 41, session->pid);  // VcNumber
    SmbPut32(bytes + 43, session->sessionKey);
    SmbPut16(bytes + 47, 1);  // case-insensitive password: one 0 byte
    SmbPut16(bytes + 49, 0);
    // Large reads are asked for only from a server that offers them; a
    // server may honour them only for a client that said it can take them.
    SmbPut32(bytes + 55, session->capabilities & kSmbCapLargeReadX);
    SmbPut16(bytes + 59, kGuestLogonLength);
    std::memcpy(bytes + 61, kGuestLogonData, kGuestLogonLength);

    int32_t result = -1;
    const int32_t n = SmbExchange(session, buffer, kSmbSessionSetupRequestLength, buffer,
                                  kSmbSessionSetupBufferSize);
    if (n >= 0 && acceptSessionSetupReply(session, bytes, n)) {
        session->uid = SmbGet16(bytes + kSmbUidOffset);
        result = 1;
    }
    BufChainFree(buffer);
    return result;
}

SmbSession *SmbSessionCreateAtPort(const char *serverName, const char *addressText,
                                   int32_t port)
{
    char calledName[kSmbNameRoom];
    if (serverName == nullptr || addressText == nullptr || !SmbUpperCaseName(serverName, calledName)) {
        errno = EINVAL;
        return nullptr;
    }
    auto *session = new (std::nothrow) SmbSession{};
    if (session == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    session->treeListHead = nullptr;
    session->treeListTail = nullptr;
    localHostName(session->clientName, sizeof session->clientName);
    session->port = port;
    session->pid = currentProcessId();
    session->mid = session->pid;
    session->uid = 0;

    char callingName[kSmbNameRoom];
    SmbUpperCaseName(session->clientName, callingName);  // fits: same room
    session->transport = NbtOpen(calledName, callingName, session->port, addressText);
    if (session->transport == nullptr || SmbNegotiate(session) != 0 ||
        SmbSessionSetup(session) != 1) {
        const int reason = errno;
        SmbSessionFree(session);
        errno = reason;
        return nullptr;
    }
    return session;
}

SmbSession *SmbSessionCreate(const char *serverName, const char *addressText)
{
    return SmbSessionCreateAtPort(serverName, addressText, 0);
}

int32_t SmbSessionFree(SmbSession *session)
{
    if (session != nullptr) {
        NbtClose(session->transport);
        delete session;
    }
    return 0;
}

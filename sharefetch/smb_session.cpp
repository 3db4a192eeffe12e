#include "smb_session.h"

#include <cstring>
#include <new>

#include "platform/host_identity.h"

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

// name with a-z turned into A-Z and every other byte kept; false when it
// does not fit the room of out.
bool upperCaseName(const char *name, char (&out)[kSmbNameRoom])
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

// Reads the NEGOTIATE reply of n bytes in buffer into the session.
bool acceptNegotiateReply(SmbSession *session, const uint8_t *reply, int32_t n)
{
    if (n <= kSmbErrorClassOffset || reply[kSmbErrorClassOffset] != 0)
        return false;
    if (n < 35)
        return false;
    const uint16_t index = SmbGet16(reply + 33);
    if (index == kNoDialect || index >= offeredDialectCount())
        return false;
    session->protocolLevel = SmbDialectLevel(SmbOfferedDialects, index);
    if (session->protocolLevel == -1)
        return false;
    if (reply[kSmbWordCountOffset] != kNegotiateWordCount || n < kSmbNegotiateMinReply)
        return false;
    session->maxRawSize = SmbGet32(reply + 44);
    session->sessionKey = SmbGet32(reply + 48);
    session->extendedSecurity = (reply[55] & kExtendedSecurityBit) != 0 ? 1 : 0;
    return true;
}

bool acceptSessionSetupReply(const uint8_t *reply, int32_t n)
{
    // Checked in this order; a field the reply did not carry fails its check.
    return n > kSmbErrorClassOffset && reply[kSmbErrorClassOffset] == 0 &&
           reply[kSmbCommandOffset] == kSmbComSessionSetupAndX && n > kSmbFlagsOffset &&
           (reply[kSmbFlagsOffset] & kSmbFlagReply) != 0 && n > kSmbWordCountOffset &&
           reply[kSmbWordCountOffset] == kSessionSetupReplyWordCount &&
           n >= kSmbSessionSetupMinReply;
}

}  // namespace

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

    int32_t result = -1;
    if (NbtSendMessage(session->transport, buffer, requestLength) >= 0) {
        const int32_t n = NbtReceiveMessage(session->transport, buffer, size);
        if (n >= 0 && acceptNegotiateReply(session, bytes, n))
            result = 0;
    }
    BufChainFree(buffer);
    return result;
}

int32_t SmbSessionSetup(SmbSession *session)
{
    if (session == nullptr || session->protocolLevel != kSmbNtLevel ||
        session->extendedSecurity == 1)
        return -1;
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
    SmbPut16(bytes + 59, kGuestLogonLength);
    std::memcpy(bytes + 61, kGuestLogonData, kGuestLogonLength);

    int32_t result = -1;
    if (NbtSendMessage(session->transport, buffer, kSmbSessionSetupRequestLength) >= 0) {
        const int32_t n =
            NbtReceiveMessage(session->transport, buffer, kSmbSessionSetupBufferSize);
        if (n >= 0 && acceptSessionSetupReply(bytes, n)) {
            session->uid = SmbGet16(bytes + kSmbUidOffset);
            result = 1;
        }
    }
    BufChainFree(buffer);
    return result;
}

SmbSession *SmbSessionCreateAtPort(const char *serverName, const char *addressText,
                                   int32_t port)
{
    char calledName[kSmbNameRoom];
    if (serverName == nullptr || addressText == nullptr || !upperCaseName(serverName, calledName))
        return nullptr;
    auto *session = new (std::nothrow) SmbSession{};
    if (session == nullptr)
        return nullptr;
    session->treeListHead = nullptr;
    session->treeListTail = nullptr;
    localHostName(session->clientName, sizeof session->clientName);
    session->port = port;
    session->pid = currentProcessId();
    session->mid = session->pid;
    session->uid = 0;

    char callingName[kSmbNameRoom];
    upperCaseName(session->clientName, callingName);  // fits: same room
    session->transport = NbtOpen(calledName, callingName, session->port, addressText);
    if (session->transport == nullptr || SmbNegotiate(session) != 0 ||
        SmbSessionSetup(session) != 1) {
        SmbSessionFree(session);
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

#include "smb2_session.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "ntlmssp.h"
#include "platform/host_identity.h"
#include "smb_session.h"

namespace {

// NEGOTIATE request.
inline constexpr uint16_t kNegotiateStructureSize = 36;
inline constexpr uint32_t kNegotiateDialectCountAt = 66;
inline constexpr uint32_t kNegotiateSecurityModeAt = 68;
inline constexpr uint32_t kNegotiateClientGuidAt = 76;
inline constexpr uint32_t kNegotiateDialectsAt = 100;
// NEGOTIATE reply.
inline constexpr uint16_t kNegotiateReplyStructureSize = 65;
inline constexpr uint32_t kNegotiateReplySecurityModeAt = 66;
inline constexpr uint32_t kNegotiateReplyDialectAt = 68;
inline constexpr uint32_t kNegotiateReplyMaxTransactAt = 92;
inline constexpr uint32_t kNegotiateReplyMaxReadAt = 96;

// SESSION_SETUP request: the blob follows the fixed part.
inline constexpr uint16_t kSetupStructureSize = 25;
inline constexpr uint32_t kSetupSecurityModeAt = 67;
inline constexpr uint32_t kSetupBlobOffsetAt = 76;
inline constexpr uint32_t kSetupBlobLengthAt = 78;
inline constexpr uint32_t kSetupBlobAt = 88;
// SESSION_SETUP reply.
inline constexpr uint16_t kSetupReplyStructureSize = 9;
inline constexpr uint32_t kSetupReplyFlagsAt = 66;
inline constexpr uint32_t kSetupReplyBlobOffsetAt = 68;
inline constexpr uint32_t kSetupReplyBlobLengthAt = 70;
inline constexpr uint32_t kSetupReplyMinLength = 72;
inline constexpr uint16_t kSessionFlagEncrypt = 0x0004;

// LOGOFF request and reply: structure size 4 and two reserved bytes.
inline constexpr uint16_t kLogoffStructureSize = 4;
inline constexpr uint32_t kLogoffLength = 68;

inline constexpr uint16_t kSecuritySigningEnabled = 0x0001;

// A reply of the wanted command with status and the wanted structure size
// inside its n bytes.
bool replyIs(const uint8_t *reply, int32_t n, const Smb2Header &header, uint16_t command,
             uint16_t structureSize, uint32_t minLength)
{
    return n >= static_cast<int32_t>(minLength) && header.command == command &&
           SmbGet16(reply + kSmb2HeaderLength) == structureSize;
}

bool knownDialect(uint16_t dialect)
{
    for (uint16_t offered : kSmb2Dialects) {
        if (offered == dialect)
            return true;
    }
    return false;
}

NbtConnection *openTransport(const char *serverName, const char *addressText, int32_t port)
{
    char calledName[kSmbNameRoom];
    char hostName[kSmbNameRoom];
    char callingName[kSmbNameRoom];
    if (!SmbUpperCaseName(serverName, calledName))
        return nullptr;
    localHostName(hostName, sizeof hostName);
    SmbUpperCaseName(hostName, callingName);  // fits: same room
    return NbtOpen(calledName, callingName, port, addressText);
}

// One SESSION_SETUP leg carrying blob; the reply's blob bounds in *reply.
// The reply's status, or -1 (broken or malformed).
int64_t setupLeg(Smb2Session *session, const uint8_t *blob, size_t blobLength, uint8_t *reply,
                 const uint8_t **replyBlob, size_t *replyBlobLength, uint16_t *sessionFlags)
{
    uint8_t request[kSetupBlobAt + 256];
    if (blobLength > sizeof request - kSetupBlobAt)
        return -1;
    Smb2WriteHeader(request, kSmb2SessionSetup);
    std::memset(request + kSmb2HeaderLength, 0, kSetupBlobAt - kSmb2HeaderLength);
    SmbPut16(request + kSmb2HeaderLength, kSetupStructureSize);
    request[kSetupSecurityModeAt] = kSecuritySigningEnabled;
    SmbPut16(request + kSetupBlobOffsetAt, kSetupBlobAt);
    SmbPut16(request + kSetupBlobLengthAt, static_cast<uint32_t>(blobLength));
    std::memcpy(request + kSetupBlobAt, blob, blobLength);

    Smb2Header header{};
    const int32_t n = Smb2Exchange(session, request, kSetupBlobAt + static_cast<uint32_t>(blobLength), reply,
                                   kSmb2LogonRoom, &header);
    if (n < 0)
        return -1;
    if (header.status != kStatusSuccess && header.status != kStatusMoreProcessing)
        return header.status;
    if (!replyIs(reply, n, header, kSmb2SessionSetup, kSetupReplyStructureSize,
                 kSetupReplyMinLength))
        return -1;
    const uint32_t offset = SmbGet16(reply + kSetupReplyBlobOffsetAt);
    const uint32_t length = SmbGet16(reply + kSetupReplyBlobLengthAt);
    if (length != 0 && (offset < kSetupReplyMinLength || offset > static_cast<uint32_t>(n) ||
                        length > static_cast<uint32_t>(n) - offset))
        return -1;
    session->sessionId = header.sessionId;
    *replyBlob = reply + offset;
    *replyBlobLength = length;
    *sessionFlags = SmbGet16(reply + kSetupReplyFlagsAt);
    return header.status;
}

}  // namespace

int32_t Smb2Negotiate(Smb2Session *session)
{
    uint8_t request[kSmb2NegotiateRequestLength];
    Smb2WriteHeader(request, kSmb2Negotiate);
    std::memset(request + kSmb2HeaderLength, 0, sizeof request - kSmb2HeaderLength);
    SmbPut16(request + kSmb2HeaderLength, kNegotiateStructureSize);
    SmbPut16(request + kNegotiateDialectCountAt, std::size(kSmb2Dialects));
    SmbPut16(request + kNegotiateSecurityModeAt, kSecuritySigningEnabled);
    // The client GUID only has to tell our connections apart.
    SmbPut32(request + kNegotiateClientGuidAt, currentProcessId());
    Smb2Put64(request + kNegotiateClientGuidAt + 4, reinterpret_cast<uintptr_t>(session));
    for (size_t i = 0; i < std::size(kSmb2Dialects); ++i)
        SmbPut16(request + kNegotiateDialectsAt + 2 * i, kSmb2Dialects[i]);

    uint8_t reply[kSmb2LogonRoom];
    Smb2Header header{};
    const int32_t n =
        Smb2Exchange(session, request, sizeof request, reply, sizeof reply, &header);
    if (n < 0)
        return -1;
    if (header.status != kStatusSuccess ||
        !replyIs(reply, n, header, kSmb2Negotiate, kNegotiateReplyStructureSize,
                 kSmb2NegotiateMinReply) ||
        !knownDialect(SmbGet16(reply + kNegotiateReplyDialectAt)) ||
        SmbGet32(reply + kNegotiateReplyMaxReadAt) == 0) {
        errno = EPROTONOSUPPORT;
        return -1;
    }
    session->serverSecurityMode = SmbGet16(reply + kNegotiateReplySecurityModeAt);
    session->dialect = SmbGet16(reply + kNegotiateReplyDialectAt);
    session->maxTransactSize = SmbGet32(reply + kNegotiateReplyMaxTransactAt);
    session->maxReadSize = SmbGet32(reply + kNegotiateReplyMaxReadAt);
    return 0;
}

int32_t Smb2SessionSetup(Smb2Session *session)
{
    uint8_t blob[256];
    uint8_t reply[kSmb2LogonRoom];
    const uint8_t *replyBlob = nullptr;
    size_t replyBlobLength = 0;
    uint16_t flags = 0;
    const size_t negotiateLength = NtlmsspNegotiateToken(blob, sizeof blob);
    int64_t status = setupLeg(session, blob, negotiateLength, reply, &replyBlob,
                              &replyBlobLength, &flags);
    const uint8_t *challenge = nullptr;
    size_t challengeLength = 0;
    uint32_t serverFlags = 0;
    if (status != kStatusMoreProcessing ||
        !NtlmsspFindMessage(replyBlob, replyBlobLength, &challenge, &challengeLength) ||
        !NtlmsspReadChallenge(challenge, challengeLength, &serverFlags)) {
        errno = status > 0 ? Smb2StatusErrno(static_cast<uint32_t>(status)) : EPROTO;
        return -1;
    }
    const size_t authenticateLength = NtlmsspAuthenticateToken(serverFlags, blob, sizeof blob);
    status = setupLeg(session, blob, authenticateLength, reply, &replyBlob, &replyBlobLength,
                      &flags);
    if (status != kStatusSuccess) {
        errno = status > 0 ? Smb2StatusErrno(static_cast<uint32_t>(status)) : EPROTO;
        return -1;
    }
    // Encrypted sessions need a key an anonymous logon does not have.
    if ((flags & kSessionFlagEncrypt) != 0) {
        errno = EPERM;
        return -1;
    }
    return 0;
}

Smb2Session *Smb2SessionCreateAtPort(const char *serverName, const char *addressText,
                                     int32_t port)
{
    if (serverName == nullptr || addressText == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    auto *session = new (std::nothrow) Smb2Session{};
    if (session == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    session->credits = 1;
    session->transport = openTransport(serverName, addressText, port);
    if (session->transport == nullptr) {
        delete session;
        errno = ECONNREFUSED;
        return nullptr;
    }
    if (Smb2Negotiate(session) != 0 || Smb2SessionSetup(session) != 0) {
        const int reason = errno;
        Smb2Break(session, reason);
        delete session;
        errno = reason;
        return nullptr;
    }
    return session;
}

void Smb2SessionFree(Smb2Session *session)
{
    if (session == nullptr)
        return;
    const int saved = errno;
    if (!session->broken) {
        uint8_t request[kLogoffLength];
        uint8_t reply[kLogoffLength];
        Smb2Header header{};
        Smb2WriteHeader(request, kSmb2Logoff);
        SmbPut16(request + kSmb2HeaderLength, kLogoffStructureSize);
        SmbPut16(request + kSmb2HeaderLength + 2, 0);
        // The answer does not matter: the connection closes either way.
        (void)Smb2Exchange(session, request, sizeof request, reply, sizeof reply, &header);
    }
    Smb2Break(session, saved);
    delete session;
}

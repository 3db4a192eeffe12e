#include "ntlmssp.h"

#include <cstring>

namespace {

constexpr uint8_t kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};
inline constexpr uint32_t kTypeNegotiate = 1;
inline constexpr uint32_t kTypeChallenge = 2;
inline constexpr uint32_t kTypeAuthenticate = 3;

inline constexpr uint32_t kFlagUnicode = 0x00000001;
inline constexpr uint32_t kFlagRequestTarget = 0x00000004;
inline constexpr uint32_t kFlagNtlm = 0x00000200;
inline constexpr uint32_t kFlagAnonymous = 0x00000800;
inline constexpr uint32_t kFlagAlwaysSign = 0x00008000;
inline constexpr uint32_t kFlagExtendedSecurity = 0x00080000;
inline constexpr uint32_t kFlag128 = 0x20000000;
inline constexpr uint32_t kFlag56 = 0x80000000;
// No signing, sealing or key exchange: there is no key to do them with.
inline constexpr uint32_t kClientFlags = kFlagUnicode | kFlagRequestTarget | kFlagNtlm |
                                         kFlagAlwaysSign | kFlagExtendedSecurity | kFlag128 |
                                         kFlag56;

// NEGOTIATE: signature, type, flags, empty domain and workstation fields.
inline constexpr size_t kNegotiateLength = 32;
inline constexpr size_t kNegotiateFlagsAt = 12;
// CHALLENGE: flags at 20, server challenge at 24.
inline constexpr size_t kChallengeFlagsAt = 20;
inline constexpr size_t kChallengeMinLength = 32;
// AUTHENTICATE: six length/offset fields from 12, flags at 60, payload at 64.
inline constexpr size_t kAuthenticateLmAt = 12;
inline constexpr size_t kAuthenticateFirstEmptyField = 20;
inline constexpr size_t kAuthenticateFieldCount = 5;  // NT, domain, user, workstation, key
inline constexpr size_t kAuthenticateFlagsAt = 60;
inline constexpr size_t kAuthenticatePayloadAt = 64;
// An anonymous LM response is one zero byte.
inline constexpr size_t kAuthenticateLength = kAuthenticatePayloadAt + 1;

// DER tags of the SPNEGO tokens.
inline constexpr uint8_t kTagApplication0 = 0x60;
inline constexpr uint8_t kTagSequence = 0x30;
inline constexpr uint8_t kTagOid = 0x06;
inline constexpr uint8_t kTagOctetString = 0x04;
inline constexpr uint8_t kTagContext0 = 0xA0;
inline constexpr uint8_t kTagContext1 = 0xA1;
inline constexpr uint8_t kTagContext2 = 0xA2;
constexpr uint8_t kSpnegoOid[] = {0x2B, 0x06, 0x01, 0x05, 0x05, 0x02};
constexpr uint8_t kNtlmsspOid[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x02, 0x0A};

void put32(uint8_t *at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t get32(const uint8_t *at)
{
    return static_cast<uint32_t>(at[0] | (at[1] << 8) | (at[2] << 16)) | (static_cast<uint32_t>(at[3]) << 24);
}

size_t derHeaderLength(size_t content)
{
    return content < 0x80 ? 2 : content <= 0xFF ? 3 : 4;
}

size_t derLength(size_t content) { return derHeaderLength(content) + content; }

// Writes tag and the length of content; the content follows. Returns the
// position after the header. Contents here stay below 64 KiB.
uint8_t *putDerHeader(uint8_t *at, uint8_t tag, size_t content)
{
    *at++ = tag;
    if (content >= 0x100) {
        *at++ = 0x82;
        *at++ = static_cast<uint8_t>(content >> 8);
    } else if (content >= 0x80) {
        *at++ = 0x81;
    }
    *at++ = static_cast<uint8_t>(content);
    return at;
}

uint8_t *putBytes(uint8_t *at, const uint8_t *bytes, size_t length)
{
    std::memcpy(at, bytes, length);
    return at + length;
}

// One DER element inside [at, end): its tag, and its content bounds.
struct DerElement {
    uint8_t tag;
    const uint8_t *content;
    size_t length;
};

bool readDer(const uint8_t *at, const uint8_t *end, DerElement *out)
{
    if (end - at < 2)
        return false;
    out->tag = at[0];
    size_t length = at[1];
    at += 2;
    if (length >= 0x80) {
        const size_t octets = length & 0x7F;
        if (octets == 0 || octets > 3 || static_cast<size_t>(end - at) < octets)
            return false;
        length = 0;
        for (size_t i = 0; i < octets; ++i)
            length = (length << 8) | *at++;
    }
    if (length > static_cast<size_t>(end - at))
        return false;
    out->content = at;
    out->length = length;
    return true;
}

// The content of the first element tagged tag among the elements in
// [at, end), skipping the others.
bool findDer(const uint8_t *at, const uint8_t *end, uint8_t tag, DerElement *out)
{
    while (at < end) {
        if (!readDer(at, end, out))
            return false;
        if (out->tag == tag)
            return true;
        at = out->content + out->length;
    }
    return false;
}

bool isNtlmssp(const uint8_t *blob, size_t length)
{
    return length >= sizeof kSignature && std::memcmp(blob, kSignature, sizeof kSignature) == 0;
}

}  // namespace

size_t NtlmsspNegotiateToken(uint8_t *out, size_t room)
{
    // 60 { OID spnego, A0 { 30 { A0 { 30 { OID ntlmssp } }, A2 { 04 { msg } } } } }
    const size_t oid = derLength(sizeof kNtlmsspOid);
    const size_t mechTypes = derLength(oid);
    const size_t fields = derLength(mechTypes) + derLength(derLength(kNegotiateLength));
    const size_t init = derLength(fields);
    const size_t inner = derLength(sizeof kSpnegoOid) + derLength(init);
    if (derLength(inner) > room)
        return 0;
    uint8_t *at = putDerHeader(out, kTagApplication0, inner);
    at = putDerHeader(at, kTagOid, sizeof kSpnegoOid);
    at = putBytes(at, kSpnegoOid, sizeof kSpnegoOid);
    at = putDerHeader(at, kTagContext0, init);
    at = putDerHeader(at, kTagSequence, fields);
    at = putDerHeader(at, kTagContext0, mechTypes);
    at = putDerHeader(at, kTagSequence, oid);
    at = putDerHeader(at, kTagOid, sizeof kNtlmsspOid);
    at = putBytes(at, kNtlmsspOid, sizeof kNtlmsspOid);
    at = putDerHeader(at, kTagContext2, derLength(kNegotiateLength));
    at = putDerHeader(at, kTagOctetString, kNegotiateLength);
    std::memset(at, 0, kNegotiateLength);
    std::memcpy(at, kSignature, sizeof kSignature);
    put32(at + 8, kTypeNegotiate);
    put32(at + kNegotiateFlagsAt, kClientFlags);
    at += kNegotiateLength;
    return static_cast<size_t>(at - out);
}

bool NtlmsspFindMessage(const uint8_t *blob, size_t length, const uint8_t **message,
                        size_t *messageLength)
{
    if (blob == nullptr)
        return false;
    if (isNtlmssp(blob, length)) {
        *message = blob;
        *messageLength = length;
        return true;
    }
    // A1 { 30 { ..., A2 { 04 { message } }, ... } }
    const uint8_t *end = blob + length;
    DerElement resp, sequence, field, token;
    if (!readDer(blob, end, &resp) || resp.tag != kTagContext1 ||
        !readDer(resp.content, resp.content + resp.length, &sequence) ||
        sequence.tag != kTagSequence ||
        !findDer(sequence.content, sequence.content + sequence.length, kTagContext2, &field) ||
        !readDer(field.content, field.content + field.length, &token) ||
        token.tag != kTagOctetString || !isNtlmssp(token.content, token.length))
        return false;
    *message = token.content;
    *messageLength = token.length;
    return true;
}

bool NtlmsspReadChallenge(const uint8_t *message, size_t length, uint32_t *flagsOut)
{
    if (length < kChallengeMinLength || !isNtlmssp(message, length) ||
        get32(message + 8) != kTypeChallenge)
        return false;
    *flagsOut = get32(message + kChallengeFlagsAt);
    return true;
}

size_t NtlmsspAuthenticateToken(uint32_t serverFlags, uint8_t *out, size_t room)
{
    // A1 { 30 { A2 { 04 { msg } } } }
    const size_t token = derLength(derLength(kAuthenticateLength));
    const size_t sequence = derLength(token);
    if (derLength(sequence) > room)
        return 0;
    uint8_t *at = putDerHeader(out, kTagContext1, sequence);
    at = putDerHeader(at, kTagSequence, token);
    at = putDerHeader(at, kTagContext2, derLength(kAuthenticateLength));
    at = putDerHeader(at, kTagOctetString, kAuthenticateLength);
    std::memset(at, 0, kAuthenticateLength);
    std::memcpy(at, kSignature, sizeof kSignature);
    put32(at + 8, kTypeAuthenticate);
    // LM response: length 1, room 1, at the payload; the rest empty, pointing there too.
    at[kAuthenticateLmAt] = 1;
    at[kAuthenticateLmAt + 2] = 1;
    put32(at + kAuthenticateLmAt + 4, kAuthenticatePayloadAt);
    for (size_t i = 0; i < kAuthenticateFieldCount; ++i)
        put32(at + kAuthenticateFirstEmptyField + 8 * i + 4, kAuthenticatePayloadAt + 1);
    put32(at + kAuthenticateFlagsAt, (serverFlags & kClientFlags) | kFlagAnonymous);
    at += kAuthenticateLength;
    return static_cast<size_t>(at - out);
}

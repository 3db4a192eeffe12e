// Anonymous NTLMSSP logon blobs and their SPNEGO wrapping, for the SMB2
// SESSION_SETUP. An anonymous logon has no password and so no session key:
// nothing it opens can be signed or sealed.
#pragma once

#include <cstddef>
#include <cstdint>

// NTLMSSP NEGOTIATE inside a SPNEGO NegTokenInit offering NTLMSSP only.
// Bytes written into out, or 0 when room is too small.
size_t NtlmsspNegotiateToken(uint8_t *out, size_t room);

// The NTLMSSP message inside a server's SPNEGO NegTokenResp (its
// responseToken), or the blob itself when it is a bare NTLMSSP message.
// False when neither is found within the length bytes.
bool NtlmsspFindMessage(const uint8_t *blob, size_t length, const uint8_t **message,
                        size_t *messageLength);

// Negotiate flags of an NTLMSSP CHALLENGE; false for anything else.
bool NtlmsspReadChallenge(const uint8_t *message, size_t length, uint32_t *flagsOut);

// Anonymous NTLMSSP AUTHENTICATE (empty names and responses) answering a
// challenge with serverFlags, inside a SPNEGO NegTokenResp. Bytes written,
// or 0 when room is too small.
size_t NtlmsspAuthenticateToken(uint32_t serverFlags, uint8_t *out, size_t room);

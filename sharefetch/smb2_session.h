// SMB2 session: NEGOTIATE (2.0.2, 2.1, 3.0, 3.0.2), the anonymous NTLMSSP
// SESSION_SETUP and LOGOFF, over a NetBIOS session on port 139 as for
// SMB1. Anonymous sessions have no key, so they are neither signed nor
// encrypted; a server that insists on either refuses them.
#pragma once

#include <cstdint>
#include <iterator>

#include "smb2_message.h"

inline constexpr uint16_t kSmb2Dialects[] = {0x0202, 0x0210, 0x0300, 0x0302};

// NEGOTIATE layout.
inline constexpr uint32_t kSmb2NegotiateRequestLength = 100 + 2 * std::size(kSmb2Dialects);
inline constexpr uint32_t kSmb2NegotiateMinReply = 128;  // ends before the security buffer
// Replies with logon blobs (NEGOTIATE, SESSION_SETUP) are read into this room.
inline constexpr uint32_t kSmb2LogonRoom = 4096;

// A new session with serverName at addressText:port (0 meaning 139), logged
// on anonymously; no tree yet. Null with errno set on failure, nothing left
// open.
Smb2Session *Smb2SessionCreateAtPort(const char *serverName, const char *addressText,
                                     int32_t port);
// LOGOFF (answer not awaited when broken), then closes and releases; accepts null.
void Smb2SessionFree(Smb2Session *session);

// The steps of Smb2SessionCreateAtPort; 0 or -1 with errno set.
int32_t Smb2Negotiate(Smb2Session *session);
int32_t Smb2SessionSetup(Smb2Session *session);

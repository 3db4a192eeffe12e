// SMB2 messages over the NetBIOS session: the 64-byte header, the
// per-server Smb2Session record, credits and message ids, and the framing of
// replies (SMB2 frames carry 24-bit lengths, so replies are read here, header
// first, and their bodies go where the caller says). Any reply that does not
// fit what was asked breaks the session: the socket is closed and every
// later call fails at once.
#pragma once

#include <cstdint>

#include "nbt_transport.h"
#include "smb_session.h"

struct Smb2Session {
    NbtConnection *transport;  // owned; null once broken
    uint16_t dialect;          // revision, e.g. 0x0302
    uint16_t serverSecurityMode;
    uint64_t sessionId;
    uint32_t treeId;
    int32_t treeErrno;  // 0 while the share is connected, else why it was refused
    uint64_t nextMessageId;
    uint32_t credits;  // granted and not yet spent
    uint32_t maxReadSize;
    uint32_t maxTransactSize;
    // 0 while in step; once a reply went missing, came malformed or did
    // not match its request, the errno that broke it.
    int32_t broken;
};

// Header layout.
inline constexpr uint32_t kSmb2HeaderLength = 64;
inline constexpr uint32_t kSmb2CreditChargeAt = 6;
inline constexpr uint32_t kSmb2StatusAt = 8;
inline constexpr uint32_t kSmb2CommandAt = 12;
inline constexpr uint32_t kSmb2CreditsAt = 14;
inline constexpr uint32_t kSmb2FlagsAt = 16;
inline constexpr uint32_t kSmb2NextCommandAt = 20;
inline constexpr uint32_t kSmb2MessageIdAt = 24;
inline constexpr uint32_t kSmb2AsyncIdAt = 32;
inline constexpr uint32_t kSmb2TreeIdAt = 36;
inline constexpr uint32_t kSmb2SessionIdAt = 40;

inline constexpr uint16_t kSmb2Negotiate = 0x0000;
inline constexpr uint16_t kSmb2SessionSetup = 0x0001;
inline constexpr uint16_t kSmb2Logoff = 0x0002;
inline constexpr uint16_t kSmb2TreeConnect = 0x0003;
inline constexpr uint16_t kSmb2TreeDisconnect = 0x0004;
inline constexpr uint16_t kSmb2Create = 0x0005;
inline constexpr uint16_t kSmb2Close = 0x0006;
inline constexpr uint16_t kSmb2Read = 0x0008;

inline constexpr uint32_t kSmb2FlagReply = 0x00000001;
inline constexpr uint32_t kSmb2FlagAsync = 0x00000002;
inline constexpr uint32_t kSmb2FlagRelated = 0x00000004;

inline constexpr uint32_t kStatusSuccess = 0x00000000;
inline constexpr uint32_t kStatusPending = 0x00000103;
inline constexpr uint32_t kStatusMoreProcessing = 0xC0000016;
inline constexpr uint32_t kStatusEndOfFile = 0xC0000011;

// The largest reply accepted: a read of the largest size plus its headers.
// Larger frames (a server announcing more) are refused, not buffered.
inline constexpr uint32_t kSmb2MaxReadSize = 8u << 20;
inline constexpr uint32_t kSmb2MaxFrame = kSmb2MaxReadSize + 0x10000;

// One reply header as read, every field the client uses.
struct Smb2Header {
    uint16_t creditCharge;
    uint32_t status;
    uint16_t command;
    uint16_t credits;
    uint32_t flags;
    uint32_t nextCommand;
    uint64_t messageId;
    uint32_t treeId;
    uint64_t sessionId;
};

// 16- and 32-bit fields use SmbPut16/SmbGet16 and the like; SMB2 adds 64.
inline void Smb2Put64(uint8_t *at, uint64_t v)
{
    SmbPut32(at, static_cast<uint32_t>(v));
    SmbPut32(at + 4, static_cast<uint32_t>(v >> 32));
}
inline uint64_t Smb2Get64(const uint8_t *at)
{
    return SmbGet32(at) | (static_cast<uint64_t>(SmbGet32(at + 4)) << 32);
}

// Zeroes the header of request and fills protocol id, size and command;
// Smb2Send fills the rest.
void Smb2WriteHeader(uint8_t *request, uint16_t command);
// The header at reply; false when it is not an SMB2 reply header.
bool Smb2ReadHeader(const uint8_t *reply, Smb2Header *out);

// Credits a request of payload bytes costs (1 below 64 KiB and on 2.0.2).
uint16_t Smb2CreditCharge(const Smb2Session *session, uint32_t payload);

// Sends the length bytes of request (header written by Smb2WriteHeader) with
// the next message id, the session and tree ids and the credit charge of
// payload bytes; spends the credits. The message id, or -1 (session broken,
// or no credits left: also broken, since nothing can ever go out again).
int64_t Smb2Send(Smb2Session *session, uint8_t *request, uint32_t length, uint32_t payload);

// Reads the next reply's frame and header into header; interim
// STATUS_PENDING replies are consumed on the way. Adds the granted credits.
// The number of body bytes after the header, or -1 (broken).
int64_t Smb2ReceiveHeader(Smb2Session *session, uint8_t header[kSmb2HeaderLength],
                          Smb2Header *out);
// The next count bytes of the current reply into data; 0 or -1 (broken).
int32_t Smb2ReceiveBody(Smb2Session *session, uint8_t *data, uint32_t count);
// Reads and drops count bytes of the current reply; 0 or -1 (broken).
int32_t Smb2Skip(Smb2Session *session, uint32_t count);

// One request and its reply: sends request, receives the reply to it into
// reply (header included) whose room is capacity. The reply length, or -1
// (broken, errno set) for a send or receive failure, a reply to another
// message, a compound reply or one longer than capacity.
int32_t Smb2Exchange(Smb2Session *session, uint8_t *request, uint32_t length, uint8_t *reply,
                     uint32_t capacity, Smb2Header *header);

// Closes the socket and marks the session broken; errno says why (kept
// when already set by the failing step).
void Smb2Break(Smb2Session *session, int reason);
// errno for an NT status a server refused a request with.
int Smb2StatusErrno(uint32_t status);

// Writes UTF-8 text as UTF-16LE into out (room bytes); bytes that are not
// UTF-8 are taken as Latin-1. Bytes written, or -1 when room is too small.
int32_t Smb2PutUtf16(const char *text, uint8_t *out, uint32_t room);

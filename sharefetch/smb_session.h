// SMB session: the common request header, the dialect table, NEGOTIATE
// ("NT LM 0.12" only) and the guest SESSION_SETUP_ANDX, and the per-server
// SmbSession record. All multi-byte SMB fields are little-endian.
#pragma once

#include <cstdint>

#include "nbt_transport.h"

struct SmbTree;
struct Smb2Session;

// One connection to one server; the host's opaque session handle.
struct SmbSession {
    int32_t protocolLevel;
    NbtConnection *transport;  // owned
    char clientName[80];
    SmbTree *treeListHead;
    SmbTree *treeListTail;
    uint32_t mid;
    uint32_t pid;
    uint32_t uid;
    int32_t port;  // 0 means 139
    uint32_t maxRawSize;
    uint32_t sessionKey;
    int32_t extendedSecurity;
    SmbTree *currentTree;
    // From the NEGOTIATE reply: what the server offers (kSmbCap*), how many
    // requests it takes at once, and the largest message it accepts.
    uint32_t capabilities;
    uint16_t maxMpxCount;
    uint32_t maxBufferSize;
    // 0 while the connection is in step; once a reply went missing, came
    // malformed or did not match its request, the errno that broke it. The
    // socket is closed then and every later call fails at once (ENOTCONN).
    int32_t broken;
    // Why currentTree is null (EACCES, ...); 0 while a tree exists.
    int32_t treeConnectErrno;
    // The session when the server refused NT LM 0.12 and SMB2 took over;
    // null on SMB1. Only the export dispatch looks at it.
    Smb2Session *smb2;
};

// SMB header layout, as requests are built and replies read.
inline constexpr int32_t kSmbCommandOffset = 4;
inline constexpr int32_t kSmbErrorClassOffset = 5;
inline constexpr int32_t kSmbFlagsOffset = 9;
inline constexpr int32_t kSmbFlags2Offset = 10;
inline constexpr int32_t kSmbTidOffset = 24;
inline constexpr int32_t kSmbPidOffset = 26;
inline constexpr int32_t kSmbUidOffset = 28;
inline constexpr int32_t kSmbMidOffset = 30;
inline constexpr int32_t kSmbWordCountOffset = 32;
inline constexpr int32_t kSmbHeaderLength = 32;
inline constexpr uint8_t kSmbFlagReply = 0x80;
inline constexpr int32_t kSmbErrorCodeOffset = 7;
inline constexpr uint16_t kSmbFlags2NtStatus = 0x4000;
inline constexpr uint16_t kSmbFlags2Unicode = 0x8000;
// The shortest well-formed message: header, word count 0, byte count 0.
inline constexpr int32_t kSmbMinMessage = 35;

// Capabilities of the NEGOTIATE reply.
inline constexpr uint32_t kSmbCapRawMode = 0x00000001;
inline constexpr uint32_t kSmbCapUnicode = 0x00000004;
inline constexpr uint32_t kSmbCapLargeFiles = 0x00000008;
inline constexpr uint32_t kSmbCapNtStatus = 0x00000040;
inline constexpr uint32_t kSmbCapLargeReadX = 0x00004000;

inline constexpr uint8_t kSmbComClose = 0x04;
inline constexpr uint8_t kSmbComOpen = 0x02;
inline constexpr uint8_t kSmbComReadRaw = 0x1A;
inline constexpr uint8_t kSmbComTreeDisconnect = 0x71;
inline constexpr uint8_t kSmbComNegotiate = 0x72;
inline constexpr uint8_t kSmbComSessionSetupAndX = 0x73;
inline constexpr uint8_t kSmbComTreeConnectAndX = 0x75;
inline constexpr uint8_t kSmbNoAndX = 0xFF;

// The only level a successful negotiation yields ("NT LM 0.12").
inline constexpr int32_t kSmbNtLevel = 8;

// Buffer for the NEGOTIATE request and its reply. Real servers append their
// domain and server names in UTF-16 (Samba's reply to a 7-character name is
// 113 bytes), so the room is generous; a longer reply still fails.
inline constexpr int32_t kSmbNegotiateBufferSize = 1024;

inline constexpr int32_t kSmbSessionSetupBufferSize = 200;
inline constexpr int32_t kSmbSessionSetupRequestLength = 89;
inline constexpr int32_t kSmbSessionSetupMinReply = 41;

// Room for the called name; longer server names are refused.
inline constexpr int32_t kSmbNameRoom = 80;
// name with a-z turned into A-Z and every other byte kept; false when it
// does not fit the room of out. Called and calling names go out this way.
bool SmbUpperCaseName(const char *name, char (&out)[kSmbNameRoom]);

inline void SmbPut16(uint8_t *at, uint32_t value)
{
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

inline void SmbPut32(uint8_t *at, uint32_t value)
{
    SmbPut16(at, value);
    SmbPut16(at + 2, value >> 16);
}

inline uint16_t SmbGet16(const uint8_t *at)
{
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

inline uint32_t SmbGet32(const uint8_t *at)
{
    return SmbGet16(at) | (static_cast<uint32_t>(SmbGet16(at + 2)) << 16);
}

// How a name (a path on the share, a share path) goes on the wire. The host
// gives UTF-8. A pure-ASCII name, one that is not valid UTF-8, or any name
// to a server without Unicode goes as its own bytes; any other as UTF-16LE,
// with the Unicode flag in the request's flags2.
struct SmbName {
    const char *text;
    size_t length;  // bytes on the wire, the terminator included
    bool unicode;
};
SmbName SmbNameOnWire(const SmbSession *session, const char *text);
// Writes name at out: length bytes, the terminator included. Where a
// Unicode name starts must be even, counted from the header.
void SmbPutName(uint8_t *out, const SmbName &name);
// flags2 of a request that carries name.
inline uint16_t SmbNameFlags2(const SmbName &name) { return name.unicode ? kSmbFlags2Unicode : 0; }

// Dialects we offer, ended by null; a reply's DialectIndex counts in this list.
extern const char *const SmbOfferedDialects[];

// Writes signature, command, TID, PID, UID and MID into a zeroed buffer.
void SmbFillHeader(uint8_t *buffer, uint8_t command, const SmbSession *session, uint16_t tid);

// ProtocolLevel of the string at position index of a null-ended list, by
// exact comparison with the dialect table; -1 when it is not there.
int32_t SmbDialectLevel(const char *const *list, int32_t index);

// A new, fully established session (NetBIOS session, NEGOTIATE, guest
// logon) with serverName (at most 79 characters) at addressText port 139,
// or null with nothing left behind.
SmbSession *SmbSessionCreate(const char *serverName, const char *addressText);
// As SmbSessionCreate, at the given TCP port (0 meaning 139). Lets tests and
// the fuzz target play the server on an ephemeral loopback port.
SmbSession *SmbSessionCreateAtPort(const char *serverName, const char *addressText,
                                   int32_t port);
// Closes the transport and releases the record (trees are not touched); 0.
int32_t SmbSessionFree(SmbSession *session);

// The broken-session rule. Every exchange of a session goes through
// SmbExchange and every SMB reply through SmbCheckReply; a failure of either
// breaks the session, so that no later request can take a stale reply.
//
// Marks the session broken by reason and closes its socket now; errno =
// reason. Records stay until the host gives its handles back.
void SmbSessionBreak(SmbSession *session, int reason);
// True while the session is in step; false with errno ENOTCONN once broken.
bool SmbSessionUsable(const SmbSession *session);
// Sends requestLength bytes of request as one message: 0, or -1 with the
// session broken (or already broken) and errno set.
int32_t SmbSendRequest(SmbSession *session, BufChain *request, int32_t requestLength);
// Receives one message into reply (room: capacity bytes): its body length,
// or -1 with the session broken (or already broken) and errno set.
int32_t SmbReceiveReply(SmbSession *session, BufChain *reply, int32_t capacity);
// SmbSendRequest, then SmbReceiveReply.
// Sends requestLength bytes of request as one message and receives the reply
// into reply (room: capacity bytes). Body length, or -1 with the session
// broken (or already broken) and errno set.
int32_t SmbExchange(SmbSession *session, BufChain *request, int32_t requestLength,
                    BufChain *reply, int32_t capacity);
// Looks at an SMB reply of n bytes to a request with command: 1 for a
// success reply whose words and data lie within n; 0 for a well-formed error
// reply, with errno from its status (the session stays in step); -1 with the
// session broken (EPROTO) for anything else.
int32_t SmbCheckReply(SmbSession *session, const uint8_t *reply, int32_t n, uint8_t command);
// errno for a server status: DOS error class and code, or an NT status.
int SmbStatusErrno(const uint8_t *reply);

// NEGOTIATE: 0 with protocolLevel, maxRawSize, sessionKey,
// extendedSecurity, capabilities, maxMpxCount and maxBufferSize set, else -1.
int32_t SmbNegotiate(SmbSession *session);
// Guest SESSION_SETUP_ANDX: 1 with uid replaced by the reply's, else -1
// with the session unchanged.
int32_t SmbSessionSetup(SmbSession *session);

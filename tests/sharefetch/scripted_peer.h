// A scripted SMB server for the tests: a loopback listener on an ephemeral
// port whose thread accepts one connection and runs a script that reads what
// the client sent (to check it byte for byte) and answers scripted bytes.
// It plays what a real server will not do on demand: keep-alives, split
// segments, malformed or refused replies, silence.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

using Bytes = std::vector<uint8_t>;

// The peer's end of the one connection.
struct PeerLink {
    int fd = -1;

    // Exactly n bytes; fewer (and a test failure) when the client closed or
    // nothing came for 10 s.
    Bytes read(size_t n);
    // One session-service packet: its body, with the type in *type.
    Bytes readMessage(uint8_t *type = nullptr);
    void send(const Bytes &bytes);
    // Sends bytes in pieces of the given sizes (the rest as a last piece),
    // pausing between them so that each arrives as a segment of its own.
    void sendInPieces(const Bytes &bytes, std::initializer_list<size_t> sizes, int pauseMs = 20);
    // True when the client closed within ms; what it sent before that is
    // added to *received.
    bool waitForClose(int ms, Bytes *received = nullptr);
    // Sends the end of the stream; the client's reads fail from then on.
    void finishSending();
    // Ends the connection at once with a reset.
    void reset();
};

class ScriptedPeer {
public:
    explicit ScriptedPeer(std::function<void(PeerLink &)> script);
    // Waits for the script; then ends the peer's side of the stream, so that
    // any further read of the client fails at once, and waits for the client
    // to close (10 s at most).
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer &) = delete;
    ScriptedPeer &operator=(const ScriptedPeer &) = delete;

    int32_t port() const { return port_; }
    // Waits for the script to end.
    void finish();

private:
    int listener_ = -1;
    int32_t port_ = 0;
    std::thread thread_;
};

// Session-service packet of type with body.
Bytes nbtPacket(uint8_t type, const Bytes &body);
inline Bytes sessionMessage(const Bytes &body) { return nbtPacket(0x00, body); }

struct ReplyHeader {
    uint8_t errorClass = 0;
    uint8_t flags = 0x80;
    uint16_t tid = 0;
    uint16_t uid = 0;
};

// An SMB reply: header, word count, words, byte count, data.
Bytes smbReply(uint8_t command, const std::vector<uint16_t> &words, const Bytes &data = {},
               ReplyHeader header = {});

// Replies of a well-behaved server.
Bytes negotiateReply(uint32_t maxRawSize = 65536, uint32_t capabilities = 0,
                     uint16_t dialectIndex = 0, uint32_t sessionKey = 0x12345678);
Bytes sessionSetupReply(uint16_t uid);
Bytes treeConnectReply(uint16_t tid);
Bytes treeDisconnectReply();
Bytes openReply(uint16_t fid, uint32_t fileSize, uint32_t lastWriteTime = 0x5F5E1000,
                uint16_t access = 0);
Bytes closeReply();
// TRANS2 QUERY_FILE_INFORMATION reply with standard information, laid out
// as Samba sends it (data block at offset 60).
Bytes queryFileInfoReply(uint64_t endOfFile);
// CAP_LARGE_FILES and CAP_UNICODE.
inline constexpr uint32_t kLargeFilesUnicode = 0x0000000C;

// Little-endian field of a message.
uint16_t le16(const Bytes &bytes, size_t at);
uint32_t le32(const Bytes &bytes, size_t at);
// Bytes of text, without a terminating 0.
Bytes textBytes(const std::string &text);

// Standard dialogues on the peer's side, each checking the request's command.
// Session request answered positively, NEGOTIATE and the first logon.
// capabilities are the server's in the NEGOTIATE reply.
void serveLogon(PeerLink &link, uint32_t maxRawSize = 65536, uint16_t uid = 100,
                uint32_t capabilities = 0);
// serveLogon, the tree connect and the second logon (UID uid + 1).
void serveConnect(PeerLink &link, uint32_t maxRawSize = 65536, uint16_t uid = 100,
                  uint16_t tid = 7, uint32_t capabilities = 0);
// serveConnect with a NEGOTIATE reply of the test's own; returns the first
// SESSION_SETUP_ANDX request.
Bytes serveConnectOffering(PeerLink &link, const Bytes &negotiate, uint16_t uid = 100,
                           uint16_t tid = 7);
// An OPEN answered with fid and fileSize.
void serveOpen(PeerLink &link, uint16_t fid, uint32_t fileSize);
// A size query answered with endOfFile; the request is returned.
Bytes serveSizeQuery(PeerLink &link, uint64_t endOfFile);

// Client side: SMBConnect's steps against the peer's port on 127.0.0.1.
struct SmbSession;
SmbSession *connectToPeer(const ScriptedPeer &peer, const char *share = "\\\\SERVER\\SHARE");

// The 32 header bytes every request starts with: signature, command, TID,
// and this process's id as PID and MID, with uid; the rest zero.
Bytes requestHeader(uint8_t command, uint16_t tid, uint16_t uid, uint8_t flags = 0,
                    uint16_t flags2 = 0);
// header + bytes
Bytes concat(Bytes head, const Bytes &tail);
// bytes with the byte at `at` replaced, or cut to length.
Bytes withByte(Bytes bytes, size_t at, uint8_t value);
Bytes cut(Bytes bytes, size_t length);
// The first-level NetBIOS encoding of name, letter by letter from the rule:
// 'A' + high nibble, 'A' + low nibble, spaces up to 16 positions.
std::string encodedName(const std::string &name);

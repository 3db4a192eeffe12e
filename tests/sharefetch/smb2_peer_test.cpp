// The SMB2 path against a scripted server: what a real server will not do on
// demand (interim replies, replies out of order, no credits, replies that
// point outside themselves).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "ntlmssp.h"
#include "scripted_peer.h"
#include "sharefetch.h"
#include "smb2_file.h"

namespace {

constexpr uint32_t kMaxRead = 65536;
constexpr uint32_t kStatusPendingCode = 0x00000103;
constexpr uint32_t kStatusMoreProcessingCode = 0xC0000016;
constexpr uint32_t kStatusLogonFailure = 0xC000006D;
constexpr uint32_t kStatusEndOfFileCode = 0xC0000011;
constexpr uint32_t kStatusNotFound = 0xC0000034;

uint64_t le64(const Bytes &b, size_t at) { return le32(b, at) | (uint64_t{le32(b, at + 4)} << 32); }

void put(Bytes &b, size_t at, uint64_t value, int size)
{
    if (b.size() < at + static_cast<size_t>(size))
        b.resize(at + static_cast<size_t>(size));
    for (int i = 0; i < size; ++i)
        b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
}

struct Reply {
    uint32_t status = 0;
    uint16_t credits = 64;
    uint32_t flags = 1;  // server to client
    uint32_t nextCommand = 0;
    uint32_t treeId = 5;
};

// A whole SMB2 reply: header for command and messageId, then body.
Bytes smb2Reply(uint16_t command, uint64_t messageId, const Bytes &body, Reply r = {})
{
    Bytes out{0xFE, 'S', 'M', 'B'};
    put(out, 4, 64, 2);
    put(out, 8, r.status, 4);
    put(out, 12, command, 2);
    put(out, 14, r.credits, 2);
    put(out, 16, r.flags, 4);
    put(out, 20, r.nextCommand, 4);
    put(out, 24, messageId, 8);
    put(out, 36, r.treeId, 4);
    put(out, 40, 0x1122334455667788ull, 8);
    put(out, 63, 0, 1);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes errorBody() { return Bytes{9, 0, 0, 0, 0, 0, 0, 0, 0}; }

Bytes der(uint8_t tag, const Bytes &content)
{
    Bytes out{tag};
    if (content.size() >= 0x80)
        out.push_back(0x81);
    out.push_back(static_cast<uint8_t>(content.size()));
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes challengeMessage()
{
    Bytes m = textBytes("NTLMSSP");
    m.push_back(0);
    put(m, 8, 2, 4);
    put(m, 16, 48, 4);          // empty target name at 48
    put(m, 20, 0xE2898215, 4);  // flags
    put(m, 24, 0x0102030405060708ull, 8);
    put(m, 40, 48, 8);
    return m;
}

// NegTokenResp: negState accept-incomplete, mech NTLMSSP, the challenge.
Bytes challengeBlob()
{
    const Bytes oid{0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x02, 0x0A};
    Bytes fields = der(0xA0, der(0x0A, {1}));
    const Bytes mech = der(0xA1, der(0x06, oid));
    fields.insert(fields.end(), mech.begin(), mech.end());
    const Bytes token = der(0xA2, der(0x04, challengeMessage()));
    fields.insert(fields.end(), token.begin(), token.end());
    return der(0xA1, der(0x30, fields));
}

Bytes setupBody(const Bytes &blob)
{
    Bytes body;
    put(body, 0, 9, 2);
    put(body, 4, 72, 2);
    put(body, 6, blob.size(), 2);
    body.insert(body.end(), blob.begin(), blob.end());
    return body;
}

// The next request; checks its command and gives its message id.
uint64_t expectRequest(PeerLink &link, uint16_t command, Bytes *out = nullptr)
{
    Bytes request = link.readMessage();
    EXPECT_GE(request.size(), 64u);
    if (request.size() < 64)
        return 0;
    EXPECT_EQ(le16(request, 12), command);
    if (out != nullptr)
        *out = request;
    return le64(request, 24);
}

// Session request, NEGOTIATE (3.0.2), the two logon legs and TREE_CONNECT,
// each reply granting credits.
void serveSmb2Connect(PeerLink &link, uint16_t credits = 64)
{
    uint8_t type = 0;
    link.readMessage(&type);
    EXPECT_EQ(type, 0x81);
    link.send(nbtPacket(0x82, {}));
    Reply r;
    r.credits = credits;
    Bytes negotiate;
    put(negotiate, 0, 65, 2);
    put(negotiate, 4, 0x0302, 2);
    put(negotiate, 28, 1u << 20, 4);  // MaxTransactSize
    put(negotiate, 32, kMaxRead, 4);  // MaxReadSize
    put(negotiate, 63, 0, 1);
    link.send(sessionMessage(smb2Reply(0, expectRequest(link, 0), negotiate, r)));
    Reply more = r;
    more.status = kStatusMoreProcessingCode;
    link.send(sessionMessage(smb2Reply(1, expectRequest(link, 1), setupBody(challengeBlob()), more)));
    link.send(sessionMessage(smb2Reply(1, expectRequest(link, 1), setupBody({}), r)));
    Bytes tree;
    put(tree, 0, 16, 2);
    put(tree, 2, 1, 1);
    put(tree, 15, 0, 1);
    link.send(sessionMessage(smb2Reply(3, expectRequest(link, 3), tree, r)));
}

void serveCreate(PeerLink &link, uint64_t size, uint16_t credits = 64)
{
    Bytes body;
    put(body, 0, 89, 2);
    put(body, 48, size, 8);
    put(body, 64, 0xABCDEF, 8);  // file id
    put(body, 87, 0, 1);
    Reply r;
    r.credits = credits;
    link.send(sessionMessage(smb2Reply(5, expectRequest(link, 5), body, r)));
}

Bytes readBody(const Bytes &data, uint8_t dataOffset = 80)
{
    Bytes body;
    put(body, 0, 17, 2);
    put(body, 2, dataOffset, 1);
    put(body, 4, data.size(), 4);
    body.resize(dataOffset - 64u);
    body.insert(body.end(), data.begin(), data.end());
    return body;
}

Bytes content(size_t n)
{
    Bytes out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<uint8_t>(i * 13 + (i >> 11));
    return out;
}

struct ReadRequest {
    uint64_t messageId;
    uint32_t length;
    uint64_t offset;
};

ReadRequest readRequest(PeerLink &link)
{
    Bytes request;
    const uint64_t id = expectRequest(link, 8, &request);
    if (request.size() < 113)
        return {id, 0, 0};
    return {id, le32(request, 68), le64(request, 72)};
}

Bytes slice(const Bytes &data, uint64_t offset, uint32_t length)
{
    return Bytes(data.begin() + static_cast<long>(offset),
                 data.begin() + static_cast<long>(offset + length));
}

struct Client {
    Smb2Session *session = nullptr;
    Smb2File *file = nullptr;
    ~Client()
    {
        if (file != nullptr)
            Smb2Close(file);
        Smb2Disconnect(session);
    }
};

bool openAtPeer(const ScriptedPeer &peer, Client &client)
{
    client.session = Smb2ConnectAtPort("127.0.0.1", "SERVER", "\\\\SERVER\\SHARE", peer.port());
    if (client.session == nullptr)
        return false;
    client.file = Smb2Open(client.session, "\\dir\\file.bin");
    return client.file != nullptr;
}

TEST(Smb2Peer, ReadsInFlightAnsweredOutOfOrderAfterAnInterimReply)
{
    const Bytes data = content(3 * kMaxRead + 100);
    ScriptedPeer peer([&](PeerLink &link) {
        serveSmb2Connect(link);
        serveCreate(link, data.size());
        // All four READs are out before the first reply.
        std::vector<ReadRequest> reads;
        for (int i = 0; i < 4; ++i)
            reads.push_back(readRequest(link));
        Reply pending;
        pending.status = kStatusPendingCode;
        pending.flags = 1 | 2;  // async
        link.send(sessionMessage(smb2Reply(8, reads[0].messageId, errorBody(), pending)));
        for (int i = 3; i >= 0; --i) {
            const ReadRequest &r = reads[static_cast<size_t>(i)];
            EXPECT_EQ(r.offset, static_cast<uint64_t>(i) * kMaxRead);
            link.send(sessionMessage(smb2Reply(8, r.messageId, readBody(slice(data, r.offset, r.length)))));
        }
    });
    Client client;
    ASSERT_TRUE(openAtPeer(peer, client));
    EXPECT_EQ(client.file->size, data.size());
    Bytes got(data.size());
    EXPECT_EQ(Smb2ReadAt(client.file, 0, got.data(), static_cast<uint32_t>(got.size())),
              static_cast<int32_t>(data.size()));
    EXPECT_EQ(got, data);
    EXPECT_EQ(client.session->broken, 0);
}

TEST(Smb2Peer, ReadsStayWithinCreditsAndFailWhenNoneAreGranted)
{
    const Bytes data = content(2 * kMaxRead);
    ScriptedPeer peer([&](PeerLink &link) {
        serveSmb2Connect(link, 1);
        serveCreate(link, data.size(), 1);
        const ReadRequest first = readRequest(link);
        // One credit: the second READ must wait for this reply.
        Bytes early;
        EXPECT_FALSE(link.waitForClose(300, &early));
        EXPECT_TRUE(early.empty());
        Reply none;
        none.credits = 0;
        link.send(sessionMessage(smb2Reply(8, first.messageId, readBody(slice(data, 0, first.length)), none)));
    });
    Client client;
    ASSERT_TRUE(openAtPeer(peer, client));
    Bytes got(data.size());
    EXPECT_LT(Smb2ReadAt(client.file, 0, got.data(), static_cast<uint32_t>(got.size())), 0);
    EXPECT_NE(client.session->broken, 0);
    // Broken for good: the next call fails at once.
    EXPECT_EQ(Smb2Open(client.session, "other"), nullptr);
    EXPECT_EQ(errno, ENOTCONN);
}

// Replies that do not fit their request; none may write outside the bytes
// the request covered, and each breaks the session.
struct BadReply {
    const char *name;
    Bytes (*make)(const ReadRequest &r, const Bytes &data);
};

const BadReply kBadReplies[] = {
    {"data past the end of the reply",
     [](const ReadRequest &r, const Bytes &data) {
         Bytes reply = smb2Reply(8, r.messageId, readBody(slice(data, 0, 100)));
         put(reply, 64 + 4, 200, 4);  // claims 200 bytes, carries 100
         return reply;
     }},
    {"more data than asked",
     [](const ReadRequest &r, const Bytes &data) {
         return smb2Reply(8, r.messageId, readBody(slice(data, 0, r.length + 16)));
     }},
    {"data offset inside the fixed part",
     [](const ReadRequest &r, const Bytes &data) {
         Bytes reply = smb2Reply(8, r.messageId, readBody(slice(data, 0, r.length)));
         reply[64 + 2] = 70;
         return reply;
     }},
    {"unknown message id",
     [](const ReadRequest &r, const Bytes &data) {
         return smb2Reply(8, r.messageId + 100, readBody(slice(data, 0, r.length)));
     }},
    {"compound reply",
     [](const ReadRequest &r, const Bytes &data) {
         Reply compound;
         compound.nextCommand = 160;
         return smb2Reply(8, r.messageId, readBody(slice(data, 0, r.length)), compound);
     }},
    {"not an SMB2 header",
     [](const ReadRequest &r, const Bytes &data) {
         Bytes reply = smb2Reply(8, r.messageId, readBody(slice(data, 0, r.length)));
         reply[0] = 0xFF;
         return reply;
     }},
};

TEST(Smb2Peer, ReplyOutsideItsRequestBreaksTheSession)
{
    // The peer's bytes run past what the client asks for (4096 bytes), so
    // that a reply can carry more than its request.
    const Bytes data = content(8192);
    for (const BadReply &bad : kBadReplies) {
        SCOPED_TRACE(bad.name);
        ScriptedPeer peer([&](PeerLink &link) {
            serveSmb2Connect(link);
            serveCreate(link, data.size());
            const ReadRequest r = readRequest(link);
            link.send(sessionMessage(bad.make(r, data)));
        });
        Client client;
        ASSERT_TRUE(openAtPeer(peer, client));
        Bytes got(8192, 0xEE);
        EXPECT_EQ(Smb2ReadAt(client.file, 0, got.data(), 4096), SMB_READ_BAD_REPLY);
        EXPECT_EQ(errno, EPROTO);
        EXPECT_EQ(Bytes(got.begin() + 4096, got.end()), Bytes(4096, 0xEE));
        EXPECT_EQ(Smb2ReadAt(client.file, 0, got.data(), 1), SMB_READ_BAD_REPLY);
        EXPECT_EQ(errno, ENOTCONN);
    }
}

TEST(Smb2Peer, OversizedFrameIsRefusedUnread)
{
    ScriptedPeer peer([&](PeerLink &link) {
        serveSmb2Connect(link);
        serveCreate(link, 100);
        readRequest(link);
        link.send(Bytes{0x00, 0xFF, 0xFF, 0xFF});  // 16 MiB announced
    });
    Client client;
    ASSERT_TRUE(openAtPeer(peer, client));
    uint8_t got[100];
    EXPECT_EQ(Smb2ReadAt(client.file, 0, got, sizeof got), SMB_READ_BAD_REPLY);
    EXPECT_NE(client.session->broken, 0);
}

TEST(Smb2Peer, EndOfFileShortensAReadAndKeepsTheSession)
{
    const Bytes data = content(1000);
    ScriptedPeer peer([&](PeerLink &link) {
        serveSmb2Connect(link);
        serveCreate(link, data.size());
        ReadRequest r = readRequest(link);
        EXPECT_EQ(r.offset, 990u);
        link.send(sessionMessage(smb2Reply(8, r.messageId, readBody(slice(data, 990, 10)))));
        r = readRequest(link);
        Reply eof;
        eof.status = kStatusEndOfFileCode;
        link.send(sessionMessage(smb2Reply(8, r.messageId, errorBody(), eof)));
        Reply missing;
        missing.status = kStatusNotFound;
        link.send(sessionMessage(smb2Reply(5, expectRequest(link, 5), errorBody(), missing)));
    });
    Client client;
    ASSERT_TRUE(openAtPeer(peer, client));
    uint8_t got[100];
    EXPECT_EQ(Smb2ReadAt(client.file, 990, got, sizeof got), 10);
    EXPECT_EQ(Bytes(got, got + 10), slice(data, 990, 10));
    EXPECT_EQ(Smb2ReadAt(client.file, 1000, got, sizeof got), 0);
    EXPECT_EQ(Smb2Open(client.session, "missing"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(client.session->broken, 0);
}

TEST(Smb2Peer, RefusedLogonFailsConnectWithEacces)
{
    ScriptedPeer peer([&](PeerLink &link) {
        uint8_t type = 0;
        link.readMessage(&type);
        link.send(nbtPacket(0x82, {}));
        Bytes negotiate;
        put(negotiate, 0, 65, 2);
        put(negotiate, 4, 0x0210, 2);
        put(negotiate, 32, kMaxRead, 4);
        put(negotiate, 63, 0, 1);
        link.send(sessionMessage(smb2Reply(0, expectRequest(link, 0), negotiate)));
        Reply refused;
        refused.status = kStatusLogonFailure;
        link.send(sessionMessage(smb2Reply(1, expectRequest(link, 1), errorBody(), refused)));
    });
    EXPECT_EQ(Smb2ConnectAtPort("127.0.0.1", "SERVER", "\\\\SERVER\\SHARE", peer.port()), nullptr);
    EXPECT_EQ(errno, EACCES);
}

TEST(Ntlmssp, ChallengeIsFoundOnlyWithinItsBounds)
{
    const Bytes blob = challengeBlob();
    const uint8_t *message = nullptr;
    size_t length = 0;
    uint32_t flags = 0;
    ASSERT_TRUE(NtlmsspFindMessage(blob.data(), blob.size(), &message, &length));
    EXPECT_TRUE(NtlmsspReadChallenge(message, length, &flags));
    EXPECT_EQ(flags, 0xE2898215u);
    // Every cut of the token fails; ASan sees any read past the cut.
    for (size_t cut = 0; cut < blob.size(); ++cut) {
        const Bytes part(blob.begin(), blob.begin() + static_cast<long>(cut));
        const bool found = NtlmsspFindMessage(part.data(), part.size(), &message, &length);
        EXPECT_FALSE(found && NtlmsspReadChallenge(message, length, &flags)) << cut;
    }
    // A bare NTLMSSP challenge is taken as it is.
    const Bytes bare = challengeMessage();
    ASSERT_TRUE(NtlmsspFindMessage(bare.data(), bare.size(), &message, &length));
    EXPECT_EQ(length, bare.size());
}

TEST(Ntlmssp, AuthenticateIsAnonymous)
{
    uint8_t out[256];
    const size_t n = NtlmsspAuthenticateToken(0xE2898215, out, sizeof out);
    ASSERT_GT(n, 0u);
    const uint8_t *message = nullptr;
    size_t length = 0;
    ASSERT_TRUE(NtlmsspFindMessage(out, n, &message, &length));
    const Bytes m(message, message + length);
    EXPECT_EQ(le32(m, 8), 3u);
    EXPECT_EQ(le16(m, 12), 1u);  // LM response: one zero byte
    EXPECT_EQ(m[le32(m, 16)], 0);
    for (size_t field = 20; field < 60; field += 8)
        EXPECT_EQ(le16(m, field), 0u) << field;  // NT, domain, user, workstation, key
    EXPECT_NE(le32(m, 60) & 0x800u, 0u);         // anonymous
    EXPECT_EQ(le32(m, 60) & 0x40000030u, 0u);    // no key exchange, signing or sealing
    EXPECT_EQ(NtlmsspAuthenticateToken(0, out, 10), 0u);
}

}  // namespace

// SMBReadFileAt against a scripted server: what a real one will not do on
// demand (answers out of order, foreign or repeated MIDs, replies that do
// not fit their request, silence in the middle of the window).
#include <gtest/gtest.h>

#include <poll.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <random>

#include "scripted_peer.h"
#include "sharefetch.h"
#include "smb_read_andx.h"

namespace {

constexpr uint16_t kUid = 101;  // the second logon's UID in serveConnect
constexpr uint16_t kTid = 7;
constexpr uint16_t kFid = 0x0815;
// The scripted server offers no large reads and a 16644-byte buffer.
constexpr uint32_t kPiece = 16644 - 64;
constexpr uint32_t kLargePiece = 1u << 20;
constexpr uint32_t kCapLargeFiles = 0x0008;
constexpr uint32_t kCapLargeReadX = 0x4000;

Bytes randomBytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    Bytes out(n);
    for (auto &b : out)
        b = static_cast<uint8_t>(rng());
    return out;
}

struct ReadRequest {
    uint16_t mid;
    uint64_t offset;
    uint32_t count;
};

ReadRequest parseRead(const Bytes &message)
{
    EXPECT_EQ(message.size(), 59u);
    if (message.size() != 59)
        return {};
    EXPECT_EQ(message[4], 0x2E);
    return {le16(message, 30), le32(message, 39) | (uint64_t{le32(message, 53)} << 32),
            le16(message, 43) | (uint32_t{le16(message, 47)} << 16)};
}

std::vector<ReadRequest> takeRequests(PeerLink &link, size_t n)
{
    std::vector<ReadRequest> out;
    for (size_t i = 0; i < n; ++i)
        out.push_back(parseRead(link.readMessage()));
    return out;
}

Bytes withMid(Bytes message, uint16_t mid)
{
    message.at(30) = static_cast<uint8_t>(mid);
    message.at(31) = static_cast<uint8_t>(mid >> 8);
    return message;
}

// A READ_ANDX reply to mid: data after one byte of padding, at offset 60;
// dataLength as the reply states it (the data's own length by default).
Bytes readReply(uint16_t mid, const Bytes &data, int64_t dataLength = -1,
                uint16_t dataOffset = 60)
{
    const auto length = static_cast<uint32_t>(dataLength < 0 ? data.size() : dataLength);
    Bytes body{0};
    body.insert(body.end(), data.begin(), data.end());
    Bytes reply = smbReply(0x2E, {0x00FF, 0, 0xFFFF, 0, 0, static_cast<uint16_t>(length),
                                  dataOffset, static_cast<uint16_t>(length >> 16), 0, 0, 0, 0},
                           body);
    return withMid(reply, mid);
}

// A session message whose length takes the flags byte as its top 8 bits, as
// a server sends a large reply.
Bytes largeMessage(const Bytes &body)
{
    Bytes out{0, static_cast<uint8_t>(body.size() >> 16), static_cast<uint8_t>(body.size() >> 8),
              static_cast<uint8_t>(body.size())};
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// The bytes of file that request asks for, cut at its end; file starts at
// base.
Bytes wantedBytes(const ReadRequest &request, const Bytes &file, uint64_t base = 0)
{
    const uint64_t from = std::min<uint64_t>(request.offset - base, file.size());
    const uint64_t to = std::min<uint64_t>(from + request.count, file.size());
    return Bytes(file.begin() + static_cast<ptrdiff_t>(from),
                 file.begin() + static_cast<ptrdiff_t>(to));
}

void answer(PeerLink &link, const ReadRequest &request, const Bytes &file, uint64_t base = 0)
{
    link.send(largeMessage(readReply(request.mid, wantedBytes(request, file, base))));
}

bool quietFor(const PeerLink &link, int ms)
{
    pollfd entry{link.fd, POLLIN, 0};
    return ::poll(&entry, 1, ms) == 0;
}

// A session and one open file on the scripted server; closed when done.
struct Client {
    SmbSession *session = nullptr;
    SmbFile *file = nullptr;

    explicit Client(const ScriptedPeer &peer) : session(connectToPeer(peer))
    {
        if (session != nullptr)
            SMBOpenFile(session, "\\video.avi", 0, &file);
        EXPECT_NE(file, nullptr);
    }
    ~Client()
    {
        SMBCloseFile(file);
        SMBDisonnect(session);
    }
};

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(SMBReadFileAt, RepliesOutOfOrderLandInTheirPlaces)
{
    const Bytes file = randomBytes(200000, 1);
    std::vector<ReadRequest> requests;
    Bytes first;
    ScriptedPeer peer([&](PeerLink &link) {
        serveConnect(link);
        serveOpen(link, kFid, 200000);
        first = link.readMessage();
        requests = takeRequests(link, 6);
        requests.insert(requests.begin(), parseRead(first));
        for (size_t i = requests.size(); i-- > 0;)
            answer(link, requests[i], file);
    });
    Bytes buffer(100002, 0xEE);
    {
        Client client(peer);
        ASSERT_NE(client.file, nullptr);
        EXPECT_EQ(SMBReadFileAt(client.file, 5000, 100000, buffer.data() + 1), 100000);
        EXPECT_EQ(client.file->readOffset, 0u) << "the sequential offset stays";
    }
    peer.finish();
    EXPECT_EQ(Bytes(buffer.begin() + 1, buffer.end() - 1), Bytes(file.begin() + 5000, file.begin() + 105000));
    EXPECT_EQ(buffer.front(), 0xEE);
    EXPECT_EQ(buffer.back(), 0xEE);

    // All seven in one window, each as large as the server's buffer allows,
    // each with a MID of its own that no other request of the session uses.
    ASSERT_EQ(requests.size(), 7u);
    std::vector<uint16_t> mids;
    for (size_t i = 0; i < requests.size(); ++i) {
        EXPECT_EQ(requests[i].offset, 5000 + i * kPiece);
        EXPECT_EQ(requests[i].count, i < 6 ? kPiece : 100000 - 6 * kPiece);
        mids.push_back(requests[i].mid);
    }
    mids.push_back(le16(requestHeader(0x2E, kTid, kUid), 30));
    std::sort(mids.begin(), mids.end());
    EXPECT_EQ(std::unique(mids.begin(), mids.end()), mids.end());
    const Bytes words{12, 0xFF, 0, 0, 0, static_cast<uint8_t>(kFid), static_cast<uint8_t>(kFid >> 8),
                      0x88, 0x13, 0, 0,                 // offset 5000
                      0xC4, 0x40, 0, 0,                 // MaxCount 16580, MinCount 0
                      0, 0, 0, 0, 0, 0, 0, 0, 0, 0,     // MaxCountHigh, Remaining, OffsetHigh
                      0, 0};
    EXPECT_EQ(first, withMid(concat(requestHeader(0x2E, kTid, kUid), words), requests[0].mid));
}

TEST(SMBReadFileAt, LargeReadsAboveFourGibibytesWithinMaxMpxCount)
{
    constexpr uint64_t kBase = (uint64_t{1} << 32) + 7;
    const Bytes file = randomBytes(3 * kLargePiece, 2);
    Bytes negotiate = negotiateReply(65536, kCapLargeFiles | kCapLargeReadX);
    negotiate = withByte(withByte(negotiate, 36, 2), 37, 0);  // MaxMpxCount 2
    Bytes setup;
    std::vector<ReadRequest> seen;
    bool third = true;
    ScriptedPeer peer([&](PeerLink &link) {
        setup = serveConnectOffering(link, negotiate);
        serveOpen(link, kFid, static_cast<uint32_t>(kBase + file.size()));
        serveSizeQuery(link, kBase + file.size());  // a server with large files is asked
        seen = takeRequests(link, 2);
        third = !quietFor(link, 300);
        answer(link, seen[1], file, kBase);
        seen.push_back(parseRead(link.readMessage()));
        answer(link, seen[0], file, kBase);
        answer(link, seen[2], file, kBase);
    });
    Bytes buffer(file.size(), 0xEE);
    {
        Client client(peer);
        ASSERT_NE(client.file, nullptr);
        EXPECT_EQ(SMBReadFileAt(client.file, kBase, 3 * kLargePiece, buffer.data()),
                  static_cast<int32_t>(3 * kLargePiece));
    }
    peer.finish();
    EXPECT_TRUE(buffer == file);
    EXPECT_FALSE(third) << "a third request went out while two were unanswered";
    ASSERT_EQ(seen.size(), 3u);
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].offset, kBase + i * kLargePiece);
        EXPECT_EQ(seen[i].count, kLargePiece);
    }
    // The logon said the client takes large reads, because the server offers them.
    ASSERT_GE(setup.size(), 59u);
    EXPECT_EQ(le32(setup, 55), kCapLargeReadX);
}

TEST(SMBReadFileAt, EndOfFileShortensTheResult)
{
    const Bytes file = randomBytes(50000, 3);
    ScriptedPeer peer([&](PeerLink &link) {
        serveConnect(link);
        serveOpen(link, kFid, 50000);
        // 49740 bytes in three full answers, 260 in the fourth, none after.
        const std::vector<ReadRequest> requests = takeRequests(link, 7);
        for (const size_t i : {5, 3, 0, 6, 1, 4, 2})
            answer(link, requests[i], file);
        answer(link, parseRead(link.readMessage()), file);
    });
    Bytes buffer(100000, 0xEE);
    {
        Client client(peer);
        ASSERT_NE(client.file, nullptr);
        EXPECT_EQ(SMBReadFileAt(client.file, 0, 100000, buffer.data()), 50000);
        EXPECT_EQ(SMBReadFileAt(client.file, 50000, 10, buffer.data()), 0);
    }
    peer.finish();
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 50000), file);
    EXPECT_EQ(buffer[50000], 0xEE);
}

// Each reply below is sent after one good answer to the first request; the
// read fails, the session is broken, and nothing lands outside the first
// request's range.
TEST(SMBReadFileAt, RepliesThatFitNoRequestBreakTheSession)
{
    const Bytes file = randomBytes(100000, 4);
    const Bytes piece(file.begin() + kPiece, file.begin() + 2 * kPiece);
    const struct {
        const char *what;
        std::function<Bytes(const std::vector<ReadRequest> &)> reply;
    } cases[] = {
        {"unknown MID", [&](auto &r) { return sessionMessage(readReply(r[1].mid ^ 0x5555, piece)); }},
        {"repeated MID", [&](auto &r) {
             return sessionMessage(readReply(r[0].mid, wantedBytes(r[0], file)));
         }},
        {"more than asked", [&](auto &r) {
             return sessionMessage(readReply(r[1].mid, concat(piece, {1})));
         }},
        {"length past the message", [&](auto &r) {
             return sessionMessage(readReply(r[1].mid, piece, kPiece + 1));
         }},
        {"offset past the message", [&](auto &r) {
             return sessionMessage(readReply(r[1].mid, piece, kPiece, 60 + 2));
         }},
        {"offset inside the words", [&](auto &r) {
             return sessionMessage(readReply(r[1].mid, piece, kPiece, 40));
         }},
        {"another command", [&](auto &r) {
             return sessionMessage(withByte(readReply(r[1].mid, piece), 4, 0x2F));
         }},
        {"no words and no error", [&](auto &r) {
             return sessionMessage(withMid(smbReply(0x2E, {}), r[1].mid));
         }},
        {"cut inside the words", [&](auto &r) {
             return sessionMessage(cut(readReply(r[1].mid, piece), 50));
         }},
        {"not a session message", [&](auto &) { return nbtPacket(0x83, {0x8F}); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedPeer peer([&](PeerLink &link) {
            serveConnect(link);
            serveOpen(link, kFid, 100000);
            const std::vector<ReadRequest> requests = takeRequests(link, 7);
            answer(link, requests[0], file);
            link.send(c.reply(requests));
        });
        Bytes buffer(100000, 0xEE);
        Client client(peer);
        ASSERT_NE(client.file, nullptr);
        errno = 0;
        EXPECT_EQ(SMBReadFileAt(client.file, 0, 100000, buffer.data()), SMB_READ_BAD_REPLY);
        EXPECT_EQ(errno, EPROTO);
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + kPiece),
                  Bytes(file.begin(), file.begin() + kPiece));
        EXPECT_EQ(Bytes(buffer.begin() + kPiece, buffer.end()), Bytes(100000 - kPiece, 0xEE));
        // Broken for good: nothing more is sent or taken.
        EXPECT_EQ(SMBReadFileAt(client.file, 0, 10, buffer.data()), SMB_READ_BAD_REPLY);
        EXPECT_EQ(SMBReadFile(client.file, 10, buffer.data()), SMB_READ_BAD_REPLY);
        EXPECT_EQ(buffer[kPiece], 0xEE);
    }
}

TEST(SMBReadFileAt, SilenceInTheWindowFailsAfterTheWaitAndDeliversNothingLater)
{
    const Bytes file = randomBytes(100000, 5);
    std::promise<void> clientDone;
    ScriptedPeer peer([&](PeerLink &link) {
        serveConnect(link);
        serveOpen(link, kFid, 100000);
        const std::vector<ReadRequest> requests = takeRequests(link, 7);
        for (const size_t i : {2, 0, 1})
            answer(link, requests[i], file);
        clientDone.get_future().wait();
    });
    Bytes buffer(100000, 0xEE);
    Client client(peer);
    ASSERT_NE(client.file, nullptr);
    const auto start = std::chrono::steady_clock::now();
    errno = 0;
    EXPECT_EQ(SMBReadFileAt(client.file, 0, 100000, buffer.data()), SMB_READ_BAD_REPLY);
    EXPECT_EQ(errno, ETIMEDOUT);
    const double waited = secondsSince(start);
    EXPECT_GE(waited, 7.5);
    EXPECT_LT(waited, 11.0);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 3 * kPiece),
              Bytes(file.begin(), file.begin() + 3 * kPiece));
    EXPECT_EQ(Bytes(buffer.begin() + 3 * kPiece, buffer.end()), Bytes(100000 - 3 * kPiece, 0xEE));
    Bytes again(100, 0xEE);
    EXPECT_EQ(SMBReadFileAt(client.file, 3 * kPiece, 100, again.data()), SMB_READ_BAD_REPLY);
    EXPECT_EQ(errno, ENOTCONN);
    EXPECT_EQ(again, Bytes(100, 0xEE));
    clientDone.set_value();
}

TEST(SMBReadFileAt, ARefusedRequestFailsTheCallButNotTheSession)
{
    const Bytes file = randomBytes(100000, 6);
    ScriptedPeer peer([&](PeerLink &link) {
        serveConnect(link);
        serveOpen(link, kFid, 100000);
        const std::vector<ReadRequest> requests = takeRequests(link, 7);
        for (size_t i = 0; i < requests.size(); ++i) {
            if (i == 3)
                link.send(sessionMessage(withMid(smbReply(0x2E, {}, {}, {1, 0x80, 0, 0}), requests[i].mid)));
            else
                answer(link, requests[i], file);
        }
        answer(link, parseRead(link.readMessage()), file);
    });
    Bytes buffer(100000, 0xEE);
    Client client(peer);
    ASSERT_NE(client.file, nullptr);
    errno = 0;
    EXPECT_EQ(SMBReadFileAt(client.file, 0, 100000, buffer.data()), SMB_READ_REFUSED);
    EXPECT_NE(errno, 0);
    EXPECT_EQ(SMBReadFileAt(client.file, 99990, 10, buffer.data()), 10);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 10), Bytes(file.end() - 10, file.end()));
}

TEST(SMBReadFileAt, RefusedArgumentsSendNothing)
{
    Bytes after;
    ScriptedPeer peer([&](PeerLink &link) {
        serveConnect(link);
        serveOpen(link, kFid, 100);
        link.finishSending();
        link.waitForClose(5000, &after);
    });
    {
        Client client(peer);
        ASSERT_NE(client.file, nullptr);
        Bytes buffer(16);
        EXPECT_EQ(SMBReadFileAt(nullptr, 0, 10, buffer.data()), SMB_READ_BAD_ARGUMENT);
        EXPECT_EQ(SMBReadFileAt(client.file, 0, 10, nullptr), SMB_READ_BAD_ARGUMENT);
        EXPECT_EQ(SMBReadFileAt(client.file, 0, 0x80000000u, buffer.data()),
                  SMB_READ_BAD_ARGUMENT);
        // This server has no large files: a range past 4 GiB cannot be asked for.
        EXPECT_EQ(SMBReadFileAt(client.file, 0xFFFFFFFAu, 7, buffer.data()),
                  SMB_READ_BAD_ARGUMENT);
        EXPECT_EQ(SMBReadFileAt(client.file, uint64_t{1} << 40, 1, buffer.data()),
                  SMB_READ_BAD_ARGUMENT);
        EXPECT_EQ(SMBReadFileAt(client.file, 0xFFFFFFFAu, 0, buffer.data()), 0);
    }
    peer.finish();
    // What came after the open: the clean-up's CLOSE (and perhaps its
    // TREE_DISCONNECT), no READ_ANDX.
    ASSERT_GE(after.size(), 9u);
    EXPECT_EQ(after[8], 0x04);
    for (size_t at = 0; at + 8 < after.size(); at += 4 + (after[at + 2] << 8) + after[at + 3])
        EXPECT_NE(after[at + 8], 0x2E);
}

}  // namespace

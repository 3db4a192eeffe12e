#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include <sys/socket.h>

#include "scripted_peer.h"
#include "sharefetch.h"
#include "smb_file.h"

namespace {

constexpr uint16_t kUid = 101;  // the second logon's UID in serveConnect
constexpr uint16_t kTid = 7;
constexpr uint16_t kFid = 0x4242;

Bytes content(size_t n)
{
    Bytes out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
    return out;
}

// READ_RAW as the client must send it, from the table.
Bytes readRawRequest(uint32_t offset, uint16_t maxCount)
{
    const Bytes words{8,
                      static_cast<uint8_t>(kFid), static_cast<uint8_t>(kFid >> 8),
                      static_cast<uint8_t>(offset), static_cast<uint8_t>(offset >> 8),
                      static_cast<uint8_t>(offset >> 16), static_cast<uint8_t>(offset >> 24),
                      static_cast<uint8_t>(maxCount), static_cast<uint8_t>(maxCount >> 8),
                      0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
    return concat(requestHeader(0x1A, kTid, kUid, 0x08, 0x0001), words);
}

// Answers each READ_RAW with the requested bytes of data, and records the
// requests.
void serveReads(PeerLink &link, const Bytes &data, size_t count, std::vector<Bytes> &requests)
{
    for (size_t i = 0; i < count; ++i) {
        const Bytes request = link.readMessage();
        requests.push_back(request);
        if (request.size() != 51)
            return;
        const size_t offset = le32(request, 35);
        const size_t length = le16(request, 39);
        link.send(sessionMessage(Bytes(data.begin() + static_cast<ptrdiff_t>(offset),
                                       data.begin() + static_cast<ptrdiff_t>(offset + length))));
    }
}

// A connected session and an open file on the peer, run by the test.
struct OpenFile {
    SmbSession *session = nullptr;
    SmbFile *file = nullptr;

    OpenFile(const ScriptedPeer &peer, uint32_t startOffset = 0)
    {
        session = connectToPeer(peer);
        if (session != nullptr) {
            EXPECT_EQ(SMBOpenFile(session, "\\media\\song.mp3", startOffset, &file), 1);
        }
    }
    ~OpenFile()
    {
        // The peer has ended its side after its script; these fail fast and
        // still release everything.
        SMBCloseFile(file);
        SMBDisonnect(session);
    }
};

}  // namespace

TEST(SMBOpenFile, SendsTheOpenAndStoresTheReply)
{
    Bytes open, close;
    ScriptedPeer peer([&](PeerLink &link) {
        serveConnect(link);
        open = link.readMessage();
        link.send(sessionMessage(openReply(kFid, 123456789, 0x01020304, 0x0040)));
        close = link.readMessage();
        link.send(sessionMessage(closeReply()));
        link.readMessage();
        link.send(sessionMessage(treeDisconnectReply()));
    });
    SmbSession *session = connectToPeer(peer);
    ASSERT_NE(session, nullptr);
    SmbFile *file = nullptr;
    ASSERT_EQ(SMBOpenFile(session, "\\dir\\a b.mp3", 0xFFFFFFFF, &file), 1);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->fid, kFid);
    EXPECT_EQ(file->fileSize, 123456789u);
    EXPECT_EQ(file->lastWriteTime, 0x01020304u);
    EXPECT_EQ(file->grantedAccess, 0x0040);
    EXPECT_EQ(file->readOffset, 0u);
    EXPECT_EQ(file->tree, session->currentTree);
    EXPECT_EQ(std::string(file->path), "\\dir\\a b.mp3");
    EXPECT_EQ(SMBGetFileSize(file), 123456789u);
    EXPECT_EQ(SMBCloseFile(file), 1);
    EXPECT_EQ(SMBDisonnect(session), 1);
    peer.finish();

    const std::string path = "\\dir\\a b.mp3";
    const Bytes openWords{2, 0x40, 0, 0, 0, static_cast<uint8_t>(path.size() + 2), 0, 0x04};
    EXPECT_EQ(open, concat(requestHeader(0x02, kTid, kUid, 0x08),
                           concat(openWords, concat(textBytes(path), {0}))));
    EXPECT_EQ(open.size(), path.size() + 41);
    const Bytes closeWords{3, static_cast<uint8_t>(kFid), static_cast<uint8_t>(kFid >> 8),
                           0, 0, 0, 0, 0, 0};
    EXPECT_EQ(close, concat(requestHeader(0x04, kTid, kUid), closeWords));
}

TEST(SMBOpenFile, ShortPathAndRefusedOpens)
{
    const Bytes good = openReply(kFid, 99);
    const struct {
        const char *what;
        Bytes reply;
        bool opened;
    } cases[] = {
        {"3-character path, 49-byte reply", good, true},
        {"file not found", smbReply(0x02, {}, {}, {1, 0x80, 0, 0}), false},
        {"error class on a full reply", withByte(good, 5, 1), false},
        {"46 bytes: no access field", cut(good, 46), false},
        {"longer than the 49-byte buffer", concat(good, {0}), false},
    };
    for (const auto &c : cases) {
        Bytes open;
        ScriptedPeer peer([&](PeerLink &link) {
            serveConnect(link);
            open = link.readMessage();
            link.send(sessionMessage(c.reply));
        });
        SmbSession *session = connectToPeer(peer);
        ASSERT_NE(session, nullptr);
        SmbFile *file = reinterpret_cast<SmbFile *>(&open);
        EXPECT_EQ(SMBOpenFile(session, "\\ab", 0, &file), c.opened ? 1 : 0) << c.what;
        EXPECT_EQ(file != nullptr, c.opened) << c.what;
        if (file != nullptr) {
            EXPECT_EQ(SMBGetFileSize(file), 99u);
        }
        SMBCloseFile(file);
        SMBDisonnect(session);
        peer.finish();
        EXPECT_EQ(open.size(), 44u) << c.what;
    }
}

TEST(SMBOpenFile, ArgumentsAndLimits)
{
    Bytes after;
    ScriptedPeer peer([&](PeerLink &link) {
        serveConnect(link);
        link.waitForClose(5000, &after);
    });
    SmbSession *session = connectToPeer(peer);
    ASSERT_NE(session, nullptr);
    SmbFile *file = nullptr;
    EXPECT_EQ(SMBOpenFile(session, "\\a", 0, nullptr), 0);
    EXPECT_EQ(SMBOpenFile(nullptr, "\\a", 0, &file), 0);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(SMBOpenFile(session, nullptr, 0, &file), 0);
    // The byte count (length + 2) would not fit 16 bits.
    EXPECT_EQ(SMBOpenFile(session, std::string(65534, 'p').c_str(), 0, &file), 0);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(SMBGetFileSize(nullptr), 0u);
    EXPECT_EQ(SMBCloseFile(nullptr), 0);
    EXPECT_EQ(SmbSetReadOffset(nullptr, 0), -1);
    EXPECT_EQ(SmbClose(nullptr), -1);
    // Disconnect without a reply to TREE_DISCONNECT: the peer closes first.
    session->currentTree = nullptr;
    SmbTreeRelease(session->treeListHead);
    EXPECT_EQ(SMBDisonnect(session), 1);
    peer.finish();
    EXPECT_TRUE(after.empty()) << "a refused open went on the wire";
}

TEST(SMBReadFile, ReadsInChunksOfTheRawSize)
{
    const Bytes data = content(200000);
    std::vector<Bytes> requests;
    ScriptedPeer peer([&](PeerLink &link) {
        serveConnect(link, 65536);
        serveOpen(link, kFid, 200000);
        serveReads(link, data, 4, requests);
    });
    Bytes buffer(200000, 0xEE);
    {
        OpenFile open(peer);
        ASSERT_NE(open.file, nullptr);
        EXPECT_EQ(SMBReadFile(open.file, 0, buffer.data()), 0) << "count 0 sends nothing";
        errno = 4321;
        EXPECT_EQ(SMBReadFile(open.file, 200000, buffer.data()), 200000);
        EXPECT_EQ(errno, 4321) << "a read that succeeds leaves errno alone";
        EXPECT_EQ(open.file->readOffset, 200000u);
        EXPECT_EQ(SMBGetFileSize(open.file), 200000u);
    }
    peer.finish();
    EXPECT_EQ(buffer, data);
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0], readRawRequest(0, 65535));
    EXPECT_EQ(requests[1], readRawRequest(65535, 65535));
    EXPECT_EQ(requests[2], readRawRequest(131070, 65535));
    EXPECT_EQ(requests[3], readRawRequest(196605, 3395));
}

TEST(SMBReadFile, StartOffsetAndOtherRawSizes)
{
    const Bytes data = content(300000);
    const struct {
        uint32_t rawSize;
        uint32_t start;
        uint32_t count;
        std::vector<uint32_t> chunks;
    } cases[] = {
        {65536, 1000, 10, {10}},
        {65536, 0xFFFFFFFF, 10, {10}},  // -1 means 0
        {1000, 5, 2500, {1000, 1000, 500}},
        {100000, 0, 140000, {65535, 65535, 8930}},  // MaxCount has 16 bits
    };
    for (const auto &c : cases) {
        std::vector<Bytes> requests;
        ScriptedPeer peer([&](PeerLink &link) {
            serveConnect(link, c.rawSize);
            serveOpen(link, kFid, 300000);
            serveReads(link, data, c.chunks.size(), requests);
        });
        Bytes buffer(c.count);
        {
            OpenFile open(peer, c.start);
            ASSERT_NE(open.file, nullptr);
            EXPECT_EQ(SMBReadFile(open.file, c.count, buffer.data()),
                      static_cast<int32_t>(c.count));
        }
        peer.finish();
        uint32_t offset = c.start == 0xFFFFFFFF ? 0 : c.start;
        EXPECT_EQ(buffer, Bytes(data.begin() + offset, data.begin() + offset + c.count));
        ASSERT_EQ(requests.size(), c.chunks.size());
        for (size_t i = 0; i < requests.size(); ++i) {
            EXPECT_EQ(requests[i], readRawRequest(offset, static_cast<uint16_t>(c.chunks[i])));
            offset += c.chunks[i];
        }
    }
}

TEST(SMBReadFile, RawRepliesOfTheWrongSize)
{
    const Bytes data = content(3000);
    const struct {
        const char *what;
        size_t replyLength;
    } cases[] = {{"one byte short", 999}, {"one byte long", 1001}, {"empty", 0}};
    for (const auto &c : cases) {
        ScriptedPeer peer([&](PeerLink &link) {
            serveConnect(link, 1000);
            serveOpen(link, kFid, 3000);
            std::vector<Bytes> requests;
            serveReads(link, data, 1, requests);
            link.readMessage();
            link.send(sessionMessage(Bytes(data.begin() + 1000,
                                           data.begin() + 1000 + static_cast<ptrdiff_t>(
                                                                     c.replyLength))));
        });
        Bytes buffer(3000, 0xEE);
        OpenFile open(peer);
        ASSERT_NE(open.file, nullptr);
        EXPECT_EQ(SMBReadFile(open.file, 3000, buffer.data()), SMB_READ_BAD_REPLY) << c.what;
        EXPECT_EQ(open.file->readOffset, 1000u) << "only the first chunk counts";
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 1000),
                  Bytes(data.begin(), data.begin() + 1000));
        EXPECT_EQ(buffer[2000], 0xEE) << "nothing landed past the failed chunk";
    }
}

TEST(SMBReadFile, SendFailsOnAResetConnection)
{
    std::promise<void> resetDone;
    ScriptedPeer peer([&](PeerLink &link) {
        serveConnect(link);
        serveOpen(link, kFid, 100);
        link.reset();
        resetDone.set_value();
    });
    OpenFile open(peer);
    ASSERT_NE(open.file, nullptr);
    resetDone.get_future().wait();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the reset arrive
    Bytes buffer(100);
    // A closed peer must not raise SIGPIPE: the test would die here.
    EXPECT_EQ(SMBReadFile(open.file, 100, buffer.data()), SMB_READ_SEND_FAILED);
    EXPECT_EQ(open.file->readOffset, 0u);
}

TEST(SMBReadFile, RefusedReadsSendNothing)
{
    Bytes after;
    ScriptedPeer peer([&](PeerLink &link) {
        serveConnect(link, 0);  // the server allows no raw reads
        serveOpen(link, kFid, 100);
        link.finishSending();
        link.waitForClose(5000, &after);
    });
    {
        OpenFile open(peer, 0xFFFFFF00u);
        ASSERT_NE(open.file, nullptr);
        Bytes buffer(1000);
        EXPECT_EQ(SMBReadFile(nullptr, 10, buffer.data()), SMB_READ_BAD_ARGUMENT);
        EXPECT_EQ(SMBReadFile(open.file, 10, nullptr), SMB_READ_BAD_ARGUMENT);
        EXPECT_EQ(SMBReadFile(open.file, 0x80000000u, buffer.data()), SMB_READ_BAD_ARGUMENT);
        // Without large files, past offset 0xFFFFFFFF the offset field would
        // wrap to the file's start; a range ending at 2^32 is fine.
        EXPECT_EQ(SMBReadFile(open.file, 0x101, buffer.data()), SMB_READ_BAD_ARGUMENT);
        EXPECT_EQ(SMBReadFile(open.file, 0x100, buffer.data()), SMB_READ_NO_RAW_SIZE);
        EXPECT_EQ(SMBReadFile(open.file, 0, buffer.data()), 0);
        EXPECT_EQ(open.file->readOffset, 0xFFFFFF00u);
        // Close finds the peer's stream ended, which breaks the session;
        // disconnect then sends nothing. Both still release.
    }
    peer.finish();
    // Only the CLOSE of the clean-up came after the open.
    const Bytes close = concat(requestHeader(0x04, kTid, kUid),
                               {3, static_cast<uint8_t>(kFid), static_cast<uint8_t>(kFid >> 8),
                                0, 0, 0, 0, 0, 0});
    EXPECT_EQ(after, sessionMessage(close));
}

TEST(SMBCloseFile, RefusedCloseStillReleasesTheHandle)
{
    Bytes close;
    ScriptedPeer peer([&](PeerLink &link) {
        serveConnect(link);
        serveOpen(link, kFid, 5);
        close = link.readMessage();
        link.send(sessionMessage(smbReply(0x04, {}, {}, {1, 0x80, 0, 0})));
    });
    SmbSession *session = connectToPeer(peer);
    ASSERT_NE(session, nullptr);
    SmbFile *file = nullptr;
    ASSERT_EQ(SMBOpenFile(session, "\\x", 0, &file), 1);
    EXPECT_EQ(SmbClose(file), -1) << "the record is kept";
    EXPECT_EQ(SMBCloseFile(file), 1);  // the leak checker sees the release
    SMBDisonnect(session);
    peer.finish();
    EXPECT_EQ(close.size(), 41u);
}

TEST(BrokenSession, ALateRawReplyIsNeverTakenForAnotherRead)
{
    const Bytes data = content(3000);
    std::promise<void> clientGaveUp;
    bool closedBeforeTheLateReply = false;
    ScriptedPeer peer([&](PeerLink &link) {
        serveConnect(link, 1000);
        serveOpen(link, kFid, 3000);
        std::vector<Bytes> requests;
        serveReads(link, data, 1, requests);
        link.readMessage();  // the second chunk, answered after the client's wait
        clientGaveUp.get_future().wait();
        closedBeforeTheLateReply = link.waitForClose(2000);
        const Bytes late = sessionMessage(Bytes(data.begin() + 1000, data.begin() + 2000));
        (void)::send(link.fd, late.data(), late.size(), MSG_NOSIGNAL);
    });
    SmbSession *session = connectToPeer(peer);
    ASSERT_NE(session, nullptr);
    SmbFile *file = nullptr;
    ASSERT_EQ(SMBOpenFile(session, "\\late.bin", 0, &file), 1);
    Bytes buffer(3000, 0xEE);
    errno = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SMBReadFile(file, 3000, buffer.data()), SMB_READ_BAD_REPLY);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(7900));
    clientGaveUp.set_value();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the late reply is out

    // Every later call fails at once and nothing of the late reply shows.
    start = std::chrono::steady_clock::now();
    Bytes again(2000, 0xEE);
    errno = 0;
    EXPECT_EQ(SMBReadFile(file, 1000, again.data()), SMB_READ_BAD_REPLY);
    EXPECT_EQ(errno, ENOTCONN);
    EXPECT_EQ(again, Bytes(2000, 0xEE));
    EXPECT_EQ(SMBReadFile(file, 0, nullptr), SMB_READ_BAD_REPLY);
    SmbFile *other = file;
    errno = 0;
    EXPECT_EQ(SMBOpenFile(session, "\\late.bin", 0, &other), 0);
    EXPECT_EQ(errno, ENOTCONN);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(SMBCloseFile(file), 1);
    EXPECT_EQ(SMBDisonnect(session), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    peer.finish();
    EXPECT_TRUE(closedBeforeTheLateReply) << "the time-out closes the socket";
}

TEST(SMBReadFile, CountZeroReturnsZeroWhateverTheBuffer)
{
    ScriptedPeer peer([&](PeerLink &link) {
        serveConnect(link);
        serveOpen(link, kFid, 10);
    });
    OpenFile open(peer);
    ASSERT_NE(open.file, nullptr);
    EXPECT_EQ(SMBReadFile(open.file, 0, nullptr), 0);
    EXPECT_EQ(open.file->tree->session->broken, 0);
}

namespace {

constexpr uint64_t k4GiB = 1ull << 32;

// The byte at offset of a made-up large file.
uint8_t largeFileByte(uint64_t offset) { return static_cast<uint8_t>(offset * 131 + (offset >> 32)); }

// TRANS2 QUERY_FILE_INFORMATION for standard information, as sent.
Bytes queryFileInfoRequest()
{
    const Bytes words{15,   4, 0,  0, 0,  2, 0,  64, 0,  0, 0,  0, 0,  0, 0, 0, 0,  0, 0,
                      4, 0,  68, 0,  0, 0,  72, 0,  1, 0,  7, 0,
                      7, 0,  0, 0, 0,  static_cast<uint8_t>(kFid), static_cast<uint8_t>(kFid >> 8),
                      0x02, 0x01};
    return concat(requestHeader(0x32, kTid, kUid), words);
}

}  // namespace

TEST(LargeFiles, TrueSizeAtOpenAndReadsPastFourGiBInTheSixtyFourBitForm)
{
    const uint64_t size = k4GiB + 100000;
    Bytes query;
    std::vector<Bytes> reads;
    ScriptedPeer peer([&](PeerLink &link) {
        serveConnect(link, 65536, 100, kTid, kLargeFilesUnicode);
        serveOpen(link, kFid, static_cast<uint32_t>(size));  // the size modulo 2^32
        query = serveSizeQuery(link, size);
        for (int i = 0; i < 2; ++i) {
            reads.push_back(link.readMessage());
            const Bytes &r = reads.back();
            if (r.size() < 51)
                return;
            uint64_t offset = le32(r, 35);
            if (r[32] == 10)
                offset |= static_cast<uint64_t>(le32(r, 49)) << 32;
            Bytes chunk(le16(r, 39));
            for (size_t j = 0; j < chunk.size(); ++j)
                chunk[j] = largeFileByte(offset + j);
            link.send(sessionMessage(chunk));
        }
    });
    Bytes first(0x300), second(0x10);
    {
        OpenFile open(peer, 0xFFFFFF00u);
        ASSERT_NE(open.file, nullptr);
        EXPECT_EQ(SMBGetFileSize(open.file), 0xFFFFFFFFu) << "saturates, never wraps";
        EXPECT_EQ(SMBGetFileSize64(open.file), size);
        // Across 4 GiB from below: the 32-bit form still reaches.
        EXPECT_EQ(SMBReadFile(open.file, 0x300, first.data()), 0x300);
        EXPECT_EQ(SMBReadFile(open.file, 0x10, second.data()), 0x10);
        EXPECT_EQ(open.file->readOffset, k4GiB + 0x210);
    }
    peer.finish();
    EXPECT_EQ(query, queryFileInfoRequest());
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0], readRawRequest(0xFFFFFF00u, 0x300));
    const Bytes large{10,   static_cast<uint8_t>(kFid), static_cast<uint8_t>(kFid >> 8),
                      0x00, 0x02, 0, 0,  0x10, 0,  0, 0,  0xFF, 0xFF, 0xFF, 0xFF,  0, 0,
                      1, 0, 0, 0,  0, 0};
    EXPECT_EQ(reads[1], concat(requestHeader(0x1A, kTid, kUid, 0x08, 0x0001), large));
    for (size_t j = 0; j < first.size(); ++j)
        ASSERT_EQ(first[j], largeFileByte(0xFFFFFF00u + j)) << j;
    for (size_t j = 0; j < second.size(); ++j)
        ASSERT_EQ(second[j], largeFileByte(k4GiB + 0x200 + j)) << j;
}

TEST(LargeFiles, ASizeThatCannotBeLearntFailsTheOpen)
{
    Bytes good = queryFileInfoReply(5);
    const struct {
        const char *what;
        Bytes reply;
        int reason;
        bool closed;  // refused in good order: the file is closed again
    } cases[] = {
        {"refused", smbReply(0x32, {}, {}, {1, 0x80, 0, 0}), EIO, true},
        {"data block past the byte count", withByte(good, 47, 61), EPROTO, false},
        {"15 bytes of data: the end of file cut", withByte(withByte(good, 35, 15), 45, 15), EPROTO,
         false},
        {"word count 9", smbReply(0x32, std::vector<uint16_t>(9, 0)), EPROTO, false},
    };
    for (const auto &c : cases) {
        Bytes after;
        ScriptedPeer peer([&](PeerLink &link) {
            serveConnect(link, 65536, 100, kTid, kLargeFilesUnicode);
            serveOpen(link, kFid, 5);
            link.readMessage();
            link.send(sessionMessage(c.reply));
            if (c.closed) {
                after = link.readMessage();
                link.send(sessionMessage(closeReply()));
            }
        });
        SmbSession *session = connectToPeer(peer);
        ASSERT_NE(session, nullptr);
        SmbFile *file = nullptr;
        errno = 0;
        EXPECT_EQ(SMBOpenFile(session, "\\x", 0, &file), 0) << c.what;
        EXPECT_EQ(errno, c.reason) << c.what;
        EXPECT_EQ(session->broken != 0, !c.closed) << c.what;
        SMBDisonnect(session);
        peer.finish();
        if (c.closed) {
            EXPECT_EQ(after.size(), 41u) << c.what;
            EXPECT_EQ(after[4], 0x04) << c.what;
        }
    }
}

namespace {

Bytes utf16le(const std::u16string &text)
{
    Bytes out;
    for (const char16_t unit : text) {
        out.push_back(static_cast<uint8_t>(unit));
        out.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return out;
}

}  // namespace

TEST(SMBOpenFile, NamesGoAsUtf16OnlyWhenTheyNeedItAndTheServerTakesIt)
{
    constexpr uint32_t kUnicode = 0x4;
    const struct {
        const char *what;
        uint32_t capabilities;
        const char *path;
        Bytes name;  // on the wire, terminator included
        uint16_t flags2;
    } cases[] = {
        {"Latin-1 accents", kUnicode, "\\M\xC3\xB6tley Caf\xC3\xA9.mp3",
         concat(utf16le(u"\\M\u00F6tley Caf\u00E9.mp3"), {0, 0}), 0x8000},
        {"an emoji: a surrogate pair", kUnicode, "\\\xF0\x9F\x8E\xB5.mp3",
         concat(utf16le(u"\\\U0001F3B5.mp3"), {0, 0}), 0x8000},
        {"ASCII goes as today", kUnicode, "\\plain & simple.mp3",
         concat(textBytes("\\plain & simple.mp3"), {0}), 0},
        {"not UTF-8 goes as today", kUnicode, "\\caf\xE9.mp3",
         concat(textBytes("\\caf\xE9.mp3"), {0}), 0},
        {"a cut sequence is not UTF-8", kUnicode, "\\caf\xC3",
         concat(textBytes("\\caf\xC3"), {0}), 0},
        {"server without Unicode", 0, "\\Caf\xC3\xA9.mp3",
         concat(textBytes("\\Caf\xC3\xA9.mp3"), {0}), 0},
    };
    for (const auto &c : cases) {
        Bytes open;
        ScriptedPeer peer([&](PeerLink &link) {
            serveConnect(link, 65536, 100, kTid, c.capabilities);
            open = link.readMessage();
            link.send(sessionMessage(openReply(kFid, 10)));
            link.readMessage();
            link.send(sessionMessage(closeReply()));
        });
        SmbSession *session = connectToPeer(peer);
        ASSERT_NE(session, nullptr);
        SmbFile *file = nullptr;
        EXPECT_EQ(SMBOpenFile(session, c.path, 0, &file), 1) << c.what;
        SMBCloseFile(file);
        SMBDisonnect(session);
        peer.finish();
        const Bytes words{2, 0x40, 0, 0, 0, static_cast<uint8_t>(c.name.size() + 1),
                          static_cast<uint8_t>((c.name.size() + 1) >> 8), 0x04};
        EXPECT_EQ(open, concat(requestHeader(0x02, kTid, kUid, 0x08, c.flags2),
                               concat(words, c.name)))
            << c.what;
    }
}

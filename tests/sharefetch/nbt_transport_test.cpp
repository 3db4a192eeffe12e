#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <pthread.h>
#include <thread>
#include <cstring>
#include <string>
#include <sys/socket.h>

#include "nbt_transport.h"
#include "scripted_peer.h"

namespace {

std::string encodeWithClient(const char *name)
{
    uint8_t out[34];
    std::memset(out, 0x55, sizeof out);
    NbtEncodeName(name, out);
    EXPECT_EQ(out[32], 0);
    EXPECT_EQ(out[33], 0x55) << "wrote past 33 bytes";
    return std::string(reinterpret_cast<const char *>(out), 32);
}

// Answers the session request positively, then runs rest.
std::function<void(PeerLink &)> afterSession(std::function<void(PeerLink &)> rest)
{
    return [rest = std::move(rest)](PeerLink &link) {
        link.read(72);
        link.send(nbtPacket(0x82, {}));
        rest(link);
    };
}

NbtConnection *openToPeer(const ScriptedPeer &peer)
{
    NbtConnection *connection = NbtOpen("SERVER", "CLIENT", peer.port(), "127.0.0.1");
    EXPECT_NE(connection, nullptr);
    return connection;
}

Bytes pattern(size_t n, unsigned seed = 7)
{
    Bytes out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<uint8_t>((i * 131 + seed) >> 3);
    return out;
}

}  // namespace

TEST(NbtEncodeName, FollowsTheFirstLevelRule)
{
    std::string sixteenSpaces;
    for (int i = 0; i < 16; ++i)
        sixteenSpaces += "CA";
    EXPECT_EQ(encodeWithClient(""), sixteenSpaces);
    EXPECT_EQ(encodeWithClient("AB").substr(0, 4), "EBEC");
    EXPECT_EQ(encodeWithClient("AB"), encodedName("AB"));
    EXPECT_EQ(encodeWithClient("SIXTEEN-CHARS-XY"), encodedName("SIXTEEN-CHARS-XY"));
    EXPECT_EQ(encodeWithClient("SIXTEEN-CHARS-XY").find("CA"), std::string::npos);
    EXPECT_EQ(encodeWithClient("TWENTY-CHARACTERS-AB"), encodedName("TWENTY-CHARACTERS-AB"));
    EXPECT_EQ(encodeWithClient("\xE9").substr(0, 2), "OJ");
    EXPECT_EQ(encodeWithClient("lower"), encodedName("lower")) << "case is not changed";
}

TEST(BufChain, NewAndFree)
{
    BufChain *empty = BufChainNew(0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->data, nullptr);
    EXPECT_EQ(empty->length, 0);
    EXPECT_EQ(BufChainNew(-1), nullptr);

    BufChain *chain = BufChainNew(10);
    ASSERT_NE(chain, nullptr);
    EXPECT_NE(chain->data, nullptr);
    EXPECT_EQ(chain->next, nullptr);
    chain->next = empty;
    BufChainFree(chain);  // the leak checker watches both nodes
    BufChainFree(nullptr);
    EXPECT_EQ(NbtClose(nullptr), 0);
}

TEST(NbtOpen, SendsThe72ByteSessionRequest)
{
    Bytes request;
    ScriptedPeer peer([&](PeerLink &link) {
        request = link.read(72);
        link.send(nbtPacket(0x82, {}));
    });
    NbtConnection *connection =
        NbtOpen("A-VERY-LONG-SERVER-NAME", "ME", peer.port(), "127.0.0.1");
    ASSERT_NE(connection, nullptr);
    NbtClose(connection);
    peer.finish();
    ASSERT_EQ(request.size(), 72u);
    EXPECT_EQ(Bytes(request.begin(), request.begin() + 5), (Bytes{0x81, 0, 0, 0x44, 0x20}));
    EXPECT_EQ(std::string(request.begin() + 5, request.begin() + 37),
              encodedName("A-VERY-LONG-SERVER-NAME"));
    EXPECT_EQ(request[37], 0);
    EXPECT_EQ(request[38], 0x20);
    EXPECT_EQ(std::string(request.begin() + 39, request.begin() + 71), encodedName("ME"));
    EXPECT_EQ(request[71], 0);
}

TEST(NbtOpen, RefusedSessionLeavesNothingOpen)
{
    // Negative answer with its error byte, retarget with address and port,
    // an unknown type, and an answer too long for the 16-byte buffer.
    const Bytes answers[] = {nbtPacket(0x83, {0x82}), nbtPacket(0x84, {127, 0, 0, 1, 0, 139}),
                             nbtPacket(0x00, {}), nbtPacket(0x82, Bytes(13, 0))};
    for (const Bytes &answer : answers) {
        bool closed = false;
        ScriptedPeer peer([&](PeerLink &link) {
            link.read(72);
            link.send(answer);
            closed = link.waitForClose(5000);
        });
        EXPECT_EQ(NbtOpen("SERVER", "CLIENT", peer.port(), "127.0.0.1"), nullptr);
        peer.finish();
        EXPECT_TRUE(closed) << "socket left open after answer type " << int(answer[0]);
    }
}

TEST(NbtOpen, UnreachableOrBadAddressFails)
{
    EXPECT_EQ(NbtTcpConnect("not an address", 139), kNoSocket);
    EXPECT_EQ(NbtTcpConnect(nullptr, 139), kNoSocket);
    EXPECT_EQ(NbtTcpConnect("127.0.0.1", 70000), kNoSocket);
    // A port that nobody listens on: the refusal is seen at once, not after 8 s.
    int32_t closedPort = 0;
    {
        ScriptedPeer peer([](PeerLink &) {});
        closedPort = peer.port();
        const SocketHandle s = NbtTcpConnect("127.0.0.1", closedPort);
        EXPECT_NE(s, kNoSocket);
        socketClose(s);
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(NbtOpen("SERVER", "CLIENT", closedPort, "127.0.0.1"), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(NbtReceive, SkipsKeepAlivesAndAssemblesSplitSegments)
{
    const Bytes body = pattern(300);
    ScriptedPeer peer(afterSession([&](PeerLink &link) {
        link.send(nbtPacket(0x85, {}));
        link.send(nbtPacket(0x85, {}));
        // The header itself comes in three pieces, the body in several.
        link.sendInPieces(sessionMessage(body), {1, 2, 3, 10, 100, 50});
    }));
    NbtConnection *connection = openToPeer(peer);
    ASSERT_NE(connection, nullptr);
    // Three buffers: the body crosses both boundaries.
    BufChain *chain = BufChainNew(7);
    chain->next = BufChainNew(200);
    chain->next->next = BufChainNew(93);
    EXPECT_EQ(NbtReceiveMessage(connection, chain, 300), 300);
    Bytes got(chain->data, chain->data + 7);
    got.insert(got.end(), chain->next->data, chain->next->data + 200);
    got.insert(got.end(), chain->next->next->data, chain->next->next->data + 93);
    EXPECT_EQ(got, body);
    BufChainFree(chain);
    NbtClose(connection);
}

TEST(NbtReceive, BodyLengthsAtTheLimits)
{
    const Bytes big = pattern(70000);
    const Bytes exact = pattern(50, 3);
    ScriptedPeer peer(afterSession([&](PeerLink &link) {
        link.send(sessionMessage({}));
        link.send(sessionMessage(big));  // needs bit 16 of the length
        link.send(sessionMessage(exact));
        link.send(sessionMessage(pattern(51)));  // one byte over: refused unread
    }));
    NbtConnection *connection = openToPeer(peer);
    ASSERT_NE(connection, nullptr);

    uint8_t header[4];
    BufChain headerOnly{header, 4, nullptr};
    EXPECT_EQ(NbtReceiveChain(connection, &headerOnly, 4), 4) << "empty session message";
    EXPECT_EQ(NbtReceiveChain(connection, &headerOnly, 3), -1) << "capacity below 4";

    BufChain *chain = BufChainNew(70000);
    EXPECT_EQ(NbtReceiveMessage(connection, chain, 70000), 70000);
    EXPECT_EQ(Bytes(chain->data, chain->data + 70000), big);
    EXPECT_EQ(NbtReceiveMessage(connection, chain, 50), 50);
    EXPECT_EQ(Bytes(chain->data, chain->data + 50), exact);
    EXPECT_EQ(NbtReceiveMessage(connection, chain, 50), -1);
    // Nothing of the refused body was read: it is still there in full.
    EXPECT_EQ(NbtDrain(connection, 51), 0);
    BufChainFree(chain);
    NbtClose(connection);
}

TEST(NbtReceive, DiscardsWhatTheChainCannotHold)
{
    const Bytes body = pattern(500);
    ScriptedPeer peer(afterSession([&](PeerLink &link) {
        link.send(sessionMessage(body));
        link.send(sessionMessage({0xAB}));
        link.send(nbtPacket(0x85, {}));
        link.send(nbtPacket(0x83, {0x8F}));
    }));
    NbtConnection *connection = openToPeer(peer);
    ASSERT_NE(connection, nullptr);
    // Room for the header and 96 body bytes, capacity claiming much more.
    BufChain *chain = BufChainNew(100);
    EXPECT_EQ(NbtReceiveChain(connection, chain, 1000), 0);
    EXPECT_EQ(Bytes(chain->data + 4, chain->data + 100), Bytes(body.begin(), body.begin() + 96));
    // The stream is back at a packet boundary.
    BufChain *one = BufChainNew(1);
    EXPECT_EQ(NbtReceiveMessage(connection, one, 1), 1);
    EXPECT_EQ(one->data[0], 0xAB);
    // A packet that is not a session message is read in full and refused.
    EXPECT_EQ(NbtReceiveMessage(connection, one, 1), -1);
    BufChainFree(one);
    BufChainFree(chain);
    NbtClose(connection);
}

TEST(NbtReceive, DrainFailsWhenThePeerCloses)
{
    ScriptedPeer peer(afterSession([&](PeerLink &link) {
        Bytes cut = sessionMessage(pattern(400));
        cut.resize(204);  // header and 200 of 400 body bytes, then the end
        link.send(cut);
        link.reset();
    }));
    NbtConnection *connection = openToPeer(peer);
    ASSERT_NE(connection, nullptr);
    BufChain *chain = BufChainNew(4);
    chain->next = BufChainNew(100);
    EXPECT_EQ(NbtReceiveChain(connection, chain, 1000), -1);
    BufChainFree(chain);
    NbtClose(connection);
}

TEST(NbtReceive, SilentPeerTimesOutAfterTheFullWaitDespiteSignals)
{
    ScriptedPeer peer(afterSession([](PeerLink &link) { link.waitForClose(15000); }));
    NbtConnection *connection = openToPeer(peer);
    ASSERT_NE(connection, nullptr);
    BufChain *chain = BufChainNew(10);

    // Signals that interrupt the wait (no SA_RESTART) must not shorten it.
    struct sigaction quiet {};
    quiet.sa_handler = [](int) {};
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &quiet, &previous), 0);
    const pthread_t waiter = pthread_self();
    std::atomic<bool> waiting{true};
    std::thread interrupter([&] {
        // Gives up after 10 s, so that a wait restarted in full still ends.
        for (int i = 0; waiting && i < 200; ++i) {
            pthread_kill(waiter, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(NbtReceiveMessage(connection, chain, 10), -1);
    const auto waited = std::chrono::steady_clock::now() - start;
    waiting = false;
    interrupter.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_GE(waited, std::chrono::milliseconds(8000));
    EXPECT_LT(waited, std::chrono::milliseconds(9500));
    BufChainFree(chain);
    NbtClose(connection);
}

TEST(NbtSend, FramesMessagesWithThe17BitLength)
{
    Bytes empty, big, pieces;
    uint8_t bigType = 0xEE;
    ScriptedPeer peer(afterSession([&](PeerLink &link) {
        empty = link.read(4);
        big = link.readMessage(&bigType);
        pieces = link.readMessage();
    }));
    NbtConnection *connection = openToPeer(peer);
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(NbtSendMessage(connection, nullptr, 0), 4);

    const Bytes body = pattern(0x1FFFF);
    BufChain *chain = BufChainNew(0x1FFFF);
    std::memcpy(chain->data, body.data(), body.size());
    EXPECT_EQ(NbtSendMessage(connection, chain, 0x1FFFF), 0x1FFFF + 4);
    EXPECT_EQ(NbtSendMessage(connection, chain, 0x20000), -1) << "does not fit 17 bits";

    // Three buffers, the last cut at the message length.
    BufChain *three = BufChainNew(2);
    three->next = BufChainNew(3);
    three->next->next = BufChainNew(10);
    std::memcpy(three->data, "ab", 2);
    std::memcpy(three->next->data, "cde", 3);
    std::memcpy(three->next->next->data, "fghijklmno", 10);
    EXPECT_EQ(NbtSendMessage(connection, three, 8), 12);
    BufChainFree(three);
    BufChainFree(chain);
    NbtClose(connection);
    peer.finish();
    EXPECT_EQ(empty, (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(bigType, 0);
    EXPECT_EQ(big, body);
    EXPECT_EQ(pieces, textBytes("abcdefgh"));
}

TEST(NbtSend, FinishesWhatAFullSocketTookOnlyInPart)
{
    const Bytes body = pattern(0x1FFFF, 11);
    Bytes got;
    ScriptedPeer peer(afterSession([&](PeerLink &link) {
        // Read slowly at first so that the client's small send buffer fills.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        got = link.readMessage();
    }));
    NbtConnection *connection = openToPeer(peer);
    ASSERT_NE(connection, nullptr);
    const int small = 4096;
    ASSERT_EQ(setsockopt(connection->socket, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    BufChain *chain = BufChainNew(0x1FFFF);
    std::memcpy(chain->data, body.data(), body.size());
    EXPECT_EQ(NbtSendMessage(connection, chain, 0x1FFFF), 0x1FFFF + 4);
    BufChainFree(chain);
    NbtClose(connection);
    peer.finish();
    EXPECT_EQ(got, body);
}

TEST(NbtSend, GatheredPiecesSurviveSendsThatStopMidPiece)
{
    // Nine buffers of uneven sizes, one of them empty, through a send buffer
    // far smaller than the message: the socket takes part of a piece, whole
    // pieces and parts of several at once, and the peer must still see every
    // byte once, in chain order.
    const size_t sizes[] = {1, 4000, 0, 7, 30000, 3, 50000, 5, 37000};
    Bytes body;
    BufChain *chain = nullptr;
    BufChain **tail = &chain;
    unsigned seed = 1;
    for (size_t size : sizes) {
        const Bytes part = pattern(size, seed++);
        body.insert(body.end(), part.begin(), part.end());
        *tail = BufChainNew(static_cast<int32_t>(size));
        ASSERT_NE(*tail, nullptr);
        if (size > 0)
            std::memcpy((*tail)->data, part.data(), size);
        tail = &(*tail)->next;
    }
    Bytes got;
    ScriptedPeer peer(afterSession([&](PeerLink &link) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        got = link.readMessage();
    }));
    NbtConnection *connection = openToPeer(peer);
    ASSERT_NE(connection, nullptr);
    const int small = 4096;
    ASSERT_EQ(setsockopt(connection->socket, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    const auto length = static_cast<int32_t>(body.size());
    EXPECT_EQ(NbtSendMessage(connection, chain, length), length + 4);
    BufChainFree(chain);
    NbtClose(connection);
    peer.finish();
    EXPECT_EQ(got, body);
}

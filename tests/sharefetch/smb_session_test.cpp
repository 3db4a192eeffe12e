#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "scripted_peer.h"
#include "smb_session.h"

namespace {

SmbSession *createAtPeer(const ScriptedPeer &peer, const char *name = "server")
{
    return SmbSessionCreateAtPort(name, "127.0.0.1", peer.port());
}

// The peer's part up to the NEGOTIATE request, which it returns.
Bytes answerSessionRequest(PeerLink &link)
{
    link.readMessage();
    link.send(nbtPacket(0x82, {}));
    return link.readMessage();
}

// Serves the session request, answers NEGOTIATE with reply, and reports
// whether the client then closed without sending anything more.
struct NegotiateOutcome {
    SmbSession *session = nullptr;
    bool closedSilently = false;
};

NegotiateOutcome negotiateWith(const Bytes &reply)
{
    NegotiateOutcome outcome;
    ScriptedPeer peer([&](PeerLink &link) {
        answerSessionRequest(link);
        link.send(sessionMessage(reply));
        Bytes more;
        outcome.closedSilently = link.waitForClose(5000, &more) && more.empty();
    });
    outcome.session = createAtPeer(peer);
    peer.finish();
    return outcome;
}

std::string upper(std::string text)
{
    for (char &c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

}  // namespace

TEST(SmbDialectLevel, LooksUpTheTableExactly)
{
    const char *const list[] = {"PC NETWORK PROGRAM 1.0", "Samba", "LANMAN2.1", "NT LM 0.13",
                                "samba", nullptr};
    EXPECT_EQ(SmbDialectLevel(list, 0), 0);
    EXPECT_EQ(SmbDialectLevel(list, 1), 8);
    EXPECT_EQ(SmbDialectLevel(list, 2), 7);
    EXPECT_EQ(SmbDialectLevel(list, 3), -1);
    EXPECT_EQ(SmbDialectLevel(list, 4), -1) << "differs only in case";
    EXPECT_EQ(SmbDialectLevel(list, 5), -1) << "past the end marker";
    EXPECT_EQ(SmbDialectLevel(list, 9), -1);
    EXPECT_EQ(SmbDialectLevel(list, -1), -1);
    EXPECT_EQ(SmbDialectLevel(SmbOfferedDialects, 0), 8);
}

TEST(SmbSessionCreate, NegotiatesAndLogsOnWithExactRequests)
{
    Bytes sessionRequest, negotiate, setup;
    ScriptedPeer peer([&](PeerLink &link) {
        sessionRequest = link.readMessage();
        link.send(nbtPacket(0x82, {}));
        negotiate = link.readMessage();
        link.send(sessionMessage(negotiateReply(65536, 0x0000F3FD, 0, 0xCAFEF00D)));
        setup = link.readMessage();
        link.send(sessionMessage(sessionSetupReply(0x4321)));
    });
    SmbSession *session = createAtPeer(peer, "srv-1.\xE9x");
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(session->protocolLevel, 8);
    EXPECT_EQ(session->maxRawSize, 65536u);
    EXPECT_EQ(session->sessionKey, 0xCAFEF00Du);
    EXPECT_EQ(session->extendedSecurity, 0);
    EXPECT_EQ(session->uid, 0x4321u);
    EXPECT_EQ(session->pid, static_cast<uint32_t>(getpid()));
    EXPECT_EQ(session->mid, session->pid);
    EXPECT_EQ(session->port, peer.port());
    EXPECT_EQ(session->treeListHead, nullptr);
    EXPECT_EQ(session->currentTree, nullptr);
    SmbSessionFree(session);
    peer.finish();

    // Only a-z are upper-cased in the called name; the calling name is the
    // host name, upper-cased the same way.
    ASSERT_EQ(sessionRequest.size(), 68u);
    EXPECT_EQ(std::string(sessionRequest.begin() + 1, sessionRequest.begin() + 33),
              encodedName("SRV-1.\xE9X"));
    char host[80] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(std::string(sessionRequest.begin() + 35, sessionRequest.begin() + 67),
              encodedName(upper(host)));

    const Bytes dialects = concat({0x02}, concat(textBytes("NT LM 0.12"), {0}));
    EXPECT_EQ(negotiate, concat(requestHeader(0x72, 0, 0), concat({0, 12, 0}, dialects)));
    EXPECT_EQ(negotiate.size(), 47u);

    const auto pid = static_cast<uint16_t>(getpid());
    const Bytes words{13,   0xFF, 0,    0,    0,    0xFF, 0xFF, 2, 0,
                      static_cast<uint8_t>(pid), static_cast<uint8_t>(pid >> 8),
                      0x0D, 0xF0, 0xFE, 0xCA, 1,    0,    0, 0, 0, 0, 0, 0,
                      0,    0x40, 0,    0,  // large reads, which this server offers
                      28,   0};
    const Bytes data = concat({0}, textBytes(std::string("Guest\0WORKGROUP\0Win32\0smbd\0", 27)));
    EXPECT_EQ(setup, concat(requestHeader(0x73, 0, 0), concat(words, data)));
    EXPECT_EQ(setup.size(), 89u);
}

TEST(SmbSessionCreate, RefusesNegotiateReplies)
{
    const Bytes good = negotiateReply();
    struct Case {
        const char *what;
        Bytes reply;
    } cases[] = {
        {"no dialect accepted, full form", negotiateReply(65536, 0, 0xFFFF)},
        {"no dialect accepted, WC 1", smbReply(0x72, {0xFFFF})},
        {"index past the offered list", negotiateReply(65536, 0, 1)},
        {"WC 1", smbReply(0x72, {0})},
        {"WC 13", smbReply(0x72, std::vector<uint16_t>(13, 0))},
        {"error class", withByte(good, 5, 1)},
        {"short of the capabilities", cut(good, 55)},
        {"short of the dialect index", cut(good, 34)},
        {"longer than the reply buffer", concat(good, Bytes(1024 - good.size() + 1, 0))},
    };
    for (const Case &c : cases) {
        const NegotiateOutcome outcome = negotiateWith(c.reply);
        EXPECT_EQ(outcome.session, nullptr) << c.what;
        EXPECT_TRUE(outcome.closedSilently) << c.what;
        SmbSessionFree(outcome.session);
    }
}

TEST(SmbSessionCreate, ExtendedSecurityIsRefusedBeforeTheLogon)
{
    const NegotiateOutcome outcome = negotiateWith(negotiateReply(65536, 0x80000000u));
    EXPECT_EQ(outcome.session, nullptr);
    EXPECT_TRUE(outcome.closedSilently) << "nothing may be sent after NEGOTIATE";
}

TEST(SmbSessionCreate, AcceptsLongNegotiateReplies)
{
    // Real servers append domain and server names (Samba: 113 bytes for a
    // 7-character name); a body that fills the whole buffer is still taken.
    for (const size_t length : {size_t{113}, size_t{1024}}) {
        const Bytes good = negotiateReply(4096);
        ScriptedPeer peer([&](PeerLink &link) {
            answerSessionRequest(link);
            link.send(sessionMessage(concat(good, Bytes(length - good.size(), 0x41))));
            link.readMessage();
            link.send(sessionMessage(sessionSetupReply(5)));
        });
        SmbSession *session = createAtPeer(peer);
        ASSERT_NE(session, nullptr) << length;
        EXPECT_EQ(session->maxRawSize, 4096u);
        SmbSessionFree(session);
    }
}

TEST(SmbSessionCreate, ChecksTheSessionSetupReply)
{
    const Bytes good = sessionSetupReply(77);
    struct Case {
        const char *what;
        Bytes reply;
        bool accepted;
    } cases[] = {
        {"41 bytes with WC 3", good, true},
        {"40 bytes", cut(good, 40), false},
        {"error class", withByte(good, 5, 2), false},
        {"wrong command", withByte(good, 4, 0x72), false},
        {"not marked as a reply", withByte(good, 9, 0x00), false},
        {"WC 4", smbReply(0x73, {0xFF, 0, 0, 0}, {}, ReplyHeader{0, 0x80, 0, 77}), false},
        {"too short to carry the word count", cut(good, 20), false},
    };
    for (const Case &c : cases) {
        ScriptedPeer peer([&](PeerLink &link) {
            answerSessionRequest(link);
            link.send(sessionMessage(negotiateReply()));
            link.readMessage();
            link.send(sessionMessage(c.reply));
        });
        SmbSession *session = createAtPeer(peer);
        EXPECT_EQ(session != nullptr, c.accepted) << c.what;
        if (session != nullptr) {
            EXPECT_EQ(session->uid, 77u);
        }
        SmbSessionFree(session);
    }
}

TEST(SmbSessionSetup, ASecondLogonCarriesTheFirstUid)
{
    Bytes second, third;
    ScriptedPeer peer([&](PeerLink &link) {
        serveLogon(link, 65536, 0x1111);
        second = link.readMessage();
        link.send(sessionMessage(sessionSetupReply(0x2222)));
        third = link.readMessage();
        link.send(sessionMessage(withByte(sessionSetupReply(0x3333), 5, 1)));
    });
    SmbSession *session = createAtPeer(peer);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(SmbSessionSetup(session), 1);
    EXPECT_EQ(session->uid, 0x2222u);
    EXPECT_EQ(SmbSessionSetup(session), -1);
    EXPECT_EQ(session->uid, 0x2222u) << "a refused logon keeps the UID";
    SmbSessionFree(session);
    peer.finish();
    EXPECT_EQ(le16(second, 28), 0x1111);
    EXPECT_EQ(le16(third, 28), 0x2222);
    EXPECT_EQ(SmbSessionSetup(nullptr), -1);
}

TEST(SmbSessionCreate, RefusesServerNamesBeyondTheNameRoomWithoutConnecting)
{
    // A bare listener: a connection attempt would show up in its queue.
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length), 0);
    const int port = ntohs(address.sin_port);

    EXPECT_EQ(SmbSessionCreateAtPort(std::string(80, 'n').c_str(), "127.0.0.1", port), nullptr);
    EXPECT_EQ(SmbSessionCreateAtPort(nullptr, "127.0.0.1", port), nullptr);
    EXPECT_EQ(SmbSessionCreateAtPort("server", nullptr, port), nullptr);
    pollfd entry{listener, POLLIN, 0};
    EXPECT_EQ(poll(&entry, 1, 200), 0) << "a connection was attempted";
    close(listener);

    // 79 characters still fit.
    ScriptedPeer peer([](PeerLink &link) { serveLogon(link); });
    SmbSession *session = createAtPeer(peer, std::string(79, 'n').c_str());
    EXPECT_NE(session, nullptr);
    SmbSessionFree(session);
}

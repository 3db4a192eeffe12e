#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "scripted_peer.h"
#include "sharefetch.h"
#include "smb_file.h"
#include "smb_tree.h"

namespace {

// TREE_CONNECT_ANDX as the client must send it, from the table.
Bytes treeConnectRequest(const std::string &share, uint16_t uid)
{
    const size_t byteCount = share.size() + 2 + 3;
    Bytes words{4, 0xFF, 0, 0, 0, 0, 0, 1, 0, static_cast<uint8_t>(byteCount),
                static_cast<uint8_t>(byteCount >> 8), 0};
    words = concat(words, textBytes(share));
    words = concat(words, {0, 'A', ':', 0});
    return concat(requestHeader(0x75, 0, uid), words);
}

}  // namespace

TEST(SmbTreeConnect, SendsTheRequestAndLinksTheTree)
{
    const std::string share = "\\\\SERVER\\MEDIA";
    Bytes connect, disconnect;
    ScriptedPeer peer([&](PeerLink &link) {
        serveLogon(link, 65536, 0x0102);
        connect = link.readMessage();
        link.send(sessionMessage(treeConnectReply(0xBEEF)));
        disconnect = link.readMessage();
        link.send(sessionMessage(treeDisconnectReply()));
    });
    SmbSession *session = SmbSessionCreateAtPort("server", "127.0.0.1", peer.port());
    ASSERT_NE(session, nullptr);
    SmbTree *tree = SmbTreeConnect(session, share.c_str(), "A:");
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(tree->tid, 0xBEEFu);
    EXPECT_EQ(tree->session, session);
    EXPECT_EQ(std::string(tree->sharePath), share);
    EXPECT_EQ(std::string(tree->service), "A:");
    EXPECT_EQ(session->treeListHead, tree);
    EXPECT_EQ(session->treeListTail, tree);
    EXPECT_EQ(tree->prev, nullptr);
    EXPECT_EQ(tree->next, nullptr);
    EXPECT_EQ(SmbTreeDisconnect(tree), 1);
    EXPECT_EQ(session->treeListHead, nullptr);
    EXPECT_EQ(session->treeListTail, nullptr);
    SmbSessionFree(session);
    peer.finish();
    EXPECT_EQ(connect, treeConnectRequest(share, 0x0102));
    EXPECT_EQ(connect.size(), 46 + share.size() + 2);
    EXPECT_EQ(disconnect, concat(requestHeader(0x71, 0xBEEF, 0x0102), {0, 0, 0}));
}

TEST(SmbTreeConnect, SharePathLimits)
{
    // 202 characters and "A:" make a 250-byte message; one more is refused
    // with nothing sent.
    const std::string fits(202, 's');
    Bytes connect, after;
    ScriptedPeer peer([&](PeerLink &link) {
        serveLogon(link);
        connect = link.readMessage();
        link.send(sessionMessage(treeConnectReply(3)));
        link.waitForClose(5000, &after);
    });
    SmbSession *session = SmbSessionCreateAtPort("server", "127.0.0.1", peer.port());
    ASSERT_NE(session, nullptr);
    SmbTree *tree = SmbTreeConnect(session, fits.c_str(), "A:");
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(std::string(tree->sharePath), fits.substr(0, 128)) << "cut to 129 bytes";
    EXPECT_EQ(SmbTreeConnect(session, std::string(203, 's').c_str(), "A:"), nullptr);
    EXPECT_EQ(SmbTreeConnect(session, "", std::string(205, 'x').c_str()), nullptr);
    EXPECT_EQ(SmbTreeConnect(session, nullptr, "A:"), nullptr);
    EXPECT_EQ(SmbTreeConnect(nullptr, "x", "A:"), nullptr);
    EXPECT_EQ(session->treeListHead, tree);
    SmbTreeRelease(tree);
    SmbSessionFree(session);
    peer.finish();
    EXPECT_EQ(connect.size(), 250u);
    EXPECT_TRUE(after.empty()) << "a refused share path went on the wire";
}

TEST(SmbTreeConnect, RefusesReplies)
{
    const Bytes good = treeConnectReply(9);
    const struct {
        const char *what;
        Bytes reply;
    } cases[] = {
        {"error class", withByte(good, 5, 2)},
        {"wrong command", withByte(good, 4, 0x73)},
        {"not marked as a reply", withByte(good, 9, 0x08)},
        {"41 bytes", cut(good, 41)},
        {"WC 7", smbReply(0x75, std::vector<uint16_t>(7, 0), {0, 0, 0})},
        {"WC 1", smbReply(0x75, {0xFF}, Bytes(6, 0))},
        {"longer than 250 bytes", concat(good, Bytes(250 - good.size() + 1, 0))},
    };
    for (const auto &c : cases) {
        ScriptedPeer peer([&](PeerLink &link) {
            serveLogon(link);
            link.readMessage();
            link.send(sessionMessage(c.reply));
        });
        SmbSession *session = SmbSessionCreateAtPort("server", "127.0.0.1", peer.port());
        ASSERT_NE(session, nullptr);
        EXPECT_EQ(SmbTreeConnect(session, "\\\\S\\X", "A:"), nullptr) << c.what;
        EXPECT_EQ(session->treeListHead, nullptr) << c.what;
        EXPECT_EQ(session->treeListTail, nullptr) << c.what;
        SmbSessionFree(session);
    }
    // WC 2 is as good as 3.
    ScriptedPeer peer([&](PeerLink &link) {
        serveLogon(link);
        link.readMessage();
        link.send(sessionMessage(smbReply(0x75, {0xFF, 0}, {'A', ':', 0, 0}, {0, 0x80, 4, 0})));
    });
    SmbSession *session = SmbSessionCreateAtPort("server", "127.0.0.1", peer.port());
    ASSERT_NE(session, nullptr);
    SmbTree *tree = SmbTreeConnect(session, "\\\\S\\X", "A:");
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(tree->tid, 4u);
    SmbTreeRelease(tree);
    SmbSessionFree(session);
}

TEST(SmbTreeDisconnect, RefusedRepliesKeepTheTreeAndDisconnectStillReleases)
{
    const Bytes good = treeDisconnectReply();
    // A refusal in good order leaves the session in step, so the disconnect
    // asks again; a reply that does not fit its request breaks the session
    // and the disconnect sends nothing more.
    const struct {
        const char *what;
        Bytes reply;
        bool inStep;
    } cases[] = {
        {"36 bytes", concat(good, {0}), false},
        {"WC 1", smbReply(0x71, {0}), false},
        {"error class", withByte(good, 5, 1), true},
        {"wrong command", withByte(good, 4, 0x75), false},
        {"not marked as a reply", withByte(good, 9, 0), false},
    };
    for (const auto &c : cases) {
        Bytes after;
        ScriptedPeer peer([&](PeerLink &link) {
            serveConnect(link);
            link.readMessage();
            link.send(sessionMessage(c.reply));
            if (c.inStep) {
                link.readMessage();
                link.send(sessionMessage(c.reply));
            }
            link.waitForClose(5000, &after);
        });
        SmbSession *session = connectToPeer(peer);
        ASSERT_NE(session, nullptr);
        SmbTree *tree = session->currentTree;
        ASSERT_NE(tree, nullptr);
        EXPECT_EQ(SmbTreeDisconnect(tree), -1) << c.what;
        EXPECT_EQ(session->treeListHead, tree) << c.what;
        EXPECT_EQ(session->broken != 0, !c.inStep) << c.what;
        // The leak checker sees whether the tree is released here.
        EXPECT_EQ(SMBDisonnect(session), 1) << c.what;
        peer.finish();
        EXPECT_TRUE(after.empty()) << c.what;
    }
}

TEST(SMBConnect, ConnectsTheShareAndUsesTheSecondUid)
{
    Bytes connect, disconnect, after;
    ScriptedPeer peer([&](PeerLink &link) {
        serveLogon(link, 65536, 40);
        connect = link.readMessage();
        link.send(sessionMessage(treeConnectReply(12)));
        link.readMessage();
        link.send(sessionMessage(sessionSetupReply(41)));
        disconnect = link.readMessage();
        link.send(sessionMessage(treeDisconnectReply()));
        link.waitForClose(5000, &after);
    });
    SmbSession *session = nullptr;
    ASSERT_EQ(SmbConnectAtPort("127.0.0.1", "server", "\\\\SERVER\\SHARE", peer.port(), &session),
              1);
    ASSERT_NE(session, nullptr);
    ASSERT_NE(session->currentTree, nullptr);
    EXPECT_EQ(session->uid, 41u);
    EXPECT_EQ(SMBDisonnect(session), 1);
    peer.finish();
    EXPECT_EQ(connect, treeConnectRequest("\\\\SERVER\\SHARE", 40));
    EXPECT_EQ(disconnect, concat(requestHeader(0x71, 12, 41), {0, 0, 0}));
    EXPECT_TRUE(after.empty());
}

TEST(SMBConnect, RefusedShareLeavesASessionWithoutTree)
{
    Bytes after;
    ScriptedPeer peer([&](PeerLink &link) {
        serveLogon(link, 65536, 40);
        link.readMessage();
        link.send(sessionMessage(smbReply(0x75, {}, {}, {2, 0x80, 0, 0})));  // bad share
        link.readMessage();
        link.send(sessionMessage(withByte(sessionSetupReply(41), 5, 1)));
        link.waitForClose(5000, &after);
    });
    SmbSession *session = nullptr;
    ASSERT_EQ(SmbConnectAtPort("127.0.0.1", "server", "\\\\SERVER\\NONE", peer.port(), &session),
              1);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(session->currentTree, nullptr);
    EXPECT_EQ(session->uid, 40u) << "the refused second logon keeps the first UID";
    SmbFile *file = reinterpret_cast<SmbFile *>(&after);  // must be overwritten
    EXPECT_EQ(SMBOpenFile(session, "\\a.mp3", 0, &file), 0);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(SMBDisonnect(session), 1);
    peer.finish();
    EXPECT_TRUE(after.empty()) << "open or disconnect sent a request";
}

TEST(SMBConnect, FailuresAndNullArguments)
{
    EXPECT_EQ(SMBStartup(), 0);
    EXPECT_EQ(SMBConnect("127.0.0.1", "server", "\\\\S\\X", nullptr), 0);
    SmbSession *session = reinterpret_cast<SmbSession *>(&session);
    EXPECT_EQ(SMBConnect(nullptr, "server", "\\\\S\\X", &session), 0);
    EXPECT_EQ(session, nullptr);
    session = reinterpret_cast<SmbSession *>(&session);
    EXPECT_EQ(SMBConnect("127.0.0.1", nullptr, "\\\\S\\X", &session), 0);
    EXPECT_EQ(session, nullptr);
    session = reinterpret_cast<SmbSession *>(&session);
    EXPECT_EQ(SMBConnect("no.such.address", "server", "\\\\S\\X", &session), 0);
    EXPECT_EQ(session, nullptr);
    EXPECT_EQ(SMBDisonnect(nullptr), 0);
    EXPECT_EQ(SMBShutdown(), 1);

    // A server that refuses the logon: no session.
    ScriptedPeer peer([](PeerLink &link) {
        link.readMessage();
        link.send(nbtPacket(0x82, {}));
        link.readMessage();
        link.send(sessionMessage(negotiateReply()));
        link.readMessage();
        link.send(sessionMessage(withByte(sessionSetupReply(1), 5, 1)));
    });
    session = reinterpret_cast<SmbSession *>(&session);
    EXPECT_EQ(SmbConnectAtPort("127.0.0.1", "server", "\\\\S\\X", peer.port(), &session), 0);
    EXPECT_EQ(session, nullptr);
}

namespace {

// A loopback port with nothing listening on it: bound once, then let go.
int32_t closedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length), 0);
    ::close(fd);
    return ntohs(address.sin_port);
}

}  // namespace

TEST(SMBConnect, EachFailureLeavesItsReasonInErrno)
{
    const struct {
        const char *what;
        std::function<void(PeerLink &)> script;
        int reason;
    } cases[] = {
        {"NetBIOS session refused",
         [](PeerLink &link) {
             link.readMessage();
             link.send(nbtPacket(0x83, {0x82}));
         },
         ECONNREFUSED},
        {"connection closed after the session request",
         [](PeerLink &link) {
             link.readMessage();
             link.send(nbtPacket(0x82, {}));
             link.reset();
         },
         ECONNRESET},
        {"no dialect accepted",
         [](PeerLink &link) {
             link.readMessage();
             link.send(nbtPacket(0x82, {}));
             link.readMessage();
             link.send(sessionMessage(negotiateReply(65536, 0, 0xFFFF)));
         },
         EPROTONOSUPPORT},
        {"NEGOTIATE answered with another command",
         [](PeerLink &link) {
             link.readMessage();
             link.send(nbtPacket(0x82, {}));
             link.readMessage();
             link.send(sessionMessage(withByte(negotiateReply(), 4, 0x73)));
         },
         EPROTO},
        {"guest logon refused",
         [](PeerLink &link) {
             link.readMessage();
             link.send(nbtPacket(0x82, {}));
             link.readMessage();
             link.send(sessionMessage(negotiateReply()));
             link.readMessage();
             link.send(sessionMessage(smbReply(0x73, {}, {}, {2, 0x80, 0, 0})));
         },
         EACCES},
        {"tree connect answered by a reply of the wrong size",
         [](PeerLink &link) {
             serveLogon(link);
             link.readMessage();
             link.send(sessionMessage(cut(treeConnectReply(3), 40)));
         },
         EPROTO},
    };
    for (const auto &c : cases) {
        ScriptedPeer peer(c.script);
        SmbSession *session = reinterpret_cast<SmbSession *>(&peer);
        errno = 0;
        EXPECT_EQ(SmbConnectAtPort("127.0.0.1", "server", "\\\\S\\X", peer.port(), &session), 0)
            << c.what;
        EXPECT_EQ(errno, c.reason) << c.what;
        EXPECT_EQ(session, nullptr) << c.what;
    }
    SmbSession *session = nullptr;
    errno = 0;
    EXPECT_EQ(SmbConnectAtPort("127.0.0.1", "server", "\\\\S\\X", closedPort(), &session), 0);
    EXPECT_EQ(errno, ECONNREFUSED) << "nothing listening";
}

TEST(SMBOpenFile, RefusalsSayWhyAndSuccessLeavesErrnoAlone)
{
    // ERRSRV/ERRinvnetname for the share; ERRDOS/ERRbadfile, ERRbadpath,
    // ERRnoaccess and an NT status for the opens.
    const auto refusal = [](uint8_t errorClass, uint16_t code) {
        return withByte(withByte(smbReply(0x02, {}, {}, {errorClass, 0x80, 0, 0}), 7,
                                 static_cast<uint8_t>(code)),
                        8, static_cast<uint8_t>(code >> 8));
    };
    ScriptedPeer refusedShare([](PeerLink &link) {
        serveLogon(link);
        link.readMessage();
        link.send(sessionMessage(withByte(smbReply(0x75, {}, {}, {2, 0x80, 0, 0}), 7, 6)));
        link.readMessage();
        link.send(sessionMessage(sessionSetupReply(101)));
    });
    SmbSession *session = nullptr;
    errno = 4321;
    ASSERT_EQ(SmbConnectAtPort("127.0.0.1", "server", "\\\\S\\NONE", refusedShare.port(),
                               &session),
              1);
    EXPECT_EQ(errno, 4321) << "a connect that succeeds leaves errno alone";
    SmbFile *file = nullptr;
    EXPECT_EQ(SMBOpenFile(session, "\\a", 0, &file), 0);
    EXPECT_EQ(errno, EACCES);
    SMBDisonnect(session);

    ScriptedPeer peer([&](PeerLink &link) {
        serveConnect(link);
        for (const auto &[errorClass, code] : {std::pair{1, 2}, {1, 3}, {1, 5}}) {
            link.readMessage();
            link.send(sessionMessage(refusal(static_cast<uint8_t>(errorClass),
                                             static_cast<uint16_t>(code))));
        }
        // An NT status (flags2 0x4000): STATUS_OBJECT_NAME_NOT_FOUND.
        Bytes ntStatus = withByte(withByte(refusal(0x34, 0), 11, 0x40), 8, 0xC0);
        link.readMessage();
        link.send(sessionMessage(ntStatus));
        serveOpen(link, 9, 10);
        link.readMessage();
        link.send(sessionMessage(closeReply()));
    });
    session = connectToPeer(peer);
    ASSERT_NE(session, nullptr);
    for (const int reason : {ENOENT, ENOENT, EACCES, ENOENT}) {
        errno = 0;
        EXPECT_EQ(SMBOpenFile(session, "\\missing", 0, &file), 0);
        EXPECT_EQ(errno, reason);
    }
    errno = 4321;
    ASSERT_EQ(SMBOpenFile(session, "\\there", 0, &file), 1) << "refusals keep the session";
    EXPECT_EQ(SMBCloseFile(file), 1);
    EXPECT_EQ(errno, 4321);
    SMBDisonnect(session);
}

TEST(SmbTreeConnect, ANonAsciiSharePathGoesAsUtf16AndTheServiceAsAscii)
{
    Bytes connect;
    ScriptedPeer peer([&](PeerLink &link) {
        serveLogon(link, 65536, 100, 0x4);  // the server takes Unicode
        connect = link.readMessage();
        link.send(sessionMessage(treeConnectReply(5)));
    });
    SmbSession *session = SmbSessionCreateAtPort("server", "127.0.0.1", peer.port());
    ASSERT_NE(session, nullptr);
    SmbTree *tree = SmbTreeConnect(session, "\\\\SERVER\\M\xC3\x89" "DIAS", "A:");
    ASSERT_NE(tree, nullptr);
    SmbTreeRelease(tree);
    SmbSessionFree(session);
    peer.finish();
    const Bytes path{'\\', 0, '\\', 0, 'S', 0, 'E', 0, 'R', 0, 'V', 0, 'E', 0, 'R', 0, '\\', 0,
                     'M', 0, 0xC9, 0, 'D', 0, 'I', 0, 'A', 0, 'S', 0, 0, 0};
    const Bytes words{4, 0xFF, 0, 0, 0, 0, 0, 1, 0, static_cast<uint8_t>(1 + path.size() + 3), 0, 0};
    EXPECT_EQ(connect, concat(requestHeader(0x75, 0, 100, 0, 0x8000),
                              concat(words, concat(path, {'A', ':', 0}))));
}

// Run by the harness against smbd with its default protocols (SMB1 off):
// the SMB1 connect is refused at once with its reason, which is what makes
// SMBConnect go on with SMB2.
TEST(SambaSmb1Off, TheSmb1ConnectIsRefusedAtOnce)
{
    const char *address = std::getenv("SMBD_HARNESS_ADDRESS");
    if (address == nullptr)
        GTEST_SKIP() << "needs tests/sharefetch/smbd_harness.sh --default-protocols";
    SmbSession *session = reinterpret_cast<SmbSession *>(&address);
    errno = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SmbConnectAtPort(address, std::getenv("SMBD_HARNESS_SERVER_NAME"),
                               std::getenv("SMBD_HARNESS_SHARE_PATH"), 0, &session),
              0);
    EXPECT_EQ(errno, EPROTONOSUPPORT);
    EXPECT_EQ(session, nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

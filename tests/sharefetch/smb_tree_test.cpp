#include <gtest/gtest.h>

#include <string>

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
    const struct {
        const char *what;
        Bytes reply;
    } cases[] = {
        {"36 bytes", concat(good, {0})},
        {"WC 1", smbReply(0x71, {0})},
        {"error class", withByte(good, 5, 1)},
        {"wrong command", withByte(good, 4, 0x75)},
        {"not marked as a reply", withByte(good, 9, 0)},
    };
    for (const auto &c : cases) {
        Bytes after;
        ScriptedPeer peer([&](PeerLink &link) {
            serveConnect(link);
            link.readMessage();
            link.send(sessionMessage(c.reply));
            link.readMessage();
            link.send(sessionMessage(c.reply));
            link.waitForClose(5000, &after);
        });
        SmbSession *session = connectToPeer(peer);
        ASSERT_NE(session, nullptr);
        SmbTree *tree = session->currentTree;
        ASSERT_NE(tree, nullptr);
        EXPECT_EQ(SmbTreeDisconnect(tree), -1) << c.what;
        EXPECT_EQ(session->treeListHead, tree) << c.what;
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

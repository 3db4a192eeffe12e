#include "scripted_peer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "smb_tree.h"

namespace {

constexpr int kPeerWaitMs = 10000;

bool waitReadable(int fd, int ms)
{
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, ms) > 0;
}

}  // namespace

Bytes PeerLink::read(size_t n)
{
    Bytes out(n);
    size_t got = 0;
    while (got < n) {
        if (!waitReadable(fd, kPeerWaitMs))
            break;
        const ssize_t r = ::recv(fd, out.data() + got, n - got, 0);
        if (r <= 0)
            break;
        got += static_cast<size_t>(r);
    }
    if (got < n)
        ADD_FAILURE() << "peer expected " << n << " bytes, got " << got;
    out.resize(got);
    return out;
}

Bytes PeerLink::readMessage(uint8_t *type)
{
    const Bytes header = read(4);
    if (header.size() < 4)
        return {};
    if (type != nullptr)
        *type = header[0];
    const size_t length = ((header[1] & 1u) << 16) | (header[2] * 256u) | header[3];
    return read(length);
}

void PeerLink::send(const Bytes &bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            ADD_FAILURE() << "peer could not send";
            return;
        }
        sent += static_cast<size_t>(n);
    }
}

void PeerLink::sendInPieces(const Bytes &bytes, std::initializer_list<size_t> sizes, int pauseMs)
{
    size_t at = 0;
    for (const size_t size : sizes) {
        send(Bytes(bytes.begin() + static_cast<ptrdiff_t>(at),
                   bytes.begin() + static_cast<ptrdiff_t>(at + size)));
        at += size;
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
    send(Bytes(bytes.begin() + static_cast<ptrdiff_t>(at), bytes.end()));
}

bool PeerLink::waitForClose(int ms, Bytes *received)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    uint8_t scratch[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !waitReadable(fd, static_cast<int>(left.count())))
            return false;
        const ssize_t n = ::recv(fd, scratch, sizeof scratch, 0);
        if (n <= 0)
            return true;
        if (received != nullptr)
            received->insert(received->end(), scratch, scratch + n);
    }
}

void PeerLink::finishSending() { ::shutdown(fd, SHUT_WR); }

void PeerLink::reset()
{
    const linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd);
    fd = -1;
}

ScriptedPeer::ScriptedPeer(std::function<void(PeerLink &)> script)
{
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        ADD_FAILURE() << "no listener";
        return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, script = std::move(script)] {
        PeerLink link;
        if (waitReadable(listener_, kPeerWaitMs))
            link.fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (link.fd < 0)
            return;  // the client never came; the test says whether it should have
        script(link);
        if (link.fd >= 0) {
            // Closing with the client's bytes unread would reset the
            // connection and could discard replies it has not read yet.
            link.finishSending();
            link.waitForClose(kPeerWaitMs);
            ::close(link.fd);
        }
    });
}

void ScriptedPeer::finish()
{
    if (thread_.joinable())
        thread_.join();
}

ScriptedPeer::~ScriptedPeer()
{
    finish();
    if (listener_ >= 0)
        ::close(listener_);
}

Bytes nbtPacket(uint8_t type, const Bytes &body)
{
    Bytes out{type, static_cast<uint8_t>((body.size() >> 16) & 1u),
              static_cast<uint8_t>(body.size() >> 8), static_cast<uint8_t>(body.size())};
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes smbReply(uint8_t command, const std::vector<uint16_t> &words, const Bytes &data,
               ReplyHeader header)
{
    Bytes out(32, 0);
    out[0] = 0xFF;
    out[1] = 'S';
    out[2] = 'M';
    out[3] = 'B';
    out[4] = command;
    out[5] = header.errorClass;
    out[9] = header.flags;
    out[24] = static_cast<uint8_t>(header.tid);
    out[25] = static_cast<uint8_t>(header.tid >> 8);
    out[28] = static_cast<uint8_t>(header.uid);
    out[29] = static_cast<uint8_t>(header.uid >> 8);
    out.push_back(static_cast<uint8_t>(words.size()));
    for (const uint16_t w : words) {
        out.push_back(static_cast<uint8_t>(w));
        out.push_back(static_cast<uint8_t>(w >> 8));
    }
    out.push_back(static_cast<uint8_t>(data.size()));
    out.push_back(static_cast<uint8_t>(data.size() >> 8));
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

Bytes negotiateReply(uint32_t maxRawSize, uint32_t capabilities, uint16_t dialectIndex,
                     uint32_t sessionKey)
{
    // Words: DialectIndex, SecurityMode|MaxMpxCount low, ..., as the wire has
    // them; built as raw bytes since the fields are not word aligned.
    Bytes params;
    auto put16 = [&params](uint32_t v) {
        params.push_back(static_cast<uint8_t>(v));
        params.push_back(static_cast<uint8_t>(v >> 8));
    };
    auto put32 = [&put16](uint32_t v) {
        put16(v);
        put16(v >> 16);
    };
    put16(dialectIndex);
    params.push_back(0x03);  // SecurityMode
    put16(50);               // MaxMpxCount
    put16(1);                // MaxNumberVcs
    put32(16644);            // MaxBufferSize
    put32(maxRawSize);
    put32(sessionKey);
    put32(capabilities);
    put32(0);  // SystemTime
    put32(0);
    put16(0);                // ServerTimeZone
    params.push_back(8);     // EncryptionKeyLength
    std::vector<uint16_t> words;
    for (size_t i = 0; i < params.size(); i += 2)
        words.push_back(static_cast<uint16_t>(params[i] | (params[i + 1] << 8)));
    const Bytes challenge{1, 2, 3, 4, 5, 6, 7, 8};
    return smbReply(0x72, words, challenge);
}

Bytes sessionSetupReply(uint16_t uid)
{
    return smbReply(0x73, {0x00FF, 0, 0}, {}, ReplyHeader{0, 0x80, 0, uid});
}

Bytes treeConnectReply(uint16_t tid)
{
    return smbReply(0x75, {0x00FF, 0, 1}, textBytes(std::string("A:") + '\0'),
                    ReplyHeader{0, 0x80, tid, 0});
}

Bytes treeDisconnectReply() { return smbReply(0x71, {}); }

Bytes openReply(uint16_t fid, uint32_t fileSize, uint32_t lastWriteTime, uint16_t access)
{
    return smbReply(0x02, {fid, 0x20, static_cast<uint16_t>(lastWriteTime),
                           static_cast<uint16_t>(lastWriteTime >> 16),
                           static_cast<uint16_t>(fileSize), static_cast<uint16_t>(fileSize >> 16),
                           access});
}

Bytes closeReply() { return smbReply(0x04, {}); }

Bytes queryFileInfoReply(uint64_t endOfFile)
{
    Bytes data{0, 0, 0, 0, 0};  // pad, EA error offset, pad
    for (int i = 0; i < 8; ++i)  // allocation size
        data.push_back(static_cast<uint8_t>((endOfFile + 4095) >> (8 * i)));
    for (int i = 0; i < 8; ++i)
        data.push_back(static_cast<uint8_t>(endOfFile >> (8 * i)));
    data.insert(data.end(), {1, 0, 0, 0, 0, 0});  // links, delete pending, directory
    return smbReply(0x32, {2, 22, 0, 2, 56, 0, 22, 60, 0, 0}, data);
}

uint16_t le16(const Bytes &bytes, size_t at)
{
    return static_cast<uint16_t>(bytes.at(at) | (bytes.at(at + 1) << 8));
}

uint32_t le32(const Bytes &bytes, size_t at)
{
    return le16(bytes, at) | (static_cast<uint32_t>(le16(bytes, at + 2)) << 16);
}

Bytes textBytes(const std::string &text) { return Bytes(text.begin(), text.end()); }

namespace {

void expectCommand(const Bytes &request, uint8_t command)
{
    ASSERT_GE(request.size(), 33u);
    EXPECT_EQ(request[4], command);
}

Bytes serveLogonOffering(PeerLink &link, const Bytes &negotiate, uint16_t uid)
{
    uint8_t type = 0;
    link.readMessage(&type);
    EXPECT_EQ(type, 0x81);
    link.send(nbtPacket(0x82, {}));
    expectCommand(link.readMessage(), 0x72);
    link.send(sessionMessage(negotiate));
    Bytes setup = link.readMessage();
    expectCommand(setup, 0x73);
    link.send(sessionMessage(sessionSetupReply(uid)));
    return setup;
}

}  // namespace

void serveLogon(PeerLink &link, uint32_t maxRawSize, uint16_t uid, uint32_t capabilities)
{
    serveLogonOffering(link, negotiateReply(maxRawSize, capabilities), uid);
}

Bytes serveConnectOffering(PeerLink &link, const Bytes &negotiate, uint16_t uid, uint16_t tid)
{
    Bytes setup = serveLogonOffering(link, negotiate, uid);
    expectCommand(link.readMessage(), 0x75);
    link.send(sessionMessage(treeConnectReply(tid)));
    expectCommand(link.readMessage(), 0x73);
    link.send(sessionMessage(sessionSetupReply(static_cast<uint16_t>(uid + 1))));
    return setup;
}

void serveConnect(PeerLink &link, uint32_t maxRawSize, uint16_t uid, uint16_t tid,
                  uint32_t capabilities)
{
    serveConnectOffering(link, negotiateReply(maxRawSize, capabilities), uid, tid);
}

void serveOpen(PeerLink &link, uint16_t fid, uint32_t fileSize)
{
    expectCommand(link.readMessage(), 0x02);
    link.send(sessionMessage(openReply(fid, fileSize)));
}

Bytes serveSizeQuery(PeerLink &link, uint64_t endOfFile)
{
    Bytes request = link.readMessage();
    expectCommand(request, 0x32);
    link.send(sessionMessage(queryFileInfoReply(endOfFile)));
    return request;
}

SmbSession *connectToPeer(const ScriptedPeer &peer, const char *share)
{
    SmbSession *session = nullptr;
    EXPECT_EQ(SmbConnectAtPort("127.0.0.1", "server", share, peer.port(), &session), 1);
    return session;
}

Bytes requestHeader(uint8_t command, uint16_t tid, uint16_t uid, uint8_t flags, uint16_t flags2)
{
    const auto pid = static_cast<uint16_t>(::getpid());
    return Bytes{0xFF, 'S', 'M', 'B', command, 0, 0, 0, 0, flags,
                 static_cast<uint8_t>(flags2), static_cast<uint8_t>(flags2 >> 8),
                 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                 static_cast<uint8_t>(tid), static_cast<uint8_t>(tid >> 8),
                 static_cast<uint8_t>(pid), static_cast<uint8_t>(pid >> 8),
                 static_cast<uint8_t>(uid), static_cast<uint8_t>(uid >> 8),
                 static_cast<uint8_t>(pid), static_cast<uint8_t>(pid >> 8)};
}

Bytes concat(Bytes head, const Bytes &tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

Bytes withByte(Bytes bytes, size_t at, uint8_t value)
{
    bytes.at(at) = value;
    return bytes;
}

Bytes cut(Bytes bytes, size_t length)
{
    bytes.resize(length);
    return bytes;
}

std::string encodedName(const std::string &name)
{
    std::string out;
    for (size_t i = 0; i < 16; ++i) {
        const auto byte = static_cast<unsigned char>(i < name.size() ? name[i] : ' ');
        out += static_cast<char>('A' + (byte >> 4));
        out += static_cast<char>('A' + (byte & 15));
    }
    return out;
}

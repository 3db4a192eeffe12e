#include "raw_readraw.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace {

constexpr uint8_t kNegotiate = 0x72;
constexpr uint8_t kSessionSetup = 0x73;
constexpr uint8_t kTreeConnect = 0x75;
constexpr uint8_t kOpen = 0x02;
constexpr uint8_t kClose = 0x04;
constexpr uint8_t kTreeDisconnect = 0x71;
constexpr uint8_t kReadRaw = 0x1A;
constexpr size_t kHeader = 32;

void put16(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t *p, uint32_t v)
{
    put16(p, v);
    put16(p + 2, v >> 16);
}
uint32_t get16(const uint8_t *p) { return static_cast<uint32_t>(p[0] | p[1] << 8); }
uint32_t get32(const uint8_t *p) { return get16(p) | get16(p + 2) << 16; }

bool sendAll(int fd, const uint8_t *p, size_t n)
{
    while (n > 0) {
        const ssize_t sent = ::send(fd, p, n, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        p += sent;
        n -= static_cast<size_t>(sent);
    }
    return true;
}

bool recvAll(int fd, uint8_t *p, size_t n)
{
    while (n > 0) {
        const ssize_t got = ::recv(fd, p, n, MSG_WAITALL);
        if (got <= 0)
            return false;
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

// A request message: 4-byte session header, then the SMB header with the ids
// filled in; the caller appends the command's words and bytes.
struct Message {
    std::vector<uint8_t> bytes;

    Message(uint8_t command, const RawSmbFile &f) : bytes(4 + kHeader, 0)
    {
        uint8_t *h = bytes.data() + 4;
        std::memcpy(h, "\xffSMB", 4);
        h[4] = command;
        put16(h + 24, f.tid);
        put16(h + 26, 0x4242);  // PID
        put16(h + 28, f.uid);
        put16(h + 30, 0x4242);  // MID
    }
    void u8(uint32_t v) { bytes.push_back(static_cast<uint8_t>(v)); }
    void u16(uint32_t v) { u8(v), u8(v >> 8); }
    void u32(uint32_t v) { u16(v), u16(v >> 16); }
    void str(const char *s) { bytes.insert(bytes.end(), s, s + std::strlen(s) + 1); }
    uint8_t *smb() { return bytes.data() + 4; }
    void finish()
    {
        const size_t body = bytes.size() - 4;
        bytes[1] = static_cast<uint8_t>(body >> 16);
        bytes[2] = static_cast<uint8_t>(body >> 8);
        bytes[3] = static_cast<uint8_t>(body);
    }
};

// Sends msg and reads one session message into reply; false on any error or
// an SMB error class.
bool exchange(int fd, Message &msg, std::vector<uint8_t> &reply)
{
    msg.finish();
    if (!sendAll(fd, msg.bytes.data(), msg.bytes.size()))
        return false;
    uint8_t nbt[4];
    do {
        if (!recvAll(fd, nbt, 4))
            return false;
    } while (nbt[0] == 0x85);  // keep-alive
    const size_t length = static_cast<size_t>((nbt[1] & 1) << 16 | nbt[2] << 8 | nbt[3]);
    reply.assign(length, 0);
    if (!recvAll(fd, reply.data(), length))
        return false;
    return nbt[0] == 0x00 && length >= kHeader + 1 && reply[5] == 0;
}

void encodeName(const char *name, uint8_t *out)
{
    for (size_t i = 0; i < 16; ++i) {
        const auto c = static_cast<uint8_t>(i < std::strlen(name) ? name[i] : ' ');
        out[2 * i] = static_cast<uint8_t>('A' + (c >> 4));
        out[2 * i + 1] = static_cast<uint8_t>('A' + (c & 15));
    }
}

bool sessionRequest(int fd, const char *serverName)
{
    uint8_t req[72] = {0x81, 0x00, 0x00, 0x44, 0x20};
    encodeName(serverName, req + 5);
    req[38] = 0x20;
    encodeName("BENCHCLIENT", req + 39);
    uint8_t answer[4];
    return sendAll(fd, req, sizeof req) && recvAll(fd, answer, 4) && answer[0] == 0x82 &&
           answer[3] == 0;
}

int connectTcp(const char *address)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(139);
    sa.sin_addr.s_addr = ::inet_addr(address);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool logon(RawSmbFile &f, std::vector<uint8_t> &reply)
{
    Message neg(kNegotiate, f);
    neg.u8(0);
    neg.u16(12);
    neg.u8(0x02);
    neg.str("NT LM 0.12");
    if (!exchange(f.fd, neg, reply) || reply.size() < 56 || reply[32] != 17)
        return false;
    const uint32_t maxRaw = get32(reply.data() + 44);
    f.chunkLimit = maxRaw > 0xFFFF ? 0xFFFF : maxRaw;
    const uint32_t sessionKey = get32(reply.data() + 48);

    Message setup(kSessionSetup, f);
    setup.u8(13);
    setup.u8(0xFF), setup.u8(0), setup.u16(0);  // no AndX
    setup.u16(0xFFFF), setup.u16(2), setup.u16(0x4242), setup.u32(sessionKey);
    setup.u16(1), setup.u16(0), setup.u32(0), setup.u32(0);
    setup.u16(28);
    setup.u8(0);
    setup.str("Guest");
    setup.str("WORKGROUP");
    setup.str("Win32");
    setup.str("smbd");
    if (!exchange(f.fd, setup, reply))
        return false;
    f.uid = static_cast<uint16_t>(get16(reply.data() + 28));
    return f.chunkLimit > 0;
}

bool treeConnect(RawSmbFile &f, const char *share, std::vector<uint8_t> &reply)
{
    Message tc(kTreeConnect, f);
    tc.u8(4);
    tc.u8(0xFF), tc.u8(0), tc.u16(0);
    tc.u16(0), tc.u16(1);
    tc.u16(static_cast<uint32_t>(std::strlen(share) + 1 + 1 + 3));  // password, share, "A:"
    tc.u8(0);
    tc.str(share);
    tc.str("A:");
    if (!exchange(f.fd, tc, reply))
        return false;
    f.tid = static_cast<uint16_t>(get16(reply.data() + 24));
    return true;
}

bool openFile(RawSmbFile &f, const char *path, std::vector<uint8_t> &reply)
{
    Message op(kOpen, f);
    op.u8(2);
    op.u16(0x0040), op.u16(0);
    op.u16(static_cast<uint32_t>(std::strlen(path) + 2));
    op.u8(0x04);
    op.str(path);
    if (!exchange(f.fd, op, reply) || reply.size() < 47)
        return false;
    f.fid = static_cast<uint16_t>(get16(reply.data() + 33));
    f.size = get32(reply.data() + 41);
    return true;
}

}  // namespace

bool rawSmbConnect(const char *address, const char *serverName, const char *share,
                   RawSmbFile &file)
{
    file = RawSmbFile{};
    file.fd = connectTcp(address);
    if (file.fd < 0)
        return false;
    std::vector<uint8_t> reply;
    if (sessionRequest(file.fd, serverName) && logon(file, reply) &&
        treeConnect(file, share, reply))
        return true;
    ::close(file.fd);
    file.fd = -1;
    return false;
}

bool rawSmbOpenFile(RawSmbFile &file, const char *path)
{
    std::vector<uint8_t> reply;
    return openFile(file, path, reply);
}

bool rawSmbOpen(const char *address, const char *serverName, const char *share,
                const char *path, RawSmbFile &file)
{
    if (!rawSmbConnect(address, serverName, share, file))
        return false;
    if (rawSmbOpenFile(file, path))
        return true;
    ::close(file.fd);
    file.fd = -1;
    return false;
}

bool rawSessionRequestOnly(const char *address, const char *serverName)
{
    const int fd = connectTcp(address);
    if (fd < 0)
        return false;
    const bool ok = sessionRequest(fd, serverName);
    ::close(fd);
    return ok;
}

bool rawSmbRead(RawSmbFile &f, uint8_t *buffer, uint32_t count)
{
    // One 51-byte request behind its session header, built once; per chunk
    // only the offset and MaxCount change.
    uint8_t req[4 + 51] = {0x00, 0x00, 0x00, 51};
    uint8_t *h = req + 4;
    std::memcpy(h, "\xffSMB", 4);
    h[4] = kReadRaw;
    h[9] = 0x08;
    put16(h + 10, 0x0001);
    put16(h + 24, f.tid);
    put16(h + 26, 0x4242);
    put16(h + 28, f.uid);
    put16(h + 30, 0x4242);
    h[32] = 8;
    put16(h + 33, f.fid);
    put32(h + 43, 0xFFFFFFFF);

    uint32_t offset = 0;
    while (offset < count) {
        const uint32_t chunk = count - offset < f.chunkLimit ? count - offset : f.chunkLimit;
        put32(h + 35, offset);
        put16(h + 39, chunk);
        uint8_t nbt[4];
        if (!sendAll(f.fd, req, sizeof req) || !recvAll(f.fd, nbt, 4))
            return false;
        const uint32_t length = static_cast<uint32_t>((nbt[1] & 1) << 16 | nbt[2] << 8 | nbt[3]);
        if (nbt[0] != 0x00 || length != chunk || !recvAll(f.fd, buffer + offset, chunk))
            return false;
        offset += chunk;
    }
    return true;
}

void rawSmbCloseFile(RawSmbFile &f)
{
    if (f.fd < 0)
        return;
    std::vector<uint8_t> reply;
    Message cl(kClose, f);
    cl.u8(3);
    cl.u16(f.fid), cl.u32(0);
    cl.u16(0);
    exchange(f.fd, cl, reply);
}

void rawSmbClose(RawSmbFile &f)
{
    if (f.fd < 0)
        return;
    rawSmbCloseFile(f);
    std::vector<uint8_t> reply;
    Message td(kTreeDisconnect, f);
    td.u8(0);
    td.u16(0);
    exchange(f.fd, td, reply);
    ::close(f.fd);
    f.fd = -1;
}

// A hostile SMB server. The client runs the host's whole sequence (connect,
// open with the size query, size, two reads, a positional read of the whole
// file, close, disconnect) against a loopback peer whose
// byte stream is the fuzzer's input, sent as it comes and followed by the
// end of the stream. The client therefore never waits out a time-out: every
// receive finds either bytes or the peer's close.
#include <poll.h>
#include <sys/socket.h>

#include <netinet/in.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <thread>

#include "hostile_peer.h"
#include "sharefetch.h"
#include "smb_tree.h"

namespace {

// Reads larger than this would only spend time filling memory.
constexpr uint32_t kMaxRead = 1u << 18;
// The session's MID is the process id, which differs from run to run; a
// fixed one lets the inputs name the MIDs of the positional read's requests
// (this one and the numbers after it).
constexpr uint16_t kSessionMid = 0x1234;
// Where odd-sized inputs start reading: 128 bytes below 4 GiB.
constexpr uint32_t kFarStart = 0xFFFFFF80u;

// Once a session broke, nothing more is taken from its stream: whatever the
// server still sends (a late reply) is never read as another's answer.
void expectBrokenStaysBroken(SmbSession *session, SmbFile *file)
{
    if (session->broken == 0)
        return;
    uint8_t byte = 0;
    SmbFile *other = nullptr;
    if (SMBReadFile(file, 1, &byte) != SMB_READ_BAD_REPLY || errno != ENOTCONN ||
        SMBOpenFile(session, "\\again", 0, &other) != 0 || errno != ENOTCONN)
        std::abort();
}

// Even inputs open an ASCII path and read from the start; odd ones open a
// path in UTF-16 (when the server offers Unicode) and read from just below
// 4 GiB, crossing into the 64-bit raw read form when the server reports a
// file that large.
void runClient(uint16_t port, bool farEnd)
{
    SmbSession *session = nullptr;
    if (SmbConnectAtPort("127.0.0.1", "FUZZSERVER", "\\\\FUZZSERVER\\SHARE", port, &session) != 1)
        return;
    session->mid = kSessionMid;
    const char *path = farEnd ? "\\M\xC3\xBAsica\\M\xC3\xB6tley \xF0\x9F\x8E\xB5.mp3"
                              : "\\media\\song.mp3";
    const uint32_t start = farEnd ? kFarStart : 0;
    SmbFile *file = nullptr;
    if (SMBOpenFile(session, path, start, &file) == 1) {
        const uint64_t size = SMBGetFileSize64(file);
        const uint64_t left = size > start ? size - start : 0;
        const auto count = static_cast<uint32_t>(std::min<uint64_t>(left, kMaxRead));
        // Exactly count bytes, so a write past the end is caught.
        auto buffer = std::make_unique<uint8_t[]>(count);
        const uint32_t first = count / 2;
        if (SMBReadFile(file, first, buffer.get()) == static_cast<int32_t>(first))
            SMBReadFile(file, count - first, buffer.get() + first);
        expectBrokenStaysBroken(session, file);
        SMBReadFileAt(file, 0, count, buffer.get());
        SMBCloseFile(file);
    }
    SMBDisonnect(session);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const Listener &l = listener();
    std::thread server(playServer, l.fd, data, size);
    runClient(l.port, size % 2 == 1);
    server.join();
    return 0;
}

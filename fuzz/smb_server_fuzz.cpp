// A hostile SMB server. The client runs the host's whole sequence (connect,
// open, size, two reads, a positional read of the whole file, close,
// disconnect) against a loopback peer whose
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

void runClient(uint16_t port)
{
    SmbSession *session = nullptr;
    if (SmbConnectAtPort("127.0.0.1", "FUZZSERVER", "\\\\FUZZSERVER\\SHARE", port, &session) != 1)
        return;
    session->mid = kSessionMid;
    SmbFile *file = nullptr;
    if (SMBOpenFile(session, "\\media\\song.mp3", 0, &file) == 1) {
        const uint32_t count = std::min(SMBGetFileSize(file), kMaxRead);
        // Exactly count bytes, so a write past the end is caught.
        auto buffer = std::make_unique<uint8_t[]>(count);
        const uint32_t first = count / 2;
        if (SMBReadFile(file, first, buffer.get()) == static_cast<int32_t>(first))
            SMBReadFile(file, count - first, buffer.get() + first);
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
    runClient(l.port);
    server.join();
    return 0;
}

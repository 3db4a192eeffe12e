// A hostile SMB2 server. The first connection refuses NT LM 0.12 as a
// current Samba does, so SMBConnect's fallback takes over; on the second the
// peer's byte stream is the fuzzer's input. The client runs the host's whole
// sequence through the exports: connect, open, size, a sequential read, a
// positional read, close, disconnect.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>

#include "exports.h"
#include "hostile_peer.h"
#include "sharefetch.h"

namespace {

constexpr uint32_t kMaxRead = 1u << 18;

// Positive session response, then an SMB1 NEGOTIATE reply choosing no dialect.
constexpr uint8_t kSmb1Refusal[] = {
    0x82, 0, 0, 0,                                        // session response
    0, 0, 0, 0x25,                                        // session message, 37 bytes
    0xFF, 'S', 'M', 'B', 0x72, 0, 0, 0, 0, 0x80, 0x03, 0x40, 0, 0, 0, 0, 0, 0, 0, 0,
    0,    0,   0,   0,   0,    0, 0, 0, 0, 0,    0,    0,    1, 0xFF, 0xFF, 0, 0};

void runClient(uint16_t port)
{
    SmbSession *session = nullptr;
    if (SmbConnectAnyAtPort("127.0.0.1", "FUZZSERVER", "\\\\FUZZSERVER\\SHARE", port, &session) != 1)
        return;
    SmbFile *file = nullptr;
    if (SMBOpenFile(session, "\\media\\Café.mp3", 0, &file) == 1) {
        const uint32_t count = std::min(SMBGetFileSize(file), kMaxRead);
        // Exactly count bytes, so a write past the end is caught.
        auto buffer = std::make_unique<uint8_t[]>(count);
        const uint32_t first = count / 2;
        if (SMBReadFile(file, first, buffer.get()) == static_cast<int32_t>(first))
            SMBReadFileAt(file, first, count - first, buffer.get() + first);
        SMBCloseFile(file);
    }
    SMBDisonnect(session);
}

void playBoth(int listenFd, const uint8_t *data, size_t size)
{
    playServer(listenFd, kSmb1Refusal, sizeof kSmb1Refusal);
    playServer(listenFd, data, size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const Listener &l = listener();
    std::thread server(playBoth, l.fd, data, size);
    runClient(l.port);
    server.join();
    return 0;
}

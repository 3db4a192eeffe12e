// Differential: the MP3 probe reading through bounded windows against the
// same analysis over one in-memory view of the whole input. The first two
// bytes choose the window sizes, so frames and pairs fall on every kind of
// window edge; the rest is the file. Any difference aborts.
#include <climits>
#include <cstdlib>

#include "fuzz_util.h"
#include "mp3_reference.h"
#include "mpeg_audio_probe.h"

namespace {

void expectSame(bool same)
{
    if (!same)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2 || size > INT32_MAX)
        return 0;
    const Mp3Windows windows{kMinMp3Window + data[0] * size_t{29}, kMinMp3Window + data[1] * size_t{31}};
    const uint8_t *bytes = data + 2;
    const auto length = static_cast<int32_t>(size - 2);

    MemoryFile memory(bytes, size_t(length));
    ReadOnlyFile file;
    if (memory.path.empty() || !openReadOnlyFile(memory.path.c_str(), file))
        return 0;  // an empty input cannot be opened, as an empty file

    Mp3Outcome got;
    got.result = probeMp3File(file, windows, &got.bitrate, &got.sampleRate, &got.duration);
    expectSame(got == referenceProbe(bytes, length));

    // The search from an offset inside the input, through a fresh window.
    FileWindow window;
    if (length > 0 && makeFileWindow(file, windows.search, window)) {
        const int32_t from = (data[0] * 257 + data[1]) % length;
        const int32_t inView = findNextFrame(bytes + from, length - from);
        const int64_t found = findFramePairInFile(window, uint64_t(from));
        expectSame(found == (inView < 0 ? kNoFramePair : int64_t{from} + inView));
    }
    return 0;
}

// Arbitrary bytes through the frame-pair search and the whole MP3 probe, the
// latter through its read windows at their smallest (many window edges) and
// at their usual sizes.
#include <climits>

#include "fuzz_util.h"
#include "mediaprobe.h"
#include "mpeg_audio_header.h"
#include "mpeg_audio_probe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > INT32_MAX)
        return 0;
    const auto length = static_cast<int32_t>(size);
    const int32_t first = findNextFrame(data, length);
    if (first >= 0 && first > length - 4)
        __builtin_trap();

    MemoryFile memory(data, size);
    if (memory.path.empty())
        return 0;
    int32_t bitrate = 0, duration = 0, sampleRate = 0;
    ReadOnlyFile file;
    if (openReadOnlyFile(memory.path.c_str(), file))
        probeMp3File(file, Mp3Windows{kMinMp3Window, kMinMp3Window}, &bitrate, &sampleRate,
                     &duration);
    getMP3MetaInfo(memory.path.c_str(), &bitrate, &sampleRate, nullptr, nullptr, nullptr,
                   &duration);
    return 0;
}

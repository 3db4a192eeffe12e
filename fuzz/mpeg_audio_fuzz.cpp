// Arbitrary bytes through the frame-pair search, the variable-bitrate walk
// and the whole MP3 probe.
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

    int32_t bitrate = 0, duration = 0, sampleRate = 0;
    getVBRInfo(data, length, &bitrate, &duration);

    MemoryFile file(data, size);
    if (!file.path.empty())
        getMP3MetaInfo(file.path.c_str(), &bitrate, &sampleRate, nullptr, nullptr, nullptr,
                       &duration);
    return 0;
}

#include "mpeg_audio_probe.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "mediaprobe.h"
#include "mpeg_audio_header.h"
#include "platform/read_only_file_view.h"

namespace {

// Bytes between a frame's 4-byte header and the place a "Xing" tag stands:
// [version bit][single channel].
constexpr int32_t kSideInfoLength[2][2] = {
    {17, 9},   // MPEG-2: stereo, mono
    {32, 17},  // MPEG-1: stereo, mono
};

int32_t sideInfoLength(MP3Header header)
{
    const bool mpeg1 = (header.word >> 19) & 1u;
    const bool mono = ((header.word >> 6) & 3u) == 3u;
    return kSideInfoLength[mpeg1][mono];
}

}  // namespace

int32_t durationSeconds(int64_t size, int32_t kbps)
{
    if (kbps <= 0)
        return 0;
    return static_cast<int32_t>(size * 8 / 1000 / kbps);
}

bool getVBRInfo(const uint8_t *view, int32_t size, int32_t *bitrateOut, int32_t *durationOut)
{
    std::fputs("getVBRInfo()\n", stdout);

    const int32_t first = findNextFrame(view, size);
    if (first < 0)
        return false;

    // The tagged first frame carries no audio of its own; the average starts
    // with the frame after it.
    int32_t position = first + getFrameLength(readHeader(view + first));
    int32_t remaining = size - position;
    int32_t count = 0;
    double sum = 0.0;
    while (remaining >= 4) {
        const MP3Header header = readHeader(view + position);
        int32_t step = 0;
        if (header.isValid()) {
            ++count;
            sum += header.getBitrate();
            const int32_t length = getFrameLength(header);
            if (length >= kMinFrameLength)
                step = length;
        }
        if (step == 0) {
            // Lost sync (garbage, a tag, a cut frame): resynchronise on the next
            // frame pair. It never returns 0 here, so the walk always advances.
            const int32_t next = findNextFrame(view + position, remaining);
            if (next < 0)
                break;
            step = next;
        }
        position += step;
        remaining -= step;
    }

    const double average = count > 0 ? sum / count : 0.0;
    const auto kbps = static_cast<int32_t>(average);
    *bitrateOut = kbps;
    *durationOut = durationSeconds(size, kbps);
    return true;
}

extern "C" unsigned char getMP3MetaInfo(const char *path, int32_t *bitrateOut,
                                        int32_t *sampleRateOut, void *, void *, void *,
                                        int32_t *durationOut)
{
    if (path == nullptr || bitrateOut == nullptr || sampleRateOut == nullptr ||
        durationOut == nullptr)
        return 0;

    struct stat st {};
    if (::stat(path, &st) != 0)
        return 0;

    // The frame search counts in 32 bits; a larger file is refused like any
    // file that cannot be mapped.
    ReadOnlyFileView view;
    if (!mapWholeFileReadOnly(path, INT32_MAX, view)) {
        std::perror("mmap");
        return 0;
    }
    const auto size = static_cast<int32_t>(view.size);
    if (size < 4)
        return 0;

    const int32_t first = findNextFrame(view.data, size);
    if (first < 0)
        return 0;
    const MP3Header header = readHeader(view.data + first);
    const int32_t tag = first + 4 + sideInfoLength(header);
    if (tag >= size - 11)
        return 0;

    if (std::memcmp(view.data + tag, "Xing", 4) == 0) {
        *sampleRateOut = header.getSampleRate();
        // The walk reads a header in every few hundred bytes, so every page.
        expectWholeViewRead(view);
        return getVBRInfo(view.data, size, bitrateOut, durationOut) ? 1 : 0;
    }

    const int32_t kbps = header.getBitrate();
    *bitrateOut = kbps;
    *durationOut = durationSeconds(size, kbps);
    *sampleRateOut = header.getSampleRate();
    return 1;
}

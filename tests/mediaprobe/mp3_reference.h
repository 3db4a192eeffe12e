// The MP3 probe as it ran on one view of the whole file in memory: the pair
// search over the whole area and the frame walk straight over it. The probe
// reads through bounded windows instead and must answer exactly like this on
// every input. Shared by the tests and the differential fuzz target.
#pragma once

#include <climits>
#include <cstdint>
#include <cstring>

#include "mpeg_audio_header.h"

// What a probe wrote; kUnwritten where it wrote nothing.
inline constexpr int32_t kUnwritten = INT32_MIN;

struct Mp3Outcome {
    unsigned char result = 0;
    int32_t bitrate = kUnwritten;
    int32_t sampleRate = kUnwritten;
    int32_t duration = kUnwritten;

    bool operator==(const Mp3Outcome &) const = default;
};

// End of a leading ID3v2 tag as its header declares it; 0 without one.
inline int64_t referenceId3v2End(const uint8_t *view, int32_t size)
{
    if (size < 10 || std::memcmp(view, "ID3", 3) != 0 || view[3] == 0xFF || view[4] == 0xFF ||
        ((view[6] | view[7] | view[8] | view[9]) & 0x80) != 0)
        return 0;
    const int64_t body = int64_t{view[6]} << 21 | int64_t{view[7]} << 14 | int64_t{view[8]} << 7 |
                         int64_t{view[9]};
    return 10 + body + ((view[5] & 0x10) ? 10 : 0);
}

// First frame of the first pair, optionally looked for past an ID3v2 tag first.
inline int32_t referenceFirstFrame(const uint8_t *view, int32_t size, bool skipId3v2)
{
    const int64_t tagEnd = skipId3v2 ? referenceId3v2End(view, size) : 0;
    if (tagEnd > 0 && tagEnd < size) {
        const auto from = static_cast<int32_t>(tagEnd);
        const int32_t found = findNextFrame(view + from, size - from);
        if (found >= 0)
            return from + found;
    }
    return findNextFrame(view, size);
}

// The walk after the tagged first frame: valid headers counted, their bitrates
// summed, resynchronising by the pair search over the rest of the view.
inline void referenceWalk(const uint8_t *view, int32_t size, int32_t first, int32_t &count,
                          double &sum)
{
    int32_t p = first + getFrameLength(readHeader(view + first));
    int32_t remaining = size - p;
    count = 0;
    sum = 0.0;
    while (remaining >= 4) {
        const MP3Header h = readHeader(view + p);
        int32_t step = 0;
        if (h.isValid()) {
            ++count;
            sum += h.getBitrate();
            if (getFrameLength(h) >= kMinFrameLength)
                step = getFrameLength(h);
        }
        if (step == 0) {
            step = findNextFrame(view + p, remaining);
            if (step < 0)
                break;
        }
        p += step;
        remaining -= step;
    }
}

inline int32_t referenceDuration(int64_t audioBytes, int32_t kbps)
{
    return kbps > 0 ? static_cast<int32_t>(audioBytes * 8 / 1000 / kbps) : 0;
}

inline Mp3Outcome referenceProbe(const uint8_t *view, int32_t size, bool skipId3v2 = true)
{
    Mp3Outcome out;
    if (size < 4)
        return out;
    const int32_t first = referenceFirstFrame(view, size, skipId3v2);
    if (first < 0)
        return out;
    const MP3Header h = readHeader(view + first);
    const bool mpeg1 = (h.word >> 19) & 1u;
    const bool mono = ((h.word >> 6) & 3u) == 3u;
    const int32_t tag = first + 4 + (mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17));
    if (tag >= size - 11)
        return out;
    int64_t audio = size - first;
    if (audio >= 128 && std::memcmp(view + size - 128, "TAG", 3) == 0)
        audio -= 128;

    out.sampleRate = h.getSampleRate();
    if (std::memcmp(view + tag, "Xing", 4) != 0) {
        out.result = 1;
        out.bitrate = h.getBitrate();
        out.duration = referenceDuration(audio, out.bitrate);
        return out;
    }
    int32_t count = 0;
    double sum = 0.0;
    referenceWalk(view, size, first, count, sum);
    out.result = 1;
    out.bitrate = static_cast<int32_t>(count > 0 ? sum / count : 0.0);
    out.duration = referenceDuration(audio, out.bitrate);
    return out;
}

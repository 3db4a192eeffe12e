#include "mpeg_audio_header.h"

#include <algorithm>
#include <cstring>

int32_t findNextFrame(const uint8_t *data, int32_t length)
{
    return findFramePair(data, length, length);
}

int32_t findFramePair(const uint8_t *data, int32_t candidates, int32_t length)
{
    const int32_t end = std::min(candidates, length - 3);
    for (int32_t i = 0; i < end; ++i) {
        const void *mark = std::memchr(data + i, 0xFF, static_cast<size_t>(end - i));
        if (mark == nullptr)
            break;
        i = static_cast<int32_t>(static_cast<const uint8_t *>(mark) - data);
        const MP3Header header = readHeader(data + i);
        if (!header.isValid())
            continue;
        const int32_t frameLength = getFrameLength(header);
        if (frameLength < kMinFrameLength)
            continue;
        // The successor's four bytes must lie inside the area. length - i is at
        // least 4 here and frameLength is small, so nothing can overflow.
        if (length - frameLength - i < 4)
            continue;
        if (readHeader(data + i + frameLength).isValid())
            return i;
    }
    return -1;
}

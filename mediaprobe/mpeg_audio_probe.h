// MP3 analysis: internal operations behind getMP3MetaInfo.
#pragma once

#include <cstdint>

// Walks the frames after the first one of a file whose first frame carries a
// "Xing" tag and writes the truncated average bitrate and the duration derived
// from it. Prints "getVBRInfo()\n" first. False, with nothing written, when
// the area holds no frame pair.
bool getVBRInfo(const uint8_t *view, int32_t size, int32_t *bitrateOut, int32_t *durationOut);

// ((size * 8) / 1000) / kbps in 64 bits, both divisions truncating; 0 when
// kbps is not positive.
int32_t durationSeconds(int64_t size, int32_t kbps);

// MPEG audio frame header model: one 4-byte header as a value, its validity
// test, the bitrate and sample-rate tables, the frame length, and the search
// for the first pair of frames one frame length apart.
#pragma once

#include <cstdint>

struct MP3Header {
    uint32_t word = 0;

    bool isValid() const;
    int32_t getBitrate() const;     // kbit/s; defined for valid headers
    int32_t getSampleRate() const;  // Hz; defined for valid headers
};

// Builds a header from four bytes, most significant first.
MP3Header readHeader(const uint8_t *bytes);

// Frame length in bytes, header included; defined for valid headers.
int32_t getFrameLength(MP3Header header);

// A frame shorter than this is never accepted as the start of a frame.
inline constexpr int32_t kMinFrameLength = 21;

// The longest frame any valid header describes: MPEG-2.5 Layer II at
// 160 kbit/s and 8000 Hz, padded (144000 * 160 / 8000 + 1).
inline constexpr int32_t kMaxFrameLength = 2881;

// Offset of the first valid header in data[0, length) that is followed, one
// frame length later, by another valid header lying wholly inside the area;
// -1 when there is none.
int32_t findNextFrame(const uint8_t *data, int32_t length);

// The same search with the first headers limited to offsets below candidates:
// the successor may lie anywhere in data[0, length). findNextFrame(d, n) is
// findFramePair(d, n, n).
int32_t findFramePair(const uint8_t *data, int32_t candidates, int32_t length);

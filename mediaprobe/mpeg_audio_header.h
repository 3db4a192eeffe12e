// MPEG audio frame header model: one 4-byte header as a value, its validity
// test, the bitrate and sample-rate tables, the frame length, and the search
// for the first pair of frames one frame length apart.
#pragma once

#include <array>
#include <cstdint>

struct MP3Header {
    uint32_t word = 0;

    constexpr bool isValid() const;
    constexpr int32_t getBitrate() const;     // kbit/s; defined for valid headers
    constexpr int32_t getSampleRate() const;  // Hz; defined for valid headers
};

// The tables and field accessors behind the operations below, which are
// defined here so that the frame walk, a call per frame, can inline them.
namespace mpeg_audio_fields {

// Indexed by the layer code (bits 18-17); code 0 is rejected by isValid.
inline constexpr int32_t layerNumbers[4] = {0, 3, 2, 1};

// kbit/s by [bitrate index][layer number - 1]. Row 0 is "free format",
// row 15 is forbidden; both are kept as sentinels.
inline constexpr int32_t mpeg1Bitrates[16][3] = {
    {0, 0, 0},       {32, 32, 32},    {64, 48, 40},    {96, 56, 48},
    {128, 64, 56},   {160, 80, 64},   {192, 96, 80},   {224, 112, 96},
    {256, 128, 112}, {288, 160, 128}, {320, 192, 160}, {352, 224, 192},
    {384, 256, 224}, {416, 320, 256}, {448, 384, 320}, {-1, -1, -1},
};
inline constexpr int32_t mpeg2Bitrates[16][3] = {
    {0, 0, 0},      {32, 8, 8},     {48, 16, 16},   {56, 24, 24},
    {64, 32, 32},   {80, 40, 40},   {96, 48, 48},   {112, 56, 56},
    {128, 64, 64},  {144, 80, 80},  {160, 96, 96},  {176, 112, 112},
    {192, 128, 128}, {224, 144, 144}, {256, 160, 160}, {-1, -1, -1},
};

// Hz by [version code (bits 20-19)][sample-rate index]. Version code 1 is
// reserved and rejected; index 3 is rejected, its 50000 is a sentinel.
inline constexpr int32_t sampleRates[4][4] = {
    {11025, 12000, 8000, 50000},   // MPEG-2.5
    {0, 0, 0, 0},                  // reserved
    {22050, 24000, 16000, 50000},  // MPEG-2
    {44100, 48000, 32000, 50000},  // MPEG-1
};

inline constexpr uint32_t kSyncMask = 0xFFE00000u;
inline constexpr uint32_t kVersionMask = 0x00180000u;
inline constexpr uint32_t kReservedVersion = 0x00080000u;
inline constexpr uint32_t kLayerMask = 0x00060000u;
inline constexpr uint32_t kBitrateMask = 0x0000F000u;
inline constexpr uint32_t kSampleRateMask = 0x00000C00u;
inline constexpr uint32_t kEmphasisMask = 0x00000003u;

constexpr uint32_t versionCode(uint32_t word) { return (word >> 19) & 3u; }
constexpr bool isMpeg1(uint32_t word) { return versionCode(word) == 3u; }
constexpr uint32_t layerCode(uint32_t word) { return (word >> 17) & 3u; }
constexpr uint32_t bitrateIndex(uint32_t word) { return (word >> 12) & 15u; }
constexpr uint32_t sampleRateIndex(uint32_t word) { return (word >> 10) & 3u; }
constexpr int32_t paddingBit(uint32_t word) { return static_cast<int32_t>((word >> 9) & 1u); }

}  // namespace mpeg_audio_fields

// Builds a header from four bytes, most significant first.
inline MP3Header readHeader(const uint8_t *bytes)
{
    return MP3Header{(uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) |
                     (uint32_t{bytes[2]} << 8) | uint32_t{bytes[3]}};
}

constexpr bool MP3Header::isValid() const
{
    using namespace mpeg_audio_fields;
    return (word & kSyncMask) == kSyncMask && (word & kLayerMask) != 0 &&
           (word & kBitrateMask) != kBitrateMask && (word & kSampleRateMask) != kSampleRateMask &&
           (word & kEmphasisMask) != 2 && (word & kVersionMask) != kReservedVersion;
}

constexpr int32_t MP3Header::getBitrate() const
{
    using namespace mpeg_audio_fields;
    const int32_t column = layerNumbers[layerCode(word)] - 1;
    // Layer code 0 would give column -1; callers test isValid first, but a
    // lookup must never leave the table.
    if (column < 0)
        return 0;
    const int32_t *row = isMpeg1(word) ? mpeg1Bitrates[bitrateIndex(word)]
                                       : mpeg2Bitrates[bitrateIndex(word)];
    return row[column];
}

constexpr int32_t MP3Header::getSampleRate() const
{
    using namespace mpeg_audio_fields;
    return sampleRates[versionCode(word)][sampleRateIndex(word)];
}

namespace mpeg_audio_fields {

// The frame length worked out from the fields.
constexpr int32_t computeFrameLength(MP3Header header)
{
    const int32_t layer = layerNumbers[layerCode(header.word)];
    const int32_t rate = header.getSampleRate();
    const int32_t pad = paddingBit(header.word);
    // Products stay below 144000 * 448 = 64,512,000. A valid header never has
    // rate 0 (reserved version); the test keeps an unchecked one from
    // dividing by it.
    if (rate <= 0)
        return 0;
    if (layer == 1)  // Layer I counts in 4-byte slots, padding included
        return (12000 * header.getBitrate() / rate + pad) * 4;
    // Layer III frames of MPEG-2 and 2.5 hold half the samples (576).
    const int32_t coefficient = layer == 3 && !isMpeg1(header.word) ? 72000 : 144000;
    return coefficient * header.getBitrate() / rate + pad;
}

// The length depends on bits 20-17 (version, layer) and 15-9 (bitrate,
// sample rate, padding) only: 2^11 lengths, worked out once at compile time,
// spare the frame walk two divisions per frame.
constexpr uint32_t frameLengthKey(uint32_t word) { return (word >> 17 & 0xFu) << 7 | (word >> 9 & 0x7Fu); }

inline constexpr auto kFrameLengths = [] {
    std::array<int16_t, 2048> lengths{};
    for (uint32_t key = 0; key < lengths.size(); ++key) {
        const MP3Header header{(key >> 7) << 17 | (key & 0x7Fu) << 9};
        lengths[key] = static_cast<int16_t>(computeFrameLength(header));
    }
    return lengths;
}();

}  // namespace mpeg_audio_fields

// Frame length in bytes, header included; defined for valid headers.
inline int32_t getFrameLength(MP3Header header)
{
    using namespace mpeg_audio_fields;
    return kFrameLengths[frameLengthKey(header.word)];
}

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

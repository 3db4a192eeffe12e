#include "mpeg_audio_header.h"

#include <algorithm>
#include <cstring>

namespace {

// Indexed by the layer code (bits 18-17); code 0 is rejected by isValid.
constexpr int32_t layerNumbers[4] = {0, 3, 2, 1};

// kbit/s by [bitrate index][layer number - 1]. Row 0 is "free format",
// row 15 is forbidden; both are kept as sentinels.
constexpr int32_t mpeg1Bitrates[16][3] = {
    {0, 0, 0},       {32, 32, 32},    {64, 48, 40},    {96, 56, 48},
    {128, 64, 56},   {160, 80, 64},   {192, 96, 80},   {224, 112, 96},
    {256, 128, 112}, {288, 160, 128}, {320, 192, 160}, {352, 224, 192},
    {384, 256, 224}, {416, 320, 256}, {448, 384, 320}, {-1, -1, -1},
};
constexpr int32_t mpeg2Bitrates[16][3] = {
    {0, 0, 0},      {32, 8, 8},     {48, 16, 16},   {56, 24, 24},
    {64, 32, 32},   {80, 40, 40},   {96, 48, 48},   {112, 56, 56},
    {128, 64, 64},  {144, 80, 80},  {160, 96, 96},  {176, 112, 112},
    {192, 128, 128}, {224, 144, 144}, {256, 160, 160}, {-1, -1, -1},
};

// Hz by [version code (bits 20-19)][sample-rate index]. Version code 1 is
// reserved and rejected; index 3 is rejected, its 50000 is a sentinel.
constexpr int32_t sampleRates[4][4] = {
    {11025, 12000, 8000, 50000},   // MPEG-2.5
    {0, 0, 0, 0},                  // reserved
    {22050, 24000, 16000, 50000},  // MPEG-2
    {44100, 48000, 32000, 50000},  // MPEG-1
};

constexpr uint32_t kSyncMask = 0xFFE00000u;
constexpr uint32_t kVersionMask = 0x00180000u;
constexpr uint32_t kReservedVersion = 0x00080000u;
constexpr uint32_t kLayerMask = 0x00060000u;
constexpr uint32_t kBitrateMask = 0x0000F000u;
constexpr uint32_t kSampleRateMask = 0x00000C00u;
constexpr uint32_t kEmphasisMask = 0x00000003u;

uint32_t versionCode(uint32_t word) { return (word >> 19) & 3u; }
bool isMpeg1(uint32_t word) { return versionCode(word) == 3u; }
uint32_t layerCode(uint32_t word) { return (word >> 17) & 3u; }
uint32_t bitrateIndex(uint32_t word) { return (word >> 12) & 15u; }
uint32_t sampleRateIndex(uint32_t word) { return (word >> 10) & 3u; }
int32_t paddingBit(uint32_t word) { return static_cast<int32_t>((word >> 9) & 1u); }

}  // namespace

MP3Header readHeader(const uint8_t *bytes)
{
    return MP3Header{(uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) |
                     (uint32_t{bytes[2]} << 8) | uint32_t{bytes[3]}};
}

bool MP3Header::isValid() const
{
    return (word & kSyncMask) == kSyncMask && (word & kLayerMask) != 0 &&
           (word & kBitrateMask) != kBitrateMask && (word & kSampleRateMask) != kSampleRateMask &&
           (word & kEmphasisMask) != 2 && (word & kVersionMask) != kReservedVersion;
}

int32_t MP3Header::getBitrate() const
{
    const int32_t column = layerNumbers[layerCode(word)] - 1;
    // Layer code 0 would give column -1; callers test isValid first, but a
    // lookup must never leave the table.
    if (column < 0)
        return 0;
    const int32_t *row = isMpeg1(word) ? mpeg1Bitrates[bitrateIndex(word)]
                                       : mpeg2Bitrates[bitrateIndex(word)];
    return row[column];
}

int32_t MP3Header::getSampleRate() const
{
    return sampleRates[versionCode(word)][sampleRateIndex(word)];
}

int32_t getFrameLength(MP3Header header)
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

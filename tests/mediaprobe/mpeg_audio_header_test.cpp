#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "mpeg_audio_header.h"

namespace {

MP3Header header(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3)
{
    const uint8_t bytes[4] = {b0, b1, b2, b3};
    return readHeader(bytes);
}

struct Decoded {
    std::array<uint8_t, 4> bytes;
    int32_t bitrate;
    int32_t sampleRate;
    int32_t frameLength;
};

TEST(MP3Header, DecodesVersionsLayersAndPadding)
{
    const Decoded cases[] = {
        {{0xFF, 0xFB, 0x90, 0x64}, 128, 44100, 417},  // MPEG-1 Layer III
        {{0xFF, 0xFB, 0x92, 0x64}, 128, 44100, 418},  // padded
        {{0xFF, 0xF3, 0x80, 0xC4}, 64, 22050, 208},   // MPEG-2 Layer III, mono
        {{0xFF, 0xE3, 0x80, 0xC4}, 64, 11025, 417},   // MPEG-2.5: 72000 * 64 / 11025
        {{0xFF, 0xE3, 0x18, 0xC4}, 8, 8000, 72},      // MPEG-2.5 at 8 kHz
        {{0xFF, 0xF5, 0x80, 0x00}, 64, 22050, 417},   // MPEG-2 Layer II uses 144000
        {{0xFF, 0xF5, 0x88, 0x00}, 64, 16000, 576},
        {{0xFF, 0xFF, 0x16, 0x00}, 32, 48000, 36},    // MPEG-1 Layer I: (8 + 1) * 4
        {{0xFF, 0xFF, 0xC2, 0x00}, 384, 44100, 420},  // (104 + 1) * 4
        {{0xFF, 0xF7, 0x10, 0x00}, 32, 22050, 68},    // MPEG-2 Layer I: 17 * 4
        {{0xFF, 0xF7, 0xE2, 0x00}, 256, 22050, 560},  // (139 + 1) * 4
        {{0xFF, 0xE7, 0xE2, 0x00}, 256, 11025, 1116}, // MPEG-2.5 Layer I: (278 + 1) * 4
        {{0xFF, 0xFD, 0xE8, 0x00}, 384, 32000, 1728}, // MPEG-1 Layer II, 32 kHz
        {{0xFF, 0xFB, 0xE4, 0x00}, 320, 48000, 960},
    };
    for (const Decoded &c : cases) {
        const MP3Header h = readHeader(c.bytes.data());
        SCOPED_TRACE(testing::Message() << std::hex << h.word);
        EXPECT_TRUE(h.isValid());
        EXPECT_EQ(h.getBitrate(), c.bitrate);
        EXPECT_EQ(h.getSampleRate(), c.sampleRate);
        EXPECT_EQ(getFrameLength(h), c.frameLength);
    }
}

TEST(MP3Header, ReadsBigEndianWhateverTheMachine)
{
    EXPECT_EQ(header(0xFF, 0xFB, 0x90, 0x64).word, 0xFFFB9064u);
}

TEST(MP3Header, ValidityTestRejectsEachForbiddenField)
{
    EXPECT_FALSE(header(0xFF, 0xFB, 0xF0, 0x00).isValid());  // bitrate index 15
    EXPECT_FALSE(header(0xFF, 0xFB, 0x9C, 0x00).isValid());  // sample-rate index 3
    EXPECT_FALSE(header(0xFF, 0xFB, 0x90, 0x02).isValid());  // emphasis 2
    EXPECT_FALSE(header(0xFF, 0xF9, 0x90, 0x00).isValid());  // layer code 00
    EXPECT_FALSE(header(0xFF, 0xDB, 0x90, 0x00).isValid());  // a sync bit clear
    EXPECT_FALSE(header(0xFF, 0xEB, 0x90, 0x00).isValid());  // reserved version code 01
    EXPECT_TRUE(header(0xFF, 0xFB, 0x90, 0x01).isValid());   // emphasis 1 and 3 pass
    EXPECT_TRUE(header(0xFF, 0xFB, 0x90, 0x03).isValid());
}

TEST(MP3Header, FreeFormatPassesButHasNoLength)
{
    const MP3Header h = header(0xFF, 0xFB, 0x00, 0x00);
    EXPECT_TRUE(h.isValid());
    EXPECT_EQ(h.getBitrate(), 0);
    EXPECT_EQ(getFrameLength(h), 0);
    EXPECT_EQ(getFrameLength(header(0xFF, 0xFB, 0x02, 0x00)), 1);
}

TEST(MP3Header, TablesMatchTheStandardsAtTheirCorners)
{
    // Last row before the sentinel, every layer, both versions.
    EXPECT_EQ(header(0xFF, 0xFF, 0xE0, 0x00).getBitrate(), 448);  // MPEG-1 L1
    EXPECT_EQ(header(0xFF, 0xFD, 0xE0, 0x00).getBitrate(), 384);  // MPEG-1 L2
    EXPECT_EQ(header(0xFF, 0xFB, 0xE0, 0x00).getBitrate(), 320);  // MPEG-1 L3
    EXPECT_EQ(header(0xFF, 0xF7, 0xE0, 0x00).getBitrate(), 256);  // MPEG-2 L1
    EXPECT_EQ(header(0xFF, 0xF5, 0xE0, 0x00).getBitrate(), 160);  // MPEG-2 L2
    EXPECT_EQ(header(0xFF, 0xF3, 0x10, 0x00).getBitrate(), 8);    // MPEG-2 L3 row 1
    EXPECT_EQ(header(0xFF, 0xF3, 0x08, 0x00).getSampleRate(), 16000);
    EXPECT_EQ(header(0xFF, 0xFB, 0x04, 0x00).getSampleRate(), 48000);
}

// ISO/IEC 11172-3 and 13818-3, copied from the standards rather than from the
// library: kbit/s for bitrate indices 1 to 14.
constexpr int32_t kStandardBitrates[2][3][14] = {
    {
        {32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // MPEG-1 Layer I
        {32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // Layer II
        {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // Layer III
    },
    {
        {32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},  // MPEG-2/2.5 Layer I
        {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},      // Layers II and III
        {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
    },
};

// Hz by sample-rate index 0 to 2.
struct StandardVersion {
    uint32_t code;  // bits 20-19
    const char *name;
    int32_t rates[3];
    int bitrateTable;
};
constexpr StandardVersion kStandardVersions[] = {
    {3, "MPEG-1", {44100, 48000, 32000}, 0},
    {2, "MPEG-2", {22050, 24000, 16000}, 1},
    {0, "MPEG-2.5", {11025, 12000, 8000}, 1},
};

MP3Header fields(uint32_t version, uint32_t layerCode, uint32_t bitrateIndex, uint32_t rateIndex,
                 uint32_t pad = 0)
{
    return MP3Header{0xFFE00000u | version << 19 | layerCode << 17 | 1u << 16 | bitrateIndex << 12 |
                     rateIndex << 10 | pad << 9};
}

TEST(MP3Header, TablesMatchTheStandardsEntryByEntry)
{
    for (const StandardVersion &v : kStandardVersions) {
        for (uint32_t layer = 1; layer <= 3; ++layer) {
            const uint32_t layerCode = 4 - layer;
            for (uint32_t index = 1; index <= 14; ++index) {
                const MP3Header h = fields(v.code, layerCode, index, 0);
                SCOPED_TRACE(testing::Message() << v.name << " Layer " << layer << " index " << index);
                ASSERT_TRUE(h.isValid());
                EXPECT_EQ(h.getBitrate(), kStandardBitrates[v.bitrateTable][layer - 1][index - 1]);
            }
            for (uint32_t rate = 0; rate < 3; ++rate)
                EXPECT_EQ(fields(v.code, layerCode, 1, rate).getSampleRate(), v.rates[rate])
                    << v.name << " rate index " << rate;
        }
    }
}

TEST(MP3Header, NoValidHeaderDescribesALongerFrameThanTheLongest)
{
    // The read windows of the pair search rely on this bound.
    int32_t longest = 0;
    for (uint32_t version : {0u, 2u, 3u})
        for (uint32_t layerCode = 1; layerCode <= 3; ++layerCode)
            for (uint32_t index = 0; index <= 14; ++index)
                for (uint32_t rate = 0; rate < 3; ++rate)
                    for (uint32_t pad = 0; pad <= 1; ++pad)
                        longest = std::max(longest,
                                           getFrameLength(fields(version, layerCode, index, rate, pad)));
    EXPECT_EQ(longest, kMaxFrameLength);
}

// A 417-byte frame (FF FB 90 64) followed by another header.
std::vector<uint8_t> framePair(size_t areaLength)
{
    std::vector<uint8_t> area(areaLength, 0);
    const uint8_t h[4] = {0xFF, 0xFB, 0x90, 0x64};
    std::copy(h, h + 4, area.begin());
    for (size_t i = 0; i < 4 && 417 + i < area.size(); ++i)
        area[417 + i] = h[i];
    return area;
}

TEST(FindNextFrame, NeedsTheWholeSuccessorHeaderInsideTheArea)
{
    EXPECT_EQ(findNextFrame(framePair(421).data(), 421), 0);
    EXPECT_EQ(findNextFrame(framePair(420).data(), 420), -1);
    EXPECT_EQ(findNextFrame(framePair(5000).data(), 5000), 0);
}

TEST(FindNextFrame, TinyAreasHaveNoFrame)
{
    const uint8_t bytes[4] = {0xFF, 0xFB, 0x90, 0x64};
    for (int32_t length = 0; length <= 3; ++length)
        EXPECT_EQ(findNextFrame(bytes, length), -1) << length;
}

TEST(FindNextFrame, SkipsHeadersWithoutAValidSuccessor)
{
    // A lone valid header at 10, then a real pair at 500.
    std::vector<uint8_t> area(2000, 0);
    const uint8_t h[4] = {0xFF, 0xFB, 0x90, 0x64};
    std::copy(h, h + 4, area.begin() + 10);
    std::copy(h, h + 4, area.begin() + 500);
    std::copy(h, h + 4, area.begin() + 917);
    EXPECT_EQ(findNextFrame(area.data(), static_cast<int32_t>(area.size())), 500);
}

TEST(FindNextFrame, SuccessorNeedOnlyBeValid)
{
    // The successor may differ in version, layer and rate, and may be free format.
    std::vector<uint8_t> area = framePair(421);
    area[417 + 1] = 0xF5;  // MPEG-2 Layer II
    area[417 + 2] = 0x00;  // bitrate index 0
    EXPECT_EQ(findNextFrame(area.data(), 421), 0);
}

TEST(FindNextFrame, RefusesFramesShorterThanTheMinimum)
{
    // MPEG-2 Layer III, 8 kbit/s, 24000 Hz: 72000 * 8 / 24000 = 24 bytes, accepted;
    // a free-format header followed by a valid one at offset 0 or 1 is not.
    std::vector<uint8_t> area(64, 0);
    const uint8_t small[4] = {0xFF, 0xF3, 0x14, 0x00};
    std::copy(small, small + 4, area.begin());
    std::copy(small, small + 4, area.begin() + 24);
    EXPECT_EQ(findNextFrame(area.data(), 64), 0);

    const uint8_t freeFormat[8] = {0xFF, 0xFB, 0x00, 0x00, 0xFF, 0xFB, 0x00, 0x00};
    EXPECT_EQ(findNextFrame(freeFormat, 8), -1);
}

}  // namespace

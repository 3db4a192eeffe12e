#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <sys/stat.h>

#include "mediaprobe.h"
#include "platform/riff_chunk_reader.h"
#include "riff_test_util.h"
#include "wave_probe.h"

using namespace rifftest;
namespace fs = std::filesystem;

namespace {

const fs::path kWaveDir = fs::path(MP_FIXTURES_DIR) / "wave";
constexpr uint32_t kUntouched = 0xDEADBEEF;

struct WaveResult {
    unsigned char ok = 0;
    std::array<uint32_t, 5> out{kUntouched, kUntouched, kUntouched, kUntouched, kUntouched};
};

WaveResult probe(const char *path)
{
    WaveResult r;
    r.ok = getWAVMetaInfo(path, &r.out[0], &r.out[1], &r.out[2], &r.out[3], &r.out[4]);
    return r;
}

// "fmt " payload: tag, channels, rate, byte rate, block align, bits.
Bytes format(uint16_t tag, uint16_t channels, uint32_t rate, uint32_t byteRate, uint16_t bits)
{
    Bytes out;
    put16(out, tag);
    put16(out, channels);
    put32(out, rate);
    put32(out, byteRate);
    put16(out, channels * bits / 8u);
    put16(out, bits);
    return out;
}

const Bytes kPcm = format(1, 2, 44100, 176400, 16);
const Bytes kData = chunk("data", Bytes(64, 0x80));

Bytes wave(const Bytes &body) { return list("RIFF", "WAVE", body); }

uint32_t status(const Bytes &bytes)
{
    ScratchFile file(bytes);
    RiffFile *handle = nullptr;
    uint8_t *block = nullptr;
    RiffChunkInfo riff;
    const uint32_t result = readWAVFormat(file.path(), &handle, &block, &riff);
    if (result != kWaveOk) {
        EXPECT_EQ(handle, nullptr);
        EXPECT_EQ(block, nullptr);
    }
    releaseWAVFormat(&handle, &block);
    return result;
}

Bytes fileBytes(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

// Expected values are the ones the fixture script asked sox and ffmpeg for.
TEST(WaveProbe, RealFilesFromSoxAndFfmpeg)
{
    struct Case {
        const char *name;
        uint32_t channels, rate, bits, byteRate;
    };
    const auto pcm = [](const char *name, uint32_t channels, uint32_t rate, uint32_t bits) {
        return Case{name, channels, rate, bits, rate * channels * bits / 8};
    };
    const Case cases[] = {
        pcm("pcm8_8000_mono.wav", 1, 8000, 8),
        pcm("pcm16_44100_stereo.wav", 2, 44100, 16),
        pcm("pcm16_22050_mono_info.wav", 1, 22050, 16),
        pcm("pcm16_22050_mono_list_first.wav", 1, 22050, 16),
        pcm("pcm16_96000_stereo_extensible.wav", 2, 96000, 16),
        pcm("pcm24_48000_stereo_extensible.wav", 2, 48000, 24),
        pcm("pcm32_96000_mono_extensible.wav", 1, 96000, 32),
        // ADPCM: 4-bit samples; the byte rate is the requested bit rate / 8.
        {"adpcm_ms_11025_mono.wav", 1, 11025, 4, 48000 / 8},
        {"adpcm_ima_22050_stereo.wav", 2, 22050, 4, 176000 / 8},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path path = kWaveDir / c.name;
        const WaveResult r = probe(path.c_str());
        ASSERT_EQ(r.ok, 1);
        EXPECT_EQ(r.out[0], c.channels);
        EXPECT_EQ(r.out[1], c.rate);
        EXPECT_EQ(r.out[2], c.byteRate);
        EXPECT_EQ(r.out[3], c.bits);
        EXPECT_EQ(r.out[4], fs::file_size(path) - 8);
    }
}

TEST(WaveProbe, FileCutInsideExtraBytesFailsAndLeavesOutputs)
{
    const WaveResult r = probe((kWaveDir / "adpcm_ms_cut_in_extra.wav").c_str());
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.out, WaveResult{}.out);
    EXPECT_EQ(status(fileBytes(kWaveDir / "adpcm_ms_cut_in_extra.wav")), kWaveNotWave);
}

// The format block holds the file's format bytes and extra bytes, and the
// file is left just past the "fmt " chunk.
TEST(WaveProbe, FormatBlockCarriesExtraBytesAndFileIsLeftAfterFormat)
{
    const fs::path path = kWaveDir / "adpcm_ms_11025_mono.wav";
    const Bytes bytes = fileBytes(path);
    RiffFile *handle = nullptr;
    uint8_t *block = nullptr;
    RiffChunkInfo riff;
    ASSERT_EQ(readWAVFormat(path.c_str(), &handle, &block, &riff), kWaveOk);
    EXPECT_EQ(riff.id, kRiffId);
    EXPECT_EQ(riff.formType, riffFourCC("WAVE"));
    EXPECT_EQ(waveField16(block, kWaveFormatTagOffset), 2);  // Microsoft ADPCM
    ASSERT_EQ(waveField16(block, kWaveExtraSizeOffset), 32);
    // "fmt " data starts at byte 20 of this file; the extra bytes follow its first 18.
    EXPECT_TRUE(std::equal(block, block + 18 + 32, bytes.begin() + 20));
    char next[4];
    ASSERT_EQ(readRiffBytes(handle, next, 4), 4u);
    EXPECT_EQ(std::string(next, 4), "fact");
    EXPECT_EQ(releaseWAVFormat(&handle, &block), 0u);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(block, nullptr);
}

TEST(WaveProbe, RefusedFilesAndTheirStatus)
{
    EXPECT_EQ(status(wave(cat({chunk("fmt ", Bytes(kPcm.begin(), kPcm.begin() + 14)), kData}))),
              kWaveNotWave);
    EXPECT_EQ(status(wave(kData)), kRiffChunkNotFound);
    EXPECT_EQ(status(list("RIFF", "AVI ", chunk("fmt ", kPcm))), kWaveNotWave);
    EXPECT_EQ(status(list("RIFX", "WAVE", chunk("fmt ", kPcm))), kWaveNotWave);
    EXPECT_EQ(status(Bytes{'R', 'I', 'F', 'F', 4, 0}), kRiffCannotRead);
    EXPECT_EQ(status(Bytes{}), kRiffCannotRead);
    // Non-PCM whose file ends inside the extra count.
    EXPECT_EQ(status(wave(chunk("fmt ", format(0x55, 2, 44100, 16000, 0)))), kWaveShortRead);
    // "fmt " claims 16 bytes but the file ends after 10.
    Bytes cut = wave(chunk("fmt ", kPcm));
    cut.resize(cut.size() - 6);
    EXPECT_EQ(status(cut), kWaveShortRead);

    RiffFile *handle = nullptr;
    uint8_t *block = nullptr;
    RiffChunkInfo riff;
    EXPECT_EQ(readWAVFormat("/nonexistent/x.wav", &handle, &block, &riff), kWaveCannotOpen);
    EXPECT_EQ(readWAVFormat("/tmp", &handle, &block, &riff), kWaveCannotOpen);
    EXPECT_EQ(probe("/nonexistent/x.wav").ok, 0);
}

TEST(WaveProbe, NonPcmWithThirtyTwoExtraBytes)
{
    Bytes fmt = format(0x2, 1, 22050, 11155, 4);
    put16(fmt, 32);
    fmt.insert(fmt.end(), 32, 0x5A);
    ScratchFile file(wave(cat({chunk("fmt ", fmt), kData})));
    const WaveResult r = probe(file.path());
    ASSERT_EQ(r.ok, 1);
    EXPECT_EQ(r.out, (std::array<uint32_t, 5>{1, 22050, 11155, 4, 4 + 8 + 50 + 8 + 64}));
}

TEST(WaveProbe, AnyNullArgumentFailsAndWritesNothing)
{
    ScratchFile file(wave(cat({chunk("fmt ", kPcm), kData})));
    ASSERT_EQ(probe(file.path()).ok, 1);
    EXPECT_EQ(probe(nullptr).ok, 0);
    for (size_t skip = 0; skip < 5; ++skip) {
        WaveResult r;
        std::array<uint32_t *, 5> p{&r.out[0], &r.out[1], &r.out[2], &r.out[3], &r.out[4]};
        p[skip] = nullptr;
        EXPECT_EQ(getWAVMetaInfo(file.path(), p[0], p[1], p[2], p[3], p[4]), 0);
        EXPECT_EQ(r.out, WaveResult{}.out) << "null output " << skip;
    }
}

// Sub-chunks are skipped by their size rounded up to even, only inside the
// parent and the file, and any size ends the search.
TEST(RiffChunkReader, SearchSkipsOddZeroAndHostileChunks)
{
    const Bytes odd = chunk("junk", Bytes{1, 2, 3});
    const Bytes empty = chunk("nul ", {});
    EXPECT_EQ(status(wave(cat({odd, empty, empty, odd, chunk("fmt ", kPcm)}))), kWaveOk);
    // A chunk that claims to run past the end of the file hides what follows.
    EXPECT_EQ(status(wave(cat({chunk("junk", {}, 0xFFFFFFF0), chunk("fmt ", kPcm)}))),
              kRiffChunkNotFound);
    // "fmt " lies beyond the end of the RIFF chunk.
    EXPECT_EQ(status(list("RIFF", "WAVE", cat({odd, chunk("fmt ", kPcm)}), 4 + 12)),
              kRiffChunkNotFound);
    // A RIFF size larger than the file is bounded by the file.
    EXPECT_EQ(status(list("RIFF", "WAVE", cat({odd, chunk("fmt ", kPcm)}), 0xFFFFFFFF)), kWaveOk);
    EXPECT_EQ(status(list("RIFF", "WAVE", cat({odd, empty}), 0xFFFFFFFF)), kRiffChunkNotFound);
    // The parent ends halfway through the "fmt " header.
    EXPECT_EQ(status(list("RIFF", "WAVE", cat({odd, chunk("fmt ", kPcm)}), 4 + 12 + 4)),
              kRiffChunkNotFound);
}

TEST(RiffChunkReader, HeadersFlagsAndLeavingPastThePad)
{
    ScratchFile file(wave(cat({chunk("odd ", Bytes{9, 9, 9}), chunk("fmt ", kPcm, 1000)})));
    RiffFile *riff = openRiffFile(file.path());
    ASSERT_NE(riff, nullptr);
    RiffChunkInfo top, odd, fmt;
    ASSERT_EQ(readRiffChunkHeader(riff, top), kRiffOk);
    EXPECT_EQ(top.dataOffset, 8u);
    EXPECT_EQ(top.flags, 0u);
    ASSERT_EQ(findRiffSubChunk(riff, top, riffFourCC("odd "), odd), kRiffOk);
    EXPECT_EQ(odd.size, 3u);
    EXPECT_EQ(odd.dataOffset, 20u);
    ASSERT_EQ(leaveRiffChunk(riff, odd), kRiffOk);
    ASSERT_EQ(readRiffChunkHeader(riff, fmt), kRiffOk);
    EXPECT_EQ(fmt.id, riffFourCC("fmt "));
    EXPECT_EQ(fmt.flags, kRiffChunkPastEnd);
    uint8_t bytes[32];
    EXPECT_EQ(readRiffBytes(riff, bytes, sizeof bytes), 16u);
    ASSERT_EQ(leaveRiffChunk(riff, fmt), kRiffOk);
    EXPECT_EQ(readRiffBytes(riff, bytes, sizeof bytes), 0u);
    EXPECT_EQ(readRiffChunkHeader(riff, fmt), kRiffCannotRead);
    closeRiffFile(riff);
}

TEST(RiffChunkReader, ChunksAndReadsAcrossBlockBoundariesAndBackwards)
{
    // Chunk headers that straddle the reader's 4 KiB blocks, a read longer
    // than a block, and a step back to a chunk already passed: every byte
    // must come from where the file holds it.
    Bytes first(4081), big(9000);
    for (size_t i = 0; i < first.size(); ++i)
        first[i] = static_cast<uint8_t>(i * 7);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i * 13 + 5);
    ScratchFile file(wave(cat({chunk("aaaa", first), chunk("bbbb", big), chunk("cccc", Bytes{1, 2})})));
    RiffFile *riff = openRiffFile(file.path());
    ASSERT_NE(riff, nullptr);
    RiffChunkInfo top, a, b, c;
    ASSERT_EQ(readRiffChunkHeader(riff, top), kRiffOk);
    ASSERT_EQ(findRiffSubChunk(riff, top, riffFourCC("bbbb"), b), kRiffOk);
    EXPECT_EQ(b.dataOffset, 12u + 8u + 4082u + 8u);  // "aaaa" padded to even
    Bytes got(big.size());
    EXPECT_EQ(readRiffBytes(riff, got.data(), got.size()), big.size());
    EXPECT_EQ(got, big);
    ASSERT_EQ(readRiffChunkHeader(riff, c), kRiffOk);
    EXPECT_EQ(c.id, riffFourCC("cccc"));

    // Back to the first chunk, whose last bytes and the next header share a block.
    ASSERT_EQ(leaveRiffChunk(riff, top), kRiffOk);
    RiffChunkInfo again = top;
    again.dataOffset = 12;
    again.size = 0;
    ASSERT_EQ(leaveRiffChunk(riff, again), kRiffOk);  // position 12
    ASSERT_EQ(readRiffChunkHeader(riff, a), kRiffOk);
    EXPECT_EQ(a.id, riffFourCC("aaaa"));
    got.assign(first.size() + 8, 0);
    EXPECT_EQ(readRiffBytes(riff, got.data(), got.size()), got.size());
    EXPECT_TRUE(std::equal(first.begin(), first.end(), got.begin()));
    EXPECT_EQ(got[first.size()], 0) << "pad byte";
    EXPECT_EQ(got[first.size() + 1], 'b');
    closeRiffFile(riff);
}

TEST(RiffChunkReader, RefusesWhatIsNotARegularFile)
{
    const std::string fifo = "/tmp/riffprobe_fifo_" + std::to_string(getpid());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(openRiffFile(fifo.c_str()), nullptr);  // must not wait for a writer
    fs::remove(fifo);
    EXPECT_EQ(openRiffFile("/tmp"), nullptr);
}

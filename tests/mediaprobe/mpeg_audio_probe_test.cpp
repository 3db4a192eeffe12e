#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mediaprobe.h"
#include "scratch_file.h"
#include "mp3_reference.h"
#include "mpeg_audio_probe.h"

namespace fs = std::filesystem;

namespace {

const fs::path kMp3Dir = fs::path(MP_FIXTURES_DIR) / "mp3";

struct Probe {
    unsigned char result = 0;
    int32_t bitrate = -7, sampleRate = -7, duration = -7;
    std::string out, err;
};

Probe probe(const std::string &path)
{
    Probe p;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    p.result = getMP3MetaInfo(path.c_str(), &p.bitrate, &p.sampleRate, nullptr, nullptr, nullptr,
                              &p.duration);
    p.out = testing::internal::GetCapturedStdout();
    p.err = testing::internal::GetCapturedStderr();
    return p;
}

void put(std::vector<uint8_t> &area, size_t at, std::initializer_list<uint8_t> bytes)
{
    if (area.size() < at + bytes.size())
        area.resize(at + bytes.size(), 0);
    std::copy(bytes.begin(), bytes.end(), area.begin() + static_cast<std::ptrdiff_t>(at));
}

void putTag(std::vector<uint8_t> &area, size_t at, const char *tag)
{
    put(area, at, {uint8_t(tag[0]), uint8_t(tag[1]), uint8_t(tag[2]), uint8_t(tag[3])});
}

int32_t expectedDuration(uint64_t size, int32_t kbps) { return int32_t(size * 8 / 1000 / kbps); }

TEST(MP3Probe, ConstantBitrateFromTheFirstFrame)
{
    std::vector<uint8_t> area(4'000'000, 0);
    put(area, 0, {0xFF, 0xFB, 0x90, 0x64});
    put(area, 417, {0xFF, 0xFB, 0x90, 0x64});
    ScratchFile file(area);
    const Probe p = probe(file.path());
    EXPECT_EQ(p.result, 1);
    EXPECT_EQ(p.bitrate, 128);
    EXPECT_EQ(p.sampleRate, 44100);
    EXPECT_EQ(p.duration, 250);
    EXPECT_EQ(p.out, "");
}

TEST(MP3Probe, XingTagOnlyAtTheSideInformationEnd)
{
    struct Case {
        std::initializer_list<uint8_t> header;
        int32_t frameLength;
        size_t tagOffset;
    };
    const Case tagged[] = {
        {{0xFF, 0xFB, 0x90, 0x64}, 417, 36},  // MPEG-1 stereo
        {{0xFF, 0xFB, 0x90, 0xC4}, 417, 21},  // MPEG-1 single channel
        {{0xFF, 0xF3, 0x80, 0x04}, 208, 21},  // MPEG-2 stereo
        {{0xFF, 0xF3, 0x80, 0xC4}, 208, 13},  // MPEG-2 single channel
    };
    for (const Case &c : tagged) {
        SCOPED_TRACE(c.tagOffset);
        for (const char *tag : {"Xing", "xing", "Info"}) {
            std::vector<uint8_t> area(3000, 0);
            put(area, 0, c.header);
            put(area, size_t(c.frameLength), c.header);
            put(area, size_t(2 * c.frameLength), c.header);
            putTag(area, c.tagOffset, tag);
            ScratchFile file(area);
            const Probe p = probe(file.path());
            const bool vbr = std::string(tag) == "Xing";
            EXPECT_EQ(p.result, 1) << tag;
            EXPECT_EQ(p.out, vbr ? "getVBRInfo()\n" : "") << tag;
        }
        // "Xing" one byte off its place leaves the file constant-bitrate.
        std::vector<uint8_t> area(3000, 0);
        put(area, 0, c.header);
        put(area, size_t(c.frameLength), c.header);
        putTag(area, c.tagOffset + 1, "Xing");
        ScratchFile file(area);
        EXPECT_EQ(probe(file.path()).out, "");
    }
}

TEST(MP3Probe, VariableBitrateAveragesTheFramesAfterTheTag)
{
    // Tagged 128 kbit/s frame, then 128, 160 and 192 kbit/s frames.
    std::vector<uint8_t> area;
    put(area, 0, {0xFF, 0xFB, 0x90, 0x64});
    putTag(area, 36, "Xing");
    put(area, 417, {0xFF, 0xFB, 0x90, 0x64});
    put(area, 834, {0xFF, 0xFB, 0xA0, 0x64});  // 160: 522 bytes
    put(area, 1356, {0xFF, 0xFB, 0xB0, 0x64});  // 192: 626 bytes
    area.resize(1356 + 626, 0);
    ScratchFile file(area);
    const Probe p = probe(file.path());
    EXPECT_EQ(p.result, 1);
    EXPECT_EQ(p.bitrate, 160);
    EXPECT_EQ(p.sampleRate, 44100);
    EXPECT_EQ(p.duration, expectedDuration(area.size(), 160));
    EXPECT_EQ(p.out, "getVBRInfo()\n");

    // A trailing 128-byte block that holds no frame pair ends the walk.
    std::vector<uint8_t> trailing = area;
    putTag(trailing, trailing.size(), "TAGx");
    trailing.resize(area.size() + 128, 0x20);
    ScratchFile withTrailer(trailing);
    const Probe t = probe(withTrailer.path());
    EXPECT_EQ(t.result, 1);
    EXPECT_EQ(t.bitrate, 160);
    EXPECT_EQ(t.duration, expectedDuration(trailing.size() - 128, 160));  // "TAG": not audio
}

TEST(MP3Probe, WalkOfFreeFormatHeadersOnlyGivesZero)
{
    std::vector<uint8_t> area;
    put(area, 0, {0xFF, 0xFB, 0x90, 0x64});
    putTag(area, 36, "Xing");
    put(area, 417, {0xFF, 0xFB, 0x00, 0x00});
    area.resize(600, 0);
    ScratchFile file(area);
    const Probe p = probe(file.path());
    EXPECT_EQ(p.result, 1);
    EXPECT_EQ(p.bitrate, 0);
    EXPECT_EQ(p.duration, 0);
}

TEST(MP3Probe, TagPositionInsideTheLastElevenBytesFails)
{
    // 24-byte MPEG-2 frames: the tag would stand at 21.
    std::vector<uint8_t> area;
    put(area, 0, {0xFF, 0xF3, 0x14, 0x00});
    put(area, 24, {0xFF, 0xF3, 0x14, 0x00});  // 28 bytes: 21 >= 28 - 11
    {
        ScratchFile file(area);
        const Probe p = probe(file.path());
        EXPECT_EQ(p.result, 0);
        EXPECT_EQ(p.bitrate, -7);
    }
    area.resize(33, 0);  // 21 < 33 - 11: just enough
    ScratchFile file(area);
    const Probe p = probe(file.path());
    EXPECT_EQ(p.result, 1);
    EXPECT_EQ(p.bitrate, 8);
    EXPECT_EQ(p.sampleRate, 24000);
}

TEST(MP3Probe, FailuresWriteNothingAndReportOnlyMappingErrors)
{
    const Probe missing = probe("/nonexistent/dir/file.mp3");
    EXPECT_EQ(missing.result, 0);
    EXPECT_EQ(missing.err, "");

    for (size_t n = 1; n <= 3; ++n) {
        ScratchFile small(std::vector<uint8_t>(n, 0xFF));
        const Probe p = probe(small.path());
        EXPECT_EQ(p.result, 0);
        EXPECT_EQ(p.err, "");
    }

    ScratchFile empty({});
    const Probe e = probe(empty.path());
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(e.err.rfind("mmap: ", 0), 0u) << e.err;

    const Probe dir = probe(fs::temp_directory_path().string());
    EXPECT_EQ(dir.result, 0);
    EXPECT_EQ(dir.err.rfind("mmap: ", 0), 0u) << dir.err;

    // A FIFO without a writer must not block the caller.
    const std::string fifo = fs::temp_directory_path() / ("mp3fifo" + std::to_string(getpid()));
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const Probe f = probe(fifo);
    fs::remove(fifo);
    EXPECT_EQ(f.result, 0);
    EXPECT_EQ(f.err.rfind("mmap: ", 0), 0u) << f.err;

    ScratchFile noFrames(std::vector<uint8_t>(5000, 0xFF));
    const Probe nf = probe(noFrames.path());
    EXPECT_EQ(nf.result, 0);
    EXPECT_EQ(nf.bitrate, -7);
    EXPECT_EQ(nf.sampleRate, -7);
    EXPECT_EQ(nf.duration, -7);
}

TEST(MP3Probe, NullOutputRefusedBeforeTheFileIsTouched)
{
    const std::string path = (kMp3Dir / "cbr128_44100_stereo_notag.mp3").string();
    int32_t a = -7, b = -7, c = -7;
    testing::internal::CaptureStderr();
    EXPECT_EQ(getMP3MetaInfo(path.c_str(), nullptr, &b, nullptr, nullptr, nullptr, &c), 0);
    EXPECT_EQ(getMP3MetaInfo(path.c_str(), &a, nullptr, nullptr, nullptr, nullptr, &c), 0);
    EXPECT_EQ(getMP3MetaInfo(path.c_str(), &a, &b, nullptr, nullptr, nullptr, nullptr), 0);
    // An empty file would print "mmap" if it were opened.
    ScratchFile empty({});
    EXPECT_EQ(getMP3MetaInfo(empty.path(), &a, &b, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(a, -7);
    EXPECT_EQ(b, -7);
    EXPECT_EQ(c, -7);
}

TEST(MP3Probe, UnusedSlotsChangeNothing)
{
    const std::string path = (kMp3Dir / "cbr64_44100_mono.mp3").string();
    int32_t b1, s1, d1, b2, s2, d2;
    int junk = 99;
    ASSERT_EQ(getMP3MetaInfo(path.c_str(), &b1, &s1, nullptr, nullptr, nullptr, &d1), 1);
    ASSERT_EQ(getMP3MetaInfo(path.c_str(), &b2, &s2, &junk, reinterpret_cast<void *>(1),
                             reinterpret_cast<void *>(-1), &d2),
              1);
    EXPECT_EQ(junk, 99);
    EXPECT_EQ(std::tie(b1, s1, d1), std::tie(b2, s2, d2));
}

// Files of 256 MiB and more: the size in bits no longer fits 32 bits.
TEST(MP3Probe, LargeFilesReportTheTrueDuration)
{
    char name[] = "/tmp/mp3bigXXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    const uint8_t pair[421] = {0xFF, 0xFB, 0x90, 0x64};
    ASSERT_EQ(write(fd, pair, sizeof pair), 421);
    ASSERT_EQ(pwrite(fd, pair, 4, 417), 4);
    const off_t size = 300LL << 20;  // sparse
    ASSERT_EQ(ftruncate(fd, size), 0);
    Probe p = probe(name);
    EXPECT_EQ(p.result, 1);
    EXPECT_EQ(p.duration, expectedDuration(uint64_t(size), 128));  // 19660

    // Past 2 GiB and 4 GiB, positions and sizes are 64-bit.
    for (const off_t big : {3LL << 30, (4LL << 30) + 5}) {
        ASSERT_EQ(ftruncate(fd, big), 0);
        p = probe(name);
        EXPECT_EQ(p.result, 1);
        EXPECT_EQ(p.duration, expectedDuration(uint64_t(big), 128));
        EXPECT_EQ(p.err, "");
    }
    close(fd);
    unlink(name);
}

TEST(MP3Probe, DurationArithmeticIs64Bit)
{
    EXPECT_EQ(durationSeconds(int64_t{1} << 28, 128), 16777);
    EXPECT_EQ(durationSeconds(2'000'000'000, 320), 50000);
    EXPECT_EQ(durationSeconds(4'000'000, 0), 0);
}

// ---- Files from a real encoder (see fixtures/mp3/make_mp3.sh) -------------

struct Expected {
    const char *name;
    int32_t bitrate;  // 0: variable, worked out below
    int32_t sampleRate;
};

// Independent reading of a clean encoder output: an ID3v2 tag by its own size
// field, then Layer III frames one after another until the sync is lost.
size_t id3v2Size(const std::vector<uint8_t> &bytes)
{
    if (bytes.size() < 10 || bytes[0] != 'I' || bytes[1] != 'D' || bytes[2] != '3')
        return 0;
    return 10 + size_t((bytes[6] & 0x7F) << 21 | (bytes[7] & 0x7F) << 14 | (bytes[8] & 0x7F) << 7 |
                       (bytes[9] & 0x7F));
}

size_t audioBytesOf(const std::vector<uint8_t> &bytes)
{
    const bool id3v1 = bytes.size() >= 128 && std::equal(bytes.end() - 128, bytes.end() - 125, "TAG");
    return bytes.size() - id3v2Size(bytes) - (id3v1 ? 128 : 0);
}

int32_t averageBitrateAfterFirstFrame(const std::vector<uint8_t> &bytes)
{
    static const int kbpsV1[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
    static const int kbpsV2[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
    // By the two version bits: 2.5, reserved, 2, 1.
    static const int rates[4][3] = {{11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};
    size_t pos = id3v2Size(bytes);
    long frames = 0;
    double sum = 0;
    while (pos + 4 <= bytes.size() && bytes[pos] == 0xFF && (bytes[pos + 1] & 0xE0) == 0xE0) {
        const int version = (bytes[pos + 1] >> 3) & 3;
        const int rateIndex = (bytes[pos + 2] >> 2) & 3;
        const int *kbpsTable = version == 3 ? kbpsV1 : kbpsV2;
        const int kbps = kbpsTable[bytes[pos + 2] >> 4];
        if (version == 1 || rateIndex == 3 || kbps == 0)
            break;
        const int rate = rates[version][rateIndex];
        const int pad = (bytes[pos + 2] >> 1) & 1;
        if (frames++ > 0)
            sum += kbps;
        pos += size_t((version == 3 ? 144000 : 72000) * kbps / rate + pad);
    }
    return frames > 1 ? int32_t(sum / double(frames - 1)) : -1;
}

std::vector<uint8_t> fixtureBytes(const char *name)
{
    std::ifstream in(kMp3Dir / name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST(MP3Probe, RealEncoderOutput)
{
    const Expected files[] = {
        {"cbr128_44100_stereo_info.mp3", 128, 44100},  // "Info" tag: constant bitrate
        {"cbr128_44100_stereo_notag.mp3", 128, 44100},
        {"cbr128_44100_id3v2.mp3", 128, 44100},
        {"cbr64_44100_mono.mp3", 64, 44100},
        {"cbr64_22050_stereo_mpeg2.mp3", 64, 22050},
        {"cbr32_24000_mono_mpeg2.mp3", 32, 24000},
        {"vbr_44100_stereo.mp3", 0, 44100},
        {"vbr_44100_mono.mp3", 0, 44100},
        {"vbr_22050_stereo_mpeg2.mp3", 0, 22050},
        {"vbr_24000_mono_mpeg2.mp3", 0, 24000},
        {"vbr_44100_id3v1v2.mp3", 0, 44100},
        // MPEG-2.5 (lame at 8 and 11.025 kHz)
        {"cbr16_8000_mono_mpeg25.mp3", 16, 8000},
        {"cbr32_11025_stereo_mpeg25.mp3", 32, 11025},
        {"vbr_8000_mono_mpeg25.mp3", 0, 8000},
        {"vbr_11025_stereo_mpeg25.mp3", 0, 11025},
        // MPEG-2 Layer II (ffmpeg) and Layer I (made by hand, every frame padded)
        {"layer2_cbr64_16000_stereo_mpeg2.mp2", 64, 16000},
        {"layer2_cbr48_22050_mono_mpeg2.mp2", 48, 22050},
        {"layer2_cbr96_24000_stereo_mpeg2.mp2", 96, 24000},
        {"layer1_cbr64_44100_stereo_padded.mp1", 64, 44100},
        {"layer1_cbr64_22050_mono_mpeg2_padded.mp1", 64, 22050},
    };
    for (const Expected &e : files) {
        SCOPED_TRACE(e.name);
        const std::vector<uint8_t> bytes = fixtureBytes(e.name);
        ASSERT_FALSE(bytes.empty());
        const int32_t kbps = e.bitrate ? e.bitrate : averageBitrateAfterFirstFrame(bytes);
        const Probe p = probe((kMp3Dir / e.name).string());
        EXPECT_EQ(p.result, 1);
        EXPECT_EQ(p.bitrate, kbps);
        EXPECT_EQ(p.sampleRate, e.sampleRate);
        EXPECT_EQ(p.duration, expectedDuration(audioBytesOf(bytes), kbps));
        EXPECT_GE(p.duration, 2);  // every fixture plays 2 or 3 s
        EXPECT_EQ(p.out, e.bitrate ? "" : "getVBRInfo()\n");
    }
}

TEST(MP3Probe, CoverPicturesAreNotCountedAsAudio)
{
    // Durations as ffprobe reported them when make_mp3.sh made the files.
    std::ifstream list(kMp3Dir / "ffprobe.txt");
    std::string name;
    double seconds = 0;
    int files = 0;
    while (list >> name >> seconds) {
        SCOPED_TRACE(name);
        const std::vector<uint8_t> bytes = fixtureBytes(name.c_str());
        ASSERT_GT(id3v2Size(bytes), 50'000u);  // the picture is there
        const Probe p = probe((kMp3Dir / name).string());
        EXPECT_EQ(p.result, 1);
        EXPECT_NEAR(p.duration, seconds, 1.0);
        // Counting the tag as audio would have been far off.
        EXPECT_GT(expectedDuration(bytes.size(), p.bitrate), seconds + 2);
        ++files;
    }
    EXPECT_EQ(files, 2);
}

TEST(MP3Probe, LeadingTagSkipChangesNoFixtureAnswer)
{
    for (const auto &entry : fs::directory_iterator(kMp3Dir)) {
        if (entry.path().extension() == ".sh" || entry.path().extension() == ".txt")
            continue;
        SCOPED_TRACE(entry.path().filename().string());
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
        const auto size = int32_t(bytes.size());
        EXPECT_EQ(referenceProbe(bytes.data(), size, false), referenceProbe(bytes.data(), size, true));
        EXPECT_EQ(referenceFirstFrame(bytes.data(), size, false),
                  int32_t(id3v2Size(bytes)));
    }
}

TEST(MP3Probe, LeadingTagSkippedByItsSizeOrSearchedThrough)
{
    // A 1000-byte ID3v2 tag whose body holds a stray 128 kbit/s frame pair
    // (as a picture may), then 64 kbit/s frames.
    std::vector<uint8_t> area;
    put(area, 0, {'I', 'D', '3', 3, 0, 0, 0, 0, 0x07, 0x5E});  // 10 + 990 bytes
    put(area, 100, {0xFF, 0xFB, 0x90, 0x64});
    put(area, 517, {0xFF, 0xFB, 0x90, 0x64});
    for (size_t at = 1000; at < 1000 + 20 * 208; at += 208)
        put(area, at, {0xFF, 0xFB, 0x50, 0xC4});  // MPEG-1 64 kbit/s 44100: 208 bytes
    area.resize(1000 + 20 * 208, 0);
    {
        ScratchFile file(area);
        const Probe p = probe(file.path());
        EXPECT_EQ(p.result, 1);
        EXPECT_EQ(p.bitrate, 64);  // not the stray pair's 128
    }
    // A declared size that runs past the frames: searched from the start, so
    // the stray pair is what is found.
    area[8] = 0x7F;
    ScratchFile file(area);
    const Probe p = probe(file.path());
    EXPECT_EQ(p.result, 1);
    EXPECT_EQ(p.bitrate, 128);
}

TEST(MP3Probe, ConcurrentCallsAgree)
{
    const std::string cbr = (kMp3Dir / "cbr64_22050_stereo_mpeg2.mp3").string();
    const std::string vbr = (kMp3Dir / "vbr_44100_stereo.mp3").string();
    int32_t cb, cs, cd, vb, vs, vd;
    ASSERT_EQ(getMP3MetaInfo(cbr.c_str(), &cb, &cs, nullptr, nullptr, nullptr, &cd), 1);
    testing::internal::CaptureStdout();
    ASSERT_EQ(getMP3MetaInfo(vbr.c_str(), &vb, &vs, nullptr, nullptr, nullptr, &vd), 1);
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                const bool useVbr = (t + i) % 2;
                int32_t b = 0, s = 0, d = 0;
                const auto r = getMP3MetaInfo((useVbr ? vbr : cbr).c_str(), &b, &s, nullptr,
                                              nullptr, nullptr, &d);
                const bool same = useVbr ? (b == vb && s == vs && d == vd)
                                         : (b == cb && s == cs && d == cd);
                if (r != 1 || !same)
                    ++mismatches;
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace

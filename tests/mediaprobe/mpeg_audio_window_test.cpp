// The MP3 probe reads its file through bounded windows. These tests hold it to
// the answers of the whole-file view (mp3_reference.h), across window edges,
// past 2 GiB, and while someone else shrinks the file.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "mediaprobe.h"
#include "mp3_reference.h"
#include "mpeg_audio_header.h"
#include "mpeg_audio_probe.h"
#include "scratch_file.h"
#include "truncating_reads.h"

namespace fs = std::filesystem;

namespace {

const fs::path kMp3Dir = fs::path(MP_FIXTURES_DIR) / "mp3";

std::vector<uint8_t> readAll(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<fs::path> mpegFixtures()
{
    std::vector<fs::path> paths;
    for (const auto &entry : fs::directory_iterator(kMp3Dir)) {
        const std::string ext = entry.path().extension().string();
        if (ext == ".mp1" || ext == ".mp2" || ext == ".mp3")
            paths.push_back(entry.path());
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

Mp3Outcome probeThrough(const char *path, Mp3Windows windows)
{
    Mp3Outcome out;
    ReadOnlyFile file;
    if (!openReadOnlyFile(path, file))
        return out;
    testing::internal::CaptureStdout();
    out.result = probeMp3File(file, windows, &out.bitrate, &out.sampleRate, &out.duration);
    testing::internal::GetCapturedStdout();
    return out;
}

Mp3Outcome probeExport(const char *path, std::string *err = nullptr)
{
    Mp3Outcome out;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    out.result = getMP3MetaInfo(path, &out.bitrate, &out.sampleRate, nullptr, nullptr, nullptr,
                                &out.duration);
    testing::internal::GetCapturedStdout();
    const std::string captured = testing::internal::GetCapturedStderr();
    if (err != nullptr)
        *err = captured;
    return out;
}

Mp3Outcome reference(const std::vector<uint8_t> &bytes)
{
    return referenceProbe(bytes.data(), static_cast<int32_t>(bytes.size()));
}

void put(std::vector<uint8_t> &area, size_t at, std::initializer_list<uint8_t> bytes)
{
    if (area.size() < at + bytes.size())
        area.resize(at + bytes.size(), 0);
    std::copy(bytes.begin(), bytes.end(), area.begin() + static_cast<std::ptrdiff_t>(at));
}

// Window sizes chosen so that frames and pairs straddle their edges: the
// smallest allowed, odd sizes, and the usual ones.
const Mp3Windows kWindowChoices[] = {
    {kMinMp3Window, kMinMp3Window},
    {kMinMp3Window + 1, kMinMp3Window + 7},
    {kMinMp3Window + 417, 3 * kMinMp3Window + 3},
    {4096, 8192},
    {},
};

TEST(MP3Windows, EveryFixtureAnswersAsTheWholeView)
{
    const std::vector<fs::path> fixtures = mpegFixtures();
    ASSERT_GE(fixtures.size(), 20u);
    for (const fs::path &path : fixtures) {
        SCOPED_TRACE(path.filename().string());
        const std::vector<uint8_t> bytes = readAll(path);
        const Mp3Outcome expected = reference(bytes);
        EXPECT_EQ(expected.result, 1);
        for (const Mp3Windows &w : kWindowChoices) {
            const Mp3Outcome got = probeThrough(path.c_str(), w);
            EXPECT_EQ(got, expected) << "windows " << w.search << "/" << w.walk << ": got "
                                     << got.bitrate << " kbit/s " << got.duration << " s";
        }
        EXPECT_EQ(probeExport(path.c_str()), expected);
    }
}

TEST(MP3Windows, WalkCountsTheSameFramesAsTheWholeView)
{
    for (const fs::path &path : mpegFixtures()) {
        SCOPED_TRACE(path.filename().string());
        const std::vector<uint8_t> bytes = readAll(path);
        const auto size = static_cast<int32_t>(bytes.size());
        const int32_t first = referenceFirstFrame(bytes.data(), size, true);
        ASSERT_GE(first, 0);
        int32_t count = 0;
        double sum = 0;
        referenceWalk(bytes.data(), size, first, count, sum);
        for (size_t capacity : {kMinMp3Window, kMinMp3Window + 3, size_t{65536}}) {
            ReadOnlyFile file;
            FileWindow window;
            ASSERT_TRUE(openReadOnlyFile(path.c_str(), file));
            ASSERT_TRUE(makeFileWindow(file, capacity, window));
            FrameTally tally;
            ASSERT_TRUE(walkFrames(window, uint64_t(first), tally));
            EXPECT_EQ(tally.count, count) << capacity;
            EXPECT_EQ(tally.sum, sum) << capacity;
        }
    }
}

TEST(MP3Windows, PairSearchFromEveryOffsetFindsWhatTheViewFinds)
{
    for (const char *name : {"vbr_44100_stereo.mp3", "vbr_8000_mono_mpeg25.mp3",
                             "layer2_cbr48_22050_mono_mpeg2.mp2"}) {
        SCOPED_TRACE(name);
        const fs::path path = kMp3Dir / name;
        const std::vector<uint8_t> bytes = readAll(path);
        const auto size = static_cast<int32_t>(bytes.size());
        ReadOnlyFile file;
        FileWindow window;
        ASSERT_TRUE(openReadOnlyFile(path.c_str(), file));
        ASSERT_TRUE(makeFileWindow(file, kMinMp3Window, window));
        int mismatches = 0;
        for (int32_t from = 0; from < size; ++from) {
            const int32_t inView = findNextFrame(bytes.data() + from, size - from);
            const int64_t expected = inView < 0 ? kNoFramePair : int64_t{from} + inView;
            if (findFramePairInFile(window, uint64_t(from)) != expected && ++mismatches < 5)
                ADD_FAILURE() << "from " << from << ": view finds " << expected;
        }
        EXPECT_EQ(mismatches, 0);
    }
}

TEST(MP3Windows, PairsOfTheLongestFramesAcrossTheWindowEdge)
{
    // MPEG-2.5 Layer II, 160 kbit/s, 8000 Hz, padded: 2881 bytes, the longest
    // frame. A first header up to `edge` is paired within the first window;
    // from there on it waits for the next window, which starts with it.
    const std::initializer_list<uint8_t> longest = {0xFF, 0xE5, 0xEA, 0x00};
    ASSERT_EQ(getFrameLength(readHeader(std::data(longest))), kMaxFrameLength);
    for (const size_t capacity : {kMinMp3Window, kMinMp3Window + 1, 3 * kPairLookahead}) {
        const size_t edge = capacity - kPairLookahead;
        for (size_t at = edge - 12; at <= edge + 12; ++at) {
            std::vector<uint8_t> area(3 * capacity, 0);
            put(area, 11, {0xFF, 0xFB, 0x90, 0x64});  // a lone header: no pair
            put(area, at, longest);
            put(area, at + kMaxFrameLength, longest);
            ScratchFile file(area);
            SCOPED_TRACE(testing::Message() << "window " << capacity << ", pair at " << at);
            EXPECT_EQ(probeThrough(file.path(), {capacity, capacity}), reference(area));
        }
    }
}

// ---- Files that shrink while they are probed --------------------------------

// Truncates a fresh copy of the fixture to keep bytes just before the read
// numbered readsFirst, for every read the probe makes, and expects a clean
// failure each time: no signal, no mapping message, bitrate and duration
// untouched (they would be computed from stale buffer bytes otherwise).
void expectCleanFailureWhateverReadIsCut(const char *name, uint64_t keep, Mp3Windows windows)
{
    const std::vector<uint8_t> bytes = readAll(kMp3Dir / name);
    ScratchFile file(bytes);
    int cuts = 0;
    for (int readsFirst = 0;; ++readsFirst) {
        std::ofstream(file.path(), std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
        truncateBeforeRead(file.path(), keep, readsFirst);
        std::string err;
        Mp3Outcome got;
        if (windows.search == 0)
            got = probeExport(file.path(), &err);
        else
            got = probeThrough(file.path(), windows);
        if (!disarmTruncation())
            break;
        ++cuts;
        SCOPED_TRACE(testing::Message() << name << " cut to " << keep << " before read "
                                        << readsFirst);
        EXPECT_EQ(got.result, 0);
        EXPECT_EQ(got.bitrate, kUnwritten);
        EXPECT_EQ(got.duration, kUnwritten);
        EXPECT_EQ(err, "");
    }
    EXPECT_GE(cuts, 2) << name;
}

TEST(MP3Truncation, ConstantBitrateSearchFailsCleanly)
{
    for (uint64_t keep : {uint64_t{0}, uint64_t{100}, uint64_t{16000}}) {
        expectCleanFailureWhateverReadIsCut("cbr128_44100_stereo_notag.mp3", keep, {0, 0});
        expectCleanFailureWhateverReadIsCut("cbr128_44100_id3v2.mp3", keep,
                                            {kMinMp3Window, kMinMp3Window});
    }
}

TEST(MP3Truncation, VariableBitrateWalkFailsCleanly)
{
    for (uint64_t keep : {uint64_t{0}, uint64_t{5000}, uint64_t{30000}}) {
        expectCleanFailureWhateverReadIsCut("vbr_44100_stereo.mp3", keep, {0, 0});
        expectCleanFailureWhateverReadIsCut("vbr_44100_id3v1v2.mp3", keep,
                                            {kMinMp3Window, kMinMp3Window});
    }
}

// A VBR file of about 1 MB: the fixture's frames after its tagged first frame
// repeated, so the walk takes long enough for a racing truncater to hit it.
std::vector<uint8_t> longVariableBitrateFile()
{
    const std::vector<uint8_t> fixture = readAll(kMp3Dir / "vbr_44100_stereo.mp3");
    const size_t firstLength = size_t(getFrameLength(readHeader(fixture.data())));
    std::vector<uint8_t> bytes = fixture;
    while (bytes.size() < 1'000'000)
        bytes.insert(bytes.end(), fixture.begin() + std::ptrdiff_t(firstLength), fixture.end());
    return bytes;
}

TEST(MP3Truncation, RacingTruncaterNeverKillsTheProbe)
{
    struct Case {
        std::vector<uint8_t> bytes;
        int32_t sampleRate;
    };
    const Case cases[] = {
        {readAll(kMp3Dir / "cbr128_44100_stereo_notag.mp3"), 44100},
        {longVariableBitrateFile(), 44100},
    };
    for (const Case &c : cases) {
        ScratchFile file(c.bytes);
        const Mp3Outcome intact = reference(c.bytes);
        std::atomic<bool> stop{false};
        std::thread truncater([&] {
            std::mt19937 random(7);
            const int fd = ::open(file.path(), O_WRONLY | O_CLOEXEC);
            while (fd >= 0 && !stop) {
                const auto keep = off_t(random() % c.bytes.size());
                if (::ftruncate(fd, keep) != 0 ||
                    ::pwrite(fd, c.bytes.data(), c.bytes.size(), 0) != ssize_t(c.bytes.size()))
                    break;
            }
            if (fd >= 0)
                ::close(fd);
        });
        int answers = 0, failures = 0;
        for (int i = 0; i < 300; ++i) {
            const Mp3Outcome got = probeExport(file.path());
            if (got.result == 0) {
                ++failures;
                continue;
            }
            ++answers;
            // Frame headers really read: the rate is the file's, the bitrate one
            // its frames carry or their average, the duration never above the
            // intact file's.
            EXPECT_EQ(got.sampleRate, c.sampleRate);
            EXPECT_GE(got.bitrate, 32);
            EXPECT_LE(got.bitrate, 320);
            EXPECT_LE(got.duration, intact.duration);
        }
        stop = true;
        truncater.join();
        EXPECT_EQ(answers + failures, 300);
    }
}

// ---- Positions past 2 GiB ------------------------------------------------------

class SparseFile {
public:
    SparseFile()
    {
        char name[] = "/tmp/mp3sparseXXXXXX";
        fd_ = mkstemp(name);
        path_ = name;
    }
    ~SparseFile()
    {
        if (fd_ >= 0)
            close(fd_);
        unlink(path_.c_str());
    }
    SparseFile(const SparseFile &) = delete;
    SparseFile &operator=(const SparseFile &) = delete;
    bool put(uint64_t at, std::initializer_list<uint8_t> bytes) const
    {
        return pwrite(fd_, std::data(bytes), bytes.size(), off_t(at)) == ssize_t(bytes.size());
    }
    bool resize(uint64_t size) const { return ftruncate(fd_, off_t(size)) == 0; }
    const char *path() const { return path_.c_str(); }

private:
    int fd_ = -1;
    std::string path_;
};

TEST(MP3Windows, SearchAndWalkPastFourGigabytes)
{
    // A tagged 128 kbit/s frame past 4 GiB in a sparse file, followed by
    // frames of 128, 160 and 192 kbit/s up to the end of the file. (A whole
    // probe would read the gigabytes of nothing before it.)
    const uint64_t far = (4ULL << 30) + 12345;
    SparseFile sparse;
    ASSERT_TRUE(sparse.put(far, {0xFF, 0xFB, 0x90, 0x64}));
    ASSERT_TRUE(sparse.put(far + 36, {'X', 'i', 'n', 'g'}));
    ASSERT_TRUE(sparse.put(far + 417, {0xFF, 0xFB, 0x90, 0x64}));
    ASSERT_TRUE(sparse.put(far + 834, {0xFF, 0xFB, 0xA0, 0x64}));
    ASSERT_TRUE(sparse.put(far + 834 + 522, {0xFF, 0xFB, 0xB0, 0x64}));
    const uint64_t size = far + 834 + 522 + 626;
    ASSERT_TRUE(sparse.resize(size));

    ReadOnlyFile file;
    FileWindow window;
    ASSERT_TRUE(openReadOnlyFile(sparse.path(), file));
    ASSERT_TRUE(makeFileWindow(file, kMinMp3Window, window));
    EXPECT_EQ(file.size, size);
    EXPECT_EQ(findFramePairInFile(window, far - 20000), int64_t(far));
    EXPECT_EQ(audioBytes(window, far), int64_t(size - far));
    FrameTally tally;
    ASSERT_TRUE(walkFrames(window, far, tally));
    EXPECT_EQ(tally.count, 3);
    EXPECT_EQ(tally.sum, 128 + 160 + 192);

    int32_t bitrate = 0, duration = 0;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(getVBRInfo(file, kMinMp3Window, far, size - far, &bitrate, &duration));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "getVBRInfo()\n");
    EXPECT_EQ(bitrate, 160);
    EXPECT_EQ(duration, int32_t((size - far) * 8 / 1000 / 160));
}

TEST(MP3Windows, DurationSaturatesAtTheLargestSeconds)
{
    EXPECT_EQ(durationSeconds(UINT64_MAX, 8), INT32_MAX);
    EXPECT_EQ(durationSeconds(2'147'483'647ULL * 1000, 8), INT32_MAX);
    EXPECT_EQ(durationSeconds(2'147'483'646ULL * 1000, 8), 2'147'483'646);

    // 8 kbit/s MPEG-2 frames of 24 bytes at the front of a 3 TB sparse file:
    // 3e12 * 8 / 1000 / 8 = 3e9 seconds, more than a 32-bit result holds.
    SparseFile file;
    ASSERT_TRUE(file.put(0, {0xFF, 0xF3, 0x14, 0x00}));
    ASSERT_TRUE(file.put(24, {0xFF, 0xF3, 0x14, 0x00}));
    if (!file.resize(3'000'000'000'000ULL))
        GTEST_SKIP() << "this file system holds no 3 TB sparse file";
    const Mp3Outcome got = probeExport(file.path());
    EXPECT_EQ(got.result, 1);
    EXPECT_EQ(got.bitrate, 8);
    EXPECT_EQ(got.duration, INT32_MAX);
}

}  // namespace

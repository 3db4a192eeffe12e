#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <filesystem>

#include "mediaprobe.h"
#include "platform/avi_file_reader.h"
#include "riff_test_util.h"

using namespace rifftest;
namespace fs = std::filesystem;

namespace {

const fs::path kAviDir = fs::path(MP_FIXTURES_DIR) / "avi";
constexpr int32_t kNoDuration = -7;
constexpr uint32_t kUntouched = 0xDEADBEEF;

// Outputs 3 to 13 in argument order.
enum { kWidth, kHeight, kDataRate, kFlags, kCaps, kStreams, kBuffer, kScale, kRate, kEdits,
       kFrameRate, kOutputs };
using Outputs = std::array<uint32_t, kOutputs>;
constexpr Outputs kNothing = {kUntouched, kUntouched, kUntouched, kUntouched, kUntouched, kUntouched,
                              kUntouched, kUntouched, kUntouched, kUntouched, kUntouched};

struct AviResult {
    int32_t duration = kNoDuration;
    Outputs out = kNothing;
};

// nullMask bit i leaves output 3 + i null.
AviResult probe(const char *path, uint32_t nullMask = 0)
{
    AviResult r;
    std::array<uint32_t *, kOutputs> p{};
    for (size_t i = 0; i < kOutputs; ++i)
        p[i] = (nullMask >> i & 1u) ? nullptr : &r.out[i];
    const int usersBefore = aviServicesUsers();
    EXPECT_EQ(getAVIinfo(path, &r.duration, p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8],
                         p[9], p[10], nullptr, nullptr),
              1);
    EXPECT_EQ(aviServicesUsers(), usersBefore) << "services not stopped";
    return r;
}

struct Main {
    uint32_t microSecPerFrame = 40000, maxBytesPerSecond = 1500000, flags = 0x910,
             totalFrames = 250, streams = 1, bufferSize = 12345, width = 320, height = 240;
};

Bytes avih(const Main &m)
{
    Bytes out;
    for (uint32_t v : {m.microSecPerFrame, m.maxBytesPerSecond, 0u, m.flags, m.totalFrames, 0u,
                       m.streams, m.bufferSize, m.width, m.height, 0u, 0u, 0u, 0u})
        put32(out, v);
    return chunk("avih", out);
}

Bytes strl(const char *type, uint32_t scale, uint32_t rate, uint32_t length)
{
    Bytes out;
    putId(out, type);
    for (uint32_t v : {0u, 0u, 0u, 0u, scale, rate, 0u, length, 0u, 0u, 0u, 0u, 0u})
        put32(out, v);
    return list("LIST", "strl", chunk("strh", out));
}

Bytes odml(uint32_t totalFrames)
{
    Bytes out;
    put32(out, totalFrames);
    return list("LIST", "odml", chunk("dmlh", out));
}

Bytes avi(const Bytes &headers, int64_t headerSize = -1)
{
    return list("RIFF", "AVI ",
                cat({list("LIST", "hdrl", headers, headerSize), list("LIST", "movi", {})}));
}

const Bytes kVideo25 = strl("vids", 1, 25, 250);

}  // namespace

// Expected values follow from what the fixture script asked ffmpeg for: ten
// 32x24 pictures; duration = frames * 1000 / fps to the nearest millisecond;
// scale = whole microseconds per frame (ffmpeg truncates); data rate = the
// declared bit rates / 8 / 1000; flags include "has index" (ffmpeg writes idx1).
TEST(AviProbe, RealFilesFromFfmpeg)
{
    struct Case {
        const char *name;
        int32_t duration;
        uint32_t scale, frameRate, streams, dataRate;
    };
    const Case cases[] = {
        {"video_25fps.avi", 400, 1000000 / 25, 25, 1, 1200000 / 8 / 1000},
        {"video_2997fps_audio.avi", 334, 1000000 * 1001 / 30000, 29, 2, (400000 + 64000) / 8 / 1000},
        {"video_10fps_audio.avi", 1000, 1000000 / 10, 10, 2, (400000 + 64000) / 8 / 1000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const AviResult r = probe((kAviDir / c.name).c_str());
        EXPECT_EQ(r.duration, c.duration);
        EXPECT_EQ(r.out[kWidth], 32u);
        EXPECT_EQ(r.out[kHeight], 24u);
        EXPECT_EQ(r.out[kDataRate], c.dataRate);
        EXPECT_EQ(r.out[kFlags] & 0x10u, 0x10u);
        EXPECT_EQ(r.out[kCaps], kAviCapsCanRead);
        EXPECT_EQ(r.out[kStreams], c.streams);
        EXPECT_EQ(r.out[kScale], c.scale);
        EXPECT_EQ(r.out[kRate], 1000000u);
        EXPECT_EQ(r.out[kEdits], 0u);
        EXPECT_EQ(r.out[kFrameRate], c.frameRate);
    }
}

TEST(AviProbe, NothingWrittenWithoutAVideoStream)
{
    const ScratchFile truncatedMain(avi(chunk("avih", Bytes(36, 1))));
    const ScratchFile wave(list("RIFF", "WAVE", chunk("fmt ", Bytes(16, 1))));
    const ScratchFile emptyStreamList(avi(cat({avih({}), list("LIST", "strl", {})})));
    const std::string audioOnly = (kAviDir / "audio_only.avi").string();
    for (const char *path : {audioOnly.c_str(), "/nonexistent/x.avi", static_cast<const char *>(nullptr),
                             truncatedMain.path(), wave.path(), emptyStreamList.path()}) {
        SCOPED_TRACE(path ? path : "null path");
        const AviResult r = probe(path);
        EXPECT_EQ(r.duration, kNoDuration);
        EXPECT_EQ(r.out, kNothing);
    }
}

TEST(AviProbe, MainHeaderFieldsAndRates)
{
    const ScratchFile file(avi(cat({avih({}), kVideo25})));
    const AviResult r = probe(file.path());
    EXPECT_EQ(r.duration, 10000);
    EXPECT_EQ(r.out, (Outputs{320, 240, 1500, 0x910, kAviCapsCanRead, 1, 12345, 40000, 1000000, 0, 25}));

    // The stream's own scale and rate give the duration: 250 * 40000 / 1000000 s.
    const ScratchFile microseconds(avi(cat({avih({}), strl("vids", 40000, 1000000, 250)})));
    EXPECT_EQ(probe(microseconds.path()).duration, 10000);

    Main m;
    m.maxBytesPerSecond = 999;
    m.microSecPerFrame = 33367;  // 29.97 frames per second
    const ScratchFile ntsc(avi(cat({avih(m), kVideo25})));
    const AviResult n = probe(ntsc.path());
    EXPECT_EQ(n.out[kDataRate], 0u);
    EXPECT_EQ(n.out[kFrameRate], 29u);

    m.microSecPerFrame = 0;
    const ScratchFile zero(avi(cat({avih(m), kVideo25})));
    const AviResult z = probe(zero.path());
    EXPECT_EQ(z.out[kScale], 0u);
    EXPECT_EQ(z.out[kFrameRate], 1000000u);
}

TEST(AviProbe, NullOutputsAreSkipped)
{
    const ScratchFile file(avi(cat({avih({}), kVideo25})));
    const AviResult all = probe(file.path());
    for (size_t i = 0; i < kOutputs; ++i) {
        const AviResult r = probe(file.path(), 1u << i);
        Outputs expected = all.out;
        expected[i] = kUntouched;
        EXPECT_EQ(r.out, expected) << "output " << i + 3 << " null";
        EXPECT_EQ(r.duration, 10000);
    }
    EXPECT_EQ(probe(file.path(), (1u << kOutputs) - 1).duration, 10000);

    // A null duration is skipped too instead of being written through.
    Outputs out = kNothing;
    EXPECT_EQ(getAVIinfo(file.path(), nullptr, &out[0], &out[1], &out[2], &out[3], &out[4],
                         &out[5], &out[6], &out[7], &out[8], &out[9], &out[10], nullptr, nullptr),
              1);
    EXPECT_EQ(out, all.out);
}

TEST(AviProbe, StreamRateZeroGivesNoDuration)
{
    const ScratchFile file(avi(cat({avih({}), strl("vids", 1, 0, 250)})));
    const AviResult r = probe(file.path());
    EXPECT_EQ(r.duration, kNoDuration);
    EXPECT_EQ(r.out[kWidth], 320u);
}

TEST(AviFileReader, StreamsOpenDmlAndTimeConversion)
{
    // The first video stream is found behind an audio stream; "dmlh" supersedes
    // the main header's frame count.
    const ScratchFile file(avi(cat({avih({}), strl("auds", 1, 8000, 4000), strl("vids", 1001, 30000, 10),
                                    strl("vids", 1, 10, 3), odml(100000)})));
    AviFile *handle = openAviFile(file.path());
    ASSERT_NE(handle, nullptr);
    AviFileInfo info;
    ASSERT_TRUE(getAviFileInfo(handle, &info));
    EXPECT_EQ(info.length, 100000u);
    AviStream *first = getAviStream(handle, kAviStreamTypeVideo, 0);
    AviStream *second = getAviStream(handle, kAviStreamTypeVideo, 1);
    EXPECT_EQ(getAviStream(handle, kAviStreamTypeVideo, 2), nullptr);
    releaseAviFile(handle);  // stream handles outlive the file
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    int32_t ms = 0;
    ASSERT_TRUE(aviStreamSampleToTime(first, aviStreamLength(first), &ms));
    EXPECT_EQ(ms, 334);  // 333.67 rounds to the nearest millisecond
    ASSERT_TRUE(aviStreamSampleToTime(second, aviStreamLength(second), &ms));
    EXPECT_EQ(ms, 300);
    releaseAviStream(first);
    releaseAviStream(second);

    const ScratchFile plain(avi(cat({avih({}), kVideo25})));
    handle = openAviFile(plain.path());
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(getAviFileInfo(handle, &info));
    EXPECT_EQ(info.length, 250u);
    releaseAviFile(handle);

    AviStream half{kAviStreamTypeVideo, 1, 2000, 0, 1};  // exactly half a millisecond
    ASSERT_TRUE(aviStreamSampleToTime(&half, 1, &ms));
    EXPECT_EQ(ms, 1);
    AviStream huge{kAviStreamTypeVideo, UINT32_MAX, 1, 0, 0};
    ASSERT_TRUE(aviStreamSampleToTime(&huge, UINT32_MAX, &ms));
    EXPECT_EQ(ms, INT32_MAX);
    huge.rate = 0;
    EXPECT_FALSE(aviStreamSampleToTime(&huge, 1, &ms));
}

// Sizes that overrun their parent or the file, zero and odd sizes and lists
// that claim to contain themselves must end, without reading outside the file.
TEST(AviFileReader, HostileStructureEnds)
{
    Bytes selfNested = list("LIST", "strl", list("LIST", "strl", {}, 0xFFFFFFF0), 0xFFFFFFF0);
    const ScratchFile nested(avi(cat({avih({}), selfNested})));
    EXPECT_EQ(probe(nested.path()).duration, kNoDuration);

    // hdrl larger than the file, odd and empty chunks between the lists.
    const ScratchFile oversized(avi(cat({avih({}), chunk("JUNK", Bytes{7}), chunk("JUNK", {}),
                                         kVideo25, list("LIST", "odml", {}, 0)}),
                                    0xFFFFFFFF));
    const AviResult r = probe(oversized.path());
    EXPECT_EQ(r.duration, 10000);
    EXPECT_EQ(r.out[kFrameRate], 25u);

    // A stream list whose size ends inside the header of its "strh".
    Bytes cut = strl("vids", 1, 25, 250);
    cut[4] = 8;
    const ScratchFile shortList(avi(cat({avih({}), cut})));
    EXPECT_EQ(probe(shortList.path()).out, kNothing);
}

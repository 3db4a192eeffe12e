// What mprobe says about one file: names of any bytes, content over name,
// and times from before the probe touched the file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include "mprobe_run.h"

using namespace mprobe_test;

namespace {

std::string fromHex(const std::string &hex)
{
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

void setTimes(const fs::path &file, time_t accessed, time_t modified)
{
    const struct timespec times[2] = {{accessed, 0}, {modified, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
}

}  // namespace

TEST(MprobeReport, NamesOfAnyBytesKeepJsonValidAndTextHarmless)
{
    Scratch s;
    const std::string mp3 = slurp(kFixtures / "mp3" / "cbr64_44100_mono.mp3");
    // Not UTF-8 (0xFF, a cut-off sequence), a new line, an escape sequence that
    // would colour a terminal, and a right-to-left override.
    const std::string oddName = "odd\xff\xc3 name\n\x1b[31mred\xe2\x80\xae.mp3";
    const auto odd = s.write(oddName, mp3);
    const auto plain = s.write("after.mp3", mp3);

    const Outcome j = mprobe({"--json", odd.string(), plain.string()});
    EXPECT_EQ(j.status, 0) << j.err;
    const auto o = jsonLines(j.out);
    ASSERT_EQ(o.size(), 2u);
    EXPECT_EQ(fromHex(o[0]["path_bytes"]), odd.string());
    EXPECT_TRUE(contains(o[0]["path"], "odd\xef\xbf\xbd")) << o[0]["path"];  // U+FFFD for the bad byte
    EXPECT_EQ(o[0]["type"], "mp3");
    EXPECT_EQ(o[0]["mp3"]["bitrate_kbps"], 64);
    EXPECT_EQ(o[1]["path"], plain.string());
    EXPECT_FALSE(o[1].contains("path_bytes"));  // only when the name is not UTF-8

    const Outcome t = mprobe({odd.string(), plain.string()});
    EXPECT_EQ(t.status, 0) << t.err;
    EXPECT_TRUE(contains(t.out, R"(odd\xff\xc3 name\x0a\x1b[31mred\xe2\x80\xae.mp3: MP3 audio, 64 kbit/s)")) << t.out;
    EXPECT_EQ(std::count(t.out.begin(), t.out.end(), '\n'), 4);  // two lines per file, none from the name
    EXPECT_FALSE(contains(t.out, "\x1b"));

    // The complaint about a missing file prints the name as safely.
    const Outcome m = mprobe({(s.dir() / "gone\x07\xff").string()});
    EXPECT_EQ(m.status, 1);
    EXPECT_TRUE(contains(m.err, R"(gone\x07\xff: cannot examine)")) << m.err;
}

TEST(MprobeReport, ContentDecidesAndANameAloneProvesNothing)
{
    Scratch s;
    const std::string words = "plain words, no media here\n";
    const std::string mp3 = slurp(kFixtures / "mp3" / "cbr128_44100_stereo_notag.mp3");
    const auto textGif = s.write("words.gif", words);
    const auto textBmp = s.write("BM words.bmp", "BM" + words);  // "BM" and then no DIB header
    const auto textDll = s.write("words.dll", "MZ" + std::string(100, 'x'));  // no PE signature
    // Raw MPEG audio after leading junk: only the name can say what it is.
    const auto junkMp3 = s.write("junk.mp3", std::string(333, '\0') + mp3);
    const auto junkBin = s.write("junk.bin", std::string(333, '\0') + mp3);

    const Outcome r = mprobe({"--json", textGif.string(), textBmp.string(), textDll.string(), junkMp3.string(),
                              junkBin.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    const auto o = jsonLines(r.out);
    ASSERT_EQ(o.size(), 5u);
    const char *claims[] = {"gif", "bmp", "pe-module"};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(o[i].dump());
        EXPECT_EQ(o[i]["type"], "other");
        EXPECT_EQ(o[i]["named_as"], claims[i]);
        EXPECT_FALSE(o[i].contains("error"));
    }
    EXPECT_EQ(o[3]["type"], "mp3");
    EXPECT_EQ(o[3]["mp3"]["bitrate_kbps"], 128);
    EXPECT_EQ(o[4]["type"], "other");
    EXPECT_FALSE(o[4].contains("named_as"));

    const Outcome t = mprobe({textGif.string()});
    EXPECT_TRUE(contains(t.out, "words.gif: file of no probed format, although named like a GIF picture")) << t.out;
}

TEST(MprobeReport, TimesAreTheFilesOwnFromBeforeTheProbeReadIt)
{
    Scratch s;
    const auto file = s.write("take.wav", slurp(kFixtures / "wave" / "pcm16_44100_stereo.wav"));
    // Access before modification: on a relatime mount the probe's read moves
    // the access time to now, so a stat taken after the probe would show that.
    const time_t accessed = 1000000000;        // 2001-09-09T01:46:40Z
    const time_t modified = 4102444800 + 59;   // 2100-01-01T00:00:59Z, past 2038
    setTimes(file, accessed, modified);

    const Outcome j = mprobe({"--json", file.string()});
    EXPECT_EQ(j.status, 0) << j.err;
    const auto o = jsonLines(j.out);
    ASSERT_EQ(o.size(), 1u);
    EXPECT_EQ(o[0]["accessed"], "2001-09-09T01:46:40Z");
    EXPECT_EQ(o[0]["accessed_epoch"], accessed);
    EXPECT_EQ(o[0]["modified"], "2100-01-01T00:00:59Z");
    EXPECT_EQ(o[0]["modified_epoch"], modified);
    EXPECT_EQ(o[0]["wave"]["channels"], 2);

    setTimes(file, accessed, modified);
    const Outcome t = mprobe({file.string()});
    EXPECT_TRUE(contains(t.out, "bytes, modified 2100-01-01T00:00:59Z, accessed 2001-09-09T01:46:40Z\n")) << t.out;
}

TEST(MprobeReport, FrameRateKeepsItsFraction)
{
    const Outcome r = mprobe({"--json", (kFixtures / "avi" / "video_2997fps_audio.avi").string()});
    EXPECT_EQ(r.status, 0) << r.err;
    const auto o = jsonLines(r.out);
    ASSERT_EQ(o.size(), 1u);
    const json &avi = o[0]["avi"];
    // ffmpeg writes 29.97 frames/s as 1000000 / 33366.
    EXPECT_EQ(avi["rate"], 1000000);
    EXPECT_EQ(avi["scale"], 33366);
    EXPECT_DOUBLE_EQ(avi["frame_rate"].get<double>(), 29.971);
    EXPECT_EQ(avi["duration_ms"], 334);

    const Outcome t = mprobe({(kFixtures / "avi" / "video_2997fps_audio.avi").string()});
    EXPECT_TRUE(contains(t.out, "AVI video, 334 ms, 32x24, 2 stream(s), 29.971 frames/s (rate 1000000 / scale 33366)"))
        << t.out;
}

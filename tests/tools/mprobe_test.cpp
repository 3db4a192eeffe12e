// Runs the installed-style mprobe binary over the committed fixtures and
// checks what it prints against the fixtures' known properties and against
// the library called directly.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <iterator>
#include <regex>

#include "mediaprobe.h"
#include "mprobe_run.h"

using namespace mprobe_test;

TEST(Mprobe, JsonGivesOneObjectPerMp3WithTheLibrarysAnswers)
{
    const auto files = fixtures("mp3", ".mp3");
    ASSERT_GE(files.size(), 5u);
    const Outcome r = mprobe([&] {
        std::vector<std::string> a{"--json"};
        a.insert(a.end(), files.begin(), files.end());
        return a;
    }());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const auto objects = jsonLines(r.out);  // every line is JSON: no stray library lines
    ASSERT_EQ(objects.size(), files.size());

    const std::regex named(R"(^(cbr|vbr)(\d+)?_(\d+)_)");
    for (size_t i = 0; i < files.size(); ++i) {
        const json &o = objects[i];
        SCOPED_TRACE(files[i]);
        EXPECT_EQ(o["path"], files[i]);
        EXPECT_EQ(o["type"], "mp3");
        EXPECT_EQ(o["size"], fs::file_size(files[i]));
        EXPECT_FALSE(o.contains("error"));

        // The encoder settings are in the name: cbr<kbps>_<rate>_ or vbr_<rate>_.
        std::smatch m;
        const std::string name = fs::path(files[i]).filename().string();
        ASSERT_TRUE(std::regex_search(name, m, named));
        EXPECT_EQ(o["mp3"]["sample_rate_hz"], std::stoi(m[3]));
        if (m[1] == "cbr") {
            EXPECT_EQ(o["mp3"]["bitrate_kbps"], std::stoi(m[2]));
        }

        int32_t kbps = -1, rate = -1, seconds = -1;
        ASSERT_TRUE(getMP3MetaInfo(files[i].c_str(), &kbps, &rate, nullptr, nullptr, nullptr, &seconds));
        EXPECT_EQ(o["mp3"]["bitrate_kbps"], kbps);
        EXPECT_EQ(o["mp3"]["duration_s"], seconds);

        // The frame walk's trace line is kept, but inside the object.
        const bool vbr = m[1] == "vbr";
        EXPECT_EQ(o.contains("library_output"), vbr);
        if (vbr) {
            EXPECT_EQ(o["library_output"], json::array({"getVBRInfo()"}));
        }
    }
}

TEST(Mprobe, PicturesReportTheSizesTheirNamesCarry)
{
    std::vector<std::string> files;
    for (const char *ext : {".jpg", ".gif", ".bmp"}) {
        const auto some = fixtures("images", ext);
        files.insert(files.end(), some.begin(), some.end());
    }
    ASSERT_GE(files.size(), 6u);
    std::vector<std::string> args{"--json"};
    args.insert(args.end(), files.begin(), files.end());
    const Outcome r = mprobe(args);
    EXPECT_EQ(r.status, 0) << r.err;
    const auto objects = jsonLines(r.out);
    ASSERT_EQ(objects.size(), files.size());
    const std::regex named(R"(^(jpeg|gif|bmp)\w*?_(\d+)x(-?\d+)\.)");
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i]);
        std::smatch m;
        const std::string name = fs::path(files[i]).filename().string();
        ASSERT_TRUE(std::regex_search(name, m, named));
        EXPECT_EQ(objects[i]["type"], m[1].str());
        EXPECT_EQ(objects[i][m[1].str()]["width"], std::stoi(m[2]));
        EXPECT_EQ(objects[i][m[1].str()]["height"], std::stoi(m[3]));
    }
}

TEST(Mprobe, PcmWavesReportWhatTheirNamesAndSizesImply)
{
    const auto all = fixtures("wave", ".wav");
    std::vector<std::string> files;
    std::copy_if(all.begin(), all.end(), std::back_inserter(files),
                 [](const std::string &f) { return fs::path(f).filename().string().rfind("pcm", 0) == 0; });
    ASSERT_GE(files.size(), 4u);
    std::vector<std::string> args{"--json"};
    args.insert(args.end(), files.begin(), files.end());
    const Outcome r = mprobe(args);
    EXPECT_EQ(r.status, 0) << r.err;
    const auto objects = jsonLines(r.out);
    ASSERT_EQ(objects.size(), files.size());
    const std::regex named(R"(^pcm(\d+)_(\d+)_(mono|stereo))");
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i]);
        std::smatch m;
        const std::string name = fs::path(files[i]).filename().string();
        ASSERT_TRUE(std::regex_search(name, m, named));
        const int bits = std::stoi(m[1]), rate = std::stoi(m[2]), channels = m[3] == "mono" ? 1 : 2;
        const json &w = objects[i]["wave"];
        EXPECT_EQ(objects[i]["type"], "wave");
        EXPECT_EQ(w["channels"], channels);
        EXPECT_EQ(w["sample_rate_hz"], rate);
        EXPECT_EQ(w["bits_per_sample"], bits);
        EXPECT_EQ(w["byte_rate"], rate * channels * bits / 8);
        EXPECT_EQ(w["riff_size"], fs::file_size(files[i]) - 8);
    }
}

TEST(Mprobe, AviVideosAndModulesFromTheirMakingScripts)
{
    const fs::path avi = kFixtures / "avi", pe = kFixtures / "pe";
    const Outcome r = mprobe({"--json", (avi / "video_25fps.avi").string(), (avi / "video_10fps_audio.avi").string(),
                              (avi / "audio_only.avi").string(), (pe / "version_e4_32.dll").string(),
                              (pe / "version_b0_64.dll").string(), (pe / "no_version_64.dll").string()});
    EXPECT_EQ(r.status, 1);  // the AVI without video
    const auto o = jsonLines(r.out);
    ASSERT_EQ(o.size(), 6u);
    // Ten 32x24 frames at 25 and at 10 frames per second; the second has sound too.
    EXPECT_EQ(o[0]["avi"]["duration_ms"], 400);
    EXPECT_EQ(o[0]["avi"]["width"], 32);
    EXPECT_EQ(o[0]["avi"]["height"], 24);
    EXPECT_EQ(o[0]["avi"]["frame_rate"], 25);
    EXPECT_EQ(o[0]["avi"]["streams"], 1);
    EXPECT_EQ(o[1]["avi"]["duration_ms"], 1000);
    EXPECT_EQ(o[1]["avi"]["frame_rate"], 10);
    EXPECT_EQ(o[1]["avi"]["streams"], 2);
    EXPECT_EQ(o[2]["type"], "avi");
    EXPECT_TRUE(o[2].contains("error"));
    EXPECT_TRUE(contains(r.err, "audio_only.avi: getAVIinfo found no AVI file with a video stream")) << r.err;
    // FileVersion under 040904E4, then under the module's only translation.
    EXPECT_EQ(o[3]["type"], "pe-module");
    EXPECT_EQ(o[3]["pe-module"]["file_version"], "1.2.3.4");
    EXPECT_EQ(o[4]["pe-module"]["file_version"], "2.0.0.1");
    EXPECT_TRUE(o[5]["pe-module"]["file_version"].is_null());
    EXPECT_FALSE(o[5].contains("error"));
}

TEST(Mprobe, ContentDecidesBeforeTheExtension)
{
    Scratch s;
    const std::string mp3 = slurp(kFixtures / "mp3" / "cbr64_44100_mono.mp3");
    const std::string gif = slurp(kFixtures / "images" / "gif87a_45x27.gif");
    const auto mp3AsGif = s.write("tone.gif", mp3);
    const auto gifAsMp3 = s.write("picture.mp3", gif);
    const auto text = s.write("notes.txt", "plain words, no media here\n");
    // Words named like a picture are no picture: the JPEG probe never sees them.
    const auto fakeJpeg = s.write("photo.JPG", "plain words, no media here\n");

    const Outcome r = mprobe({"--json", mp3AsGif.string(), gifAsMp3.string(), text.string(), fakeJpeg.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    const auto o = jsonLines(r.out);
    ASSERT_EQ(o.size(), 4u);
    EXPECT_EQ(o[0]["type"], "mp3");
    EXPECT_EQ(o[0]["mp3"]["bitrate_kbps"], 64);
    EXPECT_EQ(o[1]["type"], "gif");
    EXPECT_EQ(o[1]["gif"]["width"], 45);
    EXPECT_EQ(o[2]["type"], "other");
    EXPECT_EQ(o[2]["size"], 27);
    EXPECT_FALSE(o[2].contains("error"));
    EXPECT_FALSE(o[2].contains("named_as"));
    EXPECT_EQ(o[3]["type"], "other");
    EXPECT_EQ(o[3]["named_as"], "jpeg");
    EXPECT_FALSE(o[3].contains("error"));
    EXPECT_FALSE(o[3].contains("library_output"));
}

TEST(Mprobe, FilesThatCannotBeProbedFailAtTheEndWhileTheRestArePrinted)
{
    Scratch s;
    const auto zeros = s.write("silence.mp3", std::string(4096, '\0'));
    const std::string missing = (s.dir() / "missing.wav").string();
    const std::string good = (kFixtures / "mp3" / "cbr128_44100_stereo_notag.mp3").string();

    const Outcome j = mprobe({"--json", missing, zeros.string(), good});
    EXPECT_EQ(j.status, 1);
    const auto o = jsonLines(j.out);
    ASSERT_EQ(o.size(), 3u);
    EXPECT_FALSE(o[0].contains("type"));
    EXPECT_TRUE(contains(o[0]["error"], "No such file")) << o[0];
    EXPECT_EQ(o[1]["type"], "mp3");
    EXPECT_TRUE(o[1].contains("error"));
    EXPECT_EQ(o[1]["size"], 4096);
    EXPECT_EQ(o[2]["mp3"]["bitrate_kbps"], 128);
    EXPECT_TRUE(contains(j.err, missing + ": cannot examine")) << j.err;
    EXPECT_TRUE(contains(j.err, zeros.string() + ": no pair of MPEG audio frames")) << j.err;
    EXPECT_TRUE(contains(j.err, "2 of 3 file(s) could not be probed")) << j.err;

    // The same in text: the good file is printed, the others only complained about.
    const Outcome h = mprobe({missing, good, zeros.string()});
    EXPECT_EQ(h.status, 1);
    EXPECT_TRUE(contains(h.out, good + ": MP3 audio, 128 kbit/s, 44100 Hz")) << h.out;
    EXPECT_FALSE(contains(h.out, missing));
    EXPECT_TRUE(contains(h.err, "2 of 3 file(s)")) << h.err;
}

TEST(Mprobe, TextOutputKeepsLibraryLinesOutAndCoversFolders)
{
    const std::string vbr = (kFixtures / "mp3" / "vbr_44100_stereo.mp3").string();
    const std::string folder = (kFixtures / "mp3").string();
    const Outcome r = mprobe({vbr, folder});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(contains(r.out, "getVBRInfo()"));
    EXPECT_TRUE(contains(r.out, vbr + ": MP3 audio, ")) << r.out;
    EXPECT_TRUE(contains(r.out, folder + ": directory\n")) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(\d+ bytes, modified \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ, accessed \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")))
        << r.out;

    const Outcome v = mprobe({"--verbose", vbr});
    EXPECT_EQ(v.status, 0);
    EXPECT_TRUE(contains(v.err, "library printed \"getVBRInfo()\"")) << v.err;
}

TEST(Mprobe, SpecialAndHugeFilesAreHandledWithoutOpeningOrTruncating)
{
    Scratch s;
    // A pipe named like an MP3 would block a reader forever.
    const std::string fifo = (s.dir() / "stream.mp3").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // 5 GiB, sparse: the library's 32-bit size would say 1 GiB.
    const std::string huge = (s.dir() / "huge.bin").string();
    std::error_code ec;
    fs::resize_file(s.write("huge.bin", ""), 5ull << 30, ec);
    ASSERT_FALSE(ec) << ec.message();

    const Outcome r = mprobe({"--json", fifo, huge});  // a hang here fails by the test's time limit
    EXPECT_EQ(r.status, 0) << r.err;
    const auto o = jsonLines(r.out);
    ASSERT_EQ(o.size(), 2u);
    EXPECT_EQ(o[0]["type"], "other");
    EXPECT_EQ(o[1]["size"], 5ull << 30);
}

TEST(Mprobe, CommandLine)
{
    const Outcome none = mprobe({});
    EXPECT_EQ(none.status, 2);
    EXPECT_TRUE(contains(none.err, "FILE is required")) << none.err;

    const Outcome version = mprobe({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("mprobe ") + MP_VERSION + "\n");

    const Outcome help = mprobe({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(contains(help.out, "--json")) << help.out;

    EXPECT_EQ(mprobe({"--no-such-option", "x"}).status, 2);
}

// mediaprobe against in-process peers on the same files, warm page cache.
//
// Inputs come from bench/prepare_data.sh; MP_BENCH_DATA names their folder.
// Every benchmark checks that its library answered and shows the answer as a
// counter, so the table can show that the peers agree on what they measured.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <MediaInfo/MediaInfo.h>
#include <stb/stb_image.h>
#include <taglib/mpegfile.h>
#include <taglib/mpegproperties.h>

#include "mediaprobe.h"

namespace {

std::string dataDir()
{
    const char *dir = std::getenv("MP_BENCH_DATA");
    return dir != nullptr ? dir : "/tmp/mp-bench-data";
}

std::string dataPath(const char *name) { return dataDir() + "/" + name; }

// The variable-bitrate walk prints a fixed trace line on standard output for
// every call. Google Benchmark reports on standard output too, so the line is
// sent to /dev/null only while the measured calls run.
class StdoutToDevNull {
public:
    StdoutToDevNull()
    {
        std::fflush(stdout);
        saved_ = ::dup(STDOUT_FILENO);
        const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && devNull >= 0)
            ::dup2(devNull, STDOUT_FILENO);
        if (devNull >= 0)
            ::close(devNull);
    }
    ~StdoutToDevNull()
    {
        std::fflush(stdout);
        if (saved_ >= 0) {
            ::dup2(saved_, STDOUT_FILENO);
            ::close(saved_);
        }
    }
    StdoutToDevNull(const StdoutToDevNull &) = delete;
    StdoutToDevNull &operator=(const StdoutToDevNull &) = delete;

private:
    int saved_ = -1;
};

int64_t fileSize(const std::string &path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

std::wstring widen(const std::string &s) { return std::wstring(s.begin(), s.end()); }

// ---- MP3 ----------------------------------------------------------------

void mp3Mediaprobe(benchmark::State &state, const char *name, bool vbr)
{
    const std::string path = dataPath(name);
    int32_t kbps = 0, rate = 0, seconds = 0;
    {
        StdoutToDevNull quiet;  // only the "getVBRInfo()" lines go there
        for (auto _ : state) {
            if (getMP3MetaInfo(path.c_str(), &kbps, &rate, nullptr, nullptr, nullptr,
                               &seconds) != 1) {
                state.SkipWithError("getMP3MetaInfo failed");
                break;
            }
            benchmark::DoNotOptimize(kbps);
        }
    }
    state.counters["kbps"] = kbps;
    state.counters["seconds"] = seconds;
    if (vbr)
        state.SetBytesProcessed(state.iterations() * fileSize(path));
}

void mp3TagLib(benchmark::State &state, const char *name, bool vbr)
{
    const std::string path = dataPath(name);
    int kbps = 0, seconds = 0;
    for (auto _ : state) {
        TagLib::MPEG::File file(path.c_str(), true, TagLib::AudioProperties::Average);
        const TagLib::MPEG::Properties *props = file.audioProperties();
        if (props == nullptr) {
            state.SkipWithError("TagLib found no audio properties");
            break;
        }
        kbps = props->bitrate();
        seconds = props->lengthInSeconds();
        benchmark::DoNotOptimize(props->sampleRate());
    }
    state.counters["kbps"] = kbps;
    state.counters["seconds"] = seconds;
    if (vbr)
        state.SetBytesProcessed(state.iterations() * fileSize(path));
}

// MediaInfoLib with its default settings, the object reused across calls.
void mediaInfoField(benchmark::State &state, const char *name, MediaInfoLib::stream_t stream,
                    const wchar_t *field, const char *counter)
{
    const std::wstring path = widen(dataPath(name));
    MediaInfoLib::MediaInfo mi;
    std::wstring value;
    for (auto _ : state) {
        if (mi.Open(path) == 0) {
            state.SkipWithError("MediaInfo could not open the file");
            break;
        }
        value = mi.Get(stream, 0, field);
        mi.Close();
        benchmark::DoNotOptimize(value.data());
    }
    state.counters[counter] = std::wcstod(value.c_str(), nullptr);
}

void mp3MediaInfo(benchmark::State &state, const char *name, bool vbr)
{
    mediaInfoField(state, name, MediaInfoLib::Stream_Audio, L"BitRate", "bit_per_s");
    if (vbr)
        state.SetBytesProcessed(state.iterations() * fileSize(dataPath(name)));
}

// What any probe of a file must do at least: open, fstat, one 16 KiB pread,
// close.
bool readFloor(const std::string &path, std::vector<uint8_t> &buffer)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    const bool ok = ::fstat(fd, &st) == 0 &&
                    ::pread(fd, buffer.data(), 16 * 1024, 0) == std::min<ssize_t>(st.st_size, 16 * 1024);
    ::close(fd);
    return ok;
}

// The floor of any walk over a whole file: plain read into one reused 1 MiB
// buffer, every byte of it.
bool plainRead(const std::string &path, std::vector<uint8_t> &buffer)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t n = 0;
    while ((n = ::read(fd, buffer.data(), buffer.size())) > 0)
        benchmark::DoNotOptimize(buffer.data());
    ::close(fd);
    return n == 0;
}

bool taglibProbe(const std::string &path)
{
    TagLib::MPEG::File file(path.c_str(), true, TagLib::AudioProperties::Average);
    const TagLib::MPEG::Properties *props = file.audioProperties();
    return props != nullptr && props->bitrate() > 0;
}

bool mediaprobeProbe(const std::string &path)
{
    int32_t kbps = 0, rate = 0, seconds = 0;
    return getMP3MetaInfo(path.c_str(), &kbps, &rate, nullptr, nullptr, nullptr, &seconds) == 1;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// One contender of the MP3 rounds: a batch of calls timed together.
struct Mp3Contender {
    std::string name;
    std::function<bool()> call;
    int batch;
    double bytes;  // per call, for a rate; 0: report µs per call only
    std::vector<double> usPerCall;
};

// getMP3MetaInfo, TagLib and the floors take turns, round after round, so
// that the load of the shared machine hits them alike; each contender's
// figures are the medians of its rounds.
void mp3InTurn(benchmark::State &state)
{
    std::vector<uint8_t> small(16 * 1024), large(1 << 20);
    std::vector<Mp3Contender> contenders;
    struct File {
        const char *label, *name;
        int batch;
    };
    for (const File &f : {File{"cbr", "cbr128.mp3", 200}, File{"cbr_id3v2", "cbr128_id3.mp3", 200},
                          File{"vbr_small", "vbr_v2.mp3", 40}}) {
        const std::string path = dataPath(f.name), label = f.label;
        contenders.push_back({label + "_mediaprobe", [path] { return mediaprobeProbe(path); }, f.batch, 0, {}});
        contenders.push_back({label + "_taglib", [path] { return taglibProbe(path); }, f.batch, 0, {}});
        contenders.push_back({label + "_read_floor", [path, &small] { return readFloor(path, small); },
                              f.batch, 0, {}});
    }
    const std::string small950k = dataPath("vbr_v2.mp3");
    contenders.push_back({"vbr_small_plain_read", [small950k, &large] { return plainRead(small950k, large); },
                          40, 0, {}});
    const std::string big = dataPath("vbr_big.mp3");
    const auto bigSize = static_cast<double>(fileSize(big));
    contenders.push_back({"vbr_100MB_mediaprobe", [big] { return mediaprobeProbe(big); }, 1, bigSize, {}});
    contenders.push_back({"vbr_100MB_plain_read", [big, &large] { return plainRead(big, large); }, 1,
                          bigSize, {}});

    StdoutToDevNull quiet;  // the walk's "getVBRInfo()" lines
    for (Mp3Contender &c : contenders) {  // untimed: warms caches, checks answers
        if (!c.call()) {
            state.SkipWithError((c.name + " failed").c_str());
            return;
        }
    }
    for (auto _ : state) {
        for (int round = 0; round < 15; ++round) {
            for (Mp3Contender &c : contenders) {
                const auto start = std::chrono::steady_clock::now();
                bool ok = true;
                for (int i = 0; i < c.batch; ++i)
                    ok = c.call() && ok;
                const std::chrono::duration<double, std::micro> spent =
                    std::chrono::steady_clock::now() - start;
                if (!ok) {
                    state.SkipWithError((c.name + " failed").c_str());
                    return;
                }
                c.usPerCall.push_back(spent.count() / c.batch);
            }
        }
    }
    for (const Mp3Contender &c : contenders) {
        const double us = median(c.usPerCall);
        state.counters[c.name + "_us"] = us;
        if (c.bytes > 0)
            state.counters[c.name + "_MBps"] = c.bytes / us;
    }
}

// ---- Pictures, WAVE, AVI --------------------------------------------------

template <typename Probe>
void probeLoop(benchmark::State &state, const char *what, Probe probe)
{
    for (auto _ : state) {
        if (!probe()) {
            state.SkipWithError(what);
            break;
        }
    }
}

void stbInfo(benchmark::State &state, const char *name)
{
    const std::string path = dataPath(name);
    int w = 0, h = 0, comp = 0;
    probeLoop(state, "stbi_info failed",
              [&] { return stbi_info(path.c_str(), &w, &h, &comp) != 0; });
    state.counters["width"] = w;
    state.counters["height"] = h;
}

void pictureMediaInfo(benchmark::State &state, const char *name)
{
    mediaInfoField(state, name, MediaInfoLib::Stream_Image, L"Width", "width");
}

void jpegMediaprobe(benchmark::State &state, const char *name)
{
    const std::string path = dataPath(name);
    int32_t h = 0, w = 0;
    probeLoop(state, "getJPEGMetaInfo failed",
              [&] { return getJPEGMetaInfo(path.c_str(), &h, &w) == 1; });
    state.counters["width"] = w;
    state.counters["height"] = h;
}
void gifMediaprobe(benchmark::State &state, const char *name)
{
    const std::string path = dataPath(name);
    uint16_t w = 0, h = 0;
    probeLoop(state, "getGIFMetaInfo failed",
              [&] { return getGIFMetaInfo(path.c_str(), &w, &h) == 1; });
    state.counters["width"] = w;
    state.counters["height"] = h;
}
void bmpMediaprobe(benchmark::State &state, const char *name)
{
    const std::string path = dataPath(name);
    int32_t w = 0, h = 0;
    probeLoop(state, "getBMPMetaInfo failed",
              [&] { return getBMPMetaInfo(path.c_str(), &w, &h) == 1; });
    state.counters["width"] = w;
    state.counters["height"] = h;
}
void wavMediaprobe(benchmark::State &state, const char *name)
{
    const std::string path = dataPath(name);
    uint32_t channels = 0, rate = 0, byteRate = 0, bits = 0, riff = 0;
    probeLoop(state, "getWAVMetaInfo failed", [&] {
        return getWAVMetaInfo(path.c_str(), &channels, &rate, &byteRate, &bits, &riff) == 1;
    });
    state.counters["sample_rate"] = rate;
}
void aviMediaprobe(benchmark::State &state, const char *name)
{
    const std::string path = dataPath(name);
    int32_t ms = -1;
    uint32_t w = 0, h = 0, rate = 0, flags = 0, caps = 0, streams = 0, buf = 0, scale = 0,
             rateOut = 0, edits = 0, fps = 0;
    probeLoop(state, "getAVIinfo gave no duration", [&] {
        ms = -1;
        getAVIinfo(path.c_str(), &ms, &w, &h, &rate, &flags, &caps, &streams, &buf, &scale,
                   &rateOut, &edits, &fps, nullptr, nullptr);
        return ms >= 0;
    });
    state.counters["width"] = w;
    state.counters["duration_ms"] = ms;
}

void registerAll()
{
    struct Mp3Input {
        const char *label;
        const char *file;
        bool vbr;
    };
    const Mp3Input mp3[] = {
        {"cbr", "cbr128.mp3", false},
        {"cbr_id3v2", "cbr128_id3.mp3", false},
        {"vbr_small", "vbr_v2.mp3", true},
        {"vbr_100MB", "vbr_big.mp3", true},
    };
    for (const Mp3Input &in : mp3) {
        const std::string base = std::string("mp3/") + in.label + "/";
        benchmark::RegisterBenchmark((base + "mediaprobe").c_str(), mp3Mediaprobe, in.file, in.vbr)->UseRealTime();
        benchmark::RegisterBenchmark((base + "taglib").c_str(), mp3TagLib, in.file, in.vbr);
        benchmark::RegisterBenchmark((base + "mediainfo").c_str(), mp3MediaInfo, in.file, in.vbr);
    }
    benchmark::RegisterBenchmark("mp3/in_turn", mp3InTurn)->Iterations(1)->UseRealTime();

    benchmark::RegisterBenchmark("wav/mediaprobe", wavMediaprobe, "pcm16_44100_stereo.wav");
    benchmark::RegisterBenchmark("wav/mediainfo", [](benchmark::State &s) {
        mediaInfoField(s, "pcm16_44100_stereo.wav", MediaInfoLib::Stream_Audio, L"SamplingRate",
                       "sample_rate");
    });
    benchmark::RegisterBenchmark("avi/mediaprobe", aviMediaprobe, "clip.avi");
    benchmark::RegisterBenchmark("avi/mediainfo", [](benchmark::State &s) {
        mediaInfoField(s, "clip.avi", MediaInfoLib::Stream_Video, L"Width", "width");
    });

    struct Picture {
        const char *label;
        const char *file;
        void (*probe)(benchmark::State &, const char *);
    };
    const Picture pictures[] = {
        {"jpeg", "photo.jpg", jpegMediaprobe},
        {"gif", "picture.gif", gifMediaprobe},
        {"bmp", "picture.bmp", bmpMediaprobe},
    };
    for (const Picture &p : pictures) {
        const std::string base = std::string(p.label) + "/";
        benchmark::RegisterBenchmark((base + "mediaprobe").c_str(), p.probe, p.file);
        benchmark::RegisterBenchmark((base + "mediainfo").c_str(), pictureMediaInfo, p.file);
        benchmark::RegisterBenchmark((base + "stbi_info").c_str(), stbInfo, p.file);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

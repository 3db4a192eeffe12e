#include "probes.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "mediaprobe.h"

LibraryOutput::LibraryOutput() : sink(memfd_create("mprobe-library-output", MFD_CLOEXEC)) {}

LibraryOutput::~LibraryOutput()
{
    if (sink >= 0) close(sink);
}

namespace {

struct Redirect {
    int savedOut, savedErr;
};

Redirect redirectInto(int sink)
{
    std::fflush(stdout);
    std::fflush(stderr);
    const Redirect saved{dup(STDOUT_FILENO), dup(STDERR_FILENO)};
    (void)!ftruncate(sink, 0);
    lseek(sink, 0, SEEK_SET);
    dup2(sink, STDOUT_FILENO);
    dup2(sink, STDERR_FILENO);
    return saved;
}

void restore(const Redirect &saved, int sink, std::vector<std::string> &lines)
{
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(saved.savedOut, STDOUT_FILENO);
    dup2(saved.savedErr, STDERR_FILENO);
    close(saved.savedOut);
    close(saved.savedErr);
    std::string text;
    char buf[512];
    off_t at = 0;
    for (ssize_t n; (n = pread(sink, buf, sizeof buf, at)) > 0; at += n) text.append(buf, static_cast<size_t>(n));
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = std::min(text.find('\n', start), text.size());
        if (end > start) lines.push_back(text.substr(start, end - start));
    }
}

template <typename Call> auto captured(LibraryOutput &out, std::vector<std::string> &lines, Call call)
{
    const Redirect saved = redirectInto(out.sink);
    auto result = call();
    restore(saved, out.sink, lines);
    return result;
}

void probeMp3(Report &r, LibraryOutput &out)
{
    int32_t kbps = 0, rate = 0, seconds = 0;
    const unsigned char ok = captured(out, r.libraryLines, [&] {
        return getMP3MetaInfo(r.path.c_str(), &kbps, &rate, nullptr, nullptr, nullptr, &seconds);
    });
    if (!ok) {
        r.error = "no pair of MPEG audio frames that getMP3MetaInfo can use";
        return;
    }
    r.fields = {{"bitrate_kbps", kbps}, {"sample_rate_hz", rate}, {"duration_s", seconds}};
    r.summary = std::to_string(kbps) + " kbit/s, " + std::to_string(rate) + " Hz, " + std::to_string(seconds) + " s";
}

void probeWave(Report &r, LibraryOutput &out)
{
    uint32_t channels = 0, rate = 0, byteRate = 0, bits = 0, riffSize = 0;
    const unsigned char ok = captured(out, r.libraryLines, [&] {
        return getWAVMetaInfo(r.path.c_str(), &channels, &rate, &byteRate, &bits, &riffSize);
    });
    if (!ok) {
        r.error = "no RIFF WAVE format chunk that getWAVMetaInfo can read";
        return;
    }
    r.fields = {{"channels", channels},    {"sample_rate_hz", rate}, {"byte_rate", byteRate},
                {"bits_per_sample", bits}, {"riff_size", riffSize}};
    r.summary = std::to_string(channels) + " channel(s), " + std::to_string(rate) + " Hz, " + std::to_string(bits) +
                " bits, " + std::to_string(byteRate) + " bytes/s, RIFF size " + std::to_string(riffSize);
}

// rate/scale to three decimals, e.g. 30000/1001 = 29.97; whole rates stay integers.
json frameRate(uint32_t rate, uint32_t scale, uint32_t libraryFps)
{
    if (scale == 0) return libraryFps;
    if (rate % scale == 0) return rate / scale;
    return std::round(double(rate) / double(scale) * 1000.0) / 1000.0;
}

std::string numberText(const json &number)
{
    if (number.is_number_integer() || number.is_number_unsigned()) return number.dump();
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", number.get<double>());
    std::string s = text;
    s.erase(s.find_last_not_of('0') + 1);
    if (s.back() == '.') s.pop_back();
    return s;
}

void probeAvi(Report &r, LibraryOutput &out)
{
    // getAVIinfo always answers 1 and leaves outputs it could not fill alone,
    // so markers tell what it learned.
    constexpr int32_t kNoDuration = INT32_MIN;
    constexpr uint32_t kUnset = UINT32_MAX;
    int32_t durationMs = kNoDuration;
    uint32_t width = kUnset, height = kUnset, dataRate = kUnset, flags = kUnset, caps = kUnset, streams = kUnset,
             bufferSize = kUnset, scale = kUnset, rate = kUnset, edits = kUnset, fps = kUnset;
    captured(out, r.libraryLines, [&] {
        return getAVIinfo(r.path.c_str(), &durationMs, &width, &height, &dataRate, &flags, &caps, &streams,
                          &bufferSize, &scale, &rate, &edits, &fps, nullptr, nullptr);
    });
    if (durationMs == kNoDuration) {
        r.error = "getAVIinfo found no AVI file with a video stream";
        return;
    }
    r.fields = {{"duration_ms", durationMs}};
    r.summary = std::to_string(durationMs) + " ms";
    const bool headerRead = width != kUnset || height != kUnset || streams != kUnset || rate != kUnset;
    if (!headerRead) {
        r.summary += " (file information unavailable)";
        return;
    }
    const json perSecond = frameRate(rate, scale, fps);
    r.fields.update({{"width", width},       {"height", height},         {"data_rate_kBps", dataRate},
                     {"flags", flags},       {"caps", caps},             {"streams", streams},
                     {"buffer_size", bufferSize}, {"scale", scale},      {"rate", rate},
                     {"edit_count", edits},  {"frame_rate", perSecond}});
    r.summary += ", " + std::to_string(width) + "x" + std::to_string(height) + ", " + std::to_string(streams) +
                 " stream(s), " + numberText(perSecond) + " frames/s (rate " + std::to_string(rate) + " / scale " +
                 std::to_string(scale) + "), max " + std::to_string(dataRate) + " kB/s";
}

void setPicture(Report &r, int64_t width, int64_t height)
{
    r.fields = {{"width", width}, {"height", height}};
    r.summary = std::to_string(width) + "x" + std::to_string(height);
}

void probeJpeg(Report &r, LibraryOutput &out)
{
    int32_t height = 0, width = 0;
    const int32_t ok = captured(out, r.libraryLines, [&] { return getJPEGMetaInfo(r.path.c_str(), &height, &width); });
    if (!ok) {
        // The probe prints "fail" exactly when the start-of-image marker is missing.
        const auto &lines = r.libraryLines;
        const bool noStart = std::find(lines.begin(), lines.end(), "fail") != lines.end();
        r.error = noStart ? "no JPEG start-of-image marker" : "no JPEG frame header before the scan, or the file ends early";
        return;
    }
    setPicture(r, width, height);
}

void probeGif(Report &r, LibraryOutput &out)
{
    uint16_t width = 0, height = 0;
    const int32_t ok = captured(out, r.libraryLines, [&] { return getGIFMetaInfo(r.path.c_str(), &width, &height); });
    if (!ok) {
        r.error = "too short for a GIF header (getGIFMetaInfo failed)";
        return;
    }
    setPicture(r, width, height);
}

void probeBmp(Report &r, LibraryOutput &out)
{
    int32_t width = 0, height = 0;
    const int32_t ok = captured(out, r.libraryLines, [&] { return getBMPMetaInfo(r.path.c_str(), &width, &height); });
    if (!ok) {
        r.error = "no complete BMP headers (getBMPMetaInfo failed)";
        return;
    }
    setPicture(r, width, height);
    // A negative height marks rows stored top-down; the picture is as tall either way.
    if (height < 0) r.summary = std::to_string(width) + "x" + std::to_string(-int64_t{height}) + ", stored top-down";
}

// The first translation's FileVersion, for modules whose text is not under
// US English / Windows Latin-1, which is all the one-call export looks at.
std::string fileVersionOfFirstTranslation(const char *path)
{
    uint32_t handle = 0;
    const uint32_t size = exported_GetFileVersionInfoSize(path, &handle);
    if (size == 0) return {};
    std::vector<unsigned char> block(size);
    if (!exported_GetFileVersionInfo(path, handle, size, block.data())) return {};
    void *value = nullptr;
    uint32_t length = 0;
    if (!exported_VerQueryValue(block.data(), "\\VarFileInfo\\Translation", &value, &length) || length < 4)
        return {};
    const auto *pair = static_cast<const unsigned char *>(value);
    char key[64];
    std::snprintf(key, sizeof key, "\\StringFileInfo\\%02X%02X%02X%02X\\FileVersion", pair[1], pair[0], pair[3],
                  pair[2]);
    if (!exported_VerQueryValue(block.data(), key, &value, &length) || length == 0) return {};
    return std::string(static_cast<const char *>(value), strnlen(static_cast<const char *>(value), length));
}

void probeModule(Report &r, LibraryOutput &out)
{
    char text[256] = {};
    const int32_t found = captured(out, r.libraryLines, [&] {
        return exported_GetFileVersionInfo_FileVersion(r.path.c_str(), text, sizeof text - 1);
    });
    std::string version = found ? std::string(text) : std::string();
    if (version.empty())
        version = captured(out, r.libraryLines, [&] { return fileVersionOfFirstTranslation(r.path.c_str()); });
    if (version.empty()) {
        r.fields = {{"file_version", nullptr}};
        r.summary = "no version text";
        return;
    }
    r.fields = {{"file_version", version}};
    r.summary = "file version " + version;
}

// Content decides; a regular file is opened without waiting, so one that
// turned into a pipe since the stat cannot block.
bool chooseKind(Report &r, const struct stat &st)
{
    if (S_ISDIR(st.st_mode)) r.kind = Kind::Directory;
    if (!S_ISREG(st.st_mode)) return true;  // pipes, sockets, devices: not opened
    const int fd = open(r.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    const std::optional<Kind> kind = fd >= 0 ? kindFromContent(fd, r.path) : std::nullopt;
    const int readError = errno;
    if (fd >= 0) close(fd);
    if (!kind) {
        r.error = std::string("cannot read: ") + std::strerror(readError);
        return false;
    }
    r.kind = *kind;
    if (r.kind == Kind::Other) r.namedAs = kindFromExtension(r.path);
    return true;
}

}  // namespace

Report probeFile(const std::string &path, LibraryOutput &out)
{
    Report r;
    r.path = path;
    struct stat st {};
    // Times come from this stat, before anything here reads the file.
    if (stat(path.c_str(), &st) != 0) {
        r.error = std::string("cannot examine: ") + std::strerror(errno);
        return r;
    }
    r.examined = true;
    r.accessed = st.st_atim;
    r.modified = st.st_mtim;
    const int64_t size = getFileSize64(path.c_str());
    r.size = size >= 0 ? size : st.st_size;  // gone since the stat: keep what the stat saw
    if (!chooseKind(r, st)) return r;
    switch (r.kind) {
    case Kind::Mp3: probeMp3(r, out); break;
    case Kind::Wave: probeWave(r, out); break;
    case Kind::Avi: probeAvi(r, out); break;
    case Kind::Jpeg: probeJpeg(r, out); break;
    case Kind::Gif: probeGif(r, out); break;
    case Kind::Bmp: probeBmp(r, out); break;
    case Kind::Module: probeModule(r, out); break;
    case Kind::Directory:
    case Kind::Other: break;
    }
    return r;
}

// mprobe: prints what libmediaprobe learns about each file named on the
// command line, as text or as one JSON object per line.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "mediaprobe.h"

namespace {

// Keys stay in the order they were added: path and type first.
using json = nlohmann::ordered_json;

enum class Kind { Mp3, Wave, Avi, Jpeg, Gif, Bmp, Module, Directory, Other };

const char *kindName(Kind k)
{
    switch (k) {
    case Kind::Mp3: return "mp3";
    case Kind::Wave: return "wave";
    case Kind::Avi: return "avi";
    case Kind::Jpeg: return "jpeg";
    case Kind::Gif: return "gif";
    case Kind::Bmp: return "bmp";
    case Kind::Module: return "pe-module";
    case Kind::Directory: return "directory";
    case Kind::Other: return "other";
    }
    return "other";
}

const char *kindLabel(Kind k)
{
    switch (k) {
    case Kind::Mp3: return "MP3 audio";
    case Kind::Wave: return "WAVE audio";
    case Kind::Avi: return "AVI video";
    case Kind::Jpeg: return "JPEG picture";
    case Kind::Gif: return "GIF picture";
    case Kind::Bmp: return "BMP picture";
    case Kind::Module: return "Windows module";
    case Kind::Directory: return "directory";
    case Kind::Other: return "file of no probed format";
    }
    return "file";
}

// ---- Choosing the probe -------------------------------------------------

constexpr size_t kHeadBytes = 16;

bool startsWith(const std::vector<unsigned char> &head, size_t at, const char *magic)
{
    const size_t n = std::strlen(magic);
    return head.size() >= at + n && std::memcmp(head.data() + at, magic, n) == 0;
}

std::optional<Kind> kindFromSignature(const std::vector<unsigned char> &head)
{
    if (startsWith(head, 0, "RIFF") && startsWith(head, 8, "WAVE")) return Kind::Wave;
    if (startsWith(head, 0, "RIFF") && startsWith(head, 8, "AVI ")) return Kind::Avi;
    if (startsWith(head, 0, "GIF87a") || startsWith(head, 0, "GIF89a")) return Kind::Gif;
    if (startsWith(head, 0, "\xFF\xD8\xFF")) return Kind::Jpeg;
    if (startsWith(head, 0, "BM") && head.size() >= 14) return Kind::Bmp;
    if (startsWith(head, 0, "MZ")) return Kind::Module;
    if (startsWith(head, 0, "ID3")) return Kind::Mp3;
    // An MPEG audio frame sync: eleven set bits.
    if (head.size() >= 2 && head[0] == 0xFF && (head[1] & 0xE0) == 0xE0) return Kind::Mp3;
    return std::nullopt;
}

std::string lowerExtension(const std::string &path)
{
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    std::string ext = path.substr(dot + 1);
    for (char &c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

Kind kindFromExtension(const std::string &path)
{
    const std::string ext = lowerExtension(path);
    if (ext == "mp3" || ext == "mp2" || ext == "mpga") return Kind::Mp3;
    if (ext == "wav" || ext == "wave") return Kind::Wave;
    if (ext == "avi") return Kind::Avi;
    if (ext == "jpg" || ext == "jpeg" || ext == "jpe") return Kind::Jpeg;
    if (ext == "gif") return Kind::Gif;
    if (ext == "bmp" || ext == "dib") return Kind::Bmp;
    if (ext == "exe" || ext == "dll" || ext == "sys" || ext == "ocx" || ext == "drv") return Kind::Module;
    return Kind::Other;
}

// Reads the first bytes; nullopt with errno set when the file cannot be read.
std::optional<std::vector<unsigned char>> readHead(const std::string &path)
{
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return std::nullopt;
    std::vector<unsigned char> head(kHeadBytes);
    head.resize(std::fread(head.data(), 1, head.size(), f));
    std::fclose(f);
    return head;
}

// ---- Keeping the library's fixed diagnostic lines apart ------------------

// The probes print a few fixed lines on standard output and standard error.
// While a probe runs, both descriptors point at a memory file; the lines
// are handed back so that they never mix with the tool's own output.
class LibraryOutput {
public:
    LibraryOutput() : sink_(memfd_create("mprobe-library-output", MFD_CLOEXEC)) {}
    ~LibraryOutput()
    {
        if (sink_ >= 0) close(sink_);
    }
    LibraryOutput(const LibraryOutput &) = delete;
    LibraryOutput &operator=(const LibraryOutput &) = delete;

    bool usable() const { return sink_ >= 0; }

    template <typename Call> auto capture(Call call, std::vector<std::string> &lines)
    {
        std::cout.flush();
        std::fflush(stdout);
        std::fflush(stderr);
        const int savedOut = dup(STDOUT_FILENO);
        const int savedErr = dup(STDERR_FILENO);
        (void)!ftruncate(sink_, 0);
        lseek(sink_, 0, SEEK_SET);
        dup2(sink_, STDOUT_FILENO);
        dup2(sink_, STDERR_FILENO);
        auto result = call();
        std::fflush(stdout);
        std::fflush(stderr);
        dup2(savedOut, STDOUT_FILENO);
        dup2(savedErr, STDERR_FILENO);
        close(savedOut);
        close(savedErr);
        collect(lines);
        return result;
    }

private:
    void collect(std::vector<std::string> &lines) const
    {
        std::string text;
        char buf[512];
        off_t at = 0;
        for (ssize_t n; (n = pread(sink_, buf, sizeof buf, at)) > 0; at += n)
            text.append(buf, static_cast<size_t>(n));
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            if (end > start) lines.push_back(text.substr(start, end - start));
            start = end + 1;
        }
    }

    int sink_;
};

// ---- One probe per kind -------------------------------------------------

struct Report {
    std::string path;
    bool examined = false;  // stat worked, so the type means something
    int64_t statSize = 0;
    Kind kind = Kind::Other;
    json fields = json::object();  // the kind's properties
    std::string summary;           // the same, for people
    std::string error;             // empty when the probe worked
    std::vector<std::string> libraryLines;
};

void probeMp3(Report &r, LibraryOutput &out)
{
    int32_t kbps = 0, rate = 0, seconds = 0;
    const unsigned char ok = out.capture(
        [&] { return getMP3MetaInfo(r.path.c_str(), &kbps, &rate, nullptr, nullptr, nullptr, &seconds); },
        r.libraryLines);
    if (!ok) {
        r.error = "no pair of MPEG audio frames that getMP3MetaInfo can use";
        return;
    }
    r.fields = {{"bitrate_kbps", kbps}, {"sample_rate_hz", rate}, {"duration_s", seconds}};
    r.summary = std::to_string(kbps) + " kbit/s, " + std::to_string(rate) + " Hz, " +
                std::to_string(seconds) + " s";
}

void probeWave(Report &r, LibraryOutput &out)
{
    uint32_t channels = 0, rate = 0, byteRate = 0, bits = 0, riffSize = 0;
    const unsigned char ok = out.capture(
        [&] { return getWAVMetaInfo(r.path.c_str(), &channels, &rate, &byteRate, &bits, &riffSize); },
        r.libraryLines);
    if (!ok) {
        r.error = "no RIFF WAVE format chunk that getWAVMetaInfo can read";
        return;
    }
    r.fields = {{"channels", channels},        {"sample_rate_hz", rate}, {"byte_rate", byteRate},
                {"bits_per_sample", bits},     {"riff_size", riffSize}};
    r.summary = std::to_string(channels) + " channel(s), " + std::to_string(rate) + " Hz, " +
                std::to_string(bits) + " bits, " + std::to_string(byteRate) + " bytes/s, RIFF size " +
                std::to_string(riffSize);
}

void probeAvi(Report &r, LibraryOutput &out)
{
    // getAVIinfo always answers 1 and leaves outputs it could not fill alone,
    // so markers tell what it learned.
    constexpr int32_t kNoDuration = INT32_MIN;
    constexpr uint32_t kUnset = UINT32_MAX;
    int32_t durationMs = kNoDuration;
    uint32_t width = kUnset, height = kUnset, dataRate = kUnset, flags = kUnset, caps = kUnset,
             streams = kUnset, bufferSize = kUnset, scale = kUnset, rate = kUnset, edits = kUnset,
             fps = kUnset;
    out.capture(
        [&] {
            return getAVIinfo(r.path.c_str(), &durationMs, &width, &height, &dataRate, &flags, &caps,
                              &streams, &bufferSize, &scale, &rate, &edits, &fps, nullptr, nullptr);
        },
        r.libraryLines);
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
    r.fields.update({{"width", width},           {"height", height},       {"data_rate_kBps", dataRate},
                     {"flags", flags},           {"caps", caps},           {"streams", streams},
                     {"buffer_size", bufferSize}, {"scale", scale},         {"rate", rate},
                     {"edit_count", edits},      {"frame_rate", fps}});
    r.summary += ", " + std::to_string(width) + "x" + std::to_string(height) + ", " +
                 std::to_string(streams) + " stream(s), " + std::to_string(fps) + " frames/s (rate " +
                 std::to_string(rate) + " / scale " + std::to_string(scale) + "), max " +
                 std::to_string(dataRate) + " kB/s";
}

void setPicture(Report &r, int64_t width, int64_t height)
{
    r.fields = {{"width", width}, {"height", height}};
    r.summary = std::to_string(width) + "x" + std::to_string(height);
}

void probeJpeg(Report &r, LibraryOutput &out)
{
    int32_t height = 0, width = 0;
    const int32_t ok = out.capture([&] { return getJPEGMetaInfo(r.path.c_str(), &height, &width); },
                                   r.libraryLines);
    if (!ok) {
        // The probe prints "fail" exactly when the start-of-image marker is missing.
        const bool noStart = std::find(r.libraryLines.begin(), r.libraryLines.end(), "fail") != r.libraryLines.end();
        r.error = noStart ? "no JPEG start-of-image marker"
                          : "no JPEG frame header before the scan, or the file ends early";
        return;
    }
    setPicture(r, width, height);
}

void probeGif(Report &r, LibraryOutput &out)
{
    uint16_t width = 0, height = 0;
    const int32_t ok = out.capture([&] { return getGIFMetaInfo(r.path.c_str(), &width, &height); },
                                   r.libraryLines);
    if (!ok) {
        r.error = "too short for a GIF header (getGIFMetaInfo failed)";
        return;
    }
    setPicture(r, width, height);
}

void probeBmp(Report &r, LibraryOutput &out)
{
    int32_t width = 0, height = 0;
    const int32_t ok = out.capture([&] { return getBMPMetaInfo(r.path.c_str(), &width, &height); },
                                   r.libraryLines);
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
    if (!exported_VerQueryValue(block.data(), "\\VarFileInfo\\Translation", &value, &length) ||
        length < 4)
        return {};
    const auto *pair = static_cast<const unsigned char *>(value);
    char key[64];
    std::snprintf(key, sizeof key, "\\StringFileInfo\\%02X%02X%02X%02X\\FileVersion", pair[1], pair[0],
                  pair[3], pair[2]);
    if (!exported_VerQueryValue(block.data(), key, &value, &length) || length == 0) return {};
    return std::string(static_cast<const char *>(value), strnlen(static_cast<const char *>(value), length));
}

void probeModule(Report &r, LibraryOutput &out)
{
    char text[256] = {};
    const int32_t found = out.capture(
        [&] { return exported_GetFileVersionInfo_FileVersion(r.path.c_str(), text, sizeof text - 1); },
        r.libraryLines);
    std::string version = found ? std::string(text) : std::string();
    if (version.empty())
        version = out.capture([&] { return fileVersionOfFirstTranslation(r.path.c_str()); }, r.libraryLines);
    if (version.empty()) {
        r.fields = {{"file_version", nullptr}};
        r.summary = "no version text";
        return;
    }
    r.fields = {{"file_version", version}};
    r.summary = "file version " + version;
}

// ---- Size and access time, for anything --------------------------------

std::string utcText(int32_t seconds, const char *format)
{
    const std::time_t t = seconds;
    std::tm tm{};
    char text[40] = "?";
    if (gmtime_r(&t, &tm)) std::strftime(text, sizeof text, format, &tm);
    return text;
}

Report probe(const std::string &path, LibraryOutput &out)
{
    Report r;
    r.path = path;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        r.error = std::string("cannot examine: ") + std::strerror(errno);
        return r;
    }
    r.examined = true;
    r.statSize = st.st_size;
    if (S_ISDIR(st.st_mode)) {
        r.kind = Kind::Directory;
    } else if (!S_ISREG(st.st_mode)) {
        // Pipes, sockets and devices: opening one could wait forever.
        r.kind = Kind::Other;
    } else {
        const auto head = readHead(path);
        if (!head) {
            r.error = std::string("cannot read: ") + std::strerror(errno);
            return r;
        }
        r.kind = kindFromSignature(*head).value_or(kindFromExtension(path));
    }
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

void addFileFacts(Report &r, json &object, std::string &facts)
{
    // getFileSize answers with the low 32 bits of the size; past 2 GiB that
    // is wrong, so the tool's own stat speaks for such files.
    const int64_t size = r.statSize > INT32_MAX ? r.statSize : getFileSize(r.path.c_str());
    int32_t accessed = 0;
    const bool haveTime = getDIRinfo(r.path.c_str(), &accessed) != 0;
    if (size >= 0) {
        object["size"] = size;
        facts = std::to_string(size) + " bytes";
    }
    if (haveTime) {
        object["accessed"] = utcText(accessed, "%Y-%m-%dT%H:%M:%SZ");
        object["accessed_epoch"] = accessed;
        facts += (facts.empty() ? "" : ", ") + std::string("accessed ") +
                 utcText(accessed, "%Y-%m-%d %H:%M:%S UTC");
    }
}

void printReport(Report &r, bool asJson, bool verbose)
{
    json object = {{"path", r.path}};
    std::string facts;
    if (r.examined) {
        object["type"] = kindName(r.kind);
        addFileFacts(r, object, facts);
    }
    if (!r.error.empty()) object["error"] = r.error;
    else if (!r.fields.empty()) object[kindName(r.kind)] = r.fields;
    if (!r.libraryLines.empty()) object["library_output"] = r.libraryLines;

    if (asJson) {
        std::cout << object.dump() << '\n';
    } else if (r.error.empty()) {
        std::cout << r.path << ": " << kindLabel(r.kind);
        if (!r.summary.empty()) std::cout << ", " << r.summary;
        std::cout << "\n    " << facts << '\n';
        if (verbose)
            for (const auto &line : r.libraryLines) std::cerr << "mprobe: " << r.path << ": library printed \"" << line << "\"\n";
    }
    if (!r.error.empty()) {
        std::cerr << "mprobe: " << r.path << ": " << r.error;
        for (const auto &line : r.libraryLines) std::cerr << " [" << line << "]";
        std::cerr << '\n';
    }
    std::cout.flush();
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app{"Prints what libmediaprobe learns about each FILE: MP3 bitrate, sample rate and "
                 "duration; WAVE and AVI properties; JPEG, GIF and BMP dimensions; the version text "
                 "of Windows modules; size and access time of anything. The probe is chosen by the "
                 "file's first bytes, then by its extension.",
                 "mprobe"};
    std::vector<std::string> files;
    bool asJson = false, verbose = false;
    app.add_option("FILE", files, "files to probe")->required();
    app.add_flag("--json", asJson, "print one JSON object per file, one per line");
    app.add_flag("-v,--verbose", verbose, "show the library's own diagnostic lines on standard error");
    app.set_version_flag("--version", "mprobe " MP_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? 0 : 2;
    }

    LibraryOutput out;
    if (!out.usable()) {
        std::cerr << "mprobe: cannot set aside the library's diagnostic lines: " << std::strerror(errno) << '\n';
        return 2;
    }
    size_t failed = 0;
    for (const auto &path : files) {
        Report r = probe(path, out);
        if (!r.error.empty()) ++failed;
        printReport(r, asJson, verbose);
    }
    if (failed) {
        std::cerr << "mprobe: " << failed << " of " << files.size() << " file(s) could not be probed\n";
        return 1;
    }
    return 0;
}

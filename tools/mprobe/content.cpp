#include "content.h"

#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstring>

namespace {

constexpr size_t kHeadBytes = 64;
using Head = std::array<unsigned char, kHeadBytes>;

bool hasAt(const Head &head, size_t length, size_t at, const char *magic)
{
    const size_t n = std::strlen(magic);
    return length >= at + n && std::memcmp(head.data() + at, magic, n) == 0;
}

uint32_t le32(const unsigned char *p)
{
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// "BM" starts plenty of text; the DIB header that follows must have a size
// some version of the format defines.
bool isBmp(const Head &head, size_t length)
{
    if (!hasAt(head, length, 0, "BM") || length < 18) return false;
    switch (le32(&head[14])) {
    case 12: case 16: case 40: case 52: case 56: case 64: case 108: case 124: return true;
    default: return false;
    }
}

// A DOS stub alone carries no version resource; the PE signature it points to must be there.
bool isPeModule(int fd, const Head &head, size_t length)
{
    if (!hasAt(head, length, 0, "MZ") || length < 0x40) return false;
    char signature[4];
    const off_t at = le32(&head[0x3C]);
    return pread(fd, signature, sizeof signature, at) == 4 && std::memcmp(signature, "PE\0\0", 4) == 0;
}

// A plausible MPEG audio frame header: sync, a defined version and layer,
// a bitrate index other than "bad" and a defined sample rate.
bool isMpegFrame(const Head &head, size_t length)
{
    if (length < 4 || head[0] != 0xFF || (head[1] & 0xE0) != 0xE0) return false;
    const unsigned version = (head[1] >> 3) & 3u, layer = (head[1] >> 1) & 3u;
    const unsigned bitrate = head[2] >> 4, rate = (head[2] >> 2) & 3u;
    return version != 1 && layer != 0 && bitrate != 15 && rate != 3;
}

Kind kindFromHead(int fd, const Head &head, size_t length)
{
    if (hasAt(head, length, 0, "RIFF") && hasAt(head, length, 8, "WAVE")) return Kind::Wave;
    if (hasAt(head, length, 0, "RIFF") && hasAt(head, length, 8, "AVI ")) return Kind::Avi;
    if (hasAt(head, length, 0, "GIF87a") || hasAt(head, length, 0, "GIF89a")) return Kind::Gif;
    if (hasAt(head, length, 0, "\xFF\xD8\xFF")) return Kind::Jpeg;
    if (isBmp(head, length)) return Kind::Bmp;
    if (isPeModule(fd, head, length)) return Kind::Module;
    if (hasAt(head, length, 0, "ID3") || isMpegFrame(head, length)) return Kind::Mp3;
    return Kind::Other;
}

std::string lowerExtension(const std::string &path)
{
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    std::string ext = path.substr(dot + 1);
    for (char &c : ext)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return ext;
}

}  // namespace

const char *kindName(Kind kind)
{
    switch (kind) {
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

const char *kindLabel(Kind kind)
{
    switch (kind) {
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

std::optional<Kind> kindFromContent(int fd, const std::string &path)
{
    Head head{};
    const ssize_t got = pread(fd, head.data(), head.size(), 0);
    if (got < 0) return std::nullopt;
    const Kind kind = kindFromHead(fd, head, static_cast<size_t>(got));
    if (kind == Kind::Other && kindFromExtension(path) == Kind::Mp3) return Kind::Mp3;
    return kind;
}

// Picture dimensions without decoding: the JPEG marker walk up to the start
// of scan, the fixed GIF header and the two BMP headers. Only regular files
// are read, and a GIF or BMP must carry its signature.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "mediaprobe.h"
#include "platform/read_only_file.h"

namespace {

// A stdio stream over path when it is a regular file with content. The
// open does not wait, so a FIFO without a writer is refused instead of
// blocking the call; reads of a regular file ignore that flag.
std::FILE *openRegularFile(const char *path)
{
    ReadOnlyFile file;
    if (path == nullptr || !openReadOnlyFile(path, file))
        return nullptr;
    std::FILE *stream = ::fdopen(file.fd, "rb");
    if (stream != nullptr)
        file.fd = -1;  // the stream owns the descriptor now
    return stream;
}

// The stdio stream of one probe call, closed on every way out.
struct StdioFile {
    std::FILE *stream;

    explicit StdioFile(const char *path) : stream(openRegularFile(path)) {}
    ~StdioFile()
    {
        if (stream != nullptr)
            std::fclose(stream);
    }
    StdioFile(const StdioFile &) = delete;
    StdioFile &operator=(const StdioFile &) = delete;
};

// ---- JPEG ------------------------------------------------------------------

constexpr int kMarkerPrefix = 0xFF;
constexpr int kStartOfScan = 0xDA;
// Start of frame, kinds 0 to 3 (baseline, extended, progressive, lossless):
// the only frame headers whose dimensions are taken.
constexpr int kFirstFrameCode = 0xC0;
constexpr int kLastFrameCode = 0xC3;
// Segments up to this length are skipped by reading, longer ones by a seek.
constexpr long kSkipByReading = 4096;

// A big-endian 16-bit field, as the bytes lie, turned into a host value.
bool readBigEndian16(std::FILE *stream, uint16_t &value)
{
    uint16_t raw = 0;
    if (std::fread(&raw, 1, sizeof raw, stream) != sizeof raw)
        return false;
    value = ntohs(raw);
    return true;
}

bool skipToMarkerPrefix(std::FILE *stream)
{
    for (;;) {
        const int byte = std::fgetc(stream);
        if (byte == EOF)
            return false;
        if (byte == kMarkerPrefix)
            return true;
    }
}

// The code after a marker prefix, past any 0xFF fill bytes; EOF at the end.
int readMarkerCode(std::FILE *stream)
{
    int byte = std::fgetc(stream);
    while (byte == kMarkerPrefix)
        byte = std::fgetc(stream);
    return byte;
}

// Length, precision, lines, samples per line. Height is stored as soon as it
// is read. Returns the precision byte, which takes the place of the marker
// code in the walk, or EOF when the segment is cut short.
int readFrameHeader(std::FILE *stream, int32_t *heightOut, int32_t *widthOut)
{
    uint16_t length = 0, lines = 0, samples = 0;
    if (!readBigEndian16(stream, length))
        return EOF;
    const int precision = std::fgetc(stream);
    if (precision == EOF)
        return EOF;
    if (!readBigEndian16(stream, lines))
        return EOF;
    *heightOut = lines;
    if (!readBigEndian16(stream, samples))
        return EOF;
    *widthOut = samples;
    return precision;
}

// The length counts its own two bytes, so 0 and 1 step back by 2 and 1. That
// never loops: the walk then searches forward from the length field, whose
// bytes are not 0xFF, so the next marker lies beyond this one. A step past the
// end surfaces as end of file at the next read.
bool skipSegment(std::FILE *stream)
{
    uint16_t length = 0;
    if (!readBigEndian16(stream, length))
        return false;
    const long step = static_cast<long>(length) - 2;
    // A seek costs a system call even when the bytes are already buffered,
    // and most segments are; short steps forward are read past instead. A
    // short read here leaves end of file for the next read, as a seek past
    // the end does.
    if (step > 0 && step <= kSkipByReading) {
        unsigned char discard[kSkipByReading];
        (void)std::fread(discard, 1, static_cast<size_t>(step), stream);
    } else {
        (void)std::fseek(stream, step, SEEK_CUR);
    }
    return true;
}

int32_t walkMarkers(std::FILE *stream, int32_t *heightOut, int32_t *widthOut)
{
    unsigned char start[2];
    if (std::fread(start, 1, sizeof start, stream) != sizeof start)
        return 0;
    if (start[0] != 0xFF || start[1] != 0xD8) {
        std::fputs("fail\n", stdout);
        return 0;
    }
    int current = std::fgetc(stream);
    if (current == EOF)
        return 0;
    while (current != kStartOfScan) {
        if (current != kMarkerPrefix && !skipToMarkerPrefix(stream))
            return 0;
        current = readMarkerCode(stream);
        if (current == EOF)
            return 0;
        if (current >= kFirstFrameCode && current <= kLastFrameCode) {
            current = readFrameHeader(stream, heightOut, widthOut);
            if (current == EOF)
                return 0;
        } else if (!skipSegment(stream)) {
            return 0;
        }
    }
    return 1;
}

// ---- GIF -------------------------------------------------------------------

constexpr size_t kGifHeaderLength = 10;  // signature, version, screen size
constexpr char kGif87a[] = "GIF87a";
constexpr char kGif89a[] = "GIF89a";
constexpr size_t kGifSignatureLength = 6;
constexpr size_t kGifWidthAt = 6;
constexpr size_t kGifHeightAt = 8;

// ---- BMP -------------------------------------------------------------------

constexpr uint16_t kBmpType = 0x4D42;  // "BM"

struct BmpFileHeader {
    uint16_t type;
    uint32_t fileSize;
    uint16_t reserved1;
    uint16_t reserved2;
    uint32_t pixelDataOffset;
};

// Every field is kept 32 bits wide; narrower fields in the file are
// zero-extended. Width and height are signed in the file unless the header is
// the 12-byte core form. The last eight fields end the 64-byte extended form.
struct BmpInfoHeader {
    uint32_t size;
    uint32_t width;
    uint32_t height;
    uint32_t planes;
    uint32_t bitsPerPixel;
    uint32_t compression;
    uint32_t imageSize;
    uint32_t xResolution;
    uint32_t yResolution;
    uint32_t coloursUsed;
    uint32_t coloursImportant;
    uint32_t units;
    uint32_t reserved;
    uint32_t recording;
    uint32_t rendering;
    uint32_t halftoneSize1;
    uint32_t halftoneSize2;
    uint32_t colourEncoding;
    uint32_t identifier;
};

constexpr uint32_t kBmpCoreHeaderMax = 12;  // up to here width and height are 16-bit
constexpr uint32_t kBmpKnownHeaderLength = 64;

// The fields after the size, in file order, with their width in the file
// outside the core form.
struct BmpInfoField {
    uint32_t BmpInfoHeader::*member;
    uint32_t bytes;
};

constexpr BmpInfoField kBmpInfoFields[] = {
    {&BmpInfoHeader::width, 4},         {&BmpInfoHeader::height, 4},
    {&BmpInfoHeader::planes, 2},        {&BmpInfoHeader::bitsPerPixel, 2},
    {&BmpInfoHeader::compression, 4},   {&BmpInfoHeader::imageSize, 4},
    {&BmpInfoHeader::xResolution, 4},   {&BmpInfoHeader::yResolution, 4},
    {&BmpInfoHeader::coloursUsed, 4},   {&BmpInfoHeader::coloursImportant, 4},
    {&BmpInfoHeader::units, 2},         {&BmpInfoHeader::reserved, 2},
    {&BmpInfoHeader::recording, 2},     {&BmpInfoHeader::rendering, 2},
    {&BmpInfoHeader::halftoneSize1, 4}, {&BmpInfoHeader::halftoneSize2, 4},
    {&BmpInfoHeader::colourEncoding, 4}, {&BmpInfoHeader::identifier, 4},
};
constexpr size_t kBmpCoreNarrowFields = 2;  // width and height

// Little-endian fields, one byte at a time, first byte lowest.
bool readLittleEndian(std::FILE *stream, uint32_t bytes, uint32_t &value)
{
    value = 0;
    for (uint32_t i = 0; i < bytes; ++i) {
        const int byte = std::fgetc(stream);
        if (byte == EOF)
            return false;
        value |= static_cast<uint32_t>(byte) << (8 * i);
    }
    return true;
}

bool readLittleEndian16(std::FILE *stream, uint16_t &value)
{
    uint32_t wide = 0;
    if (!readLittleEndian(stream, 2, wide))
        return false;
    value = static_cast<uint16_t>(wide);
    return true;
}

bool readBmpFileHeader(std::FILE *stream, BmpFileHeader &header)
{
    return readLittleEndian16(stream, header.type) &&
           readLittleEndian(stream, 4, header.fileSize) &&
           readLittleEndian16(stream, header.reserved1) &&
           readLittleEndian16(stream, header.reserved2) &&
           readLittleEndian(stream, 4, header.pixelDataOffset);
}

// Reads fields until as many bytes as the header declares have been consumed;
// a header longer than the known fields is skipped to its end.
bool readBmpInfoHeader(std::FILE *stream, BmpInfoHeader &header)
{
    header = BmpInfoHeader{};
    if (!readLittleEndian(stream, 4, header.size))
        return false;
    const bool core = header.size <= kBmpCoreHeaderMax;
    uint32_t consumed = 4;
    for (size_t i = 0; i < std::size(kBmpInfoFields); ++i) {
        const BmpInfoField &field = kBmpInfoFields[i];
        const uint32_t bytes = (core && i < kBmpCoreNarrowFields) ? 2 : field.bytes;
        if (!readLittleEndian(stream, bytes, header.*field.member))
            return false;
        consumed += bytes;
        if (consumed >= header.size)
            return true;
    }
    const long rest = static_cast<long>(header.size - kBmpKnownHeaderLength);
    return std::fseek(stream, rest, SEEK_CUR) == 0;
}

}  // namespace

extern "C" int32_t getJPEGMetaInfo(const char *path, int32_t *heightOut, int32_t *widthOut)
{
    if (path == nullptr || heightOut == nullptr || widthOut == nullptr)
        return 0;
    StdioFile file(path);
    if (file.stream == nullptr)
        return 0;
    return walkMarkers(file.stream, heightOut, widthOut);
}

extern "C" int32_t getGIFMetaInfo(const char *path, uint16_t *widthOut, uint16_t *heightOut)
{
    if (path == nullptr || widthOut == nullptr || heightOut == nullptr)
        return 0;
    StdioFile file(path);
    if (file.stream == nullptr)
        return 0;
    unsigned char header[kGifHeaderLength];
    if (std::fread(header, 1, sizeof header, file.stream) != sizeof header)
        return 0;
    if (std::memcmp(header, kGif87a, kGifSignatureLength) != 0 &&
        std::memcmp(header, kGif89a, kGifSignatureLength) != 0)
        return 0;
    // The bytes as they lie: little-endian in the file, and so for the caller.
    std::memcpy(widthOut, header + kGifWidthAt, 2);
    std::memcpy(heightOut, header + kGifHeightAt, 2);
    return 1;
}

extern "C" int32_t getBMPMetaInfo(const char *path, int32_t *widthOut, int32_t *heightOut)
{
    if (widthOut == nullptr || heightOut == nullptr)
        return 0;
    *widthOut = 0;
    *heightOut = 0;
    if (path == nullptr)
        return 0;
    StdioFile file(path);
    if (file.stream == nullptr)
        return 0;
    BmpFileHeader fileHeader{};
    BmpInfoHeader infoHeader{};
    if (!readBmpFileHeader(file.stream, fileHeader) || fileHeader.type != kBmpType ||
        !readBmpInfoHeader(file.stream, infoHeader))
        return 0;
    *widthOut = static_cast<int32_t>(infoHeader.width);
    *heightOut = static_cast<int32_t>(infoHeader.height);
    return 1;
}

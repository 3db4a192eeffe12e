#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <chrono>
#include <fcntl.h>
#include <functional>
#include <iterator>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

#include "mediaprobe.h"
#include "scratch_file.h"

namespace fs = std::filesystem;

namespace {

const fs::path kImageDir = fs::path(MP_FIXTURES_DIR) / "images";
constexpr int32_t kUntouched = -7;

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// ---- JPEG ------------------------------------------------------------------

struct Jpeg {
    int32_t result = kUntouched;
    int32_t height = kUntouched, width = kUntouched;
    std::string out;
};

Jpeg probeJpeg(const char *path)
{
    Jpeg j;
    testing::internal::CaptureStdout();
    j.result = getJPEGMetaInfo(path, &j.height, &j.width);
    j.out = testing::internal::GetCapturedStdout();
    return j;
}

Jpeg probeJpeg(const std::vector<uint8_t> &bytes)
{
    ScratchFile file(bytes);
    return probeJpeg(file.path());
}

const std::vector<uint8_t> kSoi = {0xFF, 0xD8};
const std::vector<uint8_t> kSos = {0xFF, 0xDA, 0x00, 0x02};

// A frame header of the given code: 8-bit precision, one component.
std::vector<uint8_t> frame(uint8_t code, uint16_t height, uint16_t width)
{
    return {0xFF, code, 0x00, 0x0B, 0x08, uint8_t(height >> 8), uint8_t(height), uint8_t(width >> 8),
            uint8_t(width), 0x01, 0x01, 0x11, 0x00};
}

TEST(JpegProbe, MeasuresPicturesMadeByImageMagick)
{
    struct Case {
        const char *file;
        int32_t width, height;
    };
    for (const Case &c : {Case{"jpeg_baseline_37x23.jpg", 37, 23},
                          Case{"jpeg_progressive_41x29.jpg", 41, 29},
                          Case{"jpeg_exif_xmp_43x31.jpg", 43, 31},  // its 11x9 thumbnail is skipped
                          Case{"jpeg_fill_bytes_47x33.jpg", 47, 33}}) {
        const Jpeg j = probeJpeg((kImageDir / c.file).c_str());
        EXPECT_EQ(j.result, 1) << c.file;
        EXPECT_EQ(j.height, c.height) << c.file;
        EXPECT_EQ(j.width, c.width) << c.file;
        EXPECT_EQ(j.out, "") << c.file;
    }
}

TEST(JpegProbe, OnlyAMissingStartOfImageSaysFail)
{
    for (const std::vector<uint8_t> &start : {std::vector<uint8_t>{0xFF, 0x00}, {0x00, 0xD8}}) {
        const Jpeg j = probeJpeg(start + frame(0xC0, 23, 37) + kSos);
        EXPECT_EQ(j.result, 0);
        EXPECT_EQ(j.out, "fail\n");
        EXPECT_EQ(j.height, kUntouched);
    }
    // Too short to judge, not there at all, or broken later: silent failures.
    for (const std::vector<uint8_t> &bytes : {std::vector<uint8_t>{}, {0xFF}, kSoi, kSoi + frame(0xC0, 23, 37)}) {
        const Jpeg j = probeJpeg(bytes);
        EXPECT_EQ(j.result, 0);
        EXPECT_EQ(j.out, "");
    }
    EXPECT_EQ(probeJpeg((kImageDir / "no-such.jpg").c_str()).out, "");
}

TEST(JpegProbe, OnlyFrameKindsZeroToThreeCarryTheSize)
{
    for (uint8_t code : std::initializer_list<uint8_t>{0xC0, 0xC1, 0xC2, 0xC3}) {
        const Jpeg j = probeJpeg(kSoi + frame(code, 61453, 37) + kSos);
        EXPECT_EQ(j.result, 1) << int(code);
        EXPECT_EQ(j.height, 61453) << int(code);
        EXPECT_EQ(j.width, 37) << int(code);
    }
    // Other frame kinds, Huffman and arithmetic tables are segments to skip.
    for (uint8_t code : std::initializer_list<uint8_t>{0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xCB, 0xCC, 0xCD, 0xCE, 0xCF}) {
        const Jpeg j = probeJpeg(kSoi + frame(code, 61453, 37) + kSos);
        EXPECT_EQ(j.result, 1) << int(code);
        EXPECT_EQ(j.height, kUntouched) << int(code);
        EXPECT_EQ(j.width, kUntouched) << int(code);
    }
    // The last frame before the scan wins.
    const Jpeg j = probeJpeg(kSoi + frame(0xC0, 9, 11) + frame(0xC2, 23, 37) + kSos);
    EXPECT_EQ(j.result, 1);
    EXPECT_EQ(j.height, 23);
    EXPECT_EQ(j.width, 37);
}

TEST(JpegProbe, TruncationAfterTheFrameKeepsWhatWasRead)
{
    Jpeg j = probeJpeg(kSoi + frame(0xC0, 23, 37));
    EXPECT_EQ(j.result, 0);
    EXPECT_EQ(j.height, 23);
    EXPECT_EQ(j.width, 37);

    std::vector<uint8_t> cut = kSoi + frame(0xC0, 23, 37);
    cut.resize(cut.size() - 6);  // ends inside the width
    j = probeJpeg(cut);
    EXPECT_EQ(j.result, 0);
    EXPECT_EQ(j.height, 23);
    EXPECT_EQ(j.width, kUntouched);

    // A scan marker without its length is not reached.
    j = probeJpeg(kSoi + frame(0xC0, 23, 37) + std::vector<uint8_t>{0xFF, 0xDA, 0x00});
    EXPECT_EQ(j.result, 0);
}

TEST(JpegProbe, WalkFollowsTheByteRules)
{
    // A scan marker as third byte ends the walk at once.
    Jpeg j = probeJpeg({0xFF, 0xD8, 0xDA});
    EXPECT_EQ(j.result, 1);
    EXPECT_EQ(j.height, kUntouched);

    // Lengths 0 and 1 step back into the length field; the search for the
    // next marker then runs forward and finds the frame.
    for (uint8_t low : std::initializer_list<uint8_t>{0x00, 0x01}) {
        j = probeJpeg(kSoi + std::vector<uint8_t>{0xFF, 0xE0, 0x00, low} + frame(0xC0, 23, 37) + kSos);
        EXPECT_EQ(j.result, 1) << int(low);
        EXPECT_EQ(j.width, 37) << int(low);
    }

    // Garbage between segments is passed over on the way to the next 0xFF.
    j = probeJpeg(kSoi + std::vector<uint8_t>{0x12, 0x34} + frame(0xC1, 23, 37) +
                  std::vector<uint8_t>{0x00, 0xFF, 0xFF, 0xFF, 0xDA, 0x00, 0x02});
    EXPECT_EQ(j.result, 1);
    EXPECT_EQ(j.height, 23);

    // The precision byte stands in for the marker code after a frame: 0xFF
    // makes the byte after the width a marker code, 0xDA ends the walk.
    std::vector<uint8_t> bytes = kSoi + std::vector<uint8_t>{0xFF, 0xC0, 0x00, 0x0B, 0xFF, 0x00, 23, 0x00,
                                                             37, 0xDA, 0x00, 0x02};
    j = probeJpeg(bytes);
    EXPECT_EQ(j.result, 1);
    EXPECT_EQ(j.width, 37);
    bytes = kSoi + std::vector<uint8_t>{0xFF, 0xC0, 0x00, 0x0B, 0xDA, 0x00, 23, 0x00, 37};
    j = probeJpeg(bytes);
    EXPECT_EQ(j.result, 1);
    EXPECT_EQ(j.height, 23);
}

// A segment of the given code whose length field says `length`, filled with
// bytes that hold no marker prefix.
std::vector<uint8_t> segment(uint8_t code, uint16_t length)
{
    std::vector<uint8_t> bytes = {0xFF, code, uint8_t(length >> 8), uint8_t(length)};
    bytes.resize(2u + length, 0x5A);
    return bytes;
}

TEST(JpegProbe, SegmentsOfEveryLengthAreSteppedOverWhole)
{
    // Short segments are read past, long ones (an embedded thumbnail) sought
    // past; either way the walk lands on the next marker.
    for (uint16_t length : std::initializer_list<uint16_t>{2, 3, 4097, 4098, 4099, 60000}) {
        Jpeg j = probeJpeg(kSoi + segment(0xFE, 5000) + segment(0xE1, length) +
                           frame(0xC2, 29, 41) + kSos);
        EXPECT_EQ(j.result, 1) << length;
        EXPECT_EQ(j.height, 29) << length;
        EXPECT_EQ(j.width, 41) << length;
    }
    // A segment that claims more bytes than the file holds ends the walk at
    // the end of the file, without a frame.
    for (uint16_t length : std::initializer_list<uint16_t>{100, 4098, 30000}) {
        std::vector<uint8_t> cut = kSoi + segment(0xE1, length) + frame(0xC0, 23, 37) + kSos;
        cut.resize(kSoi.size() + 4 + length / 2);
        Jpeg j = probeJpeg(cut);
        EXPECT_EQ(j.result, 0) << length;
        EXPECT_EQ(j.height, kUntouched) << length;
    }
}

// ---- GIF -------------------------------------------------------------------

TEST(GifProbe, MeasuresPicturesMadeByImageMagick)
{
    struct Case {
        const char *file;
        uint16_t width, height;
    };
    for (const Case &c : {Case{"gif87a_45x27.gif", 45, 27}, Case{"gif89a_300x17.gif", 300, 17}}) {
        uint16_t width = 0, height = 0;
        EXPECT_EQ(getGIFMetaInfo((kImageDir / c.file).c_str(), &width, &height), 1) << c.file;
        EXPECT_EQ(width, c.width) << c.file;
        EXPECT_EQ(height, c.height) << c.file;
    }
}

TEST(GifProbe, CopiesTwoBytesOfTheHeader)
{
    // Width bytes 0x00 0x01 are 256; the neighbours of each output stay.
    ScratchFile wide({'G', 'I', 'F', '8', '9', 'a', 0x00, 0x01, 0x02, 0x00});
    uint16_t area[4] = {0xAAAA, 0xAAAA, 0xAAAA, 0xAAAA};
    EXPECT_EQ(getGIFMetaInfo(wide.path(), &area[0], &area[2]), 1);
    EXPECT_EQ(area[0], 256);
    EXPECT_EQ(area[1], 0xAAAA);
    EXPECT_EQ(area[2], 2);
    EXPECT_EQ(area[3], 0xAAAA);

    ScratchFile nine({'G', 'I', 'F', '8', '9', 'a', 1, 0, 1});
    uint16_t width = 0xAAAA, height = 0xAAAA;
    EXPECT_EQ(getGIFMetaInfo(nine.path(), &width, &height), 0);
    EXPECT_EQ(width, 0xAAAA);
    EXPECT_EQ(getGIFMetaInfo((kImageDir / "no-such.gif").c_str(), &width, &height), 0);
}

TEST(GifProbe, AnythingButGif87aOrGif89aIsRefusedUntouched)
{
    const std::vector<uint8_t> size = {0x2D, 0x00, 0x1B, 0x00};
    auto withStart = [&](const std::string &start) {
        return std::vector<uint8_t>(start.begin(), start.end()) + size;
    };
    const std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A,
                                      0x00, 0x00, 0x00, 0x0D, 'I', 'H', 'D', 'R'};
    const std::string text = "plain text";
    for (const std::vector<uint8_t> &bytes :
         {std::vector<uint8_t>(text.begin(), text.end()), png, withStart("GIF88a"),
          withStart("gif89a"), withStart("GIF89b"), withStart(" GIF89")}) {
        ScratchFile file(bytes);
        uint16_t width = 0xAAAA, height = 0xAAAA;
        EXPECT_EQ(getGIFMetaInfo(file.path(), &width, &height), 0);
        EXPECT_EQ(width, 0xAAAA);
        EXPECT_EQ(height, 0xAAAA);
    }
    for (const char *start : {"GIF87a", "GIF89a"}) {
        ScratchFile file(withStart(start));
        uint16_t width = 0, height = 0;
        EXPECT_EQ(getGIFMetaInfo(file.path(), &width, &height), 1) << start;
        EXPECT_EQ(width, 45) << start;
        EXPECT_EQ(height, 27) << start;
    }
}

// ---- BMP -------------------------------------------------------------------

void putLE(std::vector<uint8_t> &bytes, uint32_t value, int size)
{
    for (int i = 0; i < size; ++i)
        bytes.push_back(uint8_t(value >> (8 * i)));
}

// File header, then an information header of declared size S whose width and
// height take `dim` bytes each, then `tail` bytes of further fields.
std::vector<uint8_t> bmp(uint32_t size, int dim, uint32_t width, uint32_t height, size_t tail,
                         uint16_t type = 0x4D42)
{
    std::vector<uint8_t> bytes;
    putLE(bytes, type, 2);
    putLE(bytes, 1000, 4);
    putLE(bytes, 0, 4);
    putLE(bytes, 14 + size, 4);
    putLE(bytes, size, 4);
    putLE(bytes, width, dim);
    putLE(bytes, height, dim);
    bytes.resize(bytes.size() + tail, 0x5A);
    return bytes;
}

struct Bmp {
    int32_t result = kUntouched;
    int32_t width = kUntouched, height = kUntouched;
};

Bmp probeBmp(const std::vector<uint8_t> &bytes)
{
    ScratchFile file(bytes);
    Bmp b;
    b.result = getBMPMetaInfo(file.path(), &b.width, &b.height);
    return b;
}

TEST(BmpProbe, MeasuresPicturesMadeByImageMagick)
{
    struct Case {
        const char *file;
        int32_t width, height;
    };
    for (const Case &c : {Case{"bmp_core12_301x43.bmp", 301, 43}, Case{"bmp_info40_67x47.bmp", 67, 47},
                          Case{"bmp_v4_108_71x53.bmp", 71, 53}, Case{"bmp_v5_124_73x59.bmp", 73, 59},
                          Case{"bmp_topdown40_79x-61.bmp", 79, -61}}) {
        int32_t width = kUntouched, height = kUntouched;
        EXPECT_EQ(getBMPMetaInfo((kImageDir / c.file).c_str(), &width, &height), 1) << c.file;
        EXPECT_EQ(width, c.width) << c.file;
        EXPECT_EQ(height, c.height) << c.file;
    }
}

TEST(BmpProbe, FieldWidthsFollowTheHeaderSize)
{
    // Core form: 16-bit unsigned fields, read to the end of bits per pixel.
    Bmp b = probeBmp(bmp(12, 2, 300, 200, 4));
    EXPECT_EQ(b.result, 1);
    EXPECT_EQ(b.width, 300);
    EXPECT_EQ(b.height, 200);
    b = probeBmp(bmp(12, 2, 0xFFFF, 0x8000, 4));
    EXPECT_EQ(b.width, 65535);
    EXPECT_EQ(b.height, 32768);

    // Larger forms: 32-bit signed fields.
    b = probeBmp(bmp(40, 4, 300, uint32_t(-200), 28));
    EXPECT_EQ(b.result, 1);
    EXPECT_EQ(b.width, 300);
    EXPECT_EQ(b.height, -200);

    // Six bytes or fewer hold only the width; the height stays 0.
    for (uint32_t size : {0u, 4u, 6u}) {
        b = probeBmp(bmp(size, 2, 300, 200, 40));
        EXPECT_EQ(b.result, 1) << size;
        EXPECT_EQ(b.width, 300) << size;
        EXPECT_EQ(b.height, 0) << size;
    }
}

TEST(BmpProbe, AnythingButBmIsRefusedWithZeroOutputs)
{
    // "XY", "MB" (the type swapped) and "bm" in place of "BM".
    for (uint16_t type : {uint16_t{0x5958}, uint16_t{0x424D}, uint16_t{0x6D62}}) {
        const Bmp b = probeBmp(bmp(40, 4, 31, 17, 28, type));
        EXPECT_EQ(b.result, 0) << type;
        EXPECT_EQ(b.width, 0) << type;
        EXPECT_EQ(b.height, 0) << type;
    }
    // A PNG's first bytes, which would read as an absurd width and height.
    const std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00,
                                      0x00, 0x0D, 'I',  'H', 'D',  'R',  0x00, 0x00, 0x00, 0x2D,
                                      0x00, 0x00, 0x00, 0x1B, 0x08, 0x02, 0x00, 0x00, 0x00, 0x00,
                                      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                      0x00, 0x00, 0x00, 0x00};
    const Bmp b = probeBmp(png);
    EXPECT_EQ(b.result, 0);
    EXPECT_EQ(b.width, 0);
    EXPECT_EQ(b.height, 0);
}

TEST(BmpProbe, ReadsExactlyTheDeclaredHeaderBytes)
{
    struct Case {
        uint32_t size;
        size_t tail;  // bytes after width and height
        int32_t result;
    };
    // Each header ends where its size says; one byte less fails. Headers
    // longer than 64 bytes need only their first 64 to be present.
    for (const Case &c : {Case{12, 4, 1}, Case{12, 3, 0}, Case{40, 28, 1}, Case{40, 27, 0},
                          Case{64, 52, 1}, Case{64, 51, 0}, Case{108, 52, 1}, Case{108, 51, 0},
                          Case{124, 52, 1}, Case{0x80000000u, 52, 1}, Case{0x80000000u, 51, 0}}) {
        const Bmp b = probeBmp(bmp(c.size, 4 - 2 * (c.size <= 12), 31, 17, c.tail));
        EXPECT_EQ(b.result, c.result) << c.size << " " << c.tail;
        EXPECT_EQ(b.width, c.result ? 31 : 0) << c.size << " " << c.tail;
        EXPECT_EQ(b.height, c.result ? 17 : 0) << c.size << " " << c.tail;
    }

    // A 40-byte header whose file ends after byte 20 fails with both outputs 0.
    std::vector<uint8_t> cut = bmp(40, 4, 300, 200, 28);
    cut.resize(20);
    const Bmp b = probeBmp(cut);
    EXPECT_EQ(b.result, 0);
    EXPECT_EQ(b.width, 0);
    EXPECT_EQ(b.height, 0);

    int32_t width = kUntouched, height = kUntouched;
    EXPECT_EQ(getBMPMetaInfo((kImageDir / "no-such.bmp").c_str(), &width, &height), 0);
    EXPECT_EQ(width, 0);
    EXPECT_EQ(height, 0);
}

// ---- All three -------------------------------------------------------------

TEST(ImageProbes, NullOutputsFailWithoutWriting)
{
    // A file without a start of image would print "fail" if it were opened.
    ScratchFile notJpeg({0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    int32_t value = kUntouched;
    testing::internal::CaptureStdout();
    EXPECT_EQ(getJPEGMetaInfo(notJpeg.path(), &value, nullptr), 0);
    EXPECT_EQ(getJPEGMetaInfo(notJpeg.path(), nullptr, &value), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(value, kUntouched);

    const std::string gif = (kImageDir / "gif87a_45x27.gif").string();
    uint16_t half = 0xAAAA;
    EXPECT_EQ(getGIFMetaInfo(gif.c_str(), &half, nullptr), 0);
    EXPECT_EQ(getGIFMetaInfo(gif.c_str(), nullptr, &half), 0);
    EXPECT_EQ(half, 0xAAAA);

    const std::string bmpFile = (kImageDir / "bmp_info40_67x47.bmp").string();
    EXPECT_EQ(getBMPMetaInfo(bmpFile.c_str(), &value, nullptr), 0);
    EXPECT_EQ(getBMPMetaInfo(bmpFile.c_str(), nullptr, &value), 0);
    EXPECT_EQ(value, kUntouched);

    // A null path is a file that cannot be opened.
    EXPECT_EQ(getJPEGMetaInfo(nullptr, &value, &value), 0);
    EXPECT_EQ(getGIFMetaInfo(nullptr, &half, &half), 0);
    int32_t width = kUntouched;
    EXPECT_EQ(getBMPMetaInfo(nullptr, &width, &value), 0);
    EXPECT_EQ(width, 0);
}

// A FIFO nobody writes to. A probe that opened it waiting would block for
// good; after a few seconds the test opens the write end itself, so the
// probe sees end of file and the test fails instead of hanging.
class Fifo {
public:
    Fifo()
    {
        char name[] = "/tmp/mediaprobe-fifoXXXXXX";
        if (mkdtemp(name) == nullptr)
            ADD_FAILURE() << "mkdtemp";
        dir_ = name;
        if (mkfifo(path(), 0600) != 0)
            ADD_FAILURE() << "mkfifo";
    }
    ~Fifo() { fs::remove_all(dir_); }
    const char *path() const
    {
        path_ = (dir_ / "fifo").string();
        return path_.c_str();
    }
    // Runs probe on another thread; false when it had to be released.
    bool returnsAtOnce(const std::function<void()> &probe) const
    {
        std::future<void> done = std::async(std::launch::async, probe);
        if (done.wait_for(std::chrono::seconds(5)) == std::future_status::ready)
            return true;
        const int writer = open(path(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0)
            close(writer);
        done.wait();
        return false;
    }

private:
    fs::path dir_;
    mutable std::string path_;
};

TEST(ImageProbes, PipesAndDevicesAreRefusedWithoutWaiting)
{
    // Each probe must fail without reading a byte and without writing.
    const std::function<bool(const char *)> refuses[] = {
        [](const char *path) {
            const Jpeg j = probeJpeg(path);
            return j.result == 0 && j.out.empty() && j.height == kUntouched;
        },
        [](const char *path) {
            uint16_t width = 0xAAAA, height = 0xAAAA;
            return getGIFMetaInfo(path, &width, &height) == 0 && width == 0xAAAA;
        },
        [](const char *path) {
            Bmp b;
            b.result = getBMPMetaInfo(path, &b.width, &b.height);
            return b.result == 0 && b.width == 0 && b.height == 0;
        },
    };
    for (size_t i = 0; i < std::size(refuses); ++i) {
        SCOPED_TRACE(i);
        Fifo fifo;  // a fresh one each time: no writer has ever opened it
        bool refused = false;
        EXPECT_TRUE(fifo.returnsAtOnce([&] { refused = refuses[i](fifo.path()); }));
        EXPECT_TRUE(refused);
        EXPECT_TRUE(refuses[i]("/dev/zero"));
        EXPECT_TRUE(refuses[i]("/tmp"));
    }
}

}  // namespace

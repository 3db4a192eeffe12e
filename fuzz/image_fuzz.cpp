// Arbitrary bytes as a file through all three picture probes: the JPEG
// marker walk (which must end on any input), the GIF header and the BMP
// headers, each with its signature check.
#include <cstring>

#include "fuzz_util.h"
#include "mediaprobe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    MemoryFile file(data, size);
    if (file.path.empty())
        return 0;
    const char *path = file.path.c_str();

    int32_t height = 0, width = 0;
    getJPEGMetaInfo(path, &height, &width);

    // A GIF is exactly a file of ten bytes or more that starts with one of
    // the two signatures; a refused one leaves the outputs as they were.
    const bool gifSigned = size >= 10 && (std::memcmp(data, "GIF87a", 6) == 0 ||
                                          std::memcmp(data, "GIF89a", 6) == 0);
    uint16_t gifWidth = 0xAAAA, gifHeight = 0xAAAA;
    const int32_t gif = getGIFMetaInfo(path, &gifWidth, &gifHeight);
    if (gif != (gifSigned ? 1 : 0))
        __builtin_trap();
    if (gif == 1 && (std::memcmp(&gifWidth, data + 6, 2) != 0 ||
                     std::memcmp(&gifHeight, data + 8, 2) != 0))
        __builtin_trap();
    if (gif == 0 && (gifWidth != 0xAAAA || gifHeight != 0xAAAA))
        __builtin_trap();

    // A failed BMP read leaves both outputs cleared; without "BM" it fails.
    width = height = -1;
    const int32_t bmp = getBMPMetaInfo(path, &width, &height);
    if (bmp == 0 && (width != 0 || height != 0))
        __builtin_trap();
    if (bmp == 1 && (size < 2 || data[0] != 'B' || data[1] != 'M'))
        __builtin_trap();
    return 0;
}

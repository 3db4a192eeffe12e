// Arbitrary bytes as a file through all three picture probes: the JPEG
// marker walk (which must end on any input), the GIF header and the BMP
// headers.
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

    uint16_t gifWidth = 0, gifHeight = 0;
    const int32_t gif = getGIFMetaInfo(path, &gifWidth, &gifHeight);
    if (gif != (size >= 10 ? 1 : 0))
        __builtin_trap();
    if (gif == 1 && (std::memcmp(&gifWidth, data + 6, 2) != 0 ||
                     std::memcmp(&gifHeight, data + 8, 2) != 0))
        __builtin_trap();

    // A failed BMP read leaves both outputs cleared.
    width = height = -1;
    if (getBMPMetaInfo(path, &width, &height) == 0 && (width != 0 || height != 0))
        __builtin_trap();
    return 0;
}

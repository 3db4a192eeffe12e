// Arbitrary bytes as a module through the version block size, fill and
// lookups, and the input's trailing bytes as a value path.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "mediaprobe.h"
#include "platform/pe_version_resource.h"

namespace {

const char *const kPaths[] = {"\\", "\\VarFileInfo\\Translation",
                              "\\StringFileInfo\\040904E4\\FileVersion",
                              "\\StringFileInfo\\040904B0\\FileVersion"};

// A found value must lie inside the block; touching every byte lets the
// sanitizer see a stray pointer.
void lookUp(const std::vector<uint8_t> &block, const char *path)
{
    void *value = nullptr;
    uint32_t length = 0;
    if (exported_VerQueryValue(block.data(), path, &value, &length) == 0)
        return;
    const auto *bytes = static_cast<const uint8_t *>(value);
    if (bytes < block.data() || static_cast<size_t>(bytes - block.data()) + length > block.size())
        __builtin_trap();
    volatile uint8_t sink = 0;
    for (uint32_t i = 0; i < length; ++i)
        sink = static_cast<uint8_t>(sink + bytes[i]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<uint8_t> block;
    if (buildVersionBlock(data, size, block)) {
        for (const char *path : kPaths)
            lookUp(block, path);
        // Bytes after the input's last NUL as a path: trailing data does not
        // change a module, so mutations there explore paths on real blocks.
        size_t start = size;
        while (start > 0 && data[start - 1] != 0)
            --start;
        const std::string path(reinterpret_cast<const char *>(data) + start, size - start);
        lookUp(block, path.c_str());
    }

    MemoryFile file(data, size);
    if (file.path.empty())
        return 0;
    const uint32_t length = exported_GetFileVersionInfoSize(file.path.c_str(), nullptr);
    if (length != block.size())
        __builtin_trap();
    if (length != 0) {
        std::vector<uint8_t> filled(length);
        if (exported_GetFileVersionInfo(file.path.c_str(), 0, length, filled.data()) == 0 ||
            filled != block)
            __builtin_trap();
    }
    char out[16];
    exported_GetFileVersionInfo_FileVersion(file.path.c_str(), out, sizeof out);
    return 0;
}

// File-system queries (size, last-access time) and the version-resource
// exports, which pass through to the version-resource reader.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/stat.h>

#include "mediaprobe.h"
#include "platform/pe_version_resource.h"

namespace {

constexpr char kFileVersionPath[] = "\\StringFileInfo\\040904E4\\FileVersion";

struct FreeBlock {
    void operator()(void *block) const { std::free(block); }
};

}  // namespace

extern "C" int64_t getFileSize64(const char *path)
{
    struct stat st {};
    if (path == nullptr || ::stat(path, &st) != 0)
        return -1;
    return static_cast<int64_t>(st.st_size);
}

extern "C" int32_t getFileSize(const char *path)
{
    // The host's field is 32 bits wide and signed. Wrapping would turn a
    // 4 GiB + 5 file into 5, or 3 GiB into a negative size that looks like a
    // failure; the largest size it can say is the honest answer.
    const int64_t size = getFileSize64(path);
    return size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(size);
}

extern "C" unsigned char getDIRinfo(const char *path, int32_t *timeOut)
{
    struct stat st {};
    if (path == nullptr || timeOut == nullptr || ::stat(path, &st) != 0)
        return 0;
    *timeOut = static_cast<int32_t>(st.st_atime);
    return 1;
}

extern "C" unsigned char getDSinfo(void *, void *, void *, void *, void *, void *, void *, void *,
                                   void *)
{
    return 1;
}

extern "C" uint32_t exported_GetFileVersionInfoSize(const char *fileName, uint32_t *handleOut)
{
    return versionBlockSize(fileName, handleOut);
}

extern "C" int32_t exported_GetFileVersionInfo(const char *fileName, uint32_t handle,
                                               uint32_t length, void *data)
{
    return readVersionBlock(fileName, handle, length, data);
}

extern "C" int32_t exported_VerQueryValue(const void *block, const char *subBlock,
                                          void **bufferOut, uint32_t *lengthOut)
{
    return findVersionValue(block, subBlock, bufferOut, lengthOut);
}

extern "C" int32_t exported_GetFileVersionInfo_FileVersion(const char *fileName, char *out,
                                                           uint32_t outLength)
{
    // Nothing to clear and nowhere to copy: refuse before touching the file.
    if (out == nullptr)
        return 0;
    out[0] = '\0';

    uint32_t handle = 0;
    const uint32_t size = exported_GetFileVersionInfoSize(fileName, &handle);
    if (size == 0)
        return 0;
    std::unique_ptr<void, FreeBlock> block(std::malloc(size));
    if (block == nullptr || exported_GetFileVersionInfo(fileName, 0, size, block.get()) == 0)
        return 0;

    void *value = nullptr;
    uint32_t length = 0;
    if (exported_VerQueryValue(block.get(), kFileVersionPath, &value, &length) == 0)
        return 0;
    // Exactly n bytes: the text up to its NUL, then NUL padding; no
    // terminator when outLength cuts the text short.
    const uint32_t n = outLength < length ? outLength : length;
    std::strncpy(out, static_cast<const char *>(value), n);
    return 1;
}

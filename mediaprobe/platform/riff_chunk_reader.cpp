#include "platform/riff_chunk_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

struct RiffFile {
    std::FILE *stream = nullptr;
    uint64_t size = 0;  // taken at open; every bound below is checked against it
};

namespace {

constexpr uint64_t kChunkHeaderSize = 8;

uint32_t readLE32(const uint8_t *bytes)
{
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

uint64_t currentPosition(RiffFile *file)
{
    const off_t position = ftello(file->stream);
    return position < 0 ? UINT64_MAX : static_cast<uint64_t>(position);
}

bool seekTo(RiffFile *file, uint64_t position)
{
    // Chunk arithmetic stays below 2^34, far inside off_t.
    return fseeko(file->stream, static_cast<off_t>(position), SEEK_SET) == 0;
}

// Id and size at the current position; the position ends at the data.
uint32_t readIdAndSize(RiffFile *file, RiffChunkInfo &chunk)
{
    const uint64_t start = currentPosition(file);
    if (start > file->size || file->size - start < kChunkHeaderSize)
        return kRiffCannotRead;
    uint8_t header[kChunkHeaderSize];
    if (std::fread(header, 1, sizeof header, file->stream) != sizeof header)
        return kRiffCannotRead;
    chunk.id = readLE32(header);
    chunk.size = readLE32(header + 4);
    chunk.formType = 0;
    chunk.dataOffset = start + kChunkHeaderSize;
    chunk.flags = chunk.dataOffset + chunk.size > file->size ? kRiffChunkPastEnd : 0;
    return kRiffOk;
}

// "RIFF" and "LIST" chunks begin their data with a form type. It is read even
// when the size field is below 4, as long as the file holds it.
uint32_t readFormType(RiffFile *file, RiffChunkInfo &chunk)
{
    if (chunk.id != kRiffId && chunk.id != kListId)
        return kRiffOk;
    uint8_t form[4];
    if (std::fread(form, 1, sizeof form, file->stream) != sizeof form)
        return kRiffCannotRead;
    chunk.formType = readLE32(form);
    return kRiffOk;
}

}  // namespace

RiffFile *openRiffFile(const char *path)
{
    // Opened without waiting, so that a pipe cannot block before the type test.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return nullptr;
    struct stat st {};
    const int flags = ::fcntl(fd, F_GETFL);
    std::FILE *stream = nullptr;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0 && flags >= 0 &&
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0)
        stream = ::fdopen(fd, "rb");
    if (stream == nullptr) {
        ::close(fd);
        return nullptr;
    }
    auto *file = new (std::nothrow) RiffFile;
    if (file == nullptr) {
        std::fclose(stream);
        return nullptr;
    }
    file->stream = stream;
    file->size = static_cast<uint64_t>(st.st_size);
    return file;
}

void closeRiffFile(RiffFile *file)
{
    if (file == nullptr)
        return;
    std::fclose(file->stream);
    delete file;
}

uint32_t readRiffChunkHeader(RiffFile *file, RiffChunkInfo &chunk)
{
    const uint32_t result = readIdAndSize(file, chunk);
    return result != kRiffOk ? result : readFormType(file, chunk);
}

uint32_t findRiffSubChunk(RiffFile *file, const RiffChunkInfo &parent, uint32_t id,
                          RiffChunkInfo &chunk)
{
    const uint64_t end = std::min(parent.dataOffset + parent.size, file->size);
    uint64_t position = currentPosition(file);
    if (position < parent.dataOffset)
        return kRiffChunkNotFound;
    // Each step moves on by at least one header, so the loop ends.
    while (position <= end && end - position >= kChunkHeaderSize) {
        if (!seekTo(file, position))
            return kRiffCannotSeek;
        const uint32_t result = readIdAndSize(file, chunk);
        if (result != kRiffOk)
            return result;
        if (chunk.id == id)
            return readFormType(file, chunk);
        position = chunk.dataOffset + chunk.size + (chunk.size & 1u);
    }
    return kRiffChunkNotFound;
}

size_t readRiffBytes(RiffFile *file, void *buffer, size_t count)
{
    return count == 0 ? 0 : std::fread(buffer, 1, count, file->stream);
}

uint32_t leaveRiffChunk(RiffFile *file, const RiffChunkInfo &chunk)
{
    const uint64_t end = chunk.dataOffset + chunk.size + (chunk.size & 1u);
    return seekTo(file, end) ? kRiffOk : kRiffCannotSeek;
}

void *allocateRiffBlock(size_t size) { return std::malloc(size); }

void freeRiffBlock(void *block) { std::free(block); }

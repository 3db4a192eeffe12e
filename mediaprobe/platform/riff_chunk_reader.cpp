#include "platform/riff_chunk_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// One block of the file, kept so that the small reads of a chunk walk cost
// no system call of their own; seeking only moves the position.
constexpr size_t kWindowSize = 4096;

}  // namespace

struct RiffFile {
    int fd = -1;
    uint64_t size = 0;         // taken at open; every bound below is checked against it
    uint64_t position = 0;     // where the next read starts; may lie past the end
    uint64_t windowStart = 0;  // file offset of window[0]
    size_t windowLength = 0;   // bytes of window that hold file data
    uint8_t window[kWindowSize];
};

namespace {

constexpr uint64_t kChunkHeaderSize = 8;

uint32_t readLE32(const uint8_t *bytes)
{
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

uint64_t currentPosition(RiffFile *file) { return file->position; }

bool seekTo(RiffFile *file, uint64_t position)
{
    file->position = position;
    return true;
}

// pread of up to count bytes at offset; bytes read, 0 at the end of the file
// or on an error.
size_t readAt(int fd, uint8_t *out, size_t count, uint64_t offset)
{
    for (;;) {
        // Chunk arithmetic stays below 2^34, far inside off_t.
        const ssize_t n = ::pread(fd, out, count, static_cast<off_t>(offset));
        if (n >= 0)
            return static_cast<size_t>(n);
        if (errno != EINTR)
            return 0;
    }
}

// Up to count bytes from the position on, through the window; a read of a
// window or more goes straight to out.
size_t readFromPosition(RiffFile *file, uint8_t *out, size_t count)
{
    size_t done = 0;
    while (done < count) {
        const uint64_t at = file->position;
        if (at >= file->windowStart && at - file->windowStart < file->windowLength) {
            const auto offset = static_cast<size_t>(at - file->windowStart);
            const size_t n = std::min(count - done, file->windowLength - offset);
            std::memcpy(out + done, file->window + offset, n);
            done += n;
            file->position += n;
            continue;
        }
        if (at >= file->size)
            break;
        size_t n = 0;
        if (count - done >= kWindowSize) {
            n = readAt(file->fd, out + done, count - done, at);
            done += n;
            file->position += n;
        } else {
            n = readAt(file->fd, file->window, kWindowSize, at);
            file->windowStart = at;
            file->windowLength = n;
        }
        if (n == 0)
            break;
    }
    return done;
}

// Id and size at the current position; the position ends at the data.
uint32_t readIdAndSize(RiffFile *file, RiffChunkInfo &chunk)
{
    const uint64_t start = currentPosition(file);
    if (start > file->size || file->size - start < kChunkHeaderSize)
        return kRiffCannotRead;
    uint8_t header[kChunkHeaderSize];
    if (readFromPosition(file, header, sizeof header) != sizeof header)
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
    if (readFromPosition(file, form, sizeof form) != sizeof form)
        return kRiffCannotRead;
    chunk.formType = readLE32(form);
    return kRiffOk;
}

}  // namespace

RiffFile *openRiffFile(const char *path)
{
    // Opened without waiting, so that a pipe cannot block before the type
    // test. Reads of a regular file ignore the flag, so it stays.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return nullptr;
    struct stat st {};
    RiffFile *file = nullptr;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0)
        file = new (std::nothrow) RiffFile;
    if (file == nullptr) {
        ::close(fd);
        return nullptr;
    }
    file->fd = fd;
    file->size = static_cast<uint64_t>(st.st_size);
    return file;
}

void closeRiffFile(RiffFile *file)
{
    if (file == nullptr)
        return;
    ::close(file->fd);
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
    return readFromPosition(file, static_cast<uint8_t *>(buffer), count);
}

uint32_t leaveRiffChunk(RiffFile *file, const RiffChunkInfo &chunk)
{
    const uint64_t end = chunk.dataOffset + chunk.size + (chunk.size & 1u);
    return seekTo(file, end) ? kRiffOk : kRiffCannotSeek;
}

void *allocateRiffBlock(size_t size) { return std::malloc(size); }

void freeRiffBlock(void *block) { std::free(block); }

// Stand-in for the platform's read-only file mapping (open, mapping object,
// view): the file opened for reading, its size taken once, and bounded reads
// of any range into the caller's own buffer.
//
// Reading with pread instead of touching a mapped view keeps the host alive
// when someone else shrinks the file during a call: a vanished range comes
// back as a failed read, never as a signal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

struct ReadOnlyFile {
    int fd = -1;
    uint64_t size = 0;  // as fstat reported it at open; reads are held to it

    ReadOnlyFile() = default;
    ReadOnlyFile(const ReadOnlyFile &) = delete;
    ReadOnlyFile &operator=(const ReadOnlyFile &) = delete;
    ~ReadOnlyFile();
};

// Opens a non-empty regular file for reading. Returns false, with errno set
// and nothing left open, when it cannot be opened or sized, or is empty
// (EINVAL) or not a regular file (ENODEV): the errors a mapping of it would
// have given. A FIFO is opened non-blocking, so it never waits for a writer.
bool openReadOnlyFile(const char *path, ReadOnlyFile &file);

// Reads exactly count bytes at offset into out. False when the range does not
// lie wholly inside the size taken at open, or when the file no longer holds
// it (it shrank since, or the read failed); out's content is then undefined
// and must not be used.
bool readFileBytes(const ReadOnlyFile &file, uint64_t offset, void *out, size_t count);

// Closes the file. Safe to call more than once.
void closeReadOnlyFile(ReadOnlyFile &file);

// A buffer of the caller's choice of size over one part of a file, refilled
// from the file as reads move along it: the bounded stand-in for a view.
struct FileWindow {
    const ReadOnlyFile *file = nullptr;
    std::unique_ptr<uint8_t[]> buffer;
    size_t capacity = 0;
    uint64_t start = 0;  // file offset of buffer[0]
    size_t length = 0;   // bytes of buffer that hold file data
};

// Prepares a window of capacity bytes over file; false when memory is short.
bool makeFileWindow(const ReadOnlyFile &file, size_t capacity, FileWindow &window);

// How many bytes the window holds from offset on; 0 when offset is outside it.
inline size_t windowBytesFrom(const FileWindow &window, uint64_t offset)
{
    if (offset < window.start || offset - window.start >= window.length)
        return 0;
    return window.length - static_cast<size_t>(offset - window.start);
}

// Refills the window from offset on; see windowBytes.
const uint8_t *refillFileWindow(FileWindow &window, uint64_t offset, size_t count);

// The file's bytes [offset, offset + count) through the window. When they are
// not all in it, the window is refilled from offset on, with as many bytes as
// it holds and the file has. Null when count exceeds the capacity, the range
// reaches past the size taken at open, or the file no longer holds the bytes
// (the window is then left empty, so no byte of an earlier fill is served).
inline const uint8_t *windowBytes(FileWindow &window, uint64_t offset, size_t count)
{
    if (count > 0 && windowBytesFrom(window, offset) >= count)
        return window.buffer.get() + (offset - window.start);
    return refillFileWindow(window, offset, count);
}

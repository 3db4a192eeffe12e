#include "platform/read_only_file.h"

#include <algorithm>
#include <cerrno>
#include <new>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

ReadOnlyFile::~ReadOnlyFile() { closeReadOnlyFile(*this); }

bool openReadOnlyFile(const char *path, ReadOnlyFile &file)
{
    closeReadOnlyFile(file);
    // O_NONBLOCK: opening a FIFO would otherwise wait for a writer.
    file.fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (file.fd < 0)
        return false;

    struct stat st {};
    int error = 0;
    if (::fstat(file.fd, &st) != 0)
        error = errno;
    else if (!S_ISREG(st.st_mode))
        error = ENODEV;
    else if (st.st_size <= 0)
        error = EINVAL;
    if (error != 0) {
        closeReadOnlyFile(file);
        errno = error;
        return false;
    }
    file.size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool readFileBytes(const ReadOnlyFile &file, uint64_t offset, void *out, size_t count)
{
    if (file.fd < 0 || offset > file.size || count > file.size - offset)
        return false;
    auto *bytes = static_cast<uint8_t *>(out);
    // offset + count <= size, which fstat gave as a non-negative off_t.
    while (count > 0) {
        const ssize_t n = ::pread(file.fd, bytes, count, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;  // the file ends early: it shrank since it was opened
        bytes += n;
        offset += static_cast<uint64_t>(n);
        count -= static_cast<size_t>(n);
    }
    return true;
}

void closeReadOnlyFile(ReadOnlyFile &file)
{
    if (file.fd >= 0)
        ::close(file.fd);
    file.fd = -1;
    file.size = 0;
}

bool makeFileWindow(const ReadOnlyFile &file, size_t capacity, FileWindow &window)
{
    window.file = &file;
    window.buffer.reset(new (std::nothrow) uint8_t[capacity]);
    window.capacity = window.buffer ? capacity : 0;
    window.start = 0;
    window.length = 0;
    return window.buffer != nullptr;
}

const uint8_t *refillFileWindow(FileWindow &window, uint64_t offset, size_t count)
{
    const uint64_t size = window.file->size;
    if (count == 0 || count > window.capacity || offset > size || count > size - offset)
        return nullptr;
    const size_t fill = static_cast<size_t>(std::min<uint64_t>(window.capacity, size - offset));
    window.start = offset;
    window.length = 0;
    if (!readFileBytes(*window.file, offset, window.buffer.get(), fill))
        return nullptr;
    window.length = fill;
    return window.buffer.get();
}

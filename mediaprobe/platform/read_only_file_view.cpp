#include "platform/read_only_file_view.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

ReadOnlyFileView::~ReadOnlyFileView() { releaseFileView(*this); }

bool mapWholeFileReadOnly(const char *path, size_t maxSize, ReadOnlyFileView &view)
{
    releaseFileView(view);
    // O_NONBLOCK: opening a FIFO would otherwise wait for a writer; its
    // mapping then fails like any file that is not a regular one.
    view.fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (view.fd < 0)
        return false;

    struct stat st {};
    if (::fstat(view.fd, &st) != 0) {
        releaseFileView(view);
        return false;
    }
    if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > maxSize) {
        releaseFileView(view);
        errno = EFBIG;
        return false;
    }
    const size_t size = static_cast<size_t>(st.st_size);
    // mmap refuses a length of 0 (EINVAL) and anything that is not a regular
    // file (ENODEV), which is the failure an empty file or a directory gives.
    void *mapped = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, view.fd, 0);
    if (mapped == MAP_FAILED) {
        const int saved = errno;
        releaseFileView(view);
        errno = saved;
        return false;
    }
    view.data = static_cast<const uint8_t *>(mapped);
    view.size = size;
    return true;
}

void expectWholeViewRead(const ReadOnlyFileView &view)
{
    if (view.data == nullptr)
        return;
#if defined(MADV_POPULATE_READ)
    // Fills the page tables from the page cache in one call (Linux 5.14+);
    // an older kernel answers EINVAL and the pages simply fault as before.
    ::madvise(const_cast<uint8_t *>(view.data), view.size, MADV_POPULATE_READ);
#else
    ::madvise(const_cast<uint8_t *>(view.data), view.size, MADV_WILLNEED);
#endif
}

void releaseFileView(ReadOnlyFileView &view)
{
    if (view.data != nullptr)
        ::munmap(const_cast<uint8_t *>(view.data), view.size);
    if (view.fd >= 0)
        ::close(view.fd);
    view.data = nullptr;
    view.size = 0;
    view.fd = -1;
}

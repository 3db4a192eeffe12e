// Helpers shared by the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

// An in-memory file with a path, so probes that take a path can be fed the
// fuzzer's bytes without touching the disk.
struct MemoryFile {
    int fd = -1;
    std::string path;

    MemoryFile(const uint8_t *data, size_t size)
    {
        fd = memfd_create("fuzz", MFD_CLOEXEC);
        if (fd < 0)
            return;
        size_t done = 0;
        while (done < size) {
            const ssize_t n = write(fd, data + done, size - done);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        path = "/proc/self/fd/" + std::to_string(fd);
    }
    ~MemoryFile()
    {
        if (fd >= 0)
            close(fd);
    }
    MemoryFile(const MemoryFile &) = delete;
    MemoryFile &operator=(const MemoryFile &) = delete;
};

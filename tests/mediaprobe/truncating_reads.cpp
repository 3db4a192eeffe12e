#include "truncating_reads.h"

#include <mutex>
#include <string>

#include <sys/syscall.h>
#include <unistd.h>

namespace {

struct Arming {
    std::mutex lock;
    std::string path;
    uint64_t size = 0;
    int readsFirst = 0;
    int reads = 0;
    bool armed = false;
    bool fired = false;
};

Arming &arming()
{
    static Arming state;
    return state;
}

ssize_t truncatingPread(int fd, void *buffer, size_t count, off_t offset)
{
    Arming &a = arming();
    {
        std::lock_guard<std::mutex> hold(a.lock);
        if (a.armed && a.reads++ == a.readsFirst) {
            a.armed = false;
            a.fired = ::truncate(a.path.c_str(), static_cast<off_t>(a.size)) == 0;
        }
    }
    // Straight to the kernel: the C library's pread is the one we replace.
    return ::syscall(SYS_pread64, fd, buffer, count, offset);
}

}  // namespace

extern "C" ssize_t pread(int fd, void *buffer, size_t count, off_t offset)
{
    return truncatingPread(fd, buffer, count, offset);
}

extern "C" ssize_t pread64(int fd, void *buffer, size_t count, off_t offset)
{
    return truncatingPread(fd, buffer, count, offset);
}

void truncateBeforeRead(const char *path, uint64_t size, int readsFirst)
{
    Arming &a = arming();
    std::lock_guard<std::mutex> hold(a.lock);
    a.path = path;
    a.size = size;
    a.readsFirst = readsFirst;
    a.reads = 0;
    a.armed = true;
    a.fired = false;
}

bool disarmTruncation()
{
    Arming &a = arming();
    std::lock_guard<std::mutex> hold(a.lock);
    a.armed = false;
    return a.fired;
}

int preadsSinceArming()
{
    Arming &a = arming();
    std::lock_guard<std::mutex> hold(a.lock);
    return a.reads;
}

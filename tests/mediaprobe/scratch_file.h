// A temporary file holding the given bytes, removed when the test is done.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

class ScratchFile {
public:
    explicit ScratchFile(const std::vector<uint8_t> &bytes)
    {
        char name[] = "/tmp/mediaprobeXXXXXX";
        const int fd = mkstemp(name);
        path_ = name;
        if (fd < 0) {
            ADD_FAILURE() << "mkstemp";
            return;
        }
        if (!bytes.empty() &&
            write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            ADD_FAILURE() << "short write";
        close(fd);
    }
    ~ScratchFile() { std::filesystem::remove(path_); }
    ScratchFile(const ScratchFile &) = delete;
    ScratchFile &operator=(const ScratchFile &) = delete;
    const char *path() const { return path_.c_str(); }

private:
    std::string path_;
};

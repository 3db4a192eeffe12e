#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>

#include "mediaprobe.h"

namespace fs = std::filesystem;

namespace {

class ScratchDir {
public:
    ScratchDir()
    {
        char name[] = "/tmp/fileinfoXXXXXX";
        if (mkdtemp(name) == nullptr)
            ADD_FAILURE() << "mkdtemp";
        path_ = name;
    }
    ~ScratchDir() { fs::remove_all(path_); }
    fs::path file(const std::string &name, size_t bytes) const
    {
        const fs::path p = path_ / name;
        std::ofstream(p, std::ios::binary) << std::string(bytes, 'x');
        return p;
    }
    const fs::path &path() const { return path_; }

private:
    fs::path path_;
};

// Access and modification times set far apart, so one cannot pass for the other.
constexpr time_t kAccessTime = 1000000000;        // 2001-09-09
constexpr time_t kModificationTime = 1600000000;  // 2020-09-13

void setTimes(const fs::path &p)
{
    const timespec times[2] = {{kAccessTime, 0}, {kModificationTime, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), times, 0), 0);
}

}  // namespace

TEST(FileSize, ReportsBytesOrMinusOne)
{
    ScratchDir dir;
    const fs::path empty = dir.file("empty", 0), some = dir.file("some", 1234);
    const fs::path missing = dir.path() / "missing";
    EXPECT_EQ(getFileSize(empty.c_str()), 0);
    EXPECT_EQ(getFileSize(some.c_str()), 1234);
    EXPECT_EQ(getFileSize(missing.c_str()), -1);
    EXPECT_EQ(getFileSize(nullptr), -1);
    EXPECT_EQ(getFileSize64(empty.c_str()), 0);
    EXPECT_EQ(getFileSize64(some.c_str()), 1234);
    EXPECT_EQ(getFileSize64(missing.c_str()), -1);
    EXPECT_EQ(getFileSize64(nullptr), -1);
}

TEST(FileSize, SizesPastTwoGiBSaturateInThirtyTwoBitsAndAreExactIn64)
{
    // Sparse files: the sizes cost no disk space.
    ScratchDir dir;
    const fs::path sparse = dir.file("sparse", 0);
    struct Case {
        uintmax_t size;
        int32_t narrow;
    };
    for (const Case &c : {Case{0x7FFFFFFF, INT32_MAX}, Case{0x80000000, INT32_MAX},
                          Case{uintmax_t{3} << 30, INT32_MAX},
                          Case{(uintmax_t{1} << 32) + 5, INT32_MAX}}) {
        fs::resize_file(sparse, c.size);
        EXPECT_EQ(getFileSize(sparse.c_str()), c.narrow) << c.size;
        EXPECT_EQ(getFileSize64(sparse.c_str()), static_cast<int64_t>(c.size)) << c.size;
    }
}

TEST(FileSize, WorksOnDirectories)
{
    ScratchDir dir;
    struct stat st {};
    ASSERT_EQ(stat(dir.path().c_str(), &st), 0);
    EXPECT_EQ(getFileSize(dir.path().c_str()), static_cast<int32_t>(st.st_size));
}

TEST(DirInfo, ReportsAccessTimeNotModificationTime)
{
    ScratchDir dir;
    const fs::path file = dir.file("f", 10);
    setTimes(file);
    int32_t when = -1;
    EXPECT_EQ(getDIRinfo(file.c_str(), &when), 1);
    EXPECT_EQ(when, kAccessTime);

    const fs::path sub = dir.path() / "sub";
    fs::create_directory(sub);
    setTimes(sub);
    when = -1;
    EXPECT_EQ(getDIRinfo(sub.c_str(), &when), 1);
    EXPECT_EQ(when, kAccessTime);
}

TEST(DirInfo, FailureLeavesOutputUntouched)
{
    ScratchDir dir;
    const fs::path file = dir.file("f", 1);
    int32_t when = 42;
    EXPECT_EQ(getDIRinfo(nullptr, &when), 0);
    EXPECT_EQ(getDIRinfo((dir.path() / "missing").c_str(), &when), 0);
    EXPECT_EQ(when, 42);
    EXPECT_EQ(getDIRinfo(file.c_str(), nullptr), 0);
}

TEST(DSinfo, ReadsNoneOfItsArguments)
{
    EXPECT_EQ(getDSinfo(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                        nullptr),
              1);
    // Addresses that fault if anything reads or writes through them.
    void *bad = reinterpret_cast<void *>(uintptr_t{8});
    EXPECT_EQ(getDSinfo(bad, bad, bad, bad, bad, bad, bad, bad, bad), 1);
}

// Every export releases what it opens, on the way to an answer and on every
// way out: thousands of calls leave the process's descriptor count as it was.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mediaprobe.h"
#include "scratch_file.h"

namespace fs = std::filesystem;

namespace {

int openDescriptors()
{
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        ADD_FAILURE() << "/proc/self/fd";
        return -1;
    }
    int count = 0;
    while (const dirent *entry = readdir(dir))
        count += entry->d_name[0] != '.';
    closedir(dir);
    return count;
}

// Standard output and error pointed at /dev/null while it lives: the probes'
// diagnostic lines would otherwise flood the log thousands of times. A
// sanitizer report inside the loop goes there too; to read one, run the test
// with ASAN_OPTIONS=log_path=/tmp/asan (and UBSAN_OPTIONS likewise).
class Silenced {
public:
    Silenced()
    {
        std::fflush(stdout);
        std::fflush(stderr);
        saved_[0] = dup(1);
        saved_[1] = dup(2);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(null, 1);
        dup2(null, 2);
        close(null);
    }
    ~Silenced()
    {
        std::fflush(stdout);
        std::fflush(stderr);
        dup2(saved_[0], 1);
        dup2(saved_[1], 2);
        close(saved_[0]);
        close(saved_[1]);
    }

private:
    int saved_[2] = {-1, -1};
};

std::string fixture(const char *relative) { return (fs::path(MP_FIXTURES_DIR) / relative).string(); }

// Every export once on one path; each takes its own exit for the kind of file.
void probeEverything(const char *path)
{
    int32_t a = 0, b = 0, c = 0;
    uint32_t u[12] = {};
    uint16_t w = 0, h = 0;
    (void)getFileSize(path);
    (void)getFileSize64(path);
    (void)getDIRinfo(path, &a);
    (void)getDSinfo(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    (void)getMP3MetaInfo(path, &a, &b, nullptr, nullptr, nullptr, &c);
    (void)getWAVMetaInfo(path, &u[0], &u[1], &u[2], &u[3], &u[4]);
    (void)getAVIinfo(path, &a, &u[0], &u[1], &u[2], &u[3], &u[4], &u[5], &u[6], &u[7], &u[8],
                     &u[9], &u[10], nullptr, nullptr);
    (void)getJPEGMetaInfo(path, &a, &b);
    (void)getGIFMetaInfo(path, &w, &h);
    (void)getBMPMetaInfo(path, &a, &b);

    char text[64];
    (void)exported_GetFileVersionInfo_FileVersion(path, text, sizeof text);
    const uint32_t size = exported_GetFileVersionInfoSize(path, nullptr);
    std::vector<uint8_t> block(size + 1);
    (void)exported_GetFileVersionInfo(path, 0, size == 0 ? 0 : size - 1, block.data());
    // A lookup trusts its block: only a filled one is asked.
    void *value = nullptr;
    uint32_t length = 0;
    if (exported_GetFileVersionInfo(path, 0, size, block.data()) != 0)
        (void)exported_VerQueryValue(block.data(), "\\StringFileInfo\\040904E4\\FileVersion",
                                     &value, &length);
}

}  // namespace

TEST(DescriptorLeaks, NoExportKeepsADescriptorOnAnyPath)
{
    char dir[] = "/tmp/mediaprobe-fdXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string fifo = std::string(dir) + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ScratchFile empty({});
    ScratchFile garbage(std::vector<uint8_t>(3000, 0xFF));  // frame syncs, JPEG fill, no format

    // Files each probe answers, and every way of failing: missing, empty,
    // garbage, a folder, a FIFO, a module without a version resource.
    const std::string paths[] = {
        fixture("mp3/cbr128_44100_id3v2.mp3"),   fixture("mp3/vbr_44100_stereo.mp3"),
        fixture("wave/pcm16_44100_stereo.wav"),  fixture("avi/video_25fps.avi"),
        fixture("images/jpeg_baseline_37x23.jpg"), fixture("images/gif89a_300x17.gif"),
        fixture("images/bmp_info40_67x47.bmp"),  fixture("pe/version_e4_64.dll"),
        fixture("pe/no_version_64.dll"),         fixture("mp3/no-such-file"),
        empty.path(),                            garbage.path(),
        dir,                                     fifo,
    };
    constexpr int kRounds = 300;  // 14 paths, some 5,000 probe calls

    int before = 0, after = 0;
    {
        Silenced quiet;
        probeEverything(paths[0].c_str());  // anything set up once, set up now
        before = openDescriptors();
        for (int round = 0; round < kRounds; ++round)
            for (const std::string &path : paths)
                probeEverything(path.c_str());
        (void)getFileSize(nullptr);
        after = openDescriptors();
    }
    fs::remove_all(dir);
    ASSERT_GT(before, 0);
    EXPECT_EQ(after, before);
}

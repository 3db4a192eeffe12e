// The version exports on a module that shrinks or is rewritten while they
// read it: a clean failure or the answer the whole file gives, never a
// signal, never bytes the file no longer held.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "mediaprobe.h"
#include "platform/pe_version_resource.h"
#include "scratch_file.h"
#include "truncating_reads.h"

namespace fs = std::filesystem;

namespace {

// 3.5 KB, its version resource in the last kilobyte.
const std::string kModule = (fs::path(MP_FIXTURES_DIR) / "pe" / "long_version_32.dll").string();

std::vector<uint8_t> readBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void rewrite(const char *path, const std::vector<uint8_t> &bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// What the unchanged module answers, taken once.
struct Answers {
    uint32_t size = 0;
    std::vector<uint8_t> block;
    std::string fileVersion;
};

Answers answersOf(const char *path)
{
    Answers a;
    a.size = exported_GetFileVersionInfoSize(path, nullptr);
    a.block.resize(a.size);
    EXPECT_EQ(exported_GetFileVersionInfo(path, 0, a.size, a.block.data()), 1);
    char text[200] = {};
    EXPECT_EQ(exported_GetFileVersionInfo_FileVersion(path, text, sizeof text), 1);
    a.fileVersion = text;
    return a;
}

// Each export run once: true when it failed cleanly, false when it answered
// exactly as the unchanged file does. Any other outcome fails the test.
using Probe = std::function<bool(const char *path, const Answers &whole)>;

const Probe kProbes[] = {
    [](const char *path, const Answers &whole) {
        const uint32_t size = exported_GetFileVersionInfoSize(path, nullptr);
        EXPECT_TRUE(size == 0 || size == whole.size) << size;
        return size == 0;
    },
    [](const char *path, const Answers &whole) {
        // A failed fill leaves the caller's block as it was.
        std::vector<uint8_t> block(whole.size, 0xAA);
        const int32_t ok = exported_GetFileVersionInfo(path, 0, whole.size, block.data());
        if (ok == 0)
            EXPECT_EQ(block, std::vector<uint8_t>(whole.size, 0xAA));
        else
            EXPECT_EQ(block, whole.block);
        return ok == 0;
    },
    [](const char *path, const Answers &whole) {
        char text[200];
        std::memset(text, 'X', sizeof text);
        const int32_t ok = exported_GetFileVersionInfo_FileVersion(path, text, sizeof text);
        EXPECT_EQ(text, ok == 0 ? std::string() : whole.fileVersion);
        return ok == 0;
    },
};

}  // namespace

TEST(VersionTruncation, ShrinkingBeforeAnyReadFailsCleanly)
{
    const std::vector<uint8_t> original = readBytes(kModule);
    ScratchFile file(original);
    const Answers whole = answersOf(file.path());
    ASSERT_EQ(whole.fileVersion.size(), 120u);

    // Cut below the end of the version resource, which the last read of
    // every fill reaches: whichever read comes after the cut fails.
    const uint8_t *resource = nullptr;
    size_t resourceSize = 0;
    ASSERT_TRUE(locateVersionResource(original.data(), original.size(), &resource, &resourceSize));
    const auto resourceEnd = static_cast<uint64_t>(resource + resourceSize - original.data());
    for (const uint64_t cut : {uint64_t{0}, uint64_t{64}, uint64_t{1024}, resourceEnd - 1}) {
        for (size_t p = 0; p < std::size(kProbes); ++p) {
            for (int before = 0;; ++before) {
                SCOPED_TRACE("probe " + std::to_string(p) + ", cut " + std::to_string(cut) +
                             ", after " + std::to_string(before) + " reads");
                rewrite(file.path(), original);
                truncateBeforeRead(file.path(), cut, before);
                const bool failed = kProbes[p](file.path(), whole);
                const int reads = preadsSinceArming();
                if (!disarmTruncation()) {
                    // Past the last read: the call saw the whole file.
                    EXPECT_FALSE(failed);
                    EXPECT_GT(before, 0);
                    break;
                }
                EXPECT_TRUE(failed) << reads << " reads";
            }
        }
    }
}

TEST(VersionTruncation, ARacingRewriterNeverChangesAnAnswer)
{
    const std::vector<uint8_t> original = readBytes(kModule);
    ScratchFile file(original);
    const Answers whole = answersOf(file.path());

    // Truncate, then write the module back in two halves, over and over, as
    // an installer replacing the DLL would.
    std::atomic<bool> stop{false};
    std::thread rewriter([&] {
        const size_t half = original.size() / 2;
        while (!stop.load()) {
            const int fd = ::open(file.path(), O_WRONLY | O_TRUNC | O_CLOEXEC);
            if (fd < 0)
                continue;
            ssize_t written = ::write(fd, original.data(), half);
            written += ::write(fd, original.data() + half, original.size() - half);
            ::close(fd);
            if (written != static_cast<ssize_t>(original.size()))
                ADD_FAILURE() << "short write";
        }
    });
    int failures = 0, answers = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    while (std::chrono::steady_clock::now() < until) {
        for (const Probe &probe : kProbes)
            probe(file.path(), whole) ? ++failures : ++answers;
    }
    stop = true;
    rewriter.join();
    // Both outcomes are timing-dependent; what matters is that none other
    // occurred. The counts show what the run exercised.
    RecordProperty("failures", failures);
    RecordProperty("answers", answers);
    std::printf("racing rewriter: %d clean failures, %d whole answers\n", failures, answers);
}

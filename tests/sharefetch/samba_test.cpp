// The library against a real Samba server, through the exported C API only.
// Run under tests/sharefetch/smbd_harness.sh, which starts smbd in private
// namespaces and tells the tests where it is; without it every test skips.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <utility>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/types.h>

#include "sharefetch.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

namespace {

struct Server {
    std::string address, name, sharePath, shareDir, pidFile;
};

const char *envOrNull(const char *name)
{
    const char *v = std::getenv(name);
    return v != nullptr && *v != '\0' ? v : nullptr;
}

// The server the harness started, or nothing when not run under it.
const Server *harnessServer()
{
    static const Server server = [] {
        Server s;
        const char *address = envOrNull("SMBD_HARNESS_ADDRESS");
        if (address == nullptr)
            return s;
        s.address = address;
        s.name = envOrNull("SMBD_HARNESS_SERVER_NAME");
        s.sharePath = envOrNull("SMBD_HARNESS_SHARE_PATH");
        s.shareDir = envOrNull("SMBD_HARNESS_SHARE_DIR");
        s.pidFile = envOrNull("SMBD_HARNESS_PID_FILE");
        return s;
    }();
    return server.address.empty() ? nullptr : &server;
}

#define REQUIRE_SERVER()                                                                   \
    const Server *server = harnessServer();                                                \
    if (server == nullptr)                                                                 \
        GTEST_SKIP() << "needs a Samba server: run under tests/sharefetch/smbd_harness.sh " \
                        "as root (ctest does)"

// Files on the share are made on first use, with pseudo-random content that
// makes any misplaced or repeated chunk visible.
const Bytes &shareFile(const std::string &relative, size_t size)
{
    static std::map<std::string, Bytes> made;
    auto found = made.find(relative);
    if (found != made.end())
        return found->second;
    Bytes bytes(size);
    std::mt19937_64 rng(size * 7919 + relative.size());
    for (auto &b : bytes)
        b = static_cast<uint8_t>(rng() >> 56);
    const fs::path path = fs::path(harnessServer()->shareDir) / relative;
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(size));
    out.close();
    if (!out)
        ADD_FAILURE() << "could not write " << path;
    return made.emplace(relative, std::move(bytes)).first->second;
}

// The share path the server knows as a "\"-separated path.
std::string remotePath(const std::string &relative)
{
    std::string p = "\\" + relative;
    for (auto &c : p)
        if (c == '/')
            c = '\\';
    return p;
}

// A connected session, disconnected when the test is done with it.
struct Session {
    SmbSession *handle = nullptr;
    int32_t connected = -1;

    Session(const Server &server, const std::string &sharePath)
    {
        connected = SMBConnect(server.address.c_str(), server.name.c_str(), sharePath.c_str(),
                               &handle);
    }
    explicit Session(const Server &server) : Session(server, server.sharePath) {}
    ~Session()
    {
        if (handle != nullptr)
            SMBDisonnect(handle);
    }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
};

struct File {
    SmbFile *handle = nullptr;
    int32_t opened = -1;

    File(SmbSession *session, const std::string &path, uint32_t offset = 0)
    {
        opened = SMBOpenFile(session, path.c_str(), offset, &handle);
    }
    ~File()
    {
        if (handle != nullptr)
            SMBCloseFile(handle);
    }
    File(const File &) = delete;
    File &operator=(const File &) = delete;
};

Bytes slice(const Bytes &bytes, size_t from, size_t count)
{
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

// Reads count bytes into a fresh buffer, checking the result code.
Bytes readExactly(SmbFile *file, uint32_t count)
{
    Bytes got(count == 0 ? 1 : count, 0xEE);
    EXPECT_EQ(SMBReadFile(file, count, got.data()), static_cast<int32_t>(count));
    got.resize(count);
    return got;
}

// A handle value that a failing open must overwrite with null.
SmbFile *notNullFile()
{
    static int placeholder;
    return reinterpret_cast<SmbFile *>(&placeholder);
}

size_t openDescriptorCount()
{
    size_t n = 0;
    for ([[maybe_unused]] const auto &entry : fs::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(SambaLifecycle, StartupReportsSuccessAndShutdownOne)
{
    EXPECT_EQ(SMBStartup(), 0);
    EXPECT_EQ(SMBShutdown(), 1);
    EXPECT_EQ(SMBStartup(), 0);
}

TEST(SambaRead, FilesOfEveryEdgeSizeComeBackByteForByte)
{
    REQUIRE_SERVER();
    // Around the 65535-byte raw chunk and the 65536 raw size Samba offers,
    // plus a size that takes four chunks and one that takes 161.
    const size_t sizes[] = {0, 1, 65535, 65536, 65537, 200000, 10u << 20};
    Session session(*server);
    ASSERT_EQ(session.connected, 1);
    ASSERT_NE(session.handle, nullptr);
    for (const size_t size : sizes) {
        SCOPED_TRACE("size " + std::to_string(size));
        const std::string name = "sizes/file" + std::to_string(size) + ".bin";
        const Bytes &want = shareFile(name, size);
        File file(session.handle, remotePath(name));
        ASSERT_EQ(file.opened, 1);
        ASSERT_NE(file.handle, nullptr);
        EXPECT_EQ(SMBGetFileSize(file.handle), size);
        EXPECT_TRUE(readExactly(file.handle, static_cast<uint32_t>(size)) == want);
        // The size is the one from the open, also after reading.
        EXPECT_EQ(SMBGetFileSize(file.handle), size);
    }
}

TEST(SambaRead, ConsecutiveReadsOfUnevenCountsContinueWhereTheLastEnded)
{
    REQUIRE_SERVER();
    const Bytes &want = shareFile("uneven.bin", 400000);
    Session session(*server);
    ASSERT_EQ(session.connected, 1);
    File file(session.handle, "\\uneven.bin");
    ASSERT_EQ(file.opened, 1);
    const uint32_t counts[] = {1, 65534, 0, 65536, 131071, 3, 137855};
    size_t at = 0;
    for (const uint32_t count : counts) {
        SCOPED_TRACE("at " + std::to_string(at) + " count " + std::to_string(count));
        EXPECT_TRUE(readExactly(file.handle, count) == slice(want, at, count));
        at += count;
    }
    EXPECT_EQ(at, want.size());
}

TEST(SambaRead, StartOffsetIsWhereReadingBegins)
{
    REQUIRE_SERVER();
    const Bytes &want = shareFile("offsets.bin", 200000);
    Session session(*server);
    ASSERT_EQ(session.connected, 1);
    {
        File file(session.handle, "\\offsets.bin", 1000);
        ASSERT_EQ(file.opened, 1);
        EXPECT_EQ(SMBGetFileSize(file.handle), 200000u);
        EXPECT_TRUE(readExactly(file.handle, 199000) == slice(want, 1000, 199000));
    }
    {
        // An offset inside the second raw chunk, read across two chunk borders.
        File file(session.handle, "\\offsets.bin", 65535 + 17);
        ASSERT_EQ(file.opened, 1);
        EXPECT_TRUE(readExactly(file.handle, 131072) == slice(want, 65535 + 17, 131072));
    }
    {
        File file(session.handle, "\\offsets.bin", 0xFFFFFFFFu);
        ASSERT_EQ(file.opened, 1);
        EXPECT_TRUE(readExactly(file.handle, 5000) == slice(want, 0, 5000));
    }
}

TEST(SambaRead, TwoOpenFilesOfOneSessionKeepTheirOwnPlace)
{
    REQUIRE_SERVER();
    const Bytes &a = shareFile("pair/a.bin", 150000);
    const Bytes &b = shareFile("pair/b.bin", 150001);
    Session session(*server);
    ASSERT_EQ(session.connected, 1);
    File fa(session.handle, "\\pair\\a.bin");
    File fb(session.handle, "\\pair\\b.bin", 10);
    ASSERT_EQ(fa.opened, 1);
    ASSERT_EQ(fb.opened, 1);
    EXPECT_TRUE(readExactly(fa.handle, 70000) == slice(a, 0, 70000));
    EXPECT_TRUE(readExactly(fb.handle, 70000) == slice(b, 10, 70000));
    EXPECT_TRUE(readExactly(fa.handle, 80000) == slice(a, 70000, 80000));
    EXPECT_TRUE(readExactly(fb.handle, 80001 - 10) == slice(b, 70010, 80001 - 10));
}

TEST(SambaRead, ReadingPastTheEndIsABadReplyThatBreaksTheSession)
{
    REQUIRE_SERVER();
    const Bytes &want = shareFile("short.bin", 1000);
    Session session(*server);
    ASSERT_EQ(session.connected, 1);
    {
        File file(session.handle, "\\short.bin", 900);
        ASSERT_EQ(file.opened, 1);
        Bytes got(200, 0xEE);
        // The server sends the 100 bytes it has; the chunk asked for 200.
        EXPECT_EQ(SMBReadFile(file.handle, 200, got.data()), SMB_READ_BAD_REPLY);
        EXPECT_TRUE(slice(got, 0, 100) == slice(want, 900, 100));
    }
    // A short raw reply breaks the session: it fails at once from then on,
    // and a new one reads the file.
    SmbFile *file = notNullFile();
    errno = 0;
    EXPECT_EQ(SMBOpenFile(session.handle, "\\short.bin", 0, &file), 0);
    EXPECT_EQ(errno, ENOTCONN);
    EXPECT_EQ(file, nullptr);
    Session fresh(*server);
    ASSERT_EQ(fresh.connected, 1);
    File again(fresh.handle, "\\short.bin");
    ASSERT_EQ(again.opened, 1);
    EXPECT_TRUE(readExactly(again.handle, 1000) == want);
}

constexpr uint64_t k4GiB = 1ull << 32;
constexpr uint64_t kMiB = 1ull << 20;

// Large sparse files hold data only in a few places: a few MiB either side
// of 4 GiB and the last MiB; everything else reads as zeros.
struct SparseFile {
    uint64_t size;
    std::vector<std::pair<uint64_t, uint64_t>> regions;  // [from, to)

    static uint8_t dataByte(uint64_t offset)
    {
        return static_cast<uint8_t>(((offset * 2654435761u) >> 13) | 1u);  // never 0
    }
    bool inData(uint64_t offset) const
    {
        for (const auto &[from, to] : regions)
            if (offset >= from && offset < to)
                return true;
        return false;
    }
    uint8_t at(uint64_t offset) const { return inData(offset) ? dataByte(offset) : 0; }
};

SparseFile makeSparseFile(const std::string &relative, uint64_t size)
{
    SparseFile file{size, {{k4GiB - 4 * kMiB, std::min(size, k4GiB + 4 * kMiB)},
                           {size - kMiB, size}}};
    const fs::path path = fs::path(harnessServer()->shareDir) / relative;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (const auto &[from, to] : file.regions) {
        std::vector<char> bytes(to - from);
        for (uint64_t o = from; o < to; ++o)
            bytes[o - from] = static_cast<char>(SparseFile::dataByte(o));
        out.seekp(static_cast<std::streamoff>(from));
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    out.close();
    fs::resize_file(path, size);
    if (!out || fs::file_size(path) != size)
        ADD_FAILURE() << "could not make " << path;
    return file;
}

// Reads [from, size) sequentially in blocks and compares with the sparse
// file's bytes: every byte of the data regions, the holes as zeros.
void readToTheEndAndCompare(SmbFile *handle, const SparseFile &file, uint64_t from)
{
    constexpr uint32_t kBlock = 64u << 20;
    std::vector<uint8_t> block(kBlock);
    const std::vector<uint8_t> zeros(kBlock, 0);
    for (uint64_t at = from; at < file.size;) {
        const auto count = static_cast<uint32_t>(std::min<uint64_t>(kBlock, file.size - at));
        ASSERT_EQ(SMBReadFile(handle, count, block.data()), static_cast<int32_t>(count))
            << "at " << at;
        for (uint64_t o = at; o < at + count;) {
            if (file.inData(o)) {
                ASSERT_EQ(block[o - at], SparseFile::dataByte(o)) << "offset " << o;
                ++o;
                continue;
            }
            // A hole up to the next region or the block's end: all zeros.
            uint64_t end = at + count;
            for (const auto &[regionFrom, to] : file.regions)
                if (regionFrom > o && regionFrom < end)
                    end = regionFrom;
            ASSERT_EQ(std::memcmp(block.data() + (o - at), zeros.data(), end - o), 0)
                << "hole at " << o;
            o = end;
        }
        at += count;
    }
}

TEST(SambaLargeFiles, TrueSizeAndByteExactReadsAcrossFourGiBToTheEnd)
{
    REQUIRE_SERVER();
    for (const uint64_t size : {k4GiB + 100000, 6 * (uint64_t{1} << 30)}) {
        SCOPED_TRACE("size " + std::to_string(size));
        const std::string name = "large" + std::to_string(size) + ".bin";
        const SparseFile want = makeSparseFile(name, size);
        Session session(*server);
        ASSERT_EQ(session.connected, 1);
        const uint32_t start = static_cast<uint32_t>(k4GiB - 4 * kMiB);
        File file(session.handle, "\\" + name, start);
        ASSERT_EQ(file.opened, 1);
        EXPECT_EQ(SMBGetFileSize(file.handle), 0xFFFFFFFFu);
        EXPECT_EQ(SMBGetFileSize64(file.handle), size);
        readToTheEndAndCompare(file.handle, want, start);
        uint8_t past = 0;
        EXPECT_EQ(SMBReadFile(file.handle, 1, &past), SMB_READ_BAD_REPLY);
    }
}

TEST(SambaPaths, NestedFolderAndSpacesInTheName)
{
    REQUIRE_SERVER();
    const Bytes &nested = shareFile("deep/er/still deeper/nested.bin", 70000);
    const Bytes &spaced = shareFile("a name with spaces.dat", 12345);
    Session session(*server);
    ASSERT_EQ(session.connected, 1);
    {
        File file(session.handle, "\\deep\\er\\still deeper\\nested.bin");
        ASSERT_EQ(file.opened, 1);
        EXPECT_EQ(SMBGetFileSize(file.handle), nested.size());
        EXPECT_TRUE(readExactly(file.handle, 70000) == nested);
    }
    {
        File file(session.handle, "\\a name with spaces.dat");
        ASSERT_EQ(file.opened, 1);
        EXPECT_TRUE(readExactly(file.handle, 12345) == spaced);
    }
}

TEST(SambaPaths, MissingFileFailsToOpenAndTheSessionGoesOn)
{
    REQUIRE_SERVER();
    const Bytes &present = shareFile("present.bin", 3000);
    Session session(*server);
    ASSERT_EQ(session.connected, 1);
    for (const char *path : {"\\no such file.bin", "\\nowhere\\present.bin", "\\present.bin\\x"}) {
        SCOPED_TRACE(path);
        SmbFile *file = notNullFile();
        EXPECT_EQ(SMBOpenFile(session.handle, path, 0, &file), 0);
        EXPECT_EQ(file, nullptr);
    }
    File file(session.handle, "\\present.bin");
    ASSERT_EQ(file.opened, 1);
    EXPECT_TRUE(readExactly(file.handle, 3000) == present);
}

TEST(SambaPaths, NamesInAnyLanguageOpenFromUtf8)
{
    REQUIRE_SERVER();
    const char *names[] = {
        "M\xC3\xB6tley Caf\xC3\xA9.mp3",                      // Latin-1 accents
        "\xD0\x9A\xD0\xB8\xD0\xBD\xD0\xBE.mp3",                 // Cyrillic
        "\xE9\x9F\xB3\xE6\xA5\xBD.mp3",                         // Japanese
        "\xF0\x9F\x8E\xB5 song.mp3",                            // an emoji: a surrogate pair
        "M\xC3\xBAsica/\xC3\x9C" "ber & 'Mix' #1 100%.mp3",     // a folder, spaces and &'#%
        "plain & 'simple' #2 50%.mp3",                          // ASCII goes as it always did
    };
    Session session(*server);
    ASSERT_EQ(session.connected, 1);
    for (size_t i = 0; i < std::size(names); ++i) {
        SCOPED_TRACE(names[i]);
        const std::string name = std::string("languages/") + names[i];
        const Bytes &want = shareFile(name, 1000 + i);
        File file(session.handle, remotePath(name));
        ASSERT_EQ(file.opened, 1);
        EXPECT_EQ(SMBGetFileSize(file.handle), want.size());
        EXPECT_TRUE(readExactly(file.handle, static_cast<uint32_t>(want.size())) == want);
    }
}

TEST(SambaPaths, NamesMatchWithoutRegardToCase)
{
    REQUIRE_SERVER();
    const Bytes &mp3 = shareFile("music/cbr128.mp3", 5000);
    const Bytes &accented = shareFile("music/caf\xC3\xA9.mp3", 4001);
    Session session(*server);
    ASSERT_EQ(session.connected, 1);
    {
        File file(session.handle, "\\MUSIC\\CBR128.MP3");
        ASSERT_EQ(file.opened, 1);
        EXPECT_TRUE(readExactly(file.handle, 5000) == mp3);
    }
    {
        File file(session.handle, "\\Music\\CAF\xC3\x89.Mp3");
        ASSERT_EQ(file.opened, 1);
        EXPECT_TRUE(readExactly(file.handle, 4001) == accented);
    }
}

TEST(SambaConnect, RefusedShareGivesASessionWithoutFiles)
{
    REQUIRE_SERVER();
    shareFile("present.bin", 3000);
    const std::string refused = "\\\\" + server->name + "\\NOSUCHSHARE";
    SmbSession *session = nullptr;
    ASSERT_EQ(SMBConnect(server->address.c_str(), server->name.c_str(), refused.c_str(), &session),
              1);
    ASSERT_NE(session, nullptr);
    SmbFile *file = notNullFile();
    EXPECT_EQ(SMBOpenFile(session, "\\present.bin", 0, &file), 0);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(SMBDisonnect(session), 1);
}

TEST(SambaConnect, NoServerAtTheAddressGivesNoSession)
{
    REQUIRE_SERVER();
    // smbd listens on 127.0.0.1 only; 127.0.0.2 refuses the connection at once.
    static int placeholder;
    SmbSession *session = reinterpret_cast<SmbSession *>(&placeholder);  // must be cleared
    const auto start = Clock::now();
    EXPECT_EQ(SMBConnect("127.0.0.2", server->name.c_str(), server->sharePath.c_str(), &session),
              0);
    EXPECT_EQ(session, nullptr);
    EXPECT_LT(secondsSince(start), 2.0);
}

TEST(SambaConnect, ManyCyclesLeaveNoDescriptorBehind)
{
    REQUIRE_SERVER();
    shareFile("present.bin", 3000);
    auto cycle = [&](bool withFile) {
        SmbSession *session = nullptr;
        ASSERT_EQ(SMBConnect(server->address.c_str(), server->name.c_str(),
                             server->sharePath.c_str(), &session),
                  1);
        if (withFile) {
            SmbFile *file = nullptr;
            ASSERT_EQ(SMBOpenFile(session, "\\present.bin", 0, &file), 1);
            uint8_t byte = 0;
            EXPECT_EQ(SMBReadFile(file, 1, &byte), 1);
            EXPECT_EQ(SMBCloseFile(file), 1);
        }
        EXPECT_EQ(SMBDisonnect(session), 1);
    };
    cycle(true);  // anything made once per process is made now
    const size_t before = openDescriptorCount();
    for (int i = 0; i < 200 && !HasFatalFailure(); ++i)
        cycle(i % 20 == 0);
    EXPECT_EQ(openDescriptorCount(), before);
}

// Run by the harness with a NetBIOS name of 15 characters (the server then
// sends a longer NEGOTIATE reply than with a short name) and a share name
// outside ASCII, which goes out in UTF-16.
TEST(SambaLongName, FifteenCharacterServerNameConnectsAndReads)
{
    REQUIRE_SERVER();
    if (server->name.size() != 15)
        GTEST_SKIP() << "needs the harness started with --netbios-name of 15 characters";
    const Bytes &want = shareFile("long-name.bin", 100000);
    Session session(*server);
    ASSERT_EQ(session.connected, 1);
    File file(session.handle, "\\long-name.bin");
    ASSERT_EQ(file.opened, 1);
    EXPECT_TRUE(readExactly(file.handle, 100000) == want);
}

struct Member {
    pid_t pid;
    char state;
};

// The processes of the smbd process group, with their states.
std::vector<Member> groupMembers(pid_t group)
{
    std::vector<Member> members;
    for (const auto &entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream in(entry.path() / "stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t paren = stat.rfind(')');
        if (paren == std::string::npos)
            continue;
        char state = 0;
        long ppid = 0, pgrp = 0;
        if (std::sscanf(stat.c_str() + paren + 1, " %c %ld %ld", &state, &ppid, &pgrp) == 3 &&
            pgrp == group)
            members.push_back(Member{static_cast<pid_t>(std::stol(name)), state});
    }
    return members;
}

// Whether all live processes of the smbd process group are stopped. A child
// that exited just before the stop (on SMB2, the one that refused the
// connect's SMB1 attempt) stays a zombie until its stopped parent reaps it;
// it runs no more, so it counts neither way.
bool groupStopped(pid_t group, size_t *members)
{
    *members = 0;
    bool stopped = true;
    for (const Member &m : groupMembers(group)) {
        if (m.state == 'Z' || m.state == 'X')
            continue;
        ++*members;
        if (m.state != 'T' && m.state != 't')
            stopped = false;
    }
    return stopped;
}

// "pid:state ..." of the group, for a failure message.
std::string describeGroup(pid_t group)
{
    std::string text = "group " + std::to_string(group) + ":";
    for (const Member &m : groupMembers(group))
        text += " " + std::to_string(m.pid) + ":" + m.state;
    return text;
}

pid_t serverGroup(const Server &server)
{
    pid_t group = 0;
    std::ifstream(server.pidFile) >> group;
    return group;
}

// Sends signal to every smbd but the main one: the child serving a session
// stops or goes on while the server keeps accepting.
void signalChildren(pid_t group, int signal)
{
    for (const Member &m : groupMembers(group)) {
        if (m.pid != group) {
            EXPECT_EQ(kill(m.pid, signal), 0);
        }
    }
}

// The server's child stopped for longer than the wait, then resumed: the
// read fails with a time-out, and the reply that comes after it is never
// handed out as another read's data.
TEST(SambaServerStop, StalledChildBreaksTheSessionAndItsLateReplyIsNeverDelivered)
{
    REQUIRE_SERVER();
    const pid_t group = serverGroup(*server);
    ASSERT_GT(group, 1) << "no smbd pid in " << server->pidFile;
    const Bytes &want = shareFile("stalled.bin", 400000);
    Session session(*server);
    ASSERT_EQ(session.connected, 1);
    File file(session.handle, "\\stalled.bin");
    ASSERT_EQ(file.opened, 1);
    ASSERT_TRUE(readExactly(file.handle, 100000) == slice(want, 0, 100000));

    signalChildren(group, SIGSTOP);
    Bytes rest(200000, 0xEE);
    errno = 0;
    auto start = Clock::now();
    EXPECT_EQ(SMBReadFile(file.handle, 200000, rest.data()), SMB_READ_BAD_REPLY);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_GE(secondsSince(start), 7.9);
    signalChildren(group, SIGCONT);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the late reply is out

    start = Clock::now();
    Bytes again(65535, 0xEE);
    errno = 0;
    EXPECT_EQ(SMBReadFile(file.handle, 65535, again.data()), SMB_READ_BAD_REPLY);
    EXPECT_EQ(errno, ENOTCONN);
    EXPECT_TRUE(again == Bytes(65535, 0xEE)) << "bytes of the late reply were delivered";
    SmbFile *other = notNullFile();
    EXPECT_EQ(SMBOpenFile(session.handle, "\\stalled.bin", 0, &other), 0);
    EXPECT_EQ(errno, ENOTCONN);
    EXPECT_EQ(SMBCloseFile(file.handle), 1);
    file.handle = nullptr;
    EXPECT_EQ(SMBDisonnect(session.handle), 1);
    session.handle = nullptr;
    EXPECT_LT(secondsSince(start), 0.5);

    Session fresh(*server);
    ASSERT_EQ(fresh.connected, 1);
    File whole(fresh.handle, "\\stalled.bin");
    ASSERT_EQ(whole.opened, 1);
    EXPECT_TRUE(readExactly(whole.handle, 400000) == want);
}

// Ends the run's server: this test goes last and gets its own harness run.
TEST(SambaServerStop, ServerKilledDuringAReadGivesABadReplyWithoutHanging)
{
    REQUIRE_SERVER();
    const pid_t group = serverGroup(*server);
    ASSERT_GT(group, 1) << "no smbd pid in " << server->pidFile;
    const Bytes &want = shareFile("victim.bin", 1u << 20);
    Session session(*server);
    ASSERT_EQ(session.connected, 1);
    File file(session.handle, "\\victim.bin");
    ASSERT_EQ(file.opened, 1);
    ASSERT_TRUE(readExactly(file.handle, 100000) == slice(want, 0, 100000));

    // Freeze the server so that the next read is certainly waiting for it
    // when it dies. SIGPIPE keeps its default: the library must not raise it.
    ASSERT_EQ(kill(-group, SIGSTOP), 0);
    size_t members = 0;
    const auto freeze = Clock::now();
    while (!groupStopped(group, &members) && secondsSince(freeze) < 5)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(groupStopped(group, &members)) << describeGroup(group);
    ASSERT_GE(members, 2u) << "expected the main smbd and the child serving this session";

    Bytes rest(want.size() - 100000, 0xEE);
    std::atomic<int32_t> result{1};
    std::atomic<double> took{0};
    std::thread reader([&] {
        const auto start = Clock::now();
        result = SMBReadFile(file.handle, static_cast<uint32_t>(rest.size()), rest.data());
        took = secondsSince(start);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto killed = Clock::now();
    EXPECT_EQ(kill(-group, SIGKILL), 0);
    reader.join();
    EXPECT_EQ(result.load(), SMB_READ_BAD_REPLY);
    EXPECT_GE(took.load(), 0.25) << "the read ended before the server died";
    // The closed connection ends the wait at once, well before its 8 s.
    EXPECT_LT(secondsSince(killed), 3.0);

    // Closing and disconnecting over the dead connection release the handles.
    auto start = Clock::now();
    EXPECT_EQ(SMBCloseFile(file.handle), 1);
    file.handle = nullptr;
    EXPECT_LT(secondsSince(start), 3.0);
    start = Clock::now();
    EXPECT_EQ(SMBDisonnect(session.handle), 1);
    session.handle = nullptr;
    EXPECT_LT(secondsSince(start), 3.0);

    SmbSession *again = nullptr;
    EXPECT_EQ(SMBConnect(server->address.c_str(), server->name.c_str(),
                         server->sharePath.c_str(), &again),
              0);
    EXPECT_EQ(again, nullptr);
}

// ---- positional reads (SMBReadFileAt) ------------------------------------

// Reads count bytes at offset into a fresh buffer; the result must be want's
// size, and the bytes must be want.
void expectReadAt(SmbFile *file, uint64_t offset, uint32_t count, const Bytes &want)
{
    SCOPED_TRACE("offset " + std::to_string(offset) + " count " + std::to_string(count));
    Bytes got(count == 0 ? 1 : count, 0xEE);
    ASSERT_EQ(SMBReadFileAt(file, offset, count, got.data()), static_cast<int32_t>(want.size()));
    got.resize(want.size());
    EXPECT_TRUE(got == want);
}

TEST(SambaReadAt, EveryCountAndOffsetComesBackByteForByte)
{
    REQUIRE_SERVER();
    const size_t size = (3u << 20) + 12345;
    const Bytes &want = shareFile("at/mixed.bin", size);
    Session session(*server);
    ASSERT_EQ(session.connected, 1);
    File file(session.handle, "\\at\\mixed.bin");
    ASSERT_EQ(file.opened, 1);
    const uint32_t counts[] = {0, 1, 65535, 65536, 65537, 131072, (1u << 20) + 1, 2u << 20};
    const uint64_t offsets[] = {0, 1, 65535, 1u << 20, size - (2u << 20) - 1};
    for (const uint64_t offset : offsets) {
        for (const uint32_t count : counts)
            expectReadAt(file.handle, offset, count, slice(want, offset, count));
    }
    // Ending exactly at the end, reaching past it, starting at and past it.
    expectReadAt(file.handle, size - 70000, 70000, slice(want, size - 70000, 70000));
    expectReadAt(file.handle, size - 70000, 3u << 20, slice(want, size - 70000, 70000));
    expectReadAt(file.handle, 0, 8u << 20, want);
    expectReadAt(file.handle, size, 1000, {});
    expectReadAt(file.handle, size + 5000, 1u << 20, {});
    expectReadAt(file.handle, uint64_t{1} << 40, 10, {});
}

TEST(SambaReadAt, HundredMebibytesInOneCall)
{
    REQUIRE_SERVER();
    const size_t size = 100u << 20;
    const Bytes &want = shareFile("at/hundred.bin", size);
    Session session(*server);
    ASSERT_EQ(session.connected, 1);
    File file(session.handle, "\\at\\hundred.bin");
    ASSERT_EQ(file.opened, 1);
    Bytes got(size, 0xEE);
    ASSERT_EQ(SMBReadFileAt(file.handle, 0, static_cast<uint32_t>(size), got.data()),
              static_cast<int32_t>(size));
    EXPECT_TRUE(got == want);
}

TEST(SambaReadAt, MixedWithSequentialReadsNeitherMovesTheOther)
{
    REQUIRE_SERVER();
    const Bytes &want = shareFile("at/interleaved.bin", 1u << 20);
    Session session(*server);
    ASSERT_EQ(session.connected, 1);
    File file(session.handle, "\\at\\interleaved.bin", 1000);
    ASSERT_EQ(file.opened, 1);
    EXPECT_TRUE(readExactly(file.handle, 100000) == slice(want, 1000, 100000));
    expectReadAt(file.handle, 500000, 300000, slice(want, 500000, 300000));
    EXPECT_TRUE(readExactly(file.handle, 65536) == slice(want, 101000, 65536));
    expectReadAt(file.handle, 0, 1000, slice(want, 0, 1000));
    EXPECT_TRUE(readExactly(file.handle, 7) == slice(want, 166536, 7));
}

// A sparse 6 GiB file with marked stretches just below and above 4 GiB.
TEST(SambaReadAt, ReadsAcrossFourGibibytesOfASparseFile)
{
    REQUIRE_SERVER();
    constexpr uint64_t kFourGiB = uint64_t{1} << 32;
    constexpr uint64_t kSize = 6 * (uint64_t{1} << 30);
    constexpr size_t kMark = 3u << 20;
    const Bytes &mark = shareFile("at/mark.bin", kMark);  // the stretch, also on the share
    const fs::path path = fs::path(server->shareDir) / "at" / "sparse6g.bin";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.seekp(static_cast<std::streamoff>(kFourGiB - kMark / 2));
        out.write(reinterpret_cast<const char *>(mark.data()), kMark);
        out.seekp(static_cast<std::streamoff>(kSize - 1));
        out.put('\x5A');
        ASSERT_TRUE(out.good());
    }
    Session session(*server);
    ASSERT_EQ(session.connected, 1);
    File file(session.handle, "\\at\\sparse6g.bin");
    ASSERT_EQ(file.opened, 1);
    const uint64_t markAt = kFourGiB - kMark / 2;
    expectReadAt(file.handle, markAt, kMark, mark);
    expectReadAt(file.handle, kFourGiB - 1, 2, slice(mark, kMark / 2 - 1, 2));
    expectReadAt(file.handle, kFourGiB + 12345, 65536, slice(mark, kMark / 2 + 12345, 65536));
    // Around the stretch, the holes read as zeros.
    Bytes before(1000, 0);
    before.insert(before.end(), mark.begin(), mark.begin() + 1000);
    expectReadAt(file.handle, markAt - 1000, 2000, before);
    expectReadAt(file.handle, kSize - 2, 10, Bytes{0, 0x5A});
    expectReadAt(file.handle, kSize, 10, {});
    fs::remove(path);
}

TEST(SambaReadAt, SixteenThreadsEachWithItsOwnSession)
{
    REQUIRE_SERVER();
    const size_t size = 4u << 20;
    const Bytes &want = shareFile("at/threads.bin", size);
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int t = 0; t < 16; ++t) {
        threads.emplace_back([&, t] {
            Session session(*server);
            if (session.connected != 1)
                return;
            File file(session.handle, "\\at\\threads.bin");
            if (file.opened != 1)
                return;
            std::mt19937 rng(static_cast<unsigned>(t));
            Bytes got(size);
            bool same = true;
            for (int i = 0; i < 8; ++i) {
                const uint64_t offset = rng() % size;
                const auto count = static_cast<uint32_t>(rng() % (size - offset + 1));
                same = same && SMBReadFileAt(file.handle, offset, count, got.data()) ==
                                   static_cast<int32_t>(count) &&
                       std::memcmp(got.data(), want.data() + offset, count) == 0;
            }
            if (same)
                ++good;
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(good.load(), 16);
}

}  // namespace

// ---- Which protocol a session takes, and the SMB2 path ----
// The harness runs smbd either with NT1 allowed or in Samba's default (SMB1
// refused); the cases below name the one they need and skip under the other.

namespace {

bool harnessProtocols(const char *wanted)
{
    const char *v = envOrNull("SMBD_HARNESS_PROTOCOLS");
    return v != nullptr && std::strcmp(v, wanted) == 0;
}

#define REQUIRE_PROTOCOLS(wanted)                                                       \
    REQUIRE_SERVER();                                                                   \
    if (!harnessProtocols(wanted))                                                      \
        GTEST_SKIP() << "needs the harness with SMBD_HARNESS_PROTOCOLS=" wanted

// smbstatus's line for our session's protocol ("NT1", "SMB3_02", ...).
std::string smbstatusProtocols()
{
    const std::string command =
        std::string("smbstatus -b -s '") + envOrNull("SMBD_HARNESS_CONF") + "' 2>/dev/null";
    std::string out;
    if (FILE *pipe = popen(command.c_str(), "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, pipe) != nullptr)
            out += line;
        pclose(pipe);
    }
    return out;
}

}  // namespace

TEST(SambaProtocol, ServerWithNt1TakesTheSmb1Path)
{
    REQUIRE_PROTOCOLS("nt1");
    Session session(*server);
    ASSERT_EQ(session.connected, 1);
    EXPECT_EQ(SMBGetDialect(session.handle), SMB_DIALECT_NT1);
    EXPECT_NE(smbstatusProtocols().find(" NT1 "), std::string::npos) << smbstatusProtocols();
    EXPECT_EQ(SMBGetDialect(nullptr), 0);
}

TEST(SambaProtocol, DefaultServerTakesTheSmb2Path)
{
    REQUIRE_PROTOCOLS("default");
    Session session(*server);
    ASSERT_EQ(session.connected, 1);
    EXPECT_EQ(SMBGetDialect(session.handle), 0x0302);
    const std::string status = smbstatusProtocols();
    EXPECT_NE(status.find("SMB3_02"), std::string::npos) << status;
    EXPECT_EQ(status.find(" NT1 "), std::string::npos) << status;
}

TEST(SambaSmb2, LargeFileInBlocksByteForByte)
{
    REQUIRE_PROTOCOLS("default");
    const Bytes &want = shareFile("large.bin", 100u << 20);
    Session session(*server);
    ASSERT_EQ(session.connected, 1);
    File file(session.handle, "\\large.bin");
    ASSERT_EQ(file.opened, 1);
    EXPECT_EQ(SMBGetFileSize(file.handle), want.size());
    Bytes got(want.size(), 0xEE);
    constexpr uint32_t kBlock = 1u << 20;
    for (size_t at = 0; at < got.size(); at += kBlock)
        ASSERT_EQ(SMBReadFile(file.handle, kBlock, got.data() + at), static_cast<int32_t>(kBlock));
    EXPECT_TRUE(got == want);
}

TEST(SambaSmb2, ReadsAcrossFourGiBOfASparseFile)
{
    REQUIRE_PROTOCOLS("default");
    constexpr uint64_t kFourGiB = 1ull << 32;
    constexpr uint32_t kSpan = 1u << 20;
    const std::string path = server->shareDir + "/sparse6g.bin";
    Bytes marks(2 * kSpan);
    std::mt19937 rng(6);
    for (auto &b : marks)
        b = static_cast<uint8_t>(rng());
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.seekp(static_cast<std::streamoff>(kFourGiB - kSpan));
        out.write(reinterpret_cast<const char *>(marks.data()), static_cast<std::streamsize>(marks.size()));
    }
    fs::resize_file(path, 6ull << 30);
    Session session(*server);
    ASSERT_EQ(session.connected, 1);
    File file(session.handle, "\\sparse6g.bin", static_cast<uint32_t>(kFourGiB - kSpan));
    ASSERT_EQ(file.opened, 1);
    EXPECT_EQ(SMBGetFileSize(file.handle), 0xFFFFFFFFu);  // saturated
    EXPECT_EQ(SMBGetFileSize64(file.handle), 6ull << 30);
    EXPECT_TRUE(readExactly(file.handle, 2 * kSpan) == marks);
    EXPECT_TRUE(readExactly(file.handle, 4096) == Bytes(4096, 0));
    // The last bytes, and a positional read that the end of the file cuts.
    Bytes tail(8192, 0xEE);
    EXPECT_EQ(SMBReadFileAt(file.handle, (6ull << 30) - 4096, 8192, tail.data()), 4096);
    EXPECT_TRUE(slice(tail, 0, 4096) == Bytes(4096, 0));
    Bytes across(2 * kSpan, 0xEE);
    EXPECT_EQ(SMBReadFileAt(file.handle, kFourGiB - kSpan, 2 * kSpan, across.data()),
              static_cast<int32_t>(2 * kSpan));
    EXPECT_TRUE(across == marks);
    fs::remove(path);
}

TEST(SambaSmb2, NamesInUtf8AndInAnyCase)
{
    REQUIRE_PROTOCOLS("default");
    const char *const names[] = {"Mötley Café.mp3", "Кино/Группа крови.mp3",
                                 "日本語のタイトル.mp3", "emoji 🎵 & ' # %.bin"};
    Session session(*server);
    ASSERT_EQ(session.connected, 1);
    for (const char *name : names) {
        SCOPED_TRACE(name);
        const Bytes &want = shareFile(name, 3000);
        File file(session.handle, remotePath(name));
        ASSERT_EQ(file.opened, 1);
        EXPECT_TRUE(readExactly(file.handle, 3000) == want);
    }
    const Bytes &want = shareFile("music/cbr128.mp3", 5000);
    File file(session.handle, "\\MUSIC\\CBR128.MP3");
    ASSERT_EQ(file.opened, 1);
    EXPECT_TRUE(readExactly(file.handle, 5000) == want);
}

// Unlike a raw read, an SMB2 reply says whose it is, so a read past the end
// is refused without losing step.
TEST(SambaSmb2, ReadingPastTheEndFailsAndTheSessionGoesOn)
{
    REQUIRE_PROTOCOLS("default");
    const Bytes &want = shareFile("short.bin", 70000);
    Session session(*server);
    ASSERT_EQ(session.connected, 1);
    File file(session.handle, "\\short.bin", 60000);
    ASSERT_EQ(file.opened, 1);
    Bytes got(20000, 0xEE);
    errno = 0;
    EXPECT_EQ(SMBReadFile(file.handle, 20000, got.data()), SMB_READ_BAD_REPLY);
    EXPECT_EQ(errno, EIO);
    EXPECT_TRUE(slice(got, 0, 10000) == slice(want, 60000, 10000));
    File again(session.handle, "\\short.bin");
    ASSERT_EQ(again.opened, 1);
    EXPECT_TRUE(readExactly(again.handle, 70000) == want);
}

TEST(SambaSmb2, SixteenThreadsWithSessionsOfTheirOwn)
{
    REQUIRE_PROTOCOLS("default");
    const Bytes &want = shareFile("threads.bin", (1u << 20) + 1);
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 16; ++i) {
        threads.emplace_back([&] {
            SmbSession *s = nullptr;
            SmbFile *f = nullptr;
            Bytes got(want.size());
            if (SMBConnect(server->address.c_str(), server->name.c_str(),
                           server->sharePath.c_str(), &s) == 1 &&
                SMBOpenFile(s, "\\threads.bin", 0, &f) == 1 &&
                SMBReadFile(f, static_cast<uint32_t>(got.size()), got.data()) ==
                    static_cast<int32_t>(got.size()) &&
                got == want)
                ++good;
            SMBCloseFile(f);
            SMBDisonnect(s);
        });
    }
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(good.load(), 16);
}

// Samba exempts anonymous sessions from mandatory signing; encryption it
// cannot exempt, and an anonymous session has no key to encrypt with.
TEST(SambaSecurity, MandatorySigningStillServesAnonymousSessions)
{
    REQUIRE_PROTOCOLS("default");
    const char *v = envOrNull("SMBD_HARNESS_EXPECT");
    if (v == nullptr || std::strcmp(v, "signing") != 0)
        GTEST_SKIP() << "needs the harness with server signing = mandatory";
    const Bytes &want = shareFile("signed.bin", 100000);
    Session session(*server);
    ASSERT_EQ(session.connected, 1);
    File file(session.handle, "\\signed.bin");
    ASSERT_EQ(file.opened, 1);
    EXPECT_TRUE(readExactly(file.handle, 100000) == want);
}

TEST(SambaSecurity, EncryptionRequiredFailsAtOnceWithItsErrno)
{
    REQUIRE_PROTOCOLS("default");
    const char *v = envOrNull("SMBD_HARNESS_EXPECT");
    if (v == nullptr || (std::strcmp(v, "encrypt-share") != 0 && std::strcmp(v, "encrypt-all") != 0))
        GTEST_SKIP() << "needs the harness with smb encrypt = required";
    shareFile("sealed.bin", 1000);
    const auto start = Clock::now();
    Session session(*server);
    if (std::strcmp(v, "encrypt-all") == 0) {
        EXPECT_EQ(session.connected, 0);  // the logon itself is refused
        EXPECT_EQ(errno, EACCES);
    } else {
        ASSERT_EQ(session.connected, 1);
        SmbFile *file = notNullFile();
        EXPECT_EQ(SMBOpenFile(session.handle, "\\sealed.bin", 0, &file), 0);
        EXPECT_EQ(errno, EACCES);
        EXPECT_EQ(file, nullptr);
    }
    EXPECT_LT(secondsSince(start), 1.0);
}

// ---- SMB1 against servers configured otherwise, one harness run each ----

namespace {

bool harnessExpects(const char *wanted)
{
    const char *v = envOrNull("SMBD_HARNESS_EXPECT");
    return v != nullptr && std::strcmp(v, wanted) == 0;
}

#define REQUIRE_NT1_EXPECTING(wanted)                                                   \
    REQUIRE_PROTOCOLS("nt1");                                                           \
    if (!harnessExpects(wanted))                                                        \
        GTEST_SKIP() << "needs the harness with SMBD_HARNESS_EXPECT=" wanted

// Connects, opens and reads a file of size bytes whole with SMBReadFile.
void readWholeFile(const Server &server, const std::string &relative, size_t size)
{
    const Bytes &want = shareFile(relative, size);
    Session session(server);
    ASSERT_EQ(session.connected, 1);
    ASSERT_EQ(SMBGetDialect(session.handle), SMB_DIALECT_NT1);
    File file(session.handle, remotePath(relative));
    ASSERT_EQ(file.opened, 1);
    EXPECT_EQ(SMBGetFileSize64(file.handle), size);
    EXPECT_TRUE(readExactly(file.handle, static_cast<uint32_t>(size)) == want);
}

}  // namespace

TEST(SambaInterop, SmallMaxXmitChangesNothing)
{
    REQUIRE_NT1_EXPECTING("max-xmit-4096");
    readWholeFile(*server, "xmit/M\xC3\xBAsica \xF0\x9F\x8E\xB5.bin", 300000);
}

TEST(SambaInterop, MandatorySigningStillServesTheGuest)
{
    REQUIRE_NT1_EXPECTING("signing");
    readWholeFile(*server, "signed/a.bin", 300000);
}

// Samba 4.17 takes "read raw = no" and serves READ_RAW all the same.
TEST(SambaInterop, RawReadsOffInTheConfiguration)
{
    REQUIRE_NT1_EXPECTING("read-raw-off");
    readWholeFile(*server, "noraw.bin", 300000);
}

// Over SMB1 the server tells an encrypted-only share from a refused one by
// nothing: the tree connect succeeds and the open is denied access.
TEST(SambaInterop, EncryptedShareRefusesTheOpenAtOnce)
{
    REQUIRE_NT1_EXPECTING("encrypt-share");
    shareFile("sealed.bin", 1000);
    const auto start = Clock::now();
    Session session(*server);
    ASSERT_EQ(session.connected, 1);
    EXPECT_EQ(SMBGetDialect(session.handle), SMB_DIALECT_NT1);
    SmbFile *file = notNullFile();
    errno = 0;
    EXPECT_EQ(SMBOpenFile(session.handle, "\\sealed.bin", 0, &file), 0);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(file, nullptr);
    EXPECT_LT(secondsSince(start), 1.0);
}

TEST(SambaInterop, RefusedGuestFailsTheConnectAtOnce)
{
    REQUIRE_NT1_EXPECTING("guest-refused");
    const auto start = Clock::now();
    errno = 0;
    Session session(*server);
    EXPECT_EQ(session.connected, 0);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(session.handle, nullptr);
    EXPECT_LT(secondsSince(start), 1.0);
}

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/inotify.h>
#include <unistd.h>

#include "mediaprobe.h"
#include "platform/pe_version_resource.h"

namespace fs = std::filesystem;

namespace {

const fs::path kPeDir = fs::path(MP_FIXTURES_DIR) / "pe";

// The modules tests/fixtures/pe/make_pe.sh links from version_e4.rc.
const char *const kE4Modules[] = {"version_e4_64.dll", "version_e4_32.dll", "version_e4_64.exe",
                                  "version_e4_32.exe"};

std::string pe(const char *name) { return (kPeDir / name).string(); }

std::vector<uint8_t> readBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t le32(const std::vector<uint8_t> &b, size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

void put16(std::vector<uint8_t> &b, size_t at, uint16_t v)
{
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

void put32(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
    for (size_t i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// The block of a module, as a host gets it through the exports.
std::vector<uint8_t> fill(const std::string &path)
{
    uint32_t handle = 7;
    const uint32_t size = exported_GetFileVersionInfoSize(path.c_str(), &handle);
    EXPECT_EQ(handle, 0u);
    std::vector<uint8_t> block(size);
    if (size != 0) {
        EXPECT_NE(exported_GetFileVersionInfo(path.c_str(), 0, size, block.data()), 0);
    }
    return block;
}

struct Value {
    bool found = false;
    const uint8_t *data = nullptr;
    uint32_t length = 0;
    std::string text() const { return found ? std::string(reinterpret_cast<const char *>(data)) : ""; }
};

Value query(const std::vector<uint8_t> &block, const char *path)
{
    Value v;
    void *at = nullptr;
    v.found = exported_VerQueryValue(block.data(), path, &at, &v.length) != 0;
    v.data = static_cast<const uint8_t *>(at);
    return v;
}

// Fixed file information: signature, structure version, then the version
// numbers and flags as the .rc file gives them.
constexpr uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr uint32_t kFixedInfoSize = 52;

std::vector<uint32_t> fixedInfo(const Value &v)
{
    std::vector<uint32_t> words(kFixedInfoSize / 4);
    std::memcpy(words.data(), v.data, kFixedInfoSize);
    return words;
}

}  // namespace

// ---- The exports on real modules ----

TEST(VersionExports, FixedInfoAndTranslationOfEveryImageKind)
{
    for (const char *name : kE4Modules) {
        SCOPED_TRACE(name);
        const std::vector<uint8_t> block = fill(pe(name));
        ASSERT_FALSE(block.empty());

        const Value fixed = query(block, "\\");
        ASSERT_TRUE(fixed.found);
        ASSERT_EQ(fixed.length, kFixedInfoSize);
        const std::vector<uint32_t> w = fixedInfo(fixed);
        EXPECT_EQ(w[0], kFixedInfoSignature);
        EXPECT_EQ(w[2], 0x00010002u);  // FILEVERSION 1,2,3,4
        EXPECT_EQ(w[3], 0x00030004u);
        EXPECT_EQ(w[4], 0x00050006u);  // PRODUCTVERSION 5,6,7,8
        EXPECT_EQ(w[5], 0x00070008u);
        EXPECT_EQ(w[6], 0x3Fu);        // FILEFLAGSMASK
        EXPECT_EQ(w[8], 0x40004u);     // FILEOS
        EXPECT_EQ(w[9], 2u);           // FILETYPE

        const Value translation = query(block, "\\VarFileInfo\\Translation");
        ASSERT_TRUE(translation.found);
        ASSERT_EQ(translation.length, 8u);
        const uint16_t expected[4] = {0x0407, 1200, 0x0409, 1252};
        EXPECT_EQ(std::memcmp(translation.data, expected, sizeof expected), 0);
    }
}

TEST(VersionExports, StringsAreNarrowWithLengthIncludingNul)
{
    const std::vector<uint8_t> block = fill(pe("version_e4_32.dll"));
    const Value company = query(block, "\\StringFileInfo\\040904E4\\CompanyName");
    EXPECT_EQ(company.text(), "Example Works");
    EXPECT_EQ(company.length, 14u);

    // Both tables carry FileVersion; each key finds its own.
    EXPECT_EQ(query(block, "\\StringFileInfo\\040704B0\\FileVersion").text(), "9.8-de");
    EXPECT_EQ(query(block, "\\StringFileInfo\\040904E4\\FileVersion").text(), "1.2.3.4");

    // U+00E9 and U+1F600 (a surrogate pair in the resource) as UTF-8.
    const Value comments = query(block, "\\StringFileInfo\\040904E4\\Comments");
    EXPECT_EQ(comments.text(), "caf\xC3\xA9 \xF0\x9F\x98\x80");
    EXPECT_EQ(comments.length, 11u);
}

TEST(VersionExports, KeysIgnoreCaseAndEmptyComponents)
{
    const std::vector<uint8_t> block = fill(pe("version_e4_64.exe"));
    EXPECT_EQ(query(block, "\\stringfileinfo\\040904e4\\fileversion").text(), "1.2.3.4");
    EXPECT_EQ(query(block, "\\STRINGFILEINFO\\040904E4\\FILEVERSION").text(), "1.2.3.4");
    EXPECT_EQ(query(block, "\\\\StringFileInfo\\040904E4\\\\FileVersion\\").text(), "1.2.3.4");
    EXPECT_EQ(query(block, "").length, kFixedInfoSize);

    EXPECT_FALSE(query(block, "\\StringFileInfo\\040904E4\\FileVer").found);
    EXPECT_FALSE(query(block, "\\StringFileInfo\\040904E4\\FileVersionX").found);
    EXPECT_FALSE(query(block, "\\StringFileInfo\\040904B0\\FileVersion").found);
    EXPECT_FALSE(query(block, "\\StringFileInfo\\040904E4\\FileVersion\\More").found);
    // Keys match whole nodes at their own level, not deeper ones.
    EXPECT_FALSE(query(block, "\\FileVersion").found);

    void *at = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(exported_VerQueryValue(nullptr, "\\", &at, &length), 0);
    EXPECT_EQ(exported_VerQueryValue(block.data(), nullptr, &at, &length), 0);
    EXPECT_EQ(exported_VerQueryValue(block.data(), "\\", nullptr, &length), 0);
}

TEST(VersionExports, FillNeedsTheReportedSize)
{
    const std::string path = pe("version_e4_64.dll");
    const uint32_t size = exported_GetFileVersionInfoSize(path.c_str(), nullptr);
    ASSERT_GT(size, 0u);
    std::vector<uint8_t> block(size + 16, 0xAA);
    EXPECT_EQ(exported_GetFileVersionInfo(path.c_str(), 0, size - 1, block.data()), 0);
    EXPECT_EQ(exported_GetFileVersionInfo(path.c_str(), 0, size + 16, block.data()), 1);
    EXPECT_EQ(block[size], 0xAA);  // nothing past the block is written
    EXPECT_EQ(exported_GetFileVersionInfo(path.c_str(), 0, size, nullptr), 0);
}

TEST(VersionExports, NoBlockWithoutAVersionResource)
{
    const std::string notPe = (fs::path(MP_FIXTURES_DIR) / "mp3" / "cbr64_44100_mono.mp3").string();
    for (const std::string &path : {pe("no_version_64.dll"), pe("no_resources_64.dll"), notPe,
                                    kPeDir.string(), pe("missing.dll"), pe("version_e4.rc")}) {
        SCOPED_TRACE(path);
        uint32_t handle = 7;
        EXPECT_EQ(exported_GetFileVersionInfoSize(path.c_str(), &handle), 0u);
        EXPECT_EQ(handle, 0u);
        std::vector<uint8_t> block(4096);
        EXPECT_EQ(exported_GetFileVersionInfo(path.c_str(), 0, 4096, block.data()), 0);
    }
    EXPECT_EQ(exported_GetFileVersionInfoSize(nullptr, nullptr), 0u);
}

// ---- What other writers and damaged files carry ----

TEST(VersionQuirks, StringTableValuesAreTextWhateverTheirTypeAndLengthUnit)
{
    const std::vector<uint8_t> block = fill(pe("version_quirks_64.dll"));
    ASSERT_FALSE(block.empty());
    struct Case {
        const char *key, *text;
    };
    // Typed binary counting characters, binary counting bytes, text counting
    // bytes, and one as windres wrote it.
    for (const Case &c : {Case{"FileVersion", "1.2.3.4"}, Case{"ProductVersion", "5.6.7.8"},
                          Case{"ProductName", "Byte Counted"},
                          Case{"FileDescription", "Well-formed neighbour"}}) {
        const Value v = query(block, (std::string("\\StringFileInfo\\040904E4\\") + c.key).c_str());
        EXPECT_EQ(v.text(), c.text) << c.key;
        EXPECT_EQ(v.length, std::strlen(c.text) + 1) << c.key;
    }
    char out[16];
    EXPECT_EQ(exported_GetFileVersionInfo_FileVersion(pe("version_quirks_64.dll").c_str(), out,
                                                      sizeof out),
              1);
    EXPECT_STREQ(out, "1.2.3.4");

    // Outside the string tables a binary value stays binary.
    const Value translation = query(block, "\\VarFileInfo\\Translation");
    ASSERT_EQ(translation.length, 8u);
    const uint16_t expected[4] = {0x0407, 1200, 0x0409, 1252};
    EXPECT_EQ(std::memcmp(translation.data, expected, sizeof expected), 0);
}

TEST(VersionQuirks, AMalformedChildIsDroppedAndItsNeighboursKept)
{
    const std::vector<uint8_t> block = fill(pe("version_quirks_64.dll"));
    // A string whose key never ends, and a table whose child reaches past it.
    EXPECT_FALSE(query(block, "\\StringFileInfo\\040904E4\\CompanyName").found);
    EXPECT_FALSE(query(block, "\\StringFileInfo\\040704B0").found);
    EXPECT_FALSE(query(block, "\\StringFileInfo\\040704B0\\FileVersion").found);
    EXPECT_EQ(query(block, "\\").length, kFixedInfoSize);

}

// ---- FileVersion text ----

struct Copy {
    int32_t result = -1;
    std::string out = std::string(32, 'X');
};

Copy fileVersion(const char *name, uint32_t outLength)
{
    Copy c;
    c.result = exported_GetFileVersionInfo_FileVersion(pe(name).c_str(), c.out.data(), outLength);
    return c;
}

TEST(FileVersionText, CopiesExactlyTheBoundedLength)
{
    for (const char *name : kE4Modules) {
        SCOPED_TRACE(name);
        const Copy roomy = fileVersion(name, 20);  // value is 8 bytes with its NUL
        EXPECT_EQ(roomy.result, 1);
        EXPECT_EQ(roomy.out, std::string("1.2.3.4") + '\0' + std::string(24, 'X'));
    }
    const Copy exact = fileVersion("version_e4_64.dll", 8);
    EXPECT_EQ(exact.out, std::string("1.2.3.4") + '\0' + std::string(24, 'X'));
    const Copy noRoomForNul = fileVersion("version_e4_64.dll", 7);
    EXPECT_EQ(noRoomForNul.result, 1);
    EXPECT_EQ(noRoomForNul.out, "1.2.3.4" + std::string(25, 'X'));
    const Copy shorter = fileVersion("version_e4_32.exe", 3);
    EXPECT_EQ(shorter.result, 1);
    EXPECT_EQ(shorter.out, "1.2" + std::string(29, 'X'));
}

TEST(FileVersionText, ZeroLengthOnlyClearsTheFirstByte)
{
    const Copy none = fileVersion("version_e4_32.dll", 0);
    EXPECT_EQ(none.result, 1);
    EXPECT_EQ(none.out, '\0' + std::string(31, 'X'));
}

TEST(FileVersionText, LongValue)
{
    std::string out(200, 'X');
    ASSERT_EQ(exported_GetFileVersionInfo_FileVersion(pe("long_version_32.dll").c_str(), out.data(),
                                                      200),
              1);
    std::string expected;
    for (int i = 0; i < 10; ++i)
        expected += "0123456789A,";
    EXPECT_EQ(out.substr(0, 121), expected + '\0');
    EXPECT_EQ(out.substr(121), std::string(79, 'X'));
}

TEST(FileVersionText, OnlyTheUsEnglishWindowsKeyCounts)
{
    for (const char *name : {"version_b0_64.dll", "no_version_64.dll", "no_resources_64.dll",
                             "missing.dll"}) {
        SCOPED_TRACE(name);
        const Copy c = fileVersion(name, 32);
        EXPECT_EQ(c.result, 0);
        EXPECT_EQ(c.out, '\0' + std::string(31, 'X'));
    }
    // The module does carry a FileVersion, under 040904B0.
    EXPECT_EQ(query(fill(pe("version_b0_64.dll")), "\\StringFileInfo\\040904B0\\FileVersion").text(),
              "2.0.0.1");
}

// Counts the times the file is opened while the watch lives.
class OpenWatch {
public:
    explicit OpenWatch(const std::string &path)
    {
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ < 0 || inotify_add_watch(fd_, path.c_str(), IN_OPEN) < 0)
            ADD_FAILURE() << "inotify";
    }
    ~OpenWatch() { close(fd_); }
    int opens()
    {
        alignas(inotify_event) char buffer[4096];
        int count = 0;
        ssize_t n = 0;
        while ((n = read(fd_, buffer, sizeof buffer)) > 0) {
            for (ssize_t at = 0; at < n;) {
                const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
                count += (event->mask & IN_OPEN) != 0;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return count;
    }

private:
    int fd_ = -1;
};

TEST(FileVersionText, NullOutputIsRefusedBeforeTheFileIsOpened)
{
    const std::string path = pe("version_e4_64.dll");
    OpenWatch watch(path);
    EXPECT_EQ(exported_GetFileVersionInfo_FileVersion(path.c_str(), nullptr, 32), 0);
    EXPECT_EQ(watch.opens(), 0);
    char text[32];
    EXPECT_EQ(exported_GetFileVersionInfo_FileVersion(path.c_str(), text, 32), 1);
    EXPECT_GT(watch.opens(), 0);  // the watch does see the reader's opens
    std::string out(4, 'X');
    EXPECT_EQ(exported_GetFileVersionInfo_FileVersion(nullptr, out.data(), 4), 0);
    EXPECT_EQ(out[0], '\0');
}

// ---- Malformed and truncated modules ----

namespace {

// Where a module's headers and version resource lie, read the plain way.
struct Layout {
    size_t optional = 0;         // optional header
    size_t resourceEntry = 0;    // data directory 2
    size_t headersEnd = 0;       // end of the section table
    size_t rootDirectory = 0;    // file offset of the resource tree root
    size_t resourceSection = 0;  // its section header
    size_t versionData = 0;      // file offset of the VS_VERSIONINFO resource
    size_t versionSize = 0;
};

Layout layoutOf(const std::vector<uint8_t> &image)
{
    Layout l;
    const size_t coff = le32(image, 0x3C) + 4;
    l.optional = coff + 20;
    const bool plus = image[l.optional] == 0x0B && image[l.optional + 1] == 0x02;
    l.resourceEntry = l.optional + (plus ? 112 : 96) + 16;
    const uint32_t rva = le32(image, l.resourceEntry);
    const size_t sections = l.optional + (image[coff + 16] | image[coff + 17] << 8);
    const size_t count = static_cast<uint16_t>(image[coff + 2] | image[coff + 3] << 8);
    l.headersEnd = sections + 40 * count;
    for (size_t i = 0; i < count; ++i) {
        const size_t s = sections + 40 * i;
        if (le32(image, s + 12) == rva) {
            l.rootDirectory = le32(image, s + 20);
            l.resourceSection = s;
        }
    }
    const uint8_t *resource = nullptr;
    EXPECT_TRUE(locateVersionResource(image.data(), image.size(), &resource, &l.versionSize));
    if (resource != nullptr)
        l.versionData = static_cast<size_t>(resource - image.data());
    return l;
}

// The (RVA, size) pair whose size is the version resource's.
size_t dataEntryOf(const std::vector<uint8_t> &image, const Layout &l)
{
    size_t entry = 0;
    for (size_t at = l.rootDirectory; at + 8 <= l.versionData; at += 4)
        if (le32(image, at + 4) == l.versionSize)
            entry = at;
    return entry;
}

bool builds(const std::vector<uint8_t> &image)
{
    std::vector<uint8_t> block;
    return buildVersionBlock(image.data(), image.size(), block);
}

// Replaces the version resource with `tree` (no longer than the original).
std::vector<uint8_t> withVersionTree(std::vector<uint8_t> image, const Layout &l,
                                     const std::vector<uint8_t> &tree)
{
    EXPECT_LE(tree.size(), l.versionSize);
    std::fill(image.begin() + static_cast<long>(l.versionData),
              image.begin() + static_cast<long>(l.versionData + l.versionSize), 0);
    std::copy(tree.begin(), tree.end(), image.begin() + static_cast<long>(l.versionData));
    return image;
}

// A chain of nested nodes each keyed "a"; the innermost has no children.
std::vector<uint8_t> chain(int depth)
{
    constexpr uint16_t kNodeBytes = 12;  // header 6, key "a\0" 4, padding 2
    std::vector<uint8_t> tree;
    for (int i = 0; i < depth; ++i) {
        const auto length = static_cast<uint16_t>(kNodeBytes * (depth - i));
        const uint8_t node[kNodeBytes] = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                                          0, 0, 0, 0, 'a', 0, 0, 0, 0, 0};
        tree.insert(tree.end(), node, node + kNodeBytes);
    }
    return tree;
}

}  // namespace

TEST(VersionResourceMalformed, EveryTruncationBeforeTheResourceEndFails)
{
    for (const char *name : {"version_e4_64.dll", "version_e4_32.exe"}) {
        SCOPED_TRACE(name);
        const std::vector<uint8_t> image = readBytes(pe(name));
        const Layout l = layoutOf(image);
        std::vector<uint8_t> whole;
        ASSERT_TRUE(buildVersionBlock(image.data(), image.size(), whole));
        for (size_t cut = 0; cut < image.size(); ++cut) {
            // An exact-size copy, so a read past the cut is a sanitizer error.
            const std::vector<uint8_t> part(image.begin(), image.begin() + static_cast<long>(cut));
            std::vector<uint8_t> block;
            const bool ok = buildVersionBlock(part.data(), part.size(), block);
            if (cut < l.versionData + l.versionSize)
                ASSERT_FALSE(ok) << "cut at " << cut;
            else
                ASSERT_EQ(block, whole) << "cut at " << cut;
        }
    }
}

TEST(VersionResourceMalformed, CorruptHeadersAndDirectories)
{
    const std::vector<uint8_t> image = readBytes(pe("version_e4_32.dll"));
    const Layout l = layoutOf(image);
    ASSERT_TRUE(builds(image));
    auto corrupt = [&](auto change) {
        std::vector<uint8_t> copy = image;
        change(copy);
        return builds(copy);
    };
    const size_t coff = l.optional - 20;
    EXPECT_FALSE(corrupt([](auto &b) { b[0] = 'Z'; }));
    EXPECT_FALSE(corrupt([](auto &b) { put32(b, 0x3C, 0xFFFFFFF0u); }));
    EXPECT_FALSE(corrupt([&](auto &b) { put32(b, 0x3C, static_cast<uint32_t>(b.size() - 2)); }));
    EXPECT_FALSE(corrupt([&](auto &b) { put16(b, l.optional, 0x10C); }));
    EXPECT_FALSE(corrupt([&](auto &b) { put32(b, l.optional + 92, 2); }));      // directory count
    EXPECT_FALSE(corrupt([&](auto &b) { put16(b, coff + 16, 96 + 16); }));      // optional size
    EXPECT_FALSE(corrupt([&](auto &b) { put16(b, coff + 2, 0); }));             // no sections
    EXPECT_FALSE(corrupt([&](auto &b) { put16(b, coff + 2, 0xFFFF); }));        // table past end
    EXPECT_FALSE(corrupt([&](auto &b) { put32(b, l.resourceEntry, 0x7FFFFFF0u); }));
    EXPECT_FALSE(corrupt([&](auto &b) { put32(b, l.resourceEntry + 4, 0); }));

    // The version type's entry: no longer 16, or pointing back at the root.
    const size_t versionTypeEntry = l.rootDirectory + 16 + 8;  // after the RCDATA type
    ASSERT_EQ(le32(image, versionTypeEntry), 16u);
    EXPECT_FALSE(corrupt([&](auto &b) { put32(b, versionTypeEntry, 17); }));
    EXPECT_FALSE(corrupt([&](auto &b) { put32(b, versionTypeEntry + 4, 0x80000000u); }));
    EXPECT_FALSE(corrupt([&](auto &b) { put32(b, versionTypeEntry + 4, 0x8FFFFFF0u); }));
    // More entries than the section holds, none of them the version type.
    EXPECT_FALSE(corrupt([&](auto &b) {
        put32(b, versionTypeEntry, 17);
        put16(b, l.rootDirectory + 14, 0xFFFF);
    }));
}

TEST(VersionResourceMalformed, CorruptDataEntryAndTree)
{
    const std::vector<uint8_t> image = readBytes(pe("version_e4_64.dll"));
    const Layout l = layoutOf(image);
    const size_t entry = dataEntryOf(image, l);
    ASSERT_NE(entry, 0u);
    auto corrupt = [&](size_t at, uint32_t value, bool wide) {
        std::vector<uint8_t> copy = image;
        wide ? put32(copy, at, value) : put16(copy, at, static_cast<uint16_t>(value));
        return builds(copy);
    };
    EXPECT_FALSE(corrupt(entry, 0xFFFFFF00u, true));     // RVA nowhere
    EXPECT_FALSE(corrupt(entry + 4, 0xFFFFFFFFu, true)); // size past the section
    EXPECT_FALSE(corrupt(entry + 4, 0, true));
    EXPECT_FALSE(corrupt(l.versionData, static_cast<uint32_t>(l.versionSize + 4), false));
    EXPECT_FALSE(corrupt(l.versionData, 5, false));      // shorter than a node header
    // The first child (StringFileInfo) claims more than its parent holds, or
    // less than a header.
    const size_t firstChild = l.versionData + 40 + 52;
    EXPECT_FALSE(corrupt(firstChild, 0xFFF0, false));
    EXPECT_FALSE(corrupt(firstChild, 3, false));
    // A key without its NUL inside the node.
    std::vector<uint8_t> tree = chain(1);
    tree[8] = 'b';
    tree[10] = 'c';
    EXPECT_FALSE(builds(withVersionTree(image, l, tree)));
}

TEST(VersionResourceMalformed, ResourceSizeAndDirectoryLevelsAreBounded)
{
    const std::vector<uint8_t> image = readBytes(pe("version_e4_64.dll"));
    const Layout l = layoutOf(image);
    const size_t entry = dataEntryOf(image, l);
    ASSERT_NE(entry, 0u);

    // The resource section grown to 128 KiB, so only the size limit stands
    // in the way: 64 KiB is read, one byte more is refused.
    std::vector<uint8_t> grown = image;
    grown.resize(l.rootDirectory + 0x20000, 0);
    put32(grown, l.resourceSection + 8, 0x20000);
    put32(grown, l.resourceSection + 16, 0x20000);
    ASSERT_TRUE(builds(grown));
    put32(grown, entry + 4, 0x10000);
    EXPECT_TRUE(builds(grown));
    put32(grown, entry + 4, 0x10001);
    EXPECT_FALSE(builds(grown));

    // Type, name, language: a language entry that leads to one more
    // directory instead of the data entry is refused.
    const auto dataAt = static_cast<uint32_t>(entry - l.rootDirectory);
    size_t language = 0;
    for (size_t at = l.rootDirectory; at + 8 <= entry; at += 4)
        if (le32(image, at + 4) == dataAt)
            language = at;
    ASSERT_NE(language, 0u);
    std::vector<uint8_t> deeper = image;
    put32(deeper, language + 4, 0x80000000u | dataAt);
    EXPECT_FALSE(builds(deeper));
}

TEST(VersionResourceMalformed, NestingIsBoundedAndZeroPaddingEndsABlock)
{
    const std::vector<uint8_t> image = readBytes(pe("version_e4_64.dll"));
    const Layout l = layoutOf(image);
    std::vector<uint8_t> block;
    ASSERT_TRUE(buildVersionBlock(withVersionTree(image, l, chain(4)).data(), image.size(), block));
    EXPECT_TRUE(query(block, "\\a\\a\\a").found);
    EXPECT_FALSE(query(block, "\\a\\a\\a\\a").found);
    // Nodes nested past eight levels below the root are dropped like any
    // malformed child; the levels above them stay.
    std::string path;
    for (int i = 0; i < 8; ++i)
        path += "\\a";
    ASSERT_TRUE(buildVersionBlock(withVersionTree(image, l, chain(30)).data(), image.size(), block));
    EXPECT_TRUE(query(block, path.c_str()).found);
    EXPECT_FALSE(query(block, (path + "\\a").c_str()).found);

    // Zero bytes where a child would start are padding that ends the block.
    std::vector<uint8_t> padded = chain(2);
    padded[0] = 36;
    padded.resize(36, 0);
    ASSERT_TRUE(buildVersionBlock(withVersionTree(image, l, padded).data(), image.size(), block));
    EXPECT_TRUE(query(block, "\\a").found);
}

TEST(VersionResourceMalformed, ADroppedChildTakesItsSubtreeAlong)
{
    // The fourth node of the chain reaches past the third, which makes the
    // third malformed: it goes with everything read below it, the second
    // (now childless) stays.
    const std::vector<uint8_t> image = readBytes(pe("version_e4_64.dll"));
    const Layout l = layoutOf(image);
    std::vector<uint8_t> tree = chain(4);
    tree[3 * 12] = 20;
    std::vector<uint8_t> block;
    ASSERT_TRUE(buildVersionBlock(withVersionTree(image, l, tree).data(), image.size(), block));
    EXPECT_TRUE(query(block, "\\a").found);
    EXPECT_FALSE(query(block, "\\a\\a").found);
    EXPECT_FALSE(query(block, "\\a\\a\\a").found);

    // A child too short for a node header cannot be stepped over: the block
    // is refused, as is one whose child leaves the root.
    tree = chain(2);
    tree[12] = 4;
    EXPECT_FALSE(builds(withVersionTree(image, l, tree)));
    tree[12] = 40;
    EXPECT_FALSE(builds(withVersionTree(image, l, tree)));
}

TEST(VersionResourceMalformed, ByteDamageKeepsLookupsInsideTheBlock)
{
    const std::vector<uint8_t> image = readBytes(pe("version_e4_32.dll"));
    const Layout l = layoutOf(image);
    const char *paths[] = {"\\", "\\VarFileInfo\\Translation",
                           "\\StringFileInfo\\040904E4\\FileVersion",
                           "\\StringFileInfo\\040904E4\\Comments"};
    // Every byte the reader may look at: the headers and the resource tree.
    for (size_t at = 0; at < l.versionData + l.versionSize; ++at) {
        if (at == l.headersEnd)
            at = l.rootDirectory;
        for (uint8_t value : {uint8_t{0x00}, uint8_t{0xFF}}) {
            std::vector<uint8_t> copy = image;
            copy[at] = value;
            std::vector<uint8_t> block;
            if (!buildVersionBlock(copy.data(), copy.size(), block))
                continue;
            for (const char *path : paths) {
                const Value v = query(block, path);
                if (!v.found)
                    continue;
                const size_t offset = static_cast<size_t>(v.data - block.data());
                ASSERT_LE(offset + v.length, block.size()) << at << " " << path;
            }
        }
    }
}

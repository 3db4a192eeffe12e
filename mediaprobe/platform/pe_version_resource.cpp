#include "platform/pe_version_resource.h"

#include <cstring>
#include <string>
#include <string_view>

#include "platform/read_only_file.h"

namespace {

// ---- Little-endian reads, each checked against the span it reads from ----

struct Bytes {
    const uint8_t *data = nullptr;
    size_t size = 0;
};

bool fits(Bytes bytes, size_t offset, size_t length)
{
    return offset <= bytes.size && bytes.size - offset >= length;
}

bool readU16(Bytes bytes, size_t offset, uint16_t &out)
{
    if (!fits(bytes, offset, 2))
        return false;
    const uint8_t *p = bytes.data + offset;
    out = static_cast<uint16_t>(p[0] | (p[1] << 8));
    return true;
}

bool readU32(Bytes bytes, size_t offset, uint32_t &out)
{
    if (!fits(bytes, offset, 4))
        return false;
    const uint8_t *p = bytes.data + offset;
    out = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
          static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
    return true;
}

size_t align4(size_t offset) { return (offset + 3) & ~static_cast<size_t>(3); }

// Keys compare without regard to ASCII case, as the platform's lookups do.
bool sameKey(std::string_view key, std::string_view component)
{
    if (key.size() != component.size())
        return false;
    for (size_t i = 0; i < key.size(); ++i) {
        char a = key[i], b = component[i];
        if (a >= 'A' && a <= 'Z')
            a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z')
            b = static_cast<char>(b - 'A' + 'a');
        if (a != b)
            return false;
    }
    return true;
}

// ---- Where the module's bytes come from ----

// A module is read from an open file (pread, held to the size taken at
// open, so a file that shrinks meanwhile gives a failed read) or, for tests
// and fuzzing, from bytes in memory. Only the headers, the section table, the
// resource directory and the version resource are ever read.
struct ModuleReader {
    const ReadOnlyFile *file = nullptr;
    const uint8_t *memory = nullptr;
    uint64_t size = 0;
};

bool readModule(const ModuleReader &module, uint64_t offset, void *out, size_t count)
{
    if (offset > module.size || count > module.size - offset)
        return false;
    if (module.file != nullptr)
        return readFileBytes(*module.file, offset, out, count);
    if (count != 0)
        std::memcpy(out, module.memory + offset, count);
    return true;
}

// A run of file bytes: the part of a section from some address on.
struct FileSpan {
    uint64_t offset = 0;
    uint64_t size = 0;
};

bool readSpan(const ModuleReader &module, FileSpan span, uint64_t at, void *out, size_t count)
{
    return at <= span.size && count <= span.size - at &&
           readModule(module, span.offset + at, out, count);
}

// ---- PE headers ----

constexpr uint16_t kDosMagic = 0x5A4D;               // "MZ"
constexpr size_t kDosNewHeaderField = 0x3C;          // e_lfanew
constexpr size_t kDosHeaderSize = 64;
constexpr uint32_t kPeSignature = 0x00004550;        // "PE\0\0"
constexpr size_t kCoffHeaderSize = 20;
constexpr size_t kNtHeadersSize = 4 + kCoffHeaderSize;  // signature, COFF header
constexpr size_t kCoffSectionCountField = 4 + 2;
constexpr size_t kCoffOptionalSizeField = 4 + 16;
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
// Offsets inside the optional header: [PE32, PE32+].
constexpr size_t kRvaCountField[2] = {92, 108};
constexpr size_t kDataDirectories[2] = {96, 112};
constexpr uint32_t kResourceDirectoryIndex = 2;
constexpr size_t kDataDirectorySize = 8;
// The optional header up to the end of the resource directory entry.
constexpr size_t kOptionalNeeded =
    kDataDirectories[1] + (kResourceDirectoryIndex + 1) * kDataDirectorySize;
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kSectionVirtualSizeField = 8;
constexpr size_t kSectionAddressField = 12;
constexpr size_t kSectionRawSizeField = 16;
constexpr size_t kSectionRawPointerField = 20;

// ---- Resource directory ----

constexpr size_t kResourceDirectoryHeaderSize = 16;
constexpr size_t kNamedEntryCountField = 12;
constexpr size_t kIdEntryCountField = 14;
constexpr size_t kResourceEntrySize = 8;
constexpr size_t kEntriesPerRead = 32;
constexpr uint32_t kNameIsString = 0x80000000u;
constexpr uint32_t kEntryIsDirectory = 0x80000000u;
constexpr uint32_t kVersionResourceType = 16;  // RT_VERSION
constexpr size_t kDataEntrySize = 16;
// VS_VERSIONINFO counts its length in 16 bits; a larger resource is not one.
constexpr uint32_t kMaxVersionResource = 64 * 1024;

// ---- VS_VERSIONINFO nodes and the block index ----

constexpr size_t kNodeHeaderSize = 6;  // wLength, wValueLength, wType
constexpr uint16_t kTextNode = 1;
// StringFileInfo strings sit at depth 3; anything much deeper is not a
// version resource any tool writes.
constexpr int kMaxNodeDepth = 8;
constexpr char kIndexMagic[4] = {'M', 'P', 'V', 'I'};
constexpr size_t kIndexHeaderSize = 12;
constexpr size_t kRecordHeaderSize = 20;
constexpr uint32_t kNoParent = 0xFFFFFFFFu;

struct PeImage {
    ModuleReader module;
    std::vector<uint8_t> sections;  // the section table
};

// The file bytes from rva to the end of the section holding it, as far as
// the file carries them.
bool mapRva(const PeImage &image, uint32_t rva, FileSpan &out)
{
    const Bytes table{image.sections.data(), image.sections.size()};
    for (size_t header = 0; header < table.size; header += kSectionHeaderSize) {
        uint32_t virtualSize = 0, address = 0, rawSize = 0, rawPointer = 0;
        if (!readU32(table, header + kSectionVirtualSizeField, virtualSize) ||
            !readU32(table, header + kSectionAddressField, address) ||
            !readU32(table, header + kSectionRawSizeField, rawSize) ||
            !readU32(table, header + kSectionRawPointerField, rawPointer))
            return false;
        // Bytes past the virtual size are not part of the loaded section.
        const uint32_t extent = virtualSize != 0 && virtualSize < rawSize ? virtualSize : rawSize;
        if (rva < address || rva - address >= extent)
            continue;
        const uint64_t start = uint64_t{rawPointer} + (rva - address);
        const uint64_t end = uint64_t{rawPointer} + extent;
        const uint64_t fileSize = image.module.size;
        if (start >= fileSize)
            return false;
        out.offset = start;
        out.size = (end < fileSize ? end : fileSize) - start;
        return true;
    }
    return false;
}

// The section table and the resource directory's address from the headers.
bool readPeHeaders(const ModuleReader &module, PeImage &image, uint32_t &resourceRva)
{
    uint8_t dos[kDosHeaderSize], nt[kNtHeadersSize], optional[kOptionalNeeded] = {};
    const Bytes dosBytes{dos, sizeof dos}, ntBytes{nt, sizeof nt};
    uint16_t dosMagic = 0, sectionCount = 0, optionalSize = 0;
    uint32_t peOffset = 0, signature = 0;
    if (!readModule(module, 0, dos, sizeof dos) || !readU16(dosBytes, 0, dosMagic) ||
        dosMagic != kDosMagic || !readU32(dosBytes, kDosNewHeaderField, peOffset) ||
        !readModule(module, peOffset, nt, sizeof nt) || !readU32(ntBytes, 0, signature) ||
        signature != kPeSignature || !readU16(ntBytes, kCoffSectionCountField, sectionCount) ||
        !readU16(ntBytes, kCoffOptionalSizeField, optionalSize))
        return false;

    // The directory must lie inside the optional header the COFF header
    // declares, and that header inside the file.
    const uint64_t optionalAt = uint64_t{peOffset} + kNtHeadersSize;
    const Bytes optionalBytes{optional, sizeof optional};
    uint16_t magic = 0;
    if (optionalSize < 2 || !readModule(module, optionalAt, optional, 2) ||
        !readU16(optionalBytes, 0, magic) || (magic != kPe32Magic && magic != kPe32PlusMagic))
        return false;
    const int plus = magic == kPe32PlusMagic ? 1 : 0;
    const size_t entry = kDataDirectories[plus] + kResourceDirectoryIndex * kDataDirectorySize;
    uint32_t rvaCount = 0, size = 0;
    if (entry + kDataDirectorySize > optionalSize ||
        !readModule(module, optionalAt, optional, entry + kDataDirectorySize) ||
        !readU32(optionalBytes, kRvaCountField[plus], rvaCount) ||
        rvaCount <= kResourceDirectoryIndex || !readU32(optionalBytes, entry, resourceRva) ||
        !readU32(optionalBytes, entry + 4, size) || resourceRva == 0 || size == 0)
        return false;

    // Checked against the file before anything is allocated for it.
    const uint64_t tableAt = optionalAt + optionalSize;
    const size_t tableSize = size_t{sectionCount} * kSectionHeaderSize;
    if (tableAt > module.size || tableSize > module.size - tableAt || sectionCount == 0)
        return false;
    image.module = module;
    image.sections.resize(tableSize);
    return readModule(module, tableAt, image.sections.data(), tableSize);
}

// The target of a directory entry: the entry with integer id `id`, or the
// first entry when id is negative. Offsets are relative to the resource root.
bool findResourceEntry(const ModuleReader &module, FileSpan resources, uint32_t directory,
                       long id, uint32_t &target)
{
    uint8_t header[kResourceDirectoryHeaderSize];
    const Bytes headerBytes{header, sizeof header};
    uint16_t named = 0, ids = 0;
    if (!readSpan(module, resources, directory, header, sizeof header) ||
        !readU16(headerBytes, kNamedEntryCountField, named) ||
        !readU16(headerBytes, kIdEntryCountField, ids))
        return false;
    const uint64_t first = uint64_t{directory} + kResourceDirectoryHeaderSize;
    const size_t count = size_t{named} + ids;
    uint8_t entries[kEntriesPerRead * kResourceEntrySize];
    for (size_t i = 0; i < count; i += kEntriesPerRead) {
        const size_t batch = count - i < kEntriesPerRead ? count - i : kEntriesPerRead;
        if (!readSpan(module, resources, first + i * kResourceEntrySize, entries,
                      batch * kResourceEntrySize))
            return false;
        const Bytes entryBytes{entries, batch * kResourceEntrySize};
        for (size_t at = 0; at < entryBytes.size; at += kResourceEntrySize) {
            uint32_t name = 0;
            if (!readU32(entryBytes, at, name) || !readU32(entryBytes, at + 4, target))
                return false;
            if (id < 0 || ((name & kNameIsString) == 0 && name == static_cast<uint32_t>(id)))
                return true;
        }
    }
    return false;
}

// Type 16, then its first name, then that name's first language, which must
// be a data entry: the tree has these three levels and no more.
bool findVersionDataEntry(const ModuleReader &module, FileSpan resources, uint32_t &dataEntry)
{
    uint32_t names = 0, languages = 0;
    if (!findResourceEntry(module, resources, 0, kVersionResourceType, names) ||
        (names & kEntryIsDirectory) == 0)
        return false;
    if (!findResourceEntry(module, resources, names & ~kEntryIsDirectory, -1, languages) ||
        (languages & kEntryIsDirectory) == 0)
        return false;
    return findResourceEntry(module, resources, languages & ~kEntryIsDirectory, -1, dataEntry) &&
           (dataEntry & kEntryIsDirectory) == 0;
}

// Where the version resource lies in the file.
bool locateVersion(const ModuleReader &module, FileSpan &version)
{
    PeImage pe;
    FileSpan resources, data;
    uint32_t resourceRva = 0, dataEntry = 0, dataRva = 0, dataSize = 0;
    uint8_t entry[kDataEntrySize];
    const Bytes entryBytes{entry, sizeof entry};
    if (!readPeHeaders(module, pe, resourceRva) || !mapRva(pe, resourceRva, resources) ||
        !findVersionDataEntry(module, resources, dataEntry) ||
        !readSpan(module, resources, dataEntry, entry, sizeof entry) ||
        !readU32(entryBytes, 0, dataRva) || !readU32(entryBytes, 4, dataSize) || dataSize == 0 ||
        dataSize > kMaxVersionResource || !mapRva(pe, dataRva, data) || data.size < dataSize)
        return false;
    version.offset = data.offset;
    version.size = dataSize;
    return true;
}

// ---- UTF-16 to UTF-8 ----

void appendUtf8(std::string &out, uint32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Narrow text of the UTF-16 units in [offset, offset + 2 * units), up to the
// first NUL.
std::string narrowText(Bytes raw, size_t offset, size_t units)
{
    constexpr uint32_t kReplacement = 0xFFFD;
    std::string out;
    for (size_t i = 0; i < units; ++i) {
        uint16_t unit = 0;
        if (!readU16(raw, offset + 2 * i, unit) || unit == 0)
            break;
        uint32_t cp = unit;
        if (unit >= 0xD800 && unit < 0xDC00) {
            uint16_t low = 0;
            if (i + 1 < units && readU16(raw, offset + 2 * (i + 1), low) && low >= 0xDC00 &&
                low < 0xE000) {
                cp = 0x10000 + ((uint32_t{unit} - 0xD800) << 10) + (low - 0xDC00u);
                ++i;
            } else {
                cp = kReplacement;
            }
        } else if (unit >= 0xDC00 && unit < 0xE000) {
            cp = kReplacement;
        }
        appendUtf8(out, cp);
    }
    return out;
}

// ---- VS_VERSIONINFO tree to block records ----

struct Node {
    uint32_t parent = kNoParent;
    size_t valueOffset = 0;  // in the raw resource
    size_t valueBytes = 0;
    uint16_t valueLength = 0;
    bool text = false;
    std::string key;
    std::string narrow;
};

// Where a node sits, as far as the kind of its value depends on it: every
// value of a string table is text, whatever its wType says.
enum class Place { kAboveRoot, kRoot, kStringFileInfo, kStringTable, kString, kOther };

Place placeOf(Place parent, std::string_view key)
{
    switch (parent) {
    case Place::kAboveRoot:
        return Place::kRoot;
    case Place::kRoot:
        return sameKey(key, "StringFileInfo") ? Place::kStringFileInfo : Place::kOther;
    case Place::kStringFileInfo:
        return Place::kStringTable;
    case Place::kStringTable:
        return Place::kString;
    default:
        return Place::kOther;
    }
}

struct NodeAt {
    size_t offset = 0;
    size_t end = 0;  // the parent's end: the node must finish by it
    int depth = 0;
    uint32_t parent = kNoParent;
    Place parentPlace = Place::kAboveRoot;
};

size_t readNode(Bytes raw, const NodeAt &at, std::vector<Node> &nodes);

// Reads the children in [child, nodeEnd). A malformed child whose wLength
// still lies inside this node is dropped, with anything read below it, and
// its neighbours kept; false when a child's wLength leaves the node.
bool readChildren(Bytes raw, size_t child, size_t nodeEnd, const NodeAt &self, Place place,
                  std::vector<Node> &nodes)
{
    const Bytes node{raw.data, nodeEnd};
    const auto number = static_cast<uint32_t>(nodes.size() - 1);
    while (child < nodeEnd && nodeEnd - child >= kNodeHeaderSize) {
        uint16_t childLength = 0;
        if (!readU16(node, child, childLength) || childLength == 0)
            break;  // zero padding at the end of a block
        const size_t mark = nodes.size();
        const NodeAt at{child, nodeEnd, self.depth + 1, number, place};
        if (readNode(raw, at, nodes) == 0) {
            if (childLength < kNodeHeaderSize || childLength > nodeEnd - child)
                return false;
            nodes.resize(mark);
        }
        child = align4(child + childLength);
    }
    return true;
}

// Reads the node at.offset and its children. Returns the node's wLength, 0
// when it is malformed.
size_t readNode(Bytes raw, const NodeAt &at, std::vector<Node> &nodes)
{
    const size_t offset = at.offset;
    uint16_t length = 0, valueLength = 0, type = 0;
    if (at.depth > kMaxNodeDepth || !readU16(raw, offset, length) ||
        !readU16(raw, offset + 2, valueLength) || !readU16(raw, offset + 4, type) ||
        length < kNodeHeaderSize || length > at.end - offset)
        return 0;
    const size_t nodeEnd = offset + length;
    const Bytes node{raw.data, nodeEnd};

    // The key is a NUL-terminated UTF-16 string inside the node.
    size_t keyEnd = offset + kNodeHeaderSize;
    for (uint16_t unit = 1; unit != 0; keyEnd += 2) {
        if (!readU16(node, keyEnd, unit))
            return 0;
    }
    Node record;
    record.parent = at.parent;
    record.valueLength = valueLength;
    record.key = narrowText(raw, offset + kNodeHeaderSize, (keyEnd - offset - kNodeHeaderSize) / 2);
    const Place place = placeOf(at.parentPlace, record.key);
    record.text = type == kTextNode || place == Place::kString;

    // Values are clipped to the node: some writers count text in bytes, and
    // text ends at its NUL either way.
    const size_t valueStart = align4(keyEnd) < nodeEnd ? align4(keyEnd) : nodeEnd;
    const size_t declared = record.text ? size_t{valueLength} * 2 : valueLength;
    record.valueOffset = valueStart;
    record.valueBytes = declared < nodeEnd - valueStart ? declared : nodeEnd - valueStart;
    if (record.text)
        record.narrow = narrowText(node, valueStart, record.valueBytes / 2);
    const size_t firstChild = align4(valueStart + record.valueBytes);
    nodes.push_back(std::move(record));

    return readChildren(raw, firstChild, nodeEnd, at, place, nodes) ? length : 0;
}

void appendU32(std::vector<uint8_t> &out, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

void putU32(std::vector<uint8_t> &out, size_t offset, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out[offset + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
}

void appendRecord(std::vector<uint8_t> &block, const Node &node)
{
    const size_t start = block.size();
    const size_t keyAt = start + kRecordHeaderSize;
    const size_t textAt = keyAt + node.key.size() + 1;
    uint32_t valueOffset = static_cast<uint32_t>(node.valueOffset);
    uint32_t valueLength = static_cast<uint32_t>(node.valueBytes);
    if (node.text) {
        valueOffset = static_cast<uint32_t>(textAt);
        valueLength = node.valueLength == 0 ? 0 : static_cast<uint32_t>(node.narrow.size() + 1);
    }
    appendU32(block, 0);  // record size, set below
    appendU32(block, node.parent);
    appendU32(block, valueOffset);
    appendU32(block, valueLength);
    appendU32(block, node.text ? 1 : 0);
    block.insert(block.end(), node.key.begin(), node.key.end());
    block.push_back(0);
    if (node.text) {
        block.insert(block.end(), node.narrow.begin(), node.narrow.end());
        block.push_back(0);
    }
    block.resize(align4(block.size()), 0);
    putU32(block, start, static_cast<uint32_t>(block.size() - start));
}

// ---- Lookup in a filled block ----

struct Record {
    uint32_t parent = 0, valueOffset = 0, valueLength = 0, text = 0;
    std::string_view key;
};

struct Index {
    Bytes block;      // the whole block: resource and index
    size_t rawSize = 0;
    size_t first = 0;  // offset of the first record
    uint32_t count = 0;
};

bool openIndex(const uint8_t *block, Index &index)
{
    uint16_t rawSize = 0;
    if (!readU16(Bytes{block, kNodeHeaderSize}, 0, rawSize) || rawSize < kNodeHeaderSize)
        return false;
    const size_t header = align4(rawSize);
    const Bytes head{block, header + kIndexHeaderSize};
    uint32_t indexBytes = 0;
    if (std::memcmp(block + header, kIndexMagic, sizeof kIndexMagic) != 0 ||
        !readU32(head, header + 4, indexBytes) || !readU32(head, header + 8, index.count) ||
        indexBytes < kIndexHeaderSize)
        return false;
    index.block = Bytes{block, header + indexBytes};
    index.rawSize = rawSize;
    index.first = header + kIndexHeaderSize;
    return true;
}

// Reads the record at offset; next receives the offset of the one after it.
bool readRecord(const Index &index, size_t offset, Record &record, size_t &next)
{
    uint32_t size = 0;
    if (!readU32(index.block, offset, size) || size < kRecordHeaderSize ||
        !fits(index.block, offset, size) || !readU32(index.block, offset + 4, record.parent) ||
        !readU32(index.block, offset + 8, record.valueOffset) ||
        !readU32(index.block, offset + 12, record.valueLength) ||
        !readU32(index.block, offset + 16, record.text))
        return false;
    const auto *key = reinterpret_cast<const char *>(index.block.data + offset + kRecordHeaderSize);
    const auto *nul = static_cast<const char *>(std::memchr(key, 0, size - kRecordHeaderSize));
    if (nul == nullptr)
        return false;
    record.key = std::string_view(key, static_cast<size_t>(nul - key));
    next = offset + size;
    return true;
}

// The first child of `parent` named component; found receives its number
// and record.
bool findChild(const Index &index, uint32_t parent, std::string_view component, uint32_t &found,
               Record &record)
{
    size_t offset = index.first;
    for (uint32_t i = 0; i < index.count; ++i) {
        size_t next = 0;
        if (!readRecord(index, offset, record, next))
            return false;
        if (i > parent && record.parent == parent && sameKey(record.key, component)) {
            found = i;
            return true;
        }
        offset = next;
    }
    return false;
}

// A value must lie inside the part of the block it belongs to.
bool valueInBlock(const Index &index, const Record &record)
{
    if (record.text != 0) {
        // Text ends with its NUL; an absent value still points at one.
        const size_t bytes = record.valueLength == 0 ? 1 : record.valueLength;
        return fits(index.block, record.valueOffset, bytes) &&
               index.block.data[record.valueOffset + bytes - 1] == 0;
    }
    return fits(Bytes{index.block.data, index.rawSize}, record.valueOffset, record.valueLength);
}

// The version block of a module: the resource as it lies, then the index.
bool buildBlock(const ModuleReader &module, std::vector<uint8_t> &block)
{
    block.clear();
    FileSpan version;
    if (!locateVersion(module, version))
        return false;
    std::vector<uint8_t> resource(static_cast<size_t>(version.size));
    uint16_t rawSize = 0;
    if (!readModule(module, version.offset, resource.data(), resource.size()) ||
        !readU16(Bytes{resource.data(), resource.size()}, 0, rawSize) ||
        rawSize > resource.size())
        return false;
    const Bytes raw{resource.data(), rawSize};
    const NodeAt root{0, raw.size, 0, kNoParent, Place::kAboveRoot};
    std::vector<Node> nodes;
    if (readNode(raw, root, nodes) == 0)
        return false;

    block.assign(raw.data, raw.data + raw.size);
    block.resize(align4(block.size()), 0);
    const size_t header = block.size();
    block.insert(block.end(), kIndexMagic, kIndexMagic + sizeof kIndexMagic);
    appendU32(block, 0);  // index size, set below
    appendU32(block, static_cast<uint32_t>(nodes.size()));
    for (const Node &node : nodes)
        appendRecord(block, node);
    // A resource of at most 64 KiB yields at most a few hundred KiB here.
    putU32(block, header + 4, static_cast<uint32_t>(block.size() - header));
    return true;
}

bool buildBlockOfFile(const char *path, std::vector<uint8_t> &block)
{
    ReadOnlyFile file;
    if (path == nullptr || !openReadOnlyFile(path, file))
        return false;
    return buildBlock(ModuleReader{&file, nullptr, file.size}, block);
}

}  // namespace

bool locateVersionResource(const uint8_t *image, size_t imageSize, const uint8_t **resource,
                           size_t *resourceSize)
{
    FileSpan version;
    if (image == nullptr || !locateVersion(ModuleReader{nullptr, image, imageSize}, version))
        return false;
    *resource = image + version.offset;
    *resourceSize = static_cast<size_t>(version.size);
    return true;
}

bool buildVersionBlock(const uint8_t *image, size_t imageSize, std::vector<uint8_t> &block)
{
    if (image == nullptr) {
        block.clear();
        return false;
    }
    return buildBlock(ModuleReader{nullptr, image, imageSize}, block);
}

uint32_t versionBlockSize(const char *path, uint32_t *handleOut)
{
    if (handleOut != nullptr)
        *handleOut = 0;
    std::vector<uint8_t> block;
    return buildBlockOfFile(path, block) ? static_cast<uint32_t>(block.size()) : 0;
}

int32_t readVersionBlock(const char *path, uint32_t, uint32_t length, void *data)
{
    std::vector<uint8_t> block;
    if (data == nullptr || !buildBlockOfFile(path, block) || length < block.size())
        return 0;
    std::memcpy(data, block.data(), block.size());
    return 1;
}

int32_t findVersionValue(const void *block, const char *valuePath, void **valueOut,
                         uint32_t *lengthOut)
{
    Index index;
    if (block == nullptr || valuePath == nullptr || valueOut == nullptr ||
        !openIndex(static_cast<const uint8_t *>(block), index) || index.count == 0)
        return 0;

    Record record;
    size_t unused = 0;
    if (!readRecord(index, index.first, record, unused) || record.parent != kNoParent)
        return 0;
    uint32_t current = 0;
    const std::string_view path(valuePath);
    size_t at = 0;
    while (at < path.size()) {
        const size_t slash = path.find('\\', at);
        const size_t stop = slash == std::string_view::npos ? path.size() : slash;
        if (stop > at && !findChild(index, current, path.substr(at, stop - at), current, record))
            return 0;
        at = stop + 1;
    }
    if (!valueInBlock(index, record))
        return 0;
    *valueOut = const_cast<uint8_t *>(index.block.data + record.valueOffset);
    if (lengthOut != nullptr)
        *lengthOut = record.valueLength;
    return 1;
}

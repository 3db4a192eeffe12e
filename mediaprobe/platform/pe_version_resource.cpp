#include "platform/pe_version_resource.h"

#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "platform/read_only_file_view.h"

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

// ---- PE headers ----

constexpr uint16_t kDosMagic = 0x5A4D;               // "MZ"
constexpr size_t kDosNewHeaderField = 0x3C;          // e_lfanew
constexpr uint32_t kPeSignature = 0x00004550;        // "PE\0\0"
constexpr size_t kCoffHeaderSize = 20;
constexpr size_t kCoffSectionCountField = 2;
constexpr size_t kCoffOptionalSizeField = 16;
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
// Offsets inside the optional header: [PE32, PE32+].
constexpr size_t kRvaCountField[2] = {92, 108};
constexpr size_t kDataDirectories[2] = {96, 112};
constexpr uint32_t kResourceDirectoryIndex = 2;
constexpr size_t kDataDirectorySize = 8;
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
constexpr uint32_t kNameIsString = 0x80000000u;
constexpr uint32_t kEntryIsDirectory = 0x80000000u;
constexpr uint32_t kVersionResourceType = 16;  // RT_VERSION
constexpr size_t kDataEntrySize = 16;

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
    Bytes file;
    size_t sectionTable = 0;
    uint16_t sectionCount = 0;
};

// The bytes from rva to the end of the section holding it, as far as the
// file carries them.
bool mapRva(const PeImage &image, uint32_t rva, Bytes &out)
{
    for (uint16_t i = 0; i < image.sectionCount; ++i) {
        const size_t header = image.sectionTable + size_t{i} * kSectionHeaderSize;
        uint32_t virtualSize = 0, address = 0, rawSize = 0, rawPointer = 0;
        if (!readU32(image.file, header + kSectionVirtualSizeField, virtualSize) ||
            !readU32(image.file, header + kSectionAddressField, address) ||
            !readU32(image.file, header + kSectionRawSizeField, rawSize) ||
            !readU32(image.file, header + kSectionRawPointerField, rawPointer))
            return false;
        // Bytes past the virtual size are not part of the loaded section.
        const uint32_t extent = virtualSize != 0 && virtualSize < rawSize ? virtualSize : rawSize;
        if (rva < address || rva - address >= extent)
            continue;
        const uint64_t start = uint64_t{rawPointer} + (rva - address);
        const uint64_t end = uint64_t{rawPointer} + extent;
        if (start >= image.file.size)
            return false;
        const uint64_t stop = end < image.file.size ? end : image.file.size;
        out.data = image.file.data + start;
        out.size = static_cast<size_t>(stop - start);
        return true;
    }
    return false;
}

bool readPeHeaders(Bytes file, PeImage &image, uint32_t &resourceRva)
{
    uint16_t dosMagic = 0;
    uint32_t peOffset = 0, signature = 0;
    if (!readU16(file, 0, dosMagic) || dosMagic != kDosMagic ||
        !readU32(file, kDosNewHeaderField, peOffset) || !readU32(file, peOffset, signature) ||
        signature != kPeSignature)
        return false;

    const size_t coff = size_t{peOffset} + 4;
    uint16_t sectionCount = 0, optionalSize = 0, magic = 0;
    if (!readU16(file, coff + kCoffSectionCountField, sectionCount) ||
        !readU16(file, coff + kCoffOptionalSizeField, optionalSize))
        return false;
    const size_t optional = coff + kCoffHeaderSize;
    if (!fits(file, optional, optionalSize) || !readU16(file, optional, magic))
        return false;
    if (magic != kPe32Magic && magic != kPe32PlusMagic)
        return false;
    const int plus = magic == kPe32PlusMagic ? 1 : 0;

    // The directory must lie inside the optional header the COFF header declares.
    const size_t entry = kDataDirectories[plus] + kResourceDirectoryIndex * kDataDirectorySize;
    uint32_t rvaCount = 0, size = 0;
    if (entry + kDataDirectorySize > optionalSize ||
        !readU32(file, optional + kRvaCountField[plus], rvaCount) ||
        rvaCount <= kResourceDirectoryIndex || !readU32(file, optional + entry, resourceRva) ||
        !readU32(file, optional + entry + 4, size) || resourceRva == 0 || size == 0)
        return false;

    image.file = file;
    image.sectionTable = optional + optionalSize;
    image.sectionCount = sectionCount;
    return fits(file, image.sectionTable, size_t{sectionCount} * kSectionHeaderSize);
}

// The target of a directory entry: the entry with integer id `id`, or the
// first entry when id is negative. Offsets are relative to the resource root.
bool findResourceEntry(Bytes resources, uint32_t directory, long id, uint32_t &target)
{
    uint16_t named = 0, ids = 0;
    if (!readU16(resources, size_t{directory} + kNamedEntryCountField, named) ||
        !readU16(resources, size_t{directory} + kIdEntryCountField, ids))
        return false;
    const size_t first = size_t{directory} + kResourceDirectoryHeaderSize;
    const size_t count = size_t{named} + ids;
    for (size_t i = 0; i < count; ++i) {
        uint32_t name = 0;
        const size_t at = first + i * kResourceEntrySize;
        if (!readU32(resources, at, name) || !readU32(resources, at + 4, target))
            return false;
        if (id < 0 || ((name & kNameIsString) == 0 && name == static_cast<uint32_t>(id)))
            return true;
    }
    return false;
}

// Type 16, then its first name, then that name's first language.
bool findVersionDataEntry(Bytes resources, uint32_t &dataEntry)
{
    uint32_t names = 0, languages = 0;
    if (!findResourceEntry(resources, 0, kVersionResourceType, names) ||
        (names & kEntryIsDirectory) == 0)
        return false;
    if (!findResourceEntry(resources, names & ~kEntryIsDirectory, -1, languages) ||
        (languages & kEntryIsDirectory) == 0)
        return false;
    return findResourceEntry(resources, languages & ~kEntryIsDirectory, -1, dataEntry) &&
           (dataEntry & kEntryIsDirectory) == 0 && fits(resources, dataEntry, kDataEntrySize);
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

// Reads the node at offset (which must end by `end`) and its children.
// Returns the node's wLength, 0 when it is malformed.
size_t readNode(Bytes raw, size_t offset, size_t end, int depth, uint32_t parent,
                std::vector<Node> &nodes)
{
    uint16_t length = 0, valueLength = 0, type = 0;
    if (depth > kMaxNodeDepth || !readU16(raw, offset, length) ||
        !readU16(raw, offset + 2, valueLength) || !readU16(raw, offset + 4, type) ||
        length < kNodeHeaderSize || length > end - offset)
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
    record.parent = parent;
    record.text = type == kTextNode;
    record.valueLength = valueLength;
    record.key = narrowText(raw, offset + kNodeHeaderSize, (keyEnd - offset - kNodeHeaderSize) / 2);

    // Values are clipped to the node: some writers count text in bytes.
    const size_t valueStart = align4(keyEnd) < nodeEnd ? align4(keyEnd) : nodeEnd;
    const size_t declared = record.text ? size_t{valueLength} * 2 : valueLength;
    record.valueOffset = valueStart;
    record.valueBytes = declared < nodeEnd - valueStart ? declared : nodeEnd - valueStart;
    if (record.text)
        record.narrow = narrowText(node, valueStart, record.valueBytes / 2);

    const auto self = static_cast<uint32_t>(nodes.size());
    nodes.push_back(std::move(record));

    size_t child = align4(valueStart + nodes.back().valueBytes);
    while (child < nodeEnd && nodeEnd - child >= kNodeHeaderSize) {
        uint16_t childLength = 0;
        if (!readU16(node, child, childLength) || childLength == 0)
            break;  // zero padding at the end of a block
        const size_t used = readNode(raw, child, nodeEnd, depth + 1, self, nodes);
        if (used == 0)
            return 0;
        child = align4(child + used);
    }
    return length;
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

bool mapWholeModule(const char *path, ReadOnlyFileView &view)
{
    // Section offsets are 32-bit, so nothing past 4 GiB belongs to a module.
    return path != nullptr &&
           mapWholeFileReadOnly(path, std::numeric_limits<uint32_t>::max(), view);
}

}  // namespace

bool locateVersionResource(const uint8_t *image, size_t imageSize, const uint8_t **resource,
                           size_t *resourceSize)
{
    PeImage pe;
    uint32_t resourceRva = 0, dataEntry = 0, dataRva = 0, dataSize = 0;
    Bytes resources, data;
    if (image == nullptr || !readPeHeaders(Bytes{image, imageSize}, pe, resourceRva) ||
        !mapRva(pe, resourceRva, resources) || !findVersionDataEntry(resources, dataEntry) ||
        !readU32(resources, dataEntry, dataRva) || !readU32(resources, size_t{dataEntry} + 4, dataSize) ||
        dataSize == 0 || !mapRva(pe, dataRva, data) || data.size < dataSize)
        return false;
    *resource = data.data;
    *resourceSize = dataSize;
    return true;
}

bool buildVersionBlock(const uint8_t *image, size_t imageSize, std::vector<uint8_t> &block)
{
    block.clear();
    const uint8_t *resource = nullptr;
    size_t resourceSize = 0;
    uint16_t rawSize = 0;
    if (!locateVersionResource(image, imageSize, &resource, &resourceSize) ||
        !readU16(Bytes{resource, resourceSize}, 0, rawSize) || rawSize > resourceSize)
        return false;
    const Bytes raw{resource, rawSize};
    std::vector<Node> nodes;
    if (readNode(raw, 0, raw.size, 0, kNoParent, nodes) == 0)
        return false;

    block.assign(resource, resource + rawSize);
    block.resize(align4(block.size()), 0);
    const size_t header = block.size();
    block.insert(block.end(), kIndexMagic, kIndexMagic + sizeof kIndexMagic);
    appendU32(block, 0);  // index size, set below
    appendU32(block, static_cast<uint32_t>(nodes.size()));
    for (const Node &node : nodes)
        appendRecord(block, node);
    // A resource under 64 KiB yields at most a few hundred KiB here.
    putU32(block, header + 4, static_cast<uint32_t>(block.size() - header));
    return true;
}

uint32_t versionBlockSize(const char *path, uint32_t *handleOut)
{
    if (handleOut != nullptr)
        *handleOut = 0;
    ReadOnlyFileView view;
    std::vector<uint8_t> block;
    if (!mapWholeModule(path, view) || !buildVersionBlock(view.data, view.size, block))
        return 0;
    return static_cast<uint32_t>(block.size());
}

int32_t readVersionBlock(const char *path, uint32_t, uint32_t length, void *data)
{
    ReadOnlyFileView view;
    std::vector<uint8_t> block;
    if (data == nullptr || !mapWholeModule(path, view) ||
        !buildVersionBlock(view.data, view.size, block) || length < block.size())
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

// Stand-in for the platform's multimedia file I/O: buffered reading of a RIFF
// file chunk by chunk, plus the fixed memory blocks its callers fill.
//
// The reader never reads outside the file: chunk headers are read only where
// all their bytes lie inside the file, searches stop at the parent's end or
// the file's end, whichever comes first, and every search step moves at least
// one chunk header forward, so any input ends.
#pragma once

#include <cstddef>
#include <cstdint>

// Four-character code as the file stores it: first character in the low byte.
constexpr uint32_t riffFourCC(const char (&text)[5])
{
    return static_cast<uint32_t>(static_cast<uint8_t>(text[0])) |
           static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[3])) << 24;
}

inline constexpr uint32_t kRiffId = riffFourCC("RIFF");
inline constexpr uint32_t kListId = riffFourCC("LIST");

// One chunk as the reader found it.
struct RiffChunkInfo {
    uint32_t id = 0;
    uint32_t size = 0;        // the size field: bytes of data, pad byte excluded
    uint32_t formType = 0;    // "RIFF" and "LIST" chunks only; 0 for others
    uint64_t dataOffset = 0;  // file offset of the first data byte (the form type
                              // of a "RIFF" or "LIST" chunk)
    uint32_t flags = 0;       // kRiffChunk... bits below
};

// The chunk's size field reaches past the end of the file.
inline constexpr uint32_t kRiffChunkPastEnd = 0x1;

// Results of the chunk operations; 0 is success.
inline constexpr uint32_t kRiffOk = 0;
inline constexpr uint32_t kRiffCannotRead = 0x101;     // header or form type cut off
inline constexpr uint32_t kRiffChunkNotFound = 0x102;  // no such sub-chunk in the parent
inline constexpr uint32_t kRiffCannotSeek = 0x103;

struct RiffFile;

// Opens a regular file for buffered reading, positioned at its start; null
// when it cannot be opened or is not a regular file (a pipe or a directory
// has no chunks to walk and could block).
RiffFile *openRiffFile(const char *path);

// Closes the file. Null is ignored.
void closeRiffFile(RiffFile *file);

// Reads the chunk header at the current position into chunk: id, size and,
// for "RIFF" and "LIST", the form type. Leaves the position at the chunk's
// data (after the form type). kRiffCannotRead when the file ends first.
uint32_t readRiffChunkHeader(RiffFile *file, RiffChunkInfo &chunk);

// From the current position, looks for a sub-chunk with the given id inside
// parent, skipping other sub-chunks by their size rounded up to even. Only
// headers that lie wholly before the parent's end and the file's end are
// read. On success as readRiffChunkHeader; otherwise kRiffChunkNotFound (or
// kRiffCannotRead) and the position is undefined.
uint32_t findRiffSubChunk(RiffFile *file, const RiffChunkInfo &parent, uint32_t id,
                          RiffChunkInfo &chunk);

// Reads up to count bytes from the current position; returns how many were
// read (fewer at the end of the file). Reads are not held to any chunk.
size_t readRiffBytes(RiffFile *file, void *buffer, size_t count);

// Moves to the end of chunk, past its pad byte when the size is odd. The end
// may lie past the end of the file; reads from there simply return 0 bytes.
uint32_t leaveRiffChunk(RiffFile *file, const RiffChunkInfo &chunk);

// A block of fixed memory for format records; null when memory is short.
// freeRiffBlock accepts null.
void *allocateRiffBlock(size_t size);
void freeRiffBlock(void *block);

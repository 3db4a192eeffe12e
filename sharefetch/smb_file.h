// Remote file access on a connected tree: core OPEN, READ_RAW straight into
// the caller's buffer, CLOSE, and the file exports.
#pragma once

#include <cstdint>

#include "smb_tree.h"

// One open remote file; the host's opaque file handle.
struct Smb2File;

struct SmbFile {
    SmbTree *tree;  // not owned; gives the session, its transport and ids
    char path[256];
    uint16_t fid;  // 0xFFFF while no file is open
    uint32_t lastWriteTime;
    uint64_t fileSize;  // the true size when the server offers large files
    uint16_t grantedAccess;
    uint64_t readOffset;  // offset of the next byte to read
    Smb2File *smb2;       // the file on an SMB2 session; null on SMB1
};

inline constexpr int32_t kSmbReadRawRequestLength = 51;
inline constexpr int32_t kSmbReadRawLargeRequestLength = 55;  // with the offset's high part
inline constexpr int32_t kSmbCloseLength = 41;
// MaxCount has 16 bits; a larger raw size is read in chunks of this size.
inline constexpr uint32_t kSmbMaxRawChunk = 0xFFFF;

// Opens path on tree with a core OPEN, and learns the true size when the
// server offers large files; null on any failure (nothing sent for a path
// whose byte count would not fit 16 bits).
SmbFile *SmbOpen(SmbTree *tree, const char *path);
// Stores offset as the next read position, 0xFFFFFFFF as 0; 0, or -1 for null.
int32_t SmbSetReadOffset(SmbFile *file, uint32_t offset);
// Reads count bytes with READ_RAW into buffer; count, or an SMB_READ_* code.
// The range may end at 2^32, or past it when the server offers large files.
int32_t SmbReadRaw(SmbFile *file, uint8_t *buffer, uint32_t count);
// 0 when the server confirmed the close and the record was released; -1
// otherwise, with the record kept.
int32_t SmbClose(SmbFile *file);

// What the file exports do for a file of an SMB1 session.
int32_t Smb1OpenFile(SmbSession *session, const char *path, uint32_t startOffset,
                     SmbFile **fileOut);
int32_t Smb1ReadFile(SmbFile *file, uint32_t count, void *buffer);
uint32_t Smb1GetFileSize(SmbFile *file);
uint64_t Smb1GetFileSize64(SmbFile *file);
int32_t Smb1CloseFile(SmbFile *file);

// SMB2 file access: CREATE for reading (UTF-16 name, matched without regard
// to case as the server does for SMB2), READ with several requests in
// flight straight into the caller's buffer, CLOSE.
#pragma once

#include <cstdint>

#include "smb2_tree.h"

struct Smb2File {
    Smb2Session *session;  // not owned
    uint8_t fileId[16];
    uint64_t size;        // end of file when it was opened
    uint64_t readOffset;  // next byte of the sequential reads
};

inline constexpr uint32_t kSmb2FileIdLength = 16;
// Requests in flight at most, and the bytes they may ask for together.
// Each READ asks for up to 1 MiB (the server's MaxReadSize permitting; Samba
// allows 64 KiB on port 139). Through 10 ms each way, 8 MiB in flight held
// 64 MiB reads at about 377 MB/s and 16 MiB at 556 to 637 MB/s (the same as
// the SMB1 window); with 64 KiB reads 16 MiB takes 256 requests.
inline constexpr uint32_t kSmb2ReadRequestSize = 1u << 20;
inline constexpr uint32_t kSmb2ReadWindow = 16u << 20;
inline constexpr uint32_t kSmb2MaxReadsInFlight = 256;

// CREATE of path (UTF-8, backslashes; leading ones dropped) for reading;
// null with errno set on failure.
Smb2File *Smb2Open(Smb2Session *session, const char *path);
// Reads count (below 2^31) bytes at offset into buffer: the bytes read,
// fewer only when the file ends first, or SMB_READ_SEND_FAILED /
// SMB_READ_BAD_REPLY with errno set.
int32_t Smb2ReadAt(Smb2File *file, uint64_t offset, uint8_t *buffer, uint32_t count);
// CLOSE (not awaited on a broken session), then releases the record.
void Smb2Close(Smb2File *file);

// What the file exports do on an SMB2 session, with the SMB1 path's
// results and errno reasons. SMBReadFile: exactly count bytes from
// readOffset, which moves past what arrived; a read the file cannot fill
// fails with SMB_READ_BAD_REPLY and EIO.
int32_t Smb2ReadNext(Smb2File *file, uint32_t count, void *buffer);
// SMBReadFileAt: count bytes at offset, fewer only where the file ends.
int32_t Smb2ReadFileAt(Smb2File *file, uint64_t offset, uint32_t count, void *buffer);

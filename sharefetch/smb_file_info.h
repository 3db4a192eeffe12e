// The file's true size: TRANS2 QUERY_FILE_INFORMATION with the standard
// information level, asked right after an OPEN whose 32-bit size field a
// server fills with the size modulo 2^32.
#pragma once

#include <cstdint>

#include "smb_session.h"

inline constexpr int32_t kSmbQueryFileInfoRequestLength = 72;
// Room for the reply; Samba's is 84 bytes.
inline constexpr int32_t kSmbQueryFileInfoBufferSize = 256;

// Asks for the end-of-file position of the open file fid on tree tid.
// 1 with *size set; 0 when the server refused in good order (errno from its
// status, the session in step); -1 with the session broken.
int32_t SmbQueryFileSize(SmbSession *session, uint16_t tid, uint16_t fid, uint64_t *size);

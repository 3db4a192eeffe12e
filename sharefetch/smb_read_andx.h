// Positional reads with READ_ANDX: several large requests in flight on one
// session, each reply matched to its request by MID and its data received
// straight into the caller's buffer at its place. The offset SMBReadFile
// keeps is never touched.
#pragma once

#include <cstdint>

#include "smb_file.h"

inline constexpr uint8_t kSmbComReadAndX = 0x2E;
// Request: SMB header, 12 parameter words, empty byte count.
inline constexpr int32_t kSmbReadAndXRequestLength = 59;
// Reply up to its byte count; the data follows at the reply's data offset.
inline constexpr int32_t kSmbReadAndXReplyFixedLength = 59;
// Most requests of one call on the wire at once (slots kept on the stack).
inline constexpr uint32_t kSmbReadAndXMaxInFlight = 32;

// One request on the wire: its MID and the part of the caller's range it
// covers.
struct SmbReadAndXRequest {
    uint16_t mid;
    uint64_t fileOffset;
    uint32_t bufferOffset;  // from the start of the call's buffer
    uint32_t count;
};

// What one reply says, from its fixed part (header, words, byte count).
struct SmbReadAndXReply {
    uint16_t mid;
    bool refused;          // a non-zero status: no words or data to read
    uint32_t dataOffset;   // from the start of the SMB header
    uint32_t dataLength;
};

// How the reads of a session are cut and overlapped.
struct SmbReadAndXPlan {
    uint32_t requestSize;  // bytes asked per request; 0 when none fits
    uint32_t maxInFlight;  // requests on the wire at once
};

// Request size and window for the session's negotiated limits.
SmbReadAndXPlan SmbReadAndXPlanFor(const SmbSession *session);

// Writes the session header and the request for file into out (4 + 59 bytes).
void SmbWriteReadAndX(uint8_t *out, const SmbFile *file, const SmbReadAndXRequest &request);

// Reads the first 33 bytes of a reply (header and word count) of a message of
// length bytes: false unless it is a READ_ANDX reply, with its MID in *reply.
bool SmbReadAndXReplyHead(const uint8_t *head, uint32_t length, SmbReadAndXReply *reply);
// Reads the rest of the fixed part (bytes 33 to 58): false unless the words
// are those of a READ_ANDX reply and its data lies inside the message.
bool SmbReadAndXReplyWords(const uint8_t *fixed, uint32_t length, SmbReadAndXReply *reply);

// Reads count bytes at offset into buffer; the number read (fewer only when
// the file ends first, 0 at or past its end) or an SMB_READ_* code.
int32_t Smb1ReadFileAt(SmbFile *file, uint64_t offset, uint32_t count, void *buffer);

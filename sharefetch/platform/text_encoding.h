// Stand-in for the platform's strict UTF-8 to UTF-16 conversion (the
// Windows MultiByteToWideChar with CP_UTF8 and MB_ERR_INVALID_CHARS).
#pragma once

#include <cstddef>
#include <cstdint>

// Decodes the UTF-8 sequence at text into *point and its byte count into
// *used; false (with *used 1) when the bytes there start no valid sequence:
// a stray continuation byte, a cut sequence, an overlong form, a surrogate
// or a point past U+10FFFF.
bool utf8Decode(const uint8_t *text, uint32_t *point, int *used);

// Bytes of NUL-terminated text in UTF-16 (without a terminator), or -1 when
// text is not valid UTF-8.
int64_t utf8ToUtf16Length(const char *text);

// Writes valid UTF-8 text as UTF-16LE at out, without a terminator;
// utf8ToUtf16Length(text) bytes.
void utf8ToUtf16le(const char *text, uint8_t *out);

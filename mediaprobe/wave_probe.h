// RIFF WAVE format reading behind getWAVMetaInfo.
#pragma once

#include <cstdint>

#include "platform/riff_chunk_reader.h"

// Status of readWAVFormat. Besides these, a non-zero result of the chunk
// reader is passed on unchanged. None of them leaves the library.
inline constexpr uint32_t kWaveOk = 0;
inline constexpr uint32_t kWaveCannotOpen = 0xE100;
inline constexpr uint32_t kWaveNotWave = 0xE101;  // or "fmt " too short, or extra bytes cut off
inline constexpr uint32_t kWaveShortRead = 0xE102;
inline constexpr uint32_t kWaveNoMemory = 0xE000;

// The format block: the file's format record, little-endian as stored, at
// these offsets, followed by extraSize extra bytes.
inline constexpr uint32_t kWaveFormatTagOffset = 0;
inline constexpr uint32_t kWaveChannelsOffset = 2;
inline constexpr uint32_t kWaveSampleRateOffset = 4;
inline constexpr uint32_t kWaveByteRateOffset = 8;
inline constexpr uint32_t kWaveBlockAlignOffset = 12;
inline constexpr uint32_t kWaveBitsOffset = 14;
inline constexpr uint32_t kWaveExtraSizeOffset = 16;
inline constexpr uint32_t kWaveFormatBlockSize = 18;  // before the extra bytes

// Opens path, checks for a "RIFF" chunk of form "WAVE", reads its "fmt "
// chunk into a new format block and leaves the file open after that chunk.
// riffInfo receives the outer chunk. On success *handleOut and *formatOut
// hold the file and the block; on failure both are null and nothing is left
// open or allocated.
uint32_t readWAVFormat(const char *path, RiffFile **handleOut, uint8_t **formatOut,
                       RiffChunkInfo *riffInfo);

// Frees the block and closes the file, each if present, and nulls both
// variables. Returns 0.
uint32_t releaseWAVFormat(RiffFile **handle, uint8_t **format);

// Little-endian fields of a format block.
uint16_t waveField16(const uint8_t *format, uint32_t offset);
uint32_t waveField32(const uint8_t *format, uint32_t offset);

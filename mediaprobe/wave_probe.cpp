#include "wave_probe.h"

#include <cstring>

#include "mediaprobe.h"

namespace {

constexpr uint32_t kWaveForm = riffFourCC("WAVE");
constexpr uint32_t kFormatId = riffFourCC("fmt ");
constexpr uint16_t kFormatPcm = 1;
// Format tag, channels, samples per second, average bytes per second, block
// alignment and bits per sample; every "fmt " chunk carries at least these.
constexpr size_t kFormatCoreSize = 16;

// Releases what a failed readWAVFormat holds and passes its status on.
uint32_t failWAVFormat(uint32_t status, RiffFile *file, RiffFile **handleOut,
                       uint8_t **formatOut)
{
    freeRiffBlock(*formatOut);
    *formatOut = nullptr;
    closeRiffFile(file);
    *handleOut = nullptr;
    return status;
}

}  // namespace

uint16_t waveField16(const uint8_t *format, uint32_t offset)
{
    return static_cast<uint16_t>(format[offset] | format[offset + 1] << 8);
}

uint32_t waveField32(const uint8_t *format, uint32_t offset)
{
    return static_cast<uint32_t>(waveField16(format, offset)) |
           static_cast<uint32_t>(waveField16(format, offset + 2)) << 16;
}

uint32_t readWAVFormat(const char *path, RiffFile **handleOut, uint8_t **formatOut,
                       RiffChunkInfo *riffInfo)
{
    *formatOut = nullptr;
    *handleOut = nullptr;
    RiffFile *file = openRiffFile(path);
    if (file == nullptr)
        return kWaveCannotOpen;

    uint32_t status = readRiffChunkHeader(file, *riffInfo);
    if (status != kRiffOk)
        return failWAVFormat(status, file, handleOut, formatOut);
    if (riffInfo->id != kRiffId || riffInfo->formType != kWaveForm)
        return failWAVFormat(kWaveNotWave, file, handleOut, formatOut);

    RiffChunkInfo formatChunk;
    status = findRiffSubChunk(file, *riffInfo, kFormatId, formatChunk);
    if (status != kRiffOk)
        return failWAVFormat(status, file, handleOut, formatOut);
    if (formatChunk.size < kFormatCoreSize)
        return failWAVFormat(kWaveNotWave, file, handleOut, formatOut);

    uint8_t core[kFormatCoreSize];
    if (readRiffBytes(file, core, sizeof core) != sizeof core)
        return failWAVFormat(kWaveShortRead, file, handleOut, formatOut);

    // PCM carries no extra bytes. Any other format has a 2-byte count right
    // after the core fields, read whatever the chunk size says.
    uint16_t extraSize = 0;
    if (waveField16(core, kWaveFormatTagOffset) != kFormatPcm) {
        uint8_t count[2];
        if (readRiffBytes(file, count, sizeof count) != sizeof count)
            return failWAVFormat(kWaveShortRead, file, handleOut, formatOut);
        extraSize = waveField16(count, 0);
    }

    *formatOut = static_cast<uint8_t *>(allocateRiffBlock(kWaveFormatBlockSize + extraSize));
    if (*formatOut == nullptr)
        return failWAVFormat(kWaveNoMemory, file, handleOut, formatOut);
    std::memcpy(*formatOut, core, sizeof core);
    (*formatOut)[kWaveExtraSizeOffset] = static_cast<uint8_t>(extraSize & 0xFFu);
    (*formatOut)[kWaveExtraSizeOffset + 1] = static_cast<uint8_t>(extraSize >> 8);

    if (extraSize != 0 &&
        readRiffBytes(file, *formatOut + kWaveFormatBlockSize, extraSize) != extraSize)
        return failWAVFormat(kWaveNotWave, file, handleOut, formatOut);

    status = leaveRiffChunk(file, formatChunk);
    if (status != kRiffOk)
        return failWAVFormat(status, file, handleOut, formatOut);

    *handleOut = file;
    return kWaveOk;
}

uint32_t releaseWAVFormat(RiffFile **handle, uint8_t **format)
{
    if (*format != nullptr) {
        freeRiffBlock(*format);
        *format = nullptr;
    }
    if (*handle != nullptr) {
        closeRiffFile(*handle);
        *handle = nullptr;
    }
    return 0;
}

extern "C" unsigned char getWAVMetaInfo(const char *path, uint32_t *channelsOut,
                                        uint32_t *sampleRateOut, uint32_t *byteRateOut,
                                        uint32_t *bitsOut, uint32_t *riffSizeOut)
{
    if (path == nullptr || channelsOut == nullptr || sampleRateOut == nullptr ||
        byteRateOut == nullptr || bitsOut == nullptr || riffSizeOut == nullptr)
        return 0;

    RiffFile *file = nullptr;
    uint8_t *format = nullptr;
    RiffChunkInfo riff;
    if (readWAVFormat(path, &file, &format, &riff) != kWaveOk)
        return 0;

    *channelsOut = waveField16(format, kWaveChannelsOffset);
    *sampleRateOut = waveField32(format, kWaveSampleRateOffset);
    *byteRateOut = waveField32(format, kWaveByteRateOffset);
    *bitsOut = waveField16(format, kWaveBitsOffset);
    *riffSizeOut = riff.size;

    releaseWAVFormat(&file, &format);
    return 1;
}

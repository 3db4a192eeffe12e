#include "mpeg_audio_probe.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "mediaprobe.h"

namespace {

// Bytes between a frame's 4-byte header and the place a "Xing" tag stands:
// [version bit][single channel].
constexpr int32_t kSideInfoLength[2][2] = {
    {17, 9},   // MPEG-2 and 2.5: stereo, mono
    {32, 17},  // MPEG-1: stereo, mono
};

int32_t sideInfoLength(MP3Header header)
{
    const bool mpeg1 = (header.word >> 19) & 1u;
    const bool mono = ((header.word >> 6) & 3u) == 3u;
    return kSideInfoLength[mpeg1][mono];
}

// ID3v2 header: "ID3", major and minor version (never 0xFF), flags, and the
// size of what follows the header as four 7-bit bytes; a footer flag adds
// a 10-byte footer after it.
constexpr size_t kId3v2HeaderSize = 10;
constexpr size_t kId3v2FlagsAt = 5;
constexpr size_t kId3v2SizeAt = 6;
constexpr uint8_t kId3v2FooterFlag = 0x10;
constexpr uint64_t kId3v2FooterSize = 10;

// ID3v1: a fixed 128-byte block at the very end that starts with "TAG".
constexpr uint64_t kId3v1Size = 128;

// End of a leading ID3v2 tag by the size its header declares; 0 when the file
// does not start with a well-formed tag header.
uint64_t id3v2TagEnd(FileWindow &window)
{
    const uint8_t *h = windowBytes(window, 0, kId3v2HeaderSize);
    if (h == nullptr || std::memcmp(h, "ID3", 3) != 0 || h[3] == 0xFF || h[4] == 0xFF)
        return 0;
    uint64_t size = 0;
    for (size_t i = kId3v2SizeAt; i < kId3v2HeaderSize; ++i) {
        if (h[i] & 0x80)
            return 0;
        size = size << 7 | h[i];
    }
    const uint64_t footer = (h[kId3v2FlagsAt] & kId3v2FooterFlag) ? kId3v2FooterSize : 0;
    return kId3v2HeaderSize + size + footer;
}

}  // namespace

int32_t durationSeconds(uint64_t bytes, int32_t kbps)
{
    if (kbps <= 0)
        return 0;
    // bytes * 8 / 1000 truncates exactly like bytes / 125, without overflow.
    const uint64_t seconds = bytes / 125 / static_cast<uint64_t>(kbps);
    return static_cast<int32_t>(std::min<uint64_t>(seconds, INT32_MAX));
}

int64_t findFramePairInFile(FileWindow &window, uint64_t from)
{
    // A first header at offset i of a window needs the bytes up to
    // i + kMaxFrameLength + 4 for its successor; candidates closer than that
    // to the window's end wait for the next window, which starts with them.
    const uint64_t size = window.file->size;
    uint64_t position = from;
    while (position < size && size - position > 3) {
        const uint64_t rest = size - position;
        const uint8_t *bytes = windowBytes(window, position, std::min<uint64_t>(rest, kPairLookahead));
        if (bytes == nullptr)
            return kFileReadFailed;
        const size_t held = windowBytesFrom(window, position);
        const bool last = held >= rest;
        const auto length = static_cast<int32_t>(last ? rest : held);
        const int32_t candidates = last ? length : length - static_cast<int32_t>(kPairLookahead) + 1;
        const int32_t found = findFramePair(bytes, candidates, length);
        if (found >= 0)
            return static_cast<int64_t>(position + static_cast<uint64_t>(found));
        if (last)
            break;
        position += static_cast<uint64_t>(candidates);
    }
    return kNoFramePair;
}

int64_t firstFrameInFile(FileWindow &window)
{
    const uint64_t tagEnd = id3v2TagEnd(window);
    if (tagEnd > 0 && tagEnd < window.file->size) {
        const int64_t found = findFramePairInFile(window, tagEnd);
        if (found != kNoFramePair)
            return found;
    }
    return findFramePairInFile(window, 0);
}

int64_t audioBytes(FileWindow &window, uint64_t firstFrame)
{
    const uint64_t size = window.file->size;
    uint64_t audio = size - firstFrame;
    if (audio >= kId3v1Size) {
        const uint8_t *tag = windowBytes(window, size - kId3v1Size, 3);
        if (tag == nullptr)
            return -1;
        if (std::memcmp(tag, "TAG", 3) == 0)
            audio -= kId3v1Size;
    }
    return static_cast<int64_t>(audio);
}

bool walkFrames(FileWindow &window, uint64_t firstFrame, FrameTally &tally)
{
    const uint64_t size = window.file->size;
    const uint8_t *first = windowBytes(window, firstFrame, 4);
    if (first == nullptr)
        return false;
    // The tagged first frame carries no audio of its own; the average starts
    // with the frame after it. A position past the end ends the walk.
    const int32_t firstLength = getFrameLength(readHeader(first));
    if (firstLength < kMinFrameLength)
        return false;  // not the first frame of a pair
    uint64_t position = firstFrame + static_cast<uint64_t>(firstLength);
    FrameTally counted;  // kept in registers; the caller's only on success
    while (position < size && size - position >= 4) {
        const uint8_t *bytes = windowBytes(window, position, 4);
        if (bytes == nullptr)
            return false;
        const MP3Header header = readHeader(bytes);
        uint64_t step = 0;
        if (header.isValid()) {
            ++counted.count;
            counted.sum += header.getBitrate();
            const int32_t length = getFrameLength(header);
            if (length >= kMinFrameLength)
                step = static_cast<uint64_t>(length);
        }
        if (step == 0) {
            // Lost sync (garbage, a tag, a cut frame): resynchronise on the next
            // frame pair. The position itself fails as the first of a pair, so
            // the walk always advances.
            const int64_t next = findFramePairInFile(window, position);
            if (next == kFileReadFailed)
                return false;
            if (next == kNoFramePair)
                break;
            step = static_cast<uint64_t>(next) - position;
        }
        position += step;
    }
    tally = counted;
    return true;
}

bool getVBRInfo(const ReadOnlyFile &file, size_t windowSize, uint64_t firstFrame,
                uint64_t audio, int32_t *bitrateOut, int32_t *durationOut)
{
    std::fputs("getVBRInfo()\n", stdout);

    FileWindow window;
    FrameTally tally;
    if (!makeFileWindow(file, std::clamp(windowSize, kMinMp3Window, kMaxMp3Window), window) ||
        !walkFrames(window, firstFrame, tally))
        return false;

    // The successor of the first frame always counts, so count is at least 1.
    const double average = tally.count > 0 ? tally.sum / tally.count : 0.0;
    const auto kbps = static_cast<int32_t>(average);
    *bitrateOut = kbps;
    *durationOut = durationSeconds(audio, kbps);
    return true;
}

unsigned char probeMp3File(const ReadOnlyFile &file, Mp3Windows windows, int32_t *bitrateOut,
                           int32_t *sampleRateOut, int32_t *durationOut)
{
    FileWindow window;
    if (file.size < 4 ||
        !makeFileWindow(file, std::clamp(windows.search, kMinMp3Window, kMaxMp3Window), window))
        return 0;
    const int64_t found = firstFrameInFile(window);
    if (found < 0)
        return 0;
    const auto first = static_cast<uint64_t>(found);
    const uint8_t *headerBytes = windowBytes(window, first, 4);
    if (headerBytes == nullptr)
        return 0;
    const MP3Header header = readHeader(headerBytes);
    const uint64_t tagAt = first + 4 + static_cast<uint64_t>(sideInfoLength(header));
    // The tag must leave at least 12 bytes to the end of the file.
    if (tagAt + 11 >= file.size)
        return 0;
    const uint8_t *tag = windowBytes(window, tagAt, 4);
    if (tag == nullptr)
        return 0;
    const bool variable = std::memcmp(tag, "Xing", 4) == 0;
    const int64_t audio = audioBytes(window, first);
    if (audio < 0)
        return 0;

    if (variable) {
        *sampleRateOut = header.getSampleRate();
        return getVBRInfo(file, windows.walk, first, static_cast<uint64_t>(audio), bitrateOut,
                          durationOut)
                   ? 1
                   : 0;
    }
    const int32_t kbps = header.getBitrate();
    *bitrateOut = kbps;
    *durationOut = durationSeconds(static_cast<uint64_t>(audio), kbps);
    *sampleRateOut = header.getSampleRate();
    return 1;
}

extern "C" unsigned char getMP3MetaInfo(const char *path, int32_t *bitrateOut,
                                        int32_t *sampleRateOut, void *, void *, void *,
                                        int32_t *durationOut)
{
    if (path == nullptr || bitrateOut == nullptr || sampleRateOut == nullptr ||
        durationOut == nullptr)
        return 0;

    ReadOnlyFile file;
    if (!openReadOnlyFile(path, file)) {
        // A path that does not exist fails silently; one that exists but
        // cannot be opened or sized (an empty file, a folder, a FIFO) is
        // reported. The status query only runs on this path, so a probe that
        // succeeds costs no more than its open.
        const int error = errno;
        struct stat st {};
        if (::stat(path, &st) != 0)
            return 0;
        errno = error;
        std::perror("mmap");
        return 0;
    }
    return probeMp3File(file, Mp3Windows{}, bitrateOut, sampleRateOut, durationOut);
}

// MP3 analysis: internal operations behind getMP3MetaInfo.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mpeg_audio_header.h"
#include "platform/read_only_file.h"

// Sizes of the two read windows of one probe: the first serves the search for
// the first frame, its tag and the trailing tag check; the other the frame
// walk of a variable-bitrate file. Both are held between kMinMp3Window and
// kMaxMp3Window.
struct Mp3Windows {
    size_t search = 16 * 1024;
    size_t walk = 64 * 1024;
};

// The pair search needs a whole frame and the next header in its window from
// any first header on; the smallest window holds that twice, so that each
// refill moves the search on by at least as much.
inline constexpr size_t kPairLookahead = size_t{kMaxFrameLength} + 4;
inline constexpr size_t kMinMp3Window = 2 * kPairLookahead;
// Offsets inside a window are 32-bit for the pair search.
inline constexpr size_t kMaxMp3Window = size_t{16} << 20;

// findNextFrame over the file's bytes [from, size at open), through the
// window. Returns the file offset of the first frame of the pair, or one of:
inline constexpr int64_t kNoFramePair = -1;
inline constexpr int64_t kFileReadFailed = -2;  // the file stopped giving bytes
int64_t findFramePairInFile(FileWindow &window, uint64_t from);

// Where the first frame is looked for and what counts as audio.
// firstFrameInFile skips a leading ID3v2 tag by its declared size and
// searches from the start when nothing is found after it; the result is as
// findFramePairInFile's.
int64_t firstFrameInFile(FileWindow &window);

// Bytes of the file from firstFrame on, less a trailing 128-byte ID3v1 tag;
// -1 when the file stopped giving bytes.
int64_t audioBytes(FileWindow &window, uint64_t firstFrame);

// Frames after the tagged first frame: how many valid headers and the sum of
// their bitrates.
struct FrameTally {
    int32_t count = 0;
    double sum = 0.0;
};

// Walks the frames after firstFrame (a frame of a pair) to the end of the
// file; false when the file stopped giving bytes.
bool walkFrames(FileWindow &window, uint64_t firstFrame, FrameTally &tally);

// Prints "getVBRInfo()\n", walks the frames after firstFrame through a window
// of windowSize bytes and writes the truncated average bitrate and the
// duration of audio bytes at that rate. False, with nothing written, when the
// file stopped giving bytes or memory is short.
bool getVBRInfo(const ReadOnlyFile &file, size_t windowSize, uint64_t firstFrame,
                uint64_t audio, int32_t *bitrateOut, int32_t *durationOut);

// getMP3MetaInfo on an open file with the given windows.
unsigned char probeMp3File(const ReadOnlyFile &file, Mp3Windows windows, int32_t *bitrateOut,
                           int32_t *sampleRateOut, int32_t *durationOut);

// ((bytes * 8) / 1000) / kbps, both divisions truncating, saturated at
// INT32_MAX; 0 when kbps is not positive.
int32_t durationSeconds(uint64_t bytes, int32_t kbps);

// Stand-in for the platform's AVI file services: a reader of the headers of
// an AVI file ("RIFF" of form "AVI ", its "LIST hdrl" with the "avih" main
// header, one "LIST strl" with a "strh" stream header per stream, and the
// OpenDML "LIST odml" with its "dmlh" header where present). Opening reads
// and keeps those headers and closes the file again; the movie data and the
// indexes are never read.
//
// Choices made where the platform leaves its behaviour unpublished:
// - The file information record is filled from the main header the way the
//   platform's AVI file handler fills it: maximum bytes per second, flags,
//   stream count, suggested buffer size, width and height as "avih" stores
//   them; rate 1000000 and scale the microseconds per frame, so that
//   rate / scale is the frame rate (25 frames per second: scale 40000);
//   length the total frame count, taken from "dmlh" when the file has one,
//   since "avih" counts only the frames of the first RIFF chunk of a large
//   OpenDML file; edit count 0 (nothing here edits); capabilities those of a
//   reader (kAviCapsCanRead); the file type text is left empty.
// - A stream's length is the "strh" length in the stream's samples.
// - Sample to milliseconds is sample * scale * 1000 / rate in 64 bits,
//   rounded to the nearest millisecond (halves up), capped at INT32_MAX; it
//   fails for a rate of 0.
// - At most kAviMaxStreams streams are kept: the movie chunk ids number
//   streams with two digits. Later "strl" lists are ignored.
// - Opening fails unless "hdrl" holds an "avih" of at least the 40 bytes of
//   its fields and every "strl" holds a "strh" that carries the fields read
//   here (36 bytes). A "dmlh" shorter than its frame count is ignored.
// - Start and stop keep a count of users, as the platform's services do; the
//   reader itself needs no set-up.
#pragma once

#include <cstdint>

#include "platform/riff_chunk_reader.h"

inline constexpr uint32_t kAviStreamTypeVideo = riffFourCC("vids");
inline constexpr uint32_t kAviStreamTypeAudio = riffFourCC("auds");
inline constexpr uint32_t kAviCapsCanRead = 0x1;
inline constexpr uint32_t kAviMaxStreams = 100;

// The file-wide information record.
struct AviFileInfo {
    uint32_t maxBytesPerSecond;
    uint32_t flags;
    uint32_t caps;
    uint32_t streams;
    uint32_t suggestedBufferSize;
    uint32_t width;
    uint32_t height;
    uint32_t scale;
    uint32_t rate;
    uint32_t length;
    uint32_t editCount;
    char fileType[64];
};

// What a stream handle refers to: the fields of its "strh" header in use.
struct AviStream {
    uint32_t type;
    uint32_t scale;
    uint32_t rate;
    uint32_t start;
    uint32_t length;
};

struct AviFile;

void startAviServices();
void stopAviServices();
// Starts not yet matched by a stop, for checking that callers balance them.
int aviServicesUsers();

// Reads the headers of the file at path; null when it cannot be opened or is
// not an AVI file with the headers described above.
AviFile *openAviFile(const char *path);
void releaseAviFile(AviFile *file);

// The index-th stream (from 0) of the given type, as a handle of its own
// that outlives the file; null when there is none or memory is short.
AviStream *getAviStream(const AviFile *file, uint32_t type, uint32_t index);
void releaseAviStream(AviStream *stream);

uint32_t aviStreamLength(const AviStream *stream);

// Time in milliseconds at sample; false for a rate of 0.
bool aviStreamSampleToTime(const AviStream *stream, uint32_t sample, int32_t *millisecondsOut);

// Fills info as described above; false when file is null.
bool getAviFileInfo(const AviFile *file, AviFileInfo *info);

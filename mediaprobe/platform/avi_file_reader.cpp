#include "platform/avi_file_reader.h"

#include <atomic>
#include <climits>
#include <new>

namespace {

constexpr uint32_t kAviForm = riffFourCC("AVI ");
constexpr uint32_t kHeaderListForm = riffFourCC("hdrl");
constexpr uint32_t kStreamListForm = riffFourCC("strl");
constexpr uint32_t kOpenDmlListForm = riffFourCC("odml");
constexpr uint32_t kMainHeaderId = riffFourCC("avih");
constexpr uint32_t kStreamHeaderId = riffFourCC("strh");
constexpr uint32_t kOpenDmlHeaderId = riffFourCC("dmlh");

// "avih": ten 32-bit fields (then 16 reserved bytes, not needed).
constexpr uint32_t kMainHeaderSize = 40;
constexpr uint32_t kMicroSecPerFrameOffset = 0;
constexpr uint32_t kMaxBytesPerSecOffset = 4;
constexpr uint32_t kMainFlagsOffset = 12;
constexpr uint32_t kTotalFramesOffset = 16;
constexpr uint32_t kStreamsOffset = 24;
constexpr uint32_t kSuggestedBufferSizeOffset = 28;
constexpr uint32_t kWidthOffset = 32;
constexpr uint32_t kHeightOffset = 36;

// "strh": type, handler, flags, priority and language, initial frames,
// scale, rate, start, length; the rest is not needed.
constexpr uint32_t kStreamHeaderSize = 36;
constexpr uint32_t kStreamTypeOffset = 0;
constexpr uint32_t kStreamScaleOffset = 20;
constexpr uint32_t kStreamRateOffset = 24;
constexpr uint32_t kStreamStartOffset = 28;
constexpr uint32_t kStreamLengthOffset = 32;

// "dmlh": the total frame count of all RIFF chunks comes first.
constexpr uint32_t kOpenDmlHeaderSize = 4;

constexpr uint32_t kFileInfoRate = 1000000;  // scale is in microseconds

std::atomic<int> servicesUsers{0};

uint32_t readLE32(const uint8_t *bytes, uint32_t offset)
{
    return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
           static_cast<uint32_t>(bytes[offset + 2]) << 16 |
           static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

}  // namespace

struct AviFile {
    uint32_t microSecPerFrame = 0;
    uint32_t maxBytesPerSecond = 0;
    uint32_t flags = 0;
    uint32_t totalFrames = 0;
    uint32_t streams = 0;
    uint32_t suggestedBufferSize = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    bool hasOpenDmlHeader = false;
    uint32_t openDmlTotalFrames = 0;
    uint32_t streamCount = 0;
    AviStream stream[kAviMaxStreams] = {};
};

namespace {

// Reads size bytes of fields from the chunk's data, only when its size field
// says the chunk carries them.
bool readChunkFields(RiffFile *riff, const RiffChunkInfo &chunk, uint8_t *fields, uint32_t size)
{
    return chunk.size >= size && readRiffBytes(riff, fields, size) == size;
}

// The next "LIST" of the given form inside parent, from the current position.
uint32_t findRiffList(RiffFile *riff, const RiffChunkInfo &parent, uint32_t form,
                      RiffChunkInfo &list)
{
    uint32_t result;
    while ((result = findRiffSubChunk(riff, parent, kListId, list)) == kRiffOk) {
        if (list.formType == form)
            return kRiffOk;
        result = leaveRiffChunk(riff, list);
        if (result != kRiffOk)
            return result;
    }
    return result;
}

bool readMainHeader(RiffFile *riff, const RiffChunkInfo &headerList, AviFile &file)
{
    RiffChunkInfo chunk;
    uint8_t fields[kMainHeaderSize];
    if (findRiffSubChunk(riff, headerList, kMainHeaderId, chunk) != kRiffOk ||
        !readChunkFields(riff, chunk, fields, sizeof fields))
        return false;
    file.microSecPerFrame = readLE32(fields, kMicroSecPerFrameOffset);
    file.maxBytesPerSecond = readLE32(fields, kMaxBytesPerSecOffset);
    file.flags = readLE32(fields, kMainFlagsOffset);
    file.totalFrames = readLE32(fields, kTotalFramesOffset);
    file.streams = readLE32(fields, kStreamsOffset);
    file.suggestedBufferSize = readLE32(fields, kSuggestedBufferSizeOffset);
    file.width = readLE32(fields, kWidthOffset);
    file.height = readLE32(fields, kHeightOffset);
    return leaveRiffChunk(riff, chunk) == kRiffOk;
}

bool readStreamList(RiffFile *riff, const RiffChunkInfo &streamList, AviFile &file)
{
    if (file.streamCount == kAviMaxStreams)
        return true;
    RiffChunkInfo chunk;
    uint8_t fields[kStreamHeaderSize];
    if (findRiffSubChunk(riff, streamList, kStreamHeaderId, chunk) != kRiffOk ||
        !readChunkFields(riff, chunk, fields, sizeof fields))
        return false;
    AviStream &stream = file.stream[file.streamCount++];
    stream.type = readLE32(fields, kStreamTypeOffset);
    stream.scale = readLE32(fields, kStreamScaleOffset);
    stream.rate = readLE32(fields, kStreamRateOffset);
    stream.start = readLE32(fields, kStreamStartOffset);
    stream.length = readLE32(fields, kStreamLengthOffset);
    return true;
}

// The extension is optional; a damaged one is ignored rather than failing
// the file.
void readOpenDmlList(RiffFile *riff, const RiffChunkInfo &extensionList, AviFile &file)
{
    RiffChunkInfo chunk;
    uint8_t fields[kOpenDmlHeaderSize];
    if (findRiffSubChunk(riff, extensionList, kOpenDmlHeaderId, chunk) != kRiffOk ||
        !readChunkFields(riff, chunk, fields, sizeof fields))
        return;
    file.hasOpenDmlHeader = true;
    file.openDmlTotalFrames = readLE32(fields, 0);
}

bool readAviHeaders(RiffFile *riff, AviFile &file)
{
    RiffChunkInfo top;
    if (readRiffChunkHeader(riff, top) != kRiffOk || top.id != kRiffId || top.formType != kAviForm)
        return false;
    RiffChunkInfo headerList;
    if (findRiffList(riff, top, kHeaderListForm, headerList) != kRiffOk ||
        !readMainHeader(riff, headerList, file))
        return false;
    // Stream lists and the extension follow the main header; each pass leaves
    // the list it looked at, so the walk only moves forward.
    RiffChunkInfo list;
    while (findRiffSubChunk(riff, headerList, kListId, list) == kRiffOk) {
        if (list.formType == kStreamListForm && !readStreamList(riff, list, file))
            return false;
        if (list.formType == kOpenDmlListForm)
            readOpenDmlList(riff, list, file);
        if (leaveRiffChunk(riff, list) != kRiffOk)
            return false;
    }
    return true;
}

}  // namespace

void startAviServices() { servicesUsers.fetch_add(1); }

void stopAviServices() { servicesUsers.fetch_sub(1); }

int aviServicesUsers() { return servicesUsers.load(); }

AviFile *openAviFile(const char *path)
{
    RiffFile *riff = openRiffFile(path);
    if (riff == nullptr)
        return nullptr;
    auto *file = new (std::nothrow) AviFile;
    if (file != nullptr && !readAviHeaders(riff, *file)) {
        delete file;
        file = nullptr;
    }
    closeRiffFile(riff);
    return file;
}

void releaseAviFile(AviFile *file) { delete file; }

AviStream *getAviStream(const AviFile *file, uint32_t type, uint32_t index)
{
    uint32_t seen = 0;
    for (uint32_t i = 0; i < file->streamCount; ++i) {
        if (file->stream[i].type != type)
            continue;
        if (seen++ == index)
            return new (std::nothrow) AviStream(file->stream[i]);
    }
    return nullptr;
}

void releaseAviStream(AviStream *stream) { delete stream; }

uint32_t aviStreamLength(const AviStream *stream) { return stream->length; }

bool aviStreamSampleToTime(const AviStream *stream, uint32_t sample, int32_t *millisecondsOut)
{
    const uint64_t rate = stream->rate;
    if (rate == 0)
        return false;
    // sample * scale fits in 64 bits; the factor 1000 is applied to quotient
    // and remainder apart so that it cannot overflow.
    const uint64_t units = static_cast<uint64_t>(sample) * stream->scale;
    const uint64_t whole = units / rate;
    const uint64_t rest = units % rate;
    if (whole > INT32_MAX) {
        *millisecondsOut = INT32_MAX;
        return true;
    }
    const uint64_t milliseconds = whole * 1000 + (rest * 1000 + rate / 2) / rate;
    *millisecondsOut = milliseconds > INT32_MAX ? INT32_MAX : static_cast<int32_t>(milliseconds);
    return true;
}

bool getAviFileInfo(const AviFile *file, AviFileInfo *info)
{
    if (file == nullptr)
        return false;
    *info = AviFileInfo{};
    info->maxBytesPerSecond = file->maxBytesPerSecond;
    info->flags = file->flags;
    info->caps = kAviCapsCanRead;
    info->streams = file->streams;
    info->suggestedBufferSize = file->suggestedBufferSize;
    info->width = file->width;
    info->height = file->height;
    info->scale = file->microSecPerFrame;
    info->rate = kFileInfoRate;
    info->length = file->hasOpenDmlHeader ? file->openDmlTotalFrames : file->totalFrames;
    info->editCount = 0;
    return true;
}

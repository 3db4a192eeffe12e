#include "mediaprobe.h"
#include "platform/avi_file_reader.h"

namespace {

void store(uint32_t *out, uint32_t value)
{
    if (out != nullptr)
        *out = value;
}

// Play time of the stream at its length. The output keeps its value when
// there is none to give (a stream rate of 0) or nowhere to put it.
void storeDuration(const AviStream *stream, int32_t *durationOut)
{
    int32_t milliseconds = 0;
    if (durationOut != nullptr &&
        aviStreamSampleToTime(stream, aviStreamLength(stream), &milliseconds))
        *durationOut = milliseconds;
}

}  // namespace

extern "C" unsigned char getAVIinfo(const char *path, int32_t *durationOut, uint32_t *widthOut,
                                    uint32_t *heightOut, uint32_t *dataRateOut,
                                    uint32_t *flagsOut, uint32_t *capsOut, uint32_t *streamsOut,
                                    uint32_t *bufferSizeOut, uint32_t *scaleOut,
                                    uint32_t *rateOut, uint32_t *editCountOut,
                                    uint32_t *frameRateOut, void *, void *)
{
    startAviServices();
    AviFile *file = path != nullptr ? openAviFile(path) : nullptr;
    AviStream *stream = file != nullptr ? getAviStream(file, kAviStreamTypeVideo, 0) : nullptr;

    AviFileInfo info;
    if (file != nullptr && stream != nullptr) {
        // The duration stands even when the information query fails.
        storeDuration(stream, durationOut);
        if (getAviFileInfo(file, &info)) {
            store(widthOut, info.width);
            store(heightOut, info.height);
            store(dataRateOut, info.maxBytesPerSecond / 1000);
            store(flagsOut, info.flags);
            store(capsOut, info.caps);
            store(streamsOut, info.streams);
            store(bufferSizeOut, info.suggestedBufferSize);
            store(scaleOut, info.scale);
            store(rateOut, info.rate);
            store(editCountOut, info.editCount);
            store(frameRateOut, info.rate / (info.scale != 0 ? info.scale : 1));
        }
    }

    releaseAviStream(stream);
    releaseAviFile(file);
    stopAviServices();
    return 1;
}

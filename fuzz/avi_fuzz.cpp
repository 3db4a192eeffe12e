// Arbitrary bytes through the AVI header reader and the whole AVI probe; the
// services must be stopped as often as they were started.
#include "fuzz_util.h"
#include "mediaprobe.h"
#include "platform/avi_file_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    MemoryFile memory(data, size);
    if (memory.path.empty())
        return 0;
    const char *path = memory.path.c_str();

    if (AviFile *file = openAviFile(path)) {
        AviFileInfo info;
        getAviFileInfo(file, &info);
        for (uint32_t type : {kAviStreamTypeVideo, kAviStreamTypeAudio}) {
            AviStream *stream = getAviStream(file, type, 1);
            int32_t milliseconds = 0;
            if (stream != nullptr)
                aviStreamSampleToTime(stream, aviStreamLength(stream), &milliseconds);
            releaseAviStream(stream);
        }
        releaseAviFile(file);
    }

    int32_t duration = 0;
    uint32_t out[11] = {};
    getAVIinfo(path, &duration, &out[0], &out[1], &out[2], &out[3], &out[4], &out[5], &out[6],
               &out[7], &out[8], &out[9], &out[10], nullptr, nullptr);
    if (aviServicesUsers() != 0)
        __builtin_trap();
    return 0;
}

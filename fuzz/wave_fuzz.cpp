// Arbitrary bytes through the RIFF chunk reader (header, searches, leaving
// chunks) and the whole WAVE probe. A found chunk header must lie inside the
// file and its parent.
#include "fuzz_util.h"
#include "mediaprobe.h"
#include "platform/riff_chunk_reader.h"
#include "wave_probe.h"

namespace {

void walk(const char *path, uint64_t size)
{
    RiffFile *file = openRiffFile(path);
    if (file == nullptr)
        return;
    RiffChunkInfo top;
    if (readRiffChunkHeader(file, top) == kRiffOk) {
        for (uint32_t id : {riffFourCC("fmt "), riffFourCC("LIST"), riffFourCC("data")}) {
            RiffChunkInfo chunk;
            if (findRiffSubChunk(file, top, id, chunk) != kRiffOk)
                continue;
            if (chunk.dataOffset > size || chunk.dataOffset < top.dataOffset + 8 ||
                chunk.dataOffset > top.dataOffset + top.size)
                __builtin_trap();
            uint8_t bytes[64];
            readRiffBytes(file, bytes, sizeof bytes);
            leaveRiffChunk(file, chunk);
        }
    }
    closeRiffFile(file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    MemoryFile memory(data, size);
    if (memory.path.empty())
        return 0;
    walk(memory.path.c_str(), size);
    uint32_t channels = 0, rate = 0, byteRate = 0, bits = 0, riffSize = 0;
    getWAVMetaInfo(memory.path.c_str(), &channels, &rate, &byteRate, &bits, &riffSize);
    return 0;
}

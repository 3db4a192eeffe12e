// Byte builders and scratch files for the RIFF-based probe tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "scratch_file.h"

namespace rifftest {

using Bytes = std::vector<uint8_t>;

inline void put16(Bytes &out, uint32_t value)
{
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

inline void put32(Bytes &out, uint32_t value)
{
    put16(out, value & 0xFFFFu);
    put16(out, value >> 16);
}

inline void putId(Bytes &out, const char *id) { out.insert(out.end(), id, id + 4); }

inline Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

// id, size field (the payload's size unless given), payload, pad byte when odd.
inline Bytes chunk(const char *id, const Bytes &payload, int64_t sizeField = -1)
{
    Bytes out;
    putId(out, id);
    put32(out, static_cast<uint32_t>(sizeField < 0 ? static_cast<int64_t>(payload.size())
                                                   : sizeField));
    out.insert(out.end(), payload.begin(), payload.end());
    if (payload.size() % 2 != 0)
        out.push_back(0);
    return out;
}

// "RIFF" or "LIST" chunk: the form type, then the sub-chunks.
inline Bytes list(const char *id, const char *form, const Bytes &body, int64_t sizeField = -1)
{
    Bytes payload;
    putId(payload, form);
    payload.insert(payload.end(), body.begin(), body.end());
    return chunk(id, payload, sizeField);
}

using ::ScratchFile;

}  // namespace rifftest

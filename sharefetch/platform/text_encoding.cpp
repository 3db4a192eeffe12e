#include "platform/text_encoding.h"

bool utf8Decode(const uint8_t *text, uint32_t *point, int *used)
{
    const uint8_t lead = text[0];
    *used = 1;
    *point = lead;
    if (lead < 0x80)
        return true;
    const int extra = lead >= 0xF0 && lead < 0xF5 ? 3 : lead >= 0xE0 && lead < 0xF0 ? 2
                      : lead >= 0xC2 && lead < 0xE0                                  ? 1
                                                                                     : 0;
    if (extra == 0)
        return false;
    uint32_t value = lead & (0x3Fu >> extra);
    for (int i = 1; i <= extra; ++i) {
        if ((text[i] & 0xC0) != 0x80)  // also stops at the terminating 0
            return false;
        value = (value << 6) | (text[i] & 0x3Fu);
    }
    constexpr uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (value < kLeast[extra] || value > 0x10FFFF || (value >= 0xD800 && value < 0xE000))
        return false;
    *point = value;
    *used = extra + 1;
    return true;
}

int64_t utf8ToUtf16Length(const char *text)
{
    const auto *at = reinterpret_cast<const uint8_t *>(text);
    int64_t bytes = 0;
    while (*at != 0) {
        uint32_t point = 0;
        int used = 0;
        if (!utf8Decode(at, &point, &used))
            return -1;
        at += used;
        bytes += point >= 0x10000 ? 4 : 2;  // a surrogate pair beyond the BMP
    }
    return bytes;
}

void utf8ToUtf16le(const char *text, uint8_t *out)
{
    const auto *at = reinterpret_cast<const uint8_t *>(text);
    auto put = [&out](uint32_t unit) {
        *out++ = static_cast<uint8_t>(unit);
        *out++ = static_cast<uint8_t>(unit >> 8);
    };
    while (*at != 0) {
        uint32_t point = 0;
        int used = 0;
        utf8Decode(at, &point, &used);
        at += used;
        if (point >= 0x10000) {
            point -= 0x10000;
            put(0xD800 | (point >> 10));
            point = 0xDC00 | (point & 0x3FF);
        }
        put(point);
    }
}

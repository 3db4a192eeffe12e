#include "names.h"

namespace {

// Length of the well-formed UTF-8 sequence at s[i] (no overlong forms, no
// surrogates, nothing past U+10FFFF), 0 when there is none; cp gets its value.
size_t utf8Sequence(std::string_view s, size_t i, char32_t &cp)
{
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    size_t length = 0;
    char32_t min = 0;
    if (lead < 0x80) {
        cp = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) length = 2, min = 0x80, cp = lead & 0x1Fu;
    else if (lead >= 0xE0 && lead <= 0xEF) length = 3, min = 0x800, cp = lead & 0x0Fu;
    else if (lead >= 0xF0 && lead <= 0xF4) length = 4, min = 0x10000, cp = lead & 0x07u;
    else return 0;
    if (i + length > s.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (byte(i + k) & 0x3Fu);
    }
    const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
    return cp < min || surrogate || cp > 0x10FFFF ? 0 : length;
}

// Characters that move the cursor, ring, or reorder what follows on screen.
bool unsafeToShow(char32_t cp)
{
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || (cp >= 0x202A && cp <= 0x202E) ||
           (cp >= 0x2066 && cp <= 0x2069);
}

void appendHex(std::string &out, unsigned char byte)
{
    static const char digits[] = "0123456789abcdef";
    out += digits[byte >> 4];
    out += digits[byte & 0xF];
}

}  // namespace

bool isValidUtf8(std::string_view bytes)
{
    char32_t cp = 0;
    for (size_t i = 0, n = 0; i < bytes.size(); i += n)
        if ((n = utf8Sequence(bytes, i, cp)) == 0) return false;
    return true;
}

std::string printable(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        char32_t cp = 0;
        const size_t n = utf8Sequence(bytes, i, cp);
        if (n > 0 && !unsafeToShow(cp)) {
            out.append(cp == '\\' ? "\\\\" : bytes.substr(i, n));
            i += n;
            continue;
        }
        for (size_t k = 0; k < (n ? n : 1); ++k) {
            out += "\\x";
            appendHex(out, static_cast<unsigned char>(bytes[i + k]));
        }
        i += n ? n : 1;
    }
    return out;
}

std::string hexBytes(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char c : bytes) appendHex(out, static_cast<unsigned char>(c));
    return out;
}

// strict_utf8.h: a strict UTF-8 decoder for the fuzz targets' answers, written apart from
// the code under test: it decodes each code point by value and then refuses overlong
// forms, surrogates and values above U+10FFFF, as a strict JSON reader would.
#pragma once

#include <cstddef>
#include <string_view>

namespace fuzz {

inline bool strict_utf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        // Read as unsigned: a plain char is signed here.
        const auto b = static_cast<unsigned char>(s[i]);
        std::size_t n = 0;
        unsigned long cp = 0;
        unsigned long least = 0;
        if (b < 0x80) {
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            n = 2, cp = b & 0x1F, least = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            n = 3, cp = b & 0x0F, least = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            n = 4, cp = b & 0x07, least = 0x10000;
        } else {
            return false;
        }
        if (i + n > s.size()) return false;
        for (std::size_t k = 1; k < n; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n;
    }
    return true;
}

}  // namespace fuzz

// text.cc: truncating writes into fixed-capacity text buffers.
#include "base/text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace credvane {

void copy_cut(std::span<char> out, std::string_view s) {
    if (out.empty()) return;
    const std::size_t n = std::min(s.size(), out.size() - 1);
    if (n > 0) std::memmove(out.data(), s.data(), n);
    out[n] = '\0';
}

bool format_cut(std::span<char> out, const char* fmt, ...) {
    if (out.empty()) return false;
    va_list ap;
    va_start(ap, fmt);
    const int r = std::vsnprintf(out.data(), out.size(), fmt, ap);
    va_end(ap);
    if (r < 0) {
        out[0] = '\0';
        return false;
    }
    return true;
}

}  // namespace credvane

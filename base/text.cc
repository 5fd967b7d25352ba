// text.cc: truncating writes into fixed-capacity text buffers.
#include "base/text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/utf8.h"

namespace credvane {

void copy_cut(std::span<char> out, std::string_view s) {
    if (out.empty()) return;
    std::size_t n = std::min(s.size(), out.size() - 1);
    // A cut keeps whole characters: the capacity stays the limit, and the cut moves back to
    // the start of a character it would split.
    if (n < s.size()) n = utf8_whole_prefix(s.substr(0, n));
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
    if (static_cast<std::size_t>(r) >= out.size()) {
        out[utf8_whole_prefix(std::string_view(out.data(), out.size() - 1))] = '\0';
    }
    return true;
}

}  // namespace credvane

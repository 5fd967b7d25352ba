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

namespace {

// format_cut's work; the result is -1 when the formatter failed, 0 when it cut, 1 when the
// whole text fitted.
int format_into(std::span<char> out, const char* fmt, va_list ap) {
    if (out.empty()) return -1;
    const int r = std::vsnprintf(out.data(), out.size(), fmt, ap);
    if (r < 0) {
        out[0] = '\0';
        return -1;
    }
    if (static_cast<std::size_t>(r) >= out.size()) {
        out[utf8_whole_prefix(std::string_view(out.data(), out.size() - 1))] = '\0';
        return 0;
    }
    return 1;
}

}  // namespace

bool format_cut(std::span<char> out, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int r = format_into(out, fmt, ap);
    va_end(ap);
    return r >= 0;
}

bool format_whole(std::span<char> out, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int r = format_into(out, fmt, ap);
    va_end(ap);
    return r > 0;
}

bool copy_whole(std::span<char> out, std::string_view s) {
    copy_cut(out, s);
    return !out.empty() && s.size() < out.size();
}

}  // namespace credvane

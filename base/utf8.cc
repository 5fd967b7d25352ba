// utf8.cc: UTF-8 well-formedness by the table of well-formed byte sequences.
#include "base/utf8.h"

namespace credvane {

namespace {

// The byte range allowed second in a sequence led by lead, and the sequence's length;
// length 0 marks a byte that cannot lead one (a continuation byte, C0, C1, F5 to FF).
struct lead_rule {
    unsigned char lo;
    unsigned char hi;
    std::size_t len;
};

lead_rule rule_for(unsigned char lead) {
    if (lead < 0x80) return {0, 0, 1};
    if (lead >= 0xC2 && lead <= 0xDF) return {0x80, 0xBF, 2};
    if (lead == 0xE0) return {0xA0, 0xBF, 3};  // no overlong three-byte forms
    if (lead == 0xED) return {0x80, 0x9F, 3};  // no surrogates
    if (lead >= 0xE1 && lead <= 0xEF) return {0x80, 0xBF, 3};
    if (lead == 0xF0) return {0x90, 0xBF, 4};  // no overlong four-byte forms
    if (lead == 0xF4) return {0x80, 0x8F, 4};  // nothing above U+10FFFF
    if (lead >= 0xF1 && lead <= 0xF3) return {0x80, 0xBF, 4};
    return {0, 0, 0};
}

// Bytes read by value: a plain char is signed here.
unsigned char byte_at(std::string_view s, std::size_t i) {
    return static_cast<unsigned char>(s[i]);
}

}  // namespace

utf8_piece utf8_next(std::string_view s, std::size_t at) {
    const lead_rule r = rule_for(byte_at(s, at));
    if (r.len == 0) return {1, false};
    if (r.len == 1) return {1, true};
    std::size_t n = 1;
    while (n < r.len) {
        if (at + n >= s.size()) return {n, false};
        const unsigned char c = byte_at(s, at + n);
        const unsigned char lo = n == 1 ? r.lo : 0x80;
        const unsigned char hi = n == 1 ? r.hi : 0xBF;
        if (c < lo || c > hi) return {n, false};
        ++n;
    }
    return {n, true};
}

std::size_t utf8_whole_prefix(std::string_view s) {
    // A character is at most four bytes, so its lead lies within the last three.
    for (std::size_t back = 1; back <= 3 && back <= s.size(); ++back) {
        const std::size_t at = s.size() - back;
        const unsigned char c = byte_at(s, at);
        if (c >= 0x80 && c <= 0xBF) continue;  // a continuation byte: look further back
        const utf8_piece p = utf8_next(s, at);
        // Incomplete only when every byte up to the end fits and more were due.
        const bool cut_short = !p.valid && at + p.len == s.size() && rule_for(c).len > back;
        return cut_short ? at : s.size();
    }
    return s.size();
}

}  // namespace credvane

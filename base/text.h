// text.h: fixed-capacity text buffers and the truncating writes into them.
// Every fixed buffer keeps at most its capacity minus one byte and is always terminated;
// a cut is silent and counts as success. The capacities are part of the observable
// behaviour (a cut name or path shows in the answers), so they are kept exactly.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

namespace credvane {

// Copies s into out, cut at out.size() - 1 bytes, and terminates it.
void copy_cut(std::span<char> out, std::string_view s);

// snprintf into out: at most out.size() - 1 bytes and a terminator; false only when the
// formatter reports an error (out is then the empty text).
bool format_cut(std::span<char> out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// copy_cut and format_cut that say whether the whole text fitted: false when it was cut
// (or the formatter failed), so a caller can refuse to use what was written.
bool copy_whole(std::span<char> out, std::string_view s);
bool format_whole(std::span<char> out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// A NUL-terminated text of capacity N (terminator included), empty at construction.
template <std::size_t N>
struct text {
    static_assert(N >= 2);
    std::array<char, N> bytes{};

    const char* c_str() const { return bytes.data(); }
    std::string_view view() const { return std::string_view(bytes.data()); }
    bool empty() const { return bytes[0] == '\0'; }
    std::span<char> span() { return bytes; }
    void clear() { bytes.fill('\0'); }
    void assign(std::string_view s) { copy_cut(bytes, s); }
    static constexpr std::size_t capacity = N;
};

using path_text = text<1024>;  // every file path
using name_text = text<96>;    // account names and ids

}  // namespace credvane

// utf8.h: UTF-8 well-formedness, one character at a time, for the writers that must never
// let an invalid sequence or half a character reach an answer.
#pragma once

#include <cstddef>
#include <string_view>

namespace credvane {

// U+FFFD REPLACEMENT CHARACTER, which stands in for each ill-formed piece.
inline constexpr std::string_view utf8_replacement = "\xEF\xBF\xBD";

// What begins at one position of a text: a well-formed character of len bytes, or an
// ill-formed piece of len bytes (at least one) that is replaced by one U+FFFD. The piece
// is the maximal subpart of the Unicode standard (chapter 3, "U+FFFD substitution of
// maximal subparts", as the WHATWG decoder does): the longest start of a well-formed
// sequence that is there, or else the one byte.
struct utf8_piece {
    std::size_t len;
    bool valid;
};

// The piece at s[at]; at must be below s.size().
utf8_piece utf8_next(std::string_view s, std::size_t at);

// The length of s without a last character that a cut left incomplete: when s ends with
// the well-formed start of a longer sequence, that start is dropped, else s.size().
std::size_t utf8_whole_prefix(std::string_view s);

}  // namespace credvane

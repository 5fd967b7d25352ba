// json.h: the lenient JSON scanner and the whole-file reader.
// The scanner never builds a tree: it finds one top-level key in a window [start, end) of
// a terminated text and reads the value after it, one byte at a time. It reads small texts
// (a CLI's last line, a marker, a JWT payload) and is the rule book the streaming
// credential scan (cred_scan.h) follows. Malformed input never errs; it gives the
// operation's absent answer. Some reads (string decoding, boolean prefixes) are bounded by
// the text's terminator rather than the window's end, so every window must lie inside one
// terminated text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace credvane {

inline constexpr std::uint64_t read_file_max = 8u * 1024 * 1024;

// The whole content of a regular file of at most 8 MiB, or nothing. The string's c_str()
// is the terminated text the scanner reads (a NUL inside ends every scan there).
std::optional<std::string> read_file(const char* path);

// Only these four count: form feed and vertical tab are value bytes to the scanner.
inline bool json_is_ws(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Where decoded text goes: a character is stored whole or not at all, and after the first
// that does not fit nothing more is, so a cut never leaves half a character or a gap. The
// last byte of out is kept for the terminator.
struct json_text_out {
    std::span<char> out;
    std::size_t n = 0;
    bool full = false;  // a character did not fit: the text was cut

    // One character of len bytes.
    void put(const char* b, std::size_t len);
    // Bytes of the text itself, each a character of its own: as many as fit.
    void put_bytes(const char* b, std::size_t len);
    void finish();
};

// One decoded character of a string.
struct json_char {
    std::array<char, 4> bytes{};
    std::size_t len = 0;
};
// Reads the character at p inside a string's body (p is neither its closing quote nor the
// text's terminator) into c and returns the position after it. A plain byte is itself; an
// escape gives its character: \uXXXX its UTF-8 bytes (a surrogate pair one character, a
// lone half U+FFFD), \b \f \n \r \t their control bytes, any other escaped byte that byte,
// and a backslash just before the terminator stands for itself. Looks at no more than
// json_char_lookahead bytes from p, and at nothing past a terminator.
const char* json_string_char(const char* p, json_char& c);
inline constexpr std::size_t json_char_lookahead = 12;

// The position of the value of the top-level key in the window, or null. A string is a
// key by its first 127 decoded bytes (up to a decoded NUL), and only with a colon after it.
const char* json_find_key(const char* start, const char* end, const char* key);
// Decodes the string at cur (which must point at a quote) into out, cut at
// out.size() - 1; advances cur past the string. 0 with nothing changed when cur is not a
// quote. Bounded by the closing quote or the terminator, never by a window's end.
int json_read_string_at(const char*& cur, std::span<char> out);
// The same into o, whose full flag then tells whether the string was cut.
int json_read_string_at(const char*& cur, json_text_out& o);
// Stores the value of key: any string (even empty), or a raw value that is non-empty
// after trimming. 0 when nothing was stored (out untouched when absent or null).
int json_str_field(const char* start, const char* end, const char* key, std::span<char> out);
// 1 or 0 read leniently from the value, or dflt when the key is not found.
int json_bool_field(const char* start, const char* end, const char* key, int dflt);
// The leading decimal integer of the value (saturated at the 64-bit limits), 0 when absent.
std::int64_t json_num_field(const char* start, const char* end, const char* key);

}  // namespace credvane

// json.h: the lenient JSON scanner and the whole-file reader.
// The scanner never builds a tree: it finds one top-level key in a window [start, end) of
// a terminated text and reads the value after it. Malformed input never errs; it gives
// the operation's absent answer. Some reads (string decoding, boolean prefixes) are
// bounded by the text's terminator rather than the window's end, so every window must
// lie inside one terminated text.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace credvane {

inline constexpr std::uint64_t read_file_max = 8u * 1024 * 1024;

// The whole content of a regular file of at most 8 MiB, or nothing. The string's c_str()
// is the terminated text the scanner reads (a NUL inside ends every scan there).
std::optional<std::string> read_file(const char* path);

// The position of the value of the top-level key in the window, or null.
const char* json_find_key(const char* start, const char* end, const char* key);
// Finds every key of keys (distinct) in one pass over the window: found[i] becomes what
// json_find_key would give for keys[i] (found must be as long as keys).
void json_find_keys(const char* start, const char* end, std::span<const std::string_view> keys,
                    std::span<const char*> found);
// Decodes the string at cur (which must point at a quote) into out, cut at
// out.size() - 1; advances cur past the string. 0 with nothing changed when cur is not a quote.
// A \uXXXX escape gives the character's UTF-8 bytes (a surrogate pair one character, a
// lone half U+FFFD); a cut keeps whole characters only.
int json_read_string_at(const char*& cur, std::span<char> out);
// From an opening quote before end, the position after the string as json_read_string_at
// leaves the cursor, without decoding it; end when that position is not before end.
const char* json_skip_string(const char* p, const char* end);
// Stores the value of key: any string (even empty), or a raw value that is non-empty
// after trimming. 0 when nothing was stored (out untouched when absent or null).
int json_str_field(const char* start, const char* end, const char* key, std::span<char> out);
// json_str_field and json_str_present on a value position already found (or null), in a
// window that ends at end.
int json_str_at(const char* v, const char* end, std::span<char> out);
int json_str_present_at(const char* v, const char* end);
// 1 when the value is a string with at least one character outside escape pairs.
int json_str_present(const char* start, const char* end, const char* key);
// 1 or 0 read leniently from the value, or dflt when the key is not found.
int json_bool_field(const char* start, const char* end, const char* key, int dflt);
// The leading decimal integer of the value (saturated at the 64-bit limits), 0 when absent.
std::int64_t json_num_field(const char* start, const char* end, const char* key);

}  // namespace credvane

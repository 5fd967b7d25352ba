// json.cc: the lenient JSON scanner that reads single top-level values, and the file reader.
// Speed comes from looking at plain runs of a string with a library scan instead of byte by
// byte, from skipping the strings nobody reads without decoding them, and from finding
// several keys in one pass; the answers are those of the plain byte-at-a-time reading.
#include "store/json.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <limits>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/platform.h"

namespace credvane {

namespace {

// Only these four count: form feed and vertical tab are value bytes to the scanner.
bool is_ws(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// The value of a hexadecimal digit, or -1.
int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

const char* skip_ws(const char* p, const char* end) {
    while (p < end && is_ws(*p)) ++p;
    return p;
}

// Byte classes for the scan loops, looked up rather than compared one by one: the bytes
// that end a string's plain run, and the bytes that matter between strings.
enum : unsigned char { plain = 0, ends_run = 1, quote = 2, opens = 4, closes = 8 };
constexpr std::array<unsigned char, 256> byte_classes = [] {
    std::array<unsigned char, 256> t{};
    t[static_cast<unsigned char>('\0')] = ends_run;
    t[static_cast<unsigned char>('\\')] = ends_run;
    t[static_cast<unsigned char>('"')] = ends_run | quote;
    t[static_cast<unsigned char>('{')] = opens;
    t[static_cast<unsigned char>('[')] = opens;
    t[static_cast<unsigned char>('}')] = closes;
    t[static_cast<unsigned char>(']')] = closes;
    return t;
}();

// The class of a byte; unsigned char so that bytes above 127 index the table's upper half.
unsigned char byte_class(char c) {
    return byte_classes[static_cast<unsigned char>(c)];
}

// The first quote, backslash or terminator at or after p: the end of a string's plain run.
// Most strings are short, so a few bytes are looked at before the library scan, whose
// start-up would cost more than they do. For a string whose end is not known.
const char* run_end(const char* p) {
    for (int i = 0; i < 16; ++i, ++p) {
        if (byte_class(*p) & ends_run) return p;
    }
    return p + std::strcspn(p, "\"\\");
}

// The scans inside a window, which know where it ends: sixteen bytes at a time where the
// processor has SSE2 (every x86-64 does), never reading at or past end.
#if defined(__SSE2__)
// A mask of the bytes of the 16 at p that end a plain run of a string.
unsigned run_end_mask(const char* p) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hits = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))),
        _mm_cmpeq_epi8(v, _mm_setzero_si128()));
    return static_cast<unsigned>(_mm_movemask_epi8(hits));
}
// A mask of the bytes of the 16 at p that matter between strings: a quote, a brace or a
// square bracket ('[' and ']' are '{' and '}' less 0x20).
unsigned structural_mask(const char* p) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i folded = _mm_or_si128(v, _mm_set1_epi8(0x20));
    const __m128i hits = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')),
                                      _mm_or_si128(_mm_cmpeq_epi8(folded, _mm_set1_epi8('{')),
                                                   _mm_cmpeq_epi8(folded, _mm_set1_epi8('}'))));
    return static_cast<unsigned>(_mm_movemask_epi8(hits));
}
#endif

// The first byte in [p, end) that ends a plain run of a string, or end. Short runs, the
// common case, are looked at byte by byte first.
const char* run_end_in(const char* p, const char* end) {
    for (const char* stop = end - p > 16 ? p + 16 : end; p < stop; ++p) {
        if (byte_class(*p) & ends_run) return p;
    }
#if defined(__SSE2__)
    // A long run is passed 64 bytes a step, with one test for all four masks.
    for (; end - p >= 64; p += 64) {
        if ((run_end_mask(p) | run_end_mask(p + 16) | run_end_mask(p + 32) |
             run_end_mask(p + 48)) != 0) {
            break;
        }
    }
    for (; end - p >= 16; p += 16) {
        if (const unsigned m = run_end_mask(p)) return p + std::countr_zero(m);
    }
#endif
    while (p < end && !(byte_class(*p) & ends_run)) ++p;
    return p;
}

// The first quote, brace or square bracket in [p, end), or end; as run_end_in, short
// stretches byte by byte first.
const char* next_structural(const char* p, const char* end) {
    for (const char* stop = end - p > 8 ? p + 8 : end; p < stop; ++p) {
        if (byte_class(*p) & (quote | opens | closes)) return p;
    }
#if defined(__SSE2__)
    for (; end - p >= 16; p += 16) {
        if (const unsigned m = structural_mask(p)) return p + std::countr_zero(m);
    }
#endif
    while (p < end && (byte_class(*p) & (quote | opens | closes)) == 0) ++p;
    return p;
}

// Where decoded bytes go: a character is stored whole or not at all, and after the first
// that does not fit nothing more is, so a cut never leaves half a character or a gap.
// Bytes of the text itself are single characters to the scanner.
class string_out {
  public:
    explicit string_out(std::span<char> out) : out_(out) {}

    // Plain bytes of the text: as many as fit are kept.
    void put_run(const char* b, std::size_t len) {
        if (full_ || len == 0) return;
        const std::size_t room = out_.size() > n_ ? out_.size() - n_ - 1 : 0;
        if (len > room) {
            len = room;
            full_ = true;
        }
        if (len == 0) return;
        std::memcpy(out_.data() + n_, b, len);
        n_ += len;
    }
    void put_byte(char c) { put_char(&c, 1); }
    // The UTF-8 form of one code point (at most U+10FFFF, never a surrogate).
    void put_code(unsigned cp) {
        std::array<char, 4> b{};
        std::size_t len = 0;
        if (cp < 0x80) {
            b[len++] = static_cast<char>(cp);
        } else if (cp < 0x800) {
            b[len++] = static_cast<char>(0xC0 | (cp >> 6));
            b[len++] = static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            b[len++] = static_cast<char>(0xE0 | (cp >> 12));
            b[len++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            b[len++] = static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            b[len++] = static_cast<char>(0xF0 | (cp >> 18));
            b[len++] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            b[len++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            b[len++] = static_cast<char>(0x80 | (cp & 0x3F));
        }
        put_char(b.data(), len);
    }
    void finish() {
        if (!out_.empty()) out_[n_] = '\0';
    }

  private:
    void put_char(const char* b, std::size_t len) {
        if (full_ || n_ + len >= out_.size()) {
            full_ = true;
            return;
        }
        std::memcpy(out_.data() + n_, b, len);
        n_ += len;
    }

    std::span<char> out_;
    std::size_t n_ = 0;
    bool full_ = false;
};

// Up to four hexadecimal digits at p, advancing p past them; no digit at all gives 0.
unsigned read_hex4(const char*& p) {
    unsigned v = 0;
    for (int i = 0; i < 4 && hex_value(*p) >= 0; ++i, ++p) {
        v = v * 16 + static_cast<unsigned>(hex_value(*p));
    }
    return v;
}

// The code point of a \u escape whose digits were just read as v, with p after them. A high
// surrogate takes the low one of a directly following \u escape; a half without its
// partner is no character, and stands as U+FFFD.
unsigned utf16_code(unsigned v, const char*& p) {
    if (v >= 0xDC00 && v <= 0xDFFF) return 0xFFFD;
    if (v < 0xD800 || v > 0xDBFF) return v;
    // Each test stops at the first byte that fails, so nothing past a terminator is read.
    if (p[0] != '\\' || p[1] != 'u' || hex_value(p[2]) < 0 || hex_value(p[3]) < 0 ||
        hex_value(p[4]) < 0 || hex_value(p[5]) < 0) {
        return 0xFFFD;
    }
    const char* q = p + 2;
    const unsigned lo = read_hex4(q);
    if (lo < 0xDC00 || lo > 0xDFFF) return 0xFFFD;
    p = q;
    return 0x10000 + ((v - 0xD800) << 10) + (lo - 0xDC00);
}

// A string read as a key: the first 127 decoded bytes (up to a decoded NUL) compared with
// each wanted key; the cursor moves past the string (or to end, when the string reaches
// the window's end). The index of the matching key, or -1.
int match_key(const char*& p, const char* end, std::span<const std::string_view> keys) {
    constexpr std::size_t key_cap = 127;
    const char* s = p + 1;
    const char* stop = run_end_in(s, end);
    std::string_view name;
    std::array<char, key_cap + 1> decoded;
    if (stop == end) {
        // The string reaches the window's end, which ends the search: nothing to compare.
        p = end;
        return -1;
    }
    if (*stop != '\\') {
        // No escape: the decoded text is the raw run.
        name =
            std::string_view(s, std::min<std::size_t>(static_cast<std::size_t>(stop - s), key_cap));
        p = *stop == '"' ? stop + 1 : stop;
    } else {
        json_read_string_at(p, decoded);
        name = std::string_view(decoded.data());
    }
    for (std::size_t i = 0; i < keys.size(); ++i) {
        // Most names differ in length or in their first byte: no compare call for them.
        const std::string_view k = keys[i];
        if (k.size() == name.size() && (k.empty() || k[0] == name[0]) && k == name) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

}  // namespace

std::optional<std::string> read_file(const char* path) {
    if (path == nullptr || *path == '\0') return std::nullopt;
    return platform::read_regular_file(path, read_file_max);
}

// No escape holds a quote, so stepping over a backslash and the byte after it is enough.
const char* json_skip_string(const char* p, const char* end) {
    for (p = run_end_in(p + 1, end); p < end && *p == '\\'; p = run_end_in(p + 2, end)) {
        if (p + 1 >= end) return end;
        if (p[1] == '\0') return p + 1;  // the backslash is an ordinary byte
    }
    if (p >= end) return end;
    return *p == '"' ? p + 1 : p;
}

int json_read_string_at(const char*& cur, std::span<char> out) {
    if (cur == nullptr || *cur != '"') return 0;
    string_out o(out);
    // Bounded by the closing quote or the terminator, never by a window's end.
    const char* p = cur + 1;
    for (;;) {
        const char* stop = run_end(p);
        o.put_run(p, static_cast<std::size_t>(stop - p));
        p = stop;
        if (*p != '\\') break;
        if (p[1] == '\0') {
            o.put_byte(*p++);  // a backslash just before the terminator is an ordinary byte
            break;
        }
        const char e = p[1];
        p += 2;
        switch (e) {
            case 'b':
                o.put_byte('\b');
                break;
            case 'f':
                o.put_byte('\f');
                break;
            case 'n':
                o.put_byte('\n');
                break;
            case 'r':
                o.put_byte('\r');
                break;
            case 't':
                o.put_byte('\t');
                break;
            case 'u':
                o.put_code(utf16_code(read_hex4(p), p));
                break;
            default:
                o.put_byte(e);
                break;
        }
    }
    if (*p == '"') ++p;
    o.finish();
    cur = p;
    return 1;
}

void json_find_keys(const char* start, const char* end, std::span<const std::string_view> keys,
                    std::span<const char*> found) {
    std::fill(found.begin(), found.end(), nullptr);
    if (start == nullptr || end == nullptr || start >= end || keys.size() != found.size()) return;
    const char* p = skip_ws(start, end);
    if (p == end) return;
    if (*p == '{') ++p;  // once: the members of the outer object sit at depth 0
    std::size_t missing = keys.size();
    // Bounded by the window's length, so it cannot overflow.
    std::ptrdiff_t depth = 0;
    while ((p = next_structural(p, end)) < end) {
        const unsigned char c = byte_class(*p);
        if (c & quote) {
            if (depth != 0) {
                p = json_skip_string(p, end);
                continue;
            }
            const int k = match_key(p, end, keys);
            if (k < 0 || found[static_cast<std::size_t>(k)] != nullptr) continue;
            // A string equal to a key is that key only when a colon follows it.
            const char* q = skip_ws(p, end);
            if (q < end && *q == ':') {
                q = skip_ws(q + 1, end);
                if (q == end) return;  // the window ends before the value
                found[static_cast<std::size_t>(k)] = q;
                if (--missing == 0) return;
            }
            continue;
        }
        depth += (c == opens) ? 1 : -1;
        ++p;
    }
}

const char* json_find_key(const char* start, const char* end, const char* key) {
    if (key == nullptr) return nullptr;
    const std::string_view keys[] = {key};
    const char* found[] = {nullptr};
    json_find_keys(start, end, keys, found);
    return found[0];
}

int json_str_at(const char* v, const char* end, std::span<char> out) {
    if (v == nullptr || *v == 'n' || out.empty()) return 0;
    out[0] = '\0';
    if (*v == '"') {
        json_read_string_at(v, out);
        return 1;
    }
    // A raw value (number, literal, even an object's opening) is copied up to its end.
    std::size_t n = 0;
    while (v < end && *v != ',' && *v != ']' && *v != '}' && n + 1 < out.size()) out[n++] = *v++;
    while (n > 0 && is_ws(out[n - 1])) --n;
    out[n] = '\0';
    return n > 0 ? 1 : 0;
}

int json_str_present_at(const char* v, const char* end) {
    if (v == nullptr || *v != '"') return 0;
    // Escape pairs alone (as "\n") do not make a string present; one plain byte does.
    for (const char* p = v + 1; p < end; p += 2) {
        if (*p == '"') return 0;
        if (*p != '\\') return 1;
        if (p + 1 == end) return 1;
    }
    return 0;
}

int json_str_field(const char* start, const char* end, const char* key, std::span<char> out) {
    return json_str_at(json_find_key(start, end, key), end, out);
}

int json_str_present(const char* start, const char* end, const char* key) {
    return json_str_present_at(json_find_key(start, end, key), end);
}

int json_bool_field(const char* start, const char* end, const char* key, int dflt) {
    const char* v = json_find_key(start, end, key);
    if (v == nullptr) return dflt;
    // Prefix tests end at the first difference or the terminator, not at the window's end.
    if (std::strncmp(v, "true", 4) == 0) return 1;
    if (std::strncmp(v, "false", 5) == 0) return 0;
    if (*v == '"') return (std::strncmp(v + 1, "true", 4) == 0 || v[1] == '1') ? 1 : 0;
    return *v == '1' ? 1 : 0;
}

std::int64_t json_num_field(const char* start, const char* end, const char* key) {
    const char* p = json_find_key(start, end, key);
    if (p == nullptr) return 0;
    if (*p == '"') ++p;
    bool negative = false;
    if (*p == '-') {
        if (p + 1 >= end) return 0;
        ++p;
        negative = true;
    } else if (p >= end) {
        return 0;
    }
    // The magnitude saturates at 2^63, which is INT64_MIN's and one past INT64_MAX's, so
    // a value longer than 64 bits holds gives the nearest limit instead of overflowing.
    constexpr std::uint64_t limit = std::uint64_t{1} << 63;
    std::uint64_t mag = 0;
    for (; p < end && is_digit(*p); ++p) {
        const auto d = static_cast<std::uint64_t>(*p - '0');
        mag = (mag > (limit - d) / 10) ? limit : mag * 10 + d;
    }
    if (negative) {
        if (mag == limit) return std::numeric_limits<std::int64_t>::min();
        return -static_cast<std::int64_t>(mag);
    }
    if (mag >= limit) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(mag);
}

}  // namespace credvane

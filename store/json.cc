// json.cc: the lenient JSON scanner that reads single top-level values, and the file reader.
// Plain on purpose: one byte at a time, every string decoded as it is met. The texts it
// reads are small; the one large input, the credential file, has its own streaming scan.
#include "store/json.h"

#include <cstring>
#include <limits>

#include "platform/platform.h"

namespace credvane {

namespace {

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
    while (p < end && json_is_ws(*p)) ++p;
    return p;
}

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

// The UTF-8 form of one code point (at most U+10FFFF, never a surrogate).
void put_utf8(unsigned cp, json_char& c) {
    auto& b = c.bytes;
    if (cp < 0x80) {
        b[0] = static_cast<char>(cp);
        c.len = 1;
    } else if (cp < 0x800) {
        b[0] = static_cast<char>(0xC0 | (cp >> 6));
        b[1] = static_cast<char>(0x80 | (cp & 0x3F));
        c.len = 2;
    } else if (cp < 0x10000) {
        b[0] = static_cast<char>(0xE0 | (cp >> 12));
        b[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        b[2] = static_cast<char>(0x80 | (cp & 0x3F));
        c.len = 3;
    } else {
        b[0] = static_cast<char>(0xF0 | (cp >> 18));
        b[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        b[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        b[3] = static_cast<char>(0x80 | (cp & 0x3F));
        c.len = 4;
    }
}

// The control byte an escape letter stands for, or 0 for a letter that stands for itself.
char control_escape(char e) {
    switch (e) {
        case 'b':
            return '\b';
        case 'f':
            return '\f';
        case 'n':
            return '\n';
        case 'r':
            return '\r';
        case 't':
            return '\t';
        default:
            return 0;
    }
}

}  // namespace

void json_text_out::put(const char* b, std::size_t len) {
    if (full || n + len >= out.size()) {
        full = true;
        return;
    }
    std::memcpy(out.data() + n, b, len);
    n += len;
}

void json_text_out::put_bytes(const char* b, std::size_t len) {
    if (full || len == 0) return;
    const std::size_t room = out.size() > n ? out.size() - n - 1 : 0;
    if (len > room) {
        len = room;
        full = true;
    }
    if (len == 0) return;
    std::memcpy(out.data() + n, b, len);
    n += len;
}

void json_text_out::finish() {
    if (!out.empty()) out[n] = '\0';
}

const char* json_string_char(const char* p, json_char& c) {
    if (*p != '\\' || p[1] == '\0') {
        c.bytes[0] = *p;
        c.len = 1;
        return p + 1;
    }
    const char e = p[1];
    p += 2;
    if (e == 'u') {
        put_utf8(utf16_code(read_hex4(p), p), c);
        return p;
    }
    const char control = control_escape(e);
    c.bytes[0] = control != 0 ? control : e;
    c.len = 1;
    return p;
}

std::optional<std::string> read_file(const char* path) {
    if (path == nullptr || *path == '\0') return std::nullopt;
    return platform::read_regular_file(path, read_file_max);
}

int json_read_string_at(const char*& cur, std::span<char> out) {
    json_text_out o{out};
    return json_read_string_at(cur, o);
}

int json_read_string_at(const char*& cur, json_text_out& o) {
    if (cur == nullptr || *cur != '"') return 0;
    const char* p = cur + 1;
    while (*p != '\0' && *p != '"') {
        json_char c;
        p = json_string_char(p, c);
        o.put(c.bytes.data(), c.len);
    }
    if (*p == '"') ++p;
    o.finish();
    cur = p;
    return 1;
}

const char* json_find_key(const char* start, const char* end, const char* key) {
    if (start == nullptr || end == nullptr || key == nullptr || start >= end) return nullptr;
    const char* p = skip_ws(start, end);
    if (p == end) return nullptr;
    if (*p == '{') ++p;  // once: the members of the outer object sit at depth 0
    const std::size_t key_len = std::strlen(key);
    std::array<char, 128> name{};
    // Bounded by the window's length, so it cannot overflow.
    std::ptrdiff_t depth = 0;
    while (p < end) {
        if (*p == '"') {
            json_read_string_at(p, name);
            if (depth != 0) continue;
            if (std::strlen(name.data()) != key_len || std::memcmp(name.data(), key, key_len) != 0)
                continue;
            // A string equal to the key is that key only when a colon follows it.
            const char* q = skip_ws(p, end);
            if (q < end && *q == ':') {
                q = skip_ws(q + 1, end);
                return q < end ? q : nullptr;
            }
            continue;
        }
        if (*p == '{' || *p == '[') {
            ++depth;
        } else if (*p == '}' || *p == ']') {
            --depth;
        }
        ++p;
    }
    return nullptr;
}

int json_str_field(const char* start, const char* end, const char* key, std::span<char> out) {
    const char* v = json_find_key(start, end, key);
    if (v == nullptr || *v == 'n' || out.empty()) return 0;
    out[0] = '\0';
    if (*v == '"') {
        json_read_string_at(v, out);
        return 1;
    }
    // A raw value (number, literal, even an object's opening) is copied up to its end.
    std::size_t n = 0;
    while (v < end && *v != ',' && *v != ']' && *v != '}' && n + 1 < out.size()) out[n++] = *v++;
    while (n > 0 && json_is_ws(out[n - 1])) --n;
    out[n] = '\0';
    return n > 0 ? 1 : 0;
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

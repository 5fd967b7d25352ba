// json.cc: the lenient JSON scanner that reads single top-level values, and the file reader.
#include "store/json.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <limits>

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

}  // namespace

std::optional<std::string> read_file(const char* path) {
    if (path == nullptr || *path == '\0') return std::nullopt;
    return platform::read_regular_file(path, read_file_max);
}

int json_read_string_at(const char*& cur, std::span<char> out) {
    if (cur == nullptr || *cur != '"') return 0;
    const char* p = cur + 1;
    std::size_t n = 0;
    // Past the capacity the string is still consumed, so the cursor lands after it.
    auto put = [&](char c) {
        if (n + 1 < out.size()) out[n++] = c;
    };
    // Bounded by the closing quote or the terminator, never by a window's end.
    while (*p != '\0' && *p != '"') {
        if (*p != '\\' || p[1] == '\0') {
            put(*p++);  // a backslash just before the terminator is an ordinary byte
            continue;
        }
        const char e = p[1];
        p += 2;
        switch (e) {
            case 'b':
                put('\b');
                break;
            case 'f':
                put('\f');
                break;
            case 'n':
                put('\n');
                break;
            case 'r':
                put('\r');
                break;
            case 't':
                put('\t');
                break;
            case 'u': {
                // Up to four digits; the low byte is kept, so no character set is assumed.
                unsigned v = 0;
                for (int i = 0; i < 4 && hex_value(*p) >= 0; ++i, ++p) {
                    v = v * 16 + static_cast<unsigned>(hex_value(*p));
                }
                put(static_cast<char>(static_cast<unsigned char>(v & 0xFFu)));
                break;
            }
            default:
                put(e);
                break;
        }
    }
    if (*p == '"') ++p;
    if (!out.empty()) out[n] = '\0';
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
            // A string equal to the key is a key only when a colon follows it.
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
    while (n > 0 && is_ws(out[n - 1])) --n;
    out[n] = '\0';
    return n > 0 ? 1 : 0;
}

int json_str_present(const char* start, const char* end, const char* key) {
    const char* v = json_find_key(start, end, key);
    if (v == nullptr || *v != '"') return 0;
    // Escape pairs alone (as "\n") do not make a string present; one plain byte does.
    for (const char* p = v + 1; p < end; p += 2) {
        if (*p == '"') return 0;
        if (*p != '\\') return 1;
        if (p + 1 == end) return 1;
    }
    return 0;
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

// scan_oracle.cc: the byte-at-a-time scanner and the one-pass-per-key credential scan,
// kept as the reference the fast ones are compared with. Change it only together with a
// change of the rules, never for speed.
#include "tests/store/scan_oracle.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#include "store/creds.h"

namespace credvane::oracle {

namespace {

bool is_ws(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

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

int json_read_string_at(const char*& cur, std::span<char> out) {
    if (cur == nullptr || *cur != '"') return 0;
    const char* p = cur + 1;
    std::size_t n = 0;
    bool full = false;
    // A character is stored whole or not at all; after the first that does not fit,
    // nothing more is stored.
    auto put_bytes = [&](const char* b, std::size_t len) {
        if (full || n + len >= out.size()) {
            full = true;
            return;
        }
        for (std::size_t i = 0; i < len; ++i) out[n++] = b[i];
    };
    auto put = [&](char c) { put_bytes(&c, 1); };
    auto put_code = [&](unsigned cp) {
        char b[4];
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
        put_bytes(b, len);
    };
    while (*p != '\0' && *p != '"') {
        if (*p != '\\' || p[1] == '\0') {
            put(*p++);
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
                unsigned v = 0;
                for (int i = 0; i < 4 && hex_value(*p) >= 0; ++i, ++p) {
                    v = v * 16 + static_cast<unsigned>(hex_value(*p));
                }
                if (v >= 0xD800 && v <= 0xDBFF) {
                    unsigned lo = 0;
                    if (p[0] == '\\' && p[1] == 'u' && hex_value(p[2]) >= 0 &&
                        hex_value(p[3]) >= 0 && hex_value(p[4]) >= 0 && hex_value(p[5]) >= 0) {
                        for (int i = 2; i < 6; ++i)
                            lo = lo * 16 + static_cast<unsigned>(hex_value(p[i]));
                    }
                    if (lo >= 0xDC00 && lo <= 0xDFFF) {
                        v = 0x10000 + ((v - 0xD800) << 10) + (lo - 0xDC00);
                        p += 6;
                    } else {
                        v = 0xFFFD;
                    }
                } else if (v >= 0xDC00 && v <= 0xDFFF) {
                    v = 0xFFFD;
                }
                put_code(v);
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
    if (*p == '{') ++p;
    const std::size_t key_len = std::strlen(key);
    std::array<char, 128> name{};
    std::ptrdiff_t depth = 0;
    while (p < end) {
        if (*p == '"') {
            json_read_string_at(p, name);
            if (depth != 0) continue;
            if (std::strlen(name.data()) != key_len || std::memcmp(name.data(), key, key_len) != 0)
                continue;
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
    std::size_t n = 0;
    while (v < end && *v != ',' && *v != ']' && *v != '}' && n + 1 < out.size()) out[n++] = *v++;
    while (n > 0 && is_ws(out[n - 1])) --n;
    out[n] = '\0';
    return n > 0 ? 1 : 0;
}

int json_str_present(const char* start, const char* end, const char* key) {
    const char* v = json_find_key(start, end, key);
    if (v == nullptr || *v != '"') return 0;
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

namespace {

const char* object_end(const char* open, const char* end) {
    std::ptrdiff_t depth = 0;
    for (const char* p = open; p < end; ++p) {
        if (*p == '"') {
            for (++p; p < end && *p != '"'; ++p) {
                if (*p == '\\' && p + 1 < end) ++p;
            }
            if (p >= end) return nullptr;
        } else if (*p == '{') {
            ++depth;
        } else if (*p == '}') {
            if (--depth == 0) return p + 1;
        }
    }
    return nullptr;
}

std::int64_t jwt_exp(std::string_view token) {
    const std::size_t first = token.find('.');
    if (first == std::string_view::npos) return 0;
    const std::size_t second = token.find('.', first + 1);
    if (second == std::string_view::npos) return 0;
    const std::string_view payload = token.substr(first + 1, second - first - 1);
    if (payload.empty() || payload.size() > 8192) return 0;
    std::vector<char> decoded((payload.size() / 4) * 3 + 3 + 1);
    const auto n =
        credvane::base64_decode(payload, std::span<char>(decoded).first(decoded.size() - 1));
    if (!n || *n == 0) return 0;
    decoded[*n] = '\0';
    return json_num_field(decoded.data(), decoded.data() + *n, "exp");
}

}  // namespace

void scan_creds(const char* text, login_status& st, account_entry* entry) {
    if (text == nullptr) return;
    const char* const end = text + std::strlen(text);
    const char* tok_start = text;
    const char* tok_end = end;
    if (const char* v = json_find_key(text, end, "tokens"); v != nullptr && *v == '{') {
        if (const char* close = object_end(v, end)) {
            tok_start = v;
            tok_end = close;
        }
    }
    std::int64_t expiry = 0;
    std::array<char, 4096> token{};
    if (json_str_field(tok_start, tok_end, "access_token", token) == 1 && token[0] != '\0') {
        st.logged_in = 1;
        expiry = jwt_exp(token.data());
    } else if (json_str_present(tok_start, tok_end, "access_token")) {
        st.logged_in = 1;
    }
    if (json_str_present(tok_start, tok_end, "refresh_token")) {
        st.has_refresh = 1;
        if (entry != nullptr) entry->has_refresh = 1;
    }
    std::array<char, 96> account_id{};
    if (json_str_field(tok_start, tok_end, "account_id", account_id) == 1 &&
        account_id[0] != '\0') {
        st.account_id.assign(account_id.data());
    }
    if (json_str_present(tok_start, tok_end, "OPENAI_API_KEY") ||
        json_str_present(text, end, "OPENAI_API_KEY")) {
        st.api_key_present = 1;
    }
    if (expiry > 0) st.expires_at = expiry;
    std::array<char, 64> refreshed{};
    if (json_str_field(text, end, "last_refresh", refreshed) == 1) {
        const auto t = credvane::parse_last_refresh(refreshed.data());
        if (t && *t > 0) st.last_refresh = *t;
    }
    if (entry != nullptr) {
        entry->logged_in = st.logged_in;
        entry->expires_at = st.expires_at;
    }
}

}  // namespace credvane::oracle

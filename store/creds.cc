// creds.cc: the scan that turns a Codex credential file's text into login facts.
#include "store/creds.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "store/json.h"

namespace credvane {

namespace {

// The 6-bit value of a base64 character; both alphabets are accepted, mixed freely,
// because token issuers differ. -1 for a character outside both.
int base64_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+' || c == '-') return 62;
    if (c == '/' || c == '_') return 63;
    return -1;
}

// The extent of the object that opens at open, just past its matching brace, or null when
// the text ends first. Strings are skipped so braces inside them do not count; square
// brackets play no part. The text must end at end (its terminator).
const char* object_end(const char* open, const char* end) {
    std::ptrdiff_t depth = 0;
    for (const char* p = open; p < end;) {
        const char c = *p;
        if (c == '"') {
            p = json_skip_string(p, end);
            if (p >= end) return nullptr;
            continue;
        }
        if (c == '{') {
            ++depth;
        } else if (c == '}') {
            if (--depth == 0) return p + 1;
        }
        ++p;
    }
    return nullptr;
}

// The "exp" claim of a JWT's payload, or 0 when the token is not a JWT or its payload
// cannot be read. A token that is not a JWT still counts as a login, only without expiry.
std::int64_t jwt_exp(std::string_view token) {
    const std::size_t first = token.find('.');
    if (first == std::string_view::npos) return 0;
    const std::size_t second = token.find('.', first + 1);
    if (second == std::string_view::npos) return 0;
    const std::string_view payload = token.substr(first + 1, second - first - 1);
    if (payload.empty() || payload.size() > 8192) return 0;

    std::vector<char> decoded;
    try {
        decoded.resize((payload.size() / 4) * 3 + 3 + 1);
    } catch (const std::bad_alloc&) {
        return 0;  // no memory: no expiry, the login still counts
    }
    const auto n = base64_decode(payload, std::span<char>(decoded).first(decoded.size() - 1));
    if (!n || *n == 0) return 0;
    decoded[*n] = '\0';
    return json_num_field(decoded.data(), decoded.data() + *n, "exp");
}

bool leap_year(std::int64_t y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

// Leap years in [1, y], by the Gregorian rule.
std::int64_t leaps_through(std::int64_t y) {
    return y / 4 - y / 100 + y / 400;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// A field of at most two digits at pos; a single digit stands alone without moving the
// fields after it. -1 when pos holds no digit.
int two_digit_field(std::string_view s, std::size_t pos) {
    if (!is_digit(s[pos])) return -1;
    if (!is_digit(s[pos + 1])) return s[pos] - '0';
    return (s[pos] - '0') * 10 + (s[pos + 1] - '0');
}

}  // namespace

std::optional<std::size_t> base64_decode(std::string_view in, std::span<char> out) {
    std::uint32_t acc = 0;
    int bits = 0;
    std::size_t n = 0;
    for (const char c : in) {
        if (c == '\n' || c == '\r' || c == ' ' || c == '=') continue;
        const int v = base64_value(c);
        if (v < 0) return std::nullopt;
        acc = (acc << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            if (n == out.size()) return std::nullopt;  // only a caller breaking the size rule
            out[n++] = static_cast<char>(static_cast<unsigned char>((acc >> bits) & 0xFFu));
        }
        acc &= (std::uint32_t{1} << bits) - 1;  // keep only the bits not yet emitted
    }
    return n;
}

std::optional<std::int64_t> parse_last_refresh(std::string_view iso) {
    if (iso.size() < 19) return std::nullopt;
    // Fixed positions: YYYY-MM-DDTHH:MM:SS; separators, fractions and zones are not read.
    std::int64_t year = 0;
    for (std::size_t i = 0; i < 4 && is_digit(iso[i]); ++i) year = year * 10 + (iso[i] - '0');
    const int month = two_digit_field(iso, 5);
    const int day = std::max(two_digit_field(iso, 8), 0);
    const int hour = std::max(two_digit_field(iso, 11), 0);
    const int minute = std::max(two_digit_field(iso, 14), 0);
    const int second = std::max(two_digit_field(iso, 17), 0);
    // Hours, minutes and seconds are not range-tested, nor the day against its month.
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31) return std::nullopt;

    static constexpr std::array<std::int32_t, 12> cum = {0,   31,  59,  90,  120, 151,
                                                         181, 212, 243, 273, 304, 334};
    std::int64_t days = 365 * (year - 1970) + (leaps_through(year - 1) - leaps_through(1969)) +
                        cum[static_cast<std::size_t>(month - 1)] + (day - 1);
    if (month > 2 && leap_year(year)) ++days;
    return days * 86400 + std::int64_t{hour} * 3600 + std::int64_t{minute} * 60 + second;
}

namespace {

// What one credential file shows, before it is set into a record or an entry.
struct cred_facts {
    bool logged_in = false;
    bool has_refresh = false;
    bool api_key_present = false;
    std::int64_t expiry = 0;           // the "exp" claim; only a positive one is used
    std::string_view account_id_text;  // within text; empty when none
    std::array<char, 96> account_id;
    std::int64_t last_refresh = 0;  // 0 when unread or not after 1970
};

// Every lookup of the scan is answered from two passes at most: one over the file's top
// level for all its keys, and one over the "tokens" object when the file has a closed one.
// Each answer is the one a lookup of that key alone would give. want_record leaves out
// what only the record shows (the account id, the API key and the last refresh).
void read_facts(const char* text, bool want_record, cred_facts& f) {
    const char* const end = text + std::strlen(text);

    enum { k_tokens, k_access, k_refresh, k_account, k_api_key, k_last_refresh, k_count };
    static constexpr std::string_view top_keys[k_count] = {
        "tokens", "access_token", "refresh_token", "account_id", "OPENAI_API_KEY", "last_refresh"};
    std::array<const char*, k_count> top{};
    json_find_keys(text, end, top_keys, top);

    // The token keys live in the "tokens" object when there is a closed one; otherwise a
    // flat file is read from its top level.
    const char* tok_end = end;
    std::array<const char*, k_count> tok = top;
    if (const char* v = top[k_tokens]; v != nullptr && *v == '{') {
        if (const char* close = object_end(v, end)) {
            tok_end = close;
            static constexpr std::string_view token_keys[] = {"access_token", "refresh_token",
                                                              "account_id", "OPENAI_API_KEY"};
            json_find_keys(v, close, token_keys, std::span<const char*>(tok).subspan(k_access, 4));
        }
    }

    std::array<char, 4096> token;
    if (json_str_at(tok[k_access], tok_end, token) == 1 && token[0] != '\0') {
        f.logged_in = true;
        f.expiry = jwt_exp(token.data());
    } else if (json_str_present_at(tok[k_access], tok_end)) {
        f.logged_in = true;
    }
    f.has_refresh = json_str_present_at(tok[k_refresh], tok_end) == 1;
    if (!want_record) return;

    if (json_str_at(tok[k_account], tok_end, f.account_id) == 1 && f.account_id[0] != '\0') {
        f.account_id_text = f.account_id.data();
    }
    f.api_key_present = json_str_present_at(tok[k_api_key], tok_end) == 1 ||
                        json_str_present_at(top[k_api_key], end) == 1;
    std::array<char, 64> refreshed;
    if (json_str_at(top[k_last_refresh], end, refreshed) == 1) {
        const auto t = parse_last_refresh(refreshed.data());
        if (t && *t > 0) f.last_refresh = *t;
    }
}

}  // namespace

void scan_creds(const char* text, login_status& st, account_entry* entry) {
    if (text == nullptr) return;
    cred_facts f;
    read_facts(text, true, f);
    if (f.logged_in) st.logged_in = 1;
    if (f.has_refresh) {
        st.has_refresh = 1;
        if (entry != nullptr) entry->has_refresh = 1;
    }
    if (!f.account_id_text.empty()) st.account_id.assign(f.account_id_text);
    if (f.api_key_present) st.api_key_present = 1;
    // The claim's own unit, seconds; a zero or negative claim means no usable expiry.
    if (f.expiry > 0) st.expires_at = f.expiry;
    if (f.last_refresh > 0) st.last_refresh = f.last_refresh;
    if (entry != nullptr) {
        entry->logged_in = st.logged_in;
        entry->expires_at = st.expires_at;
    }
}

void scan_creds_entry(const char* text, account_entry& entry) {
    if (text == nullptr) return;
    cred_facts f;
    read_facts(text, false, f);
    entry.logged_in = f.logged_in ? 1 : 0;
    if (f.has_refresh) entry.has_refresh = 1;
    entry.expires_at = f.expiry > 0 ? f.expiry : 0;
}

}  // namespace credvane

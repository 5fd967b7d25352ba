// creds.cc: the scan that turns a Codex credential file's text into login facts.
#include "store/creds.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "store/cred_scan.h"
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

// The longest JWT payload that is decoded, in its base64url form.
constexpr std::size_t jwt_payload_max = 8192;

// The "exp" claim of a JWT's payload, or 0 when the token is not a JWT or its payload
// cannot be read. A token that is not a JWT still counts as a login, only without expiry.
std::int64_t jwt_exp(std::string_view token) {
    const std::size_t first = token.find('.');
    if (first == std::string_view::npos) return 0;
    const std::size_t second = token.find('.', first + 1);
    if (second == std::string_view::npos) return 0;
    const std::string_view payload = token.substr(first + 1, second - first - 1);
    if (payload.empty() || payload.size() > jwt_payload_max) return 0;

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
    std::string_view account_id_text;  // empty when none
    std::int64_t last_refresh = 0;     // 0 when unread or not after 1970
    std::uint64_t token_hash = 0;      // of the access token's text; 0 when none was read
    std::string_view file_problem;     // why the Codex CLI would refuse the file; empty if not
};

// Whether the Codex CLI takes text for a JWT: a header, a payload and a signature, none
// empty, split at the first two dots; the payload in unpadded URL-safe base64. What the
// CLI asks beyond that (the payload's claims) is not judged here.
bool cli_takes_jwt(std::string_view text) {
    const std::size_t first = text.find('.');
    if (first == 0 || first == std::string_view::npos) return false;
    const std::size_t second = text.find('.', first + 1);
    if (second == std::string_view::npos) return false;
    const std::string_view payload = text.substr(first + 1, second - first - 1);
    const std::string_view rest = text.substr(second + 1);
    const std::string_view signature = rest.substr(0, rest.find('.'));
    if (payload.empty() || signature.empty() || payload.size() % 4 == 1) return false;
    return std::all_of(payload.begin(), payload.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '_';
    });
}

// Why the Codex CLI would refuse to read the file, or empty. It refuses a "tokens" object
// without an "id_token" JWT, however good the access token beside it, and one without an
// "access_token" or a "refresh_token" string.
std::string_view file_problem_of(const cred_values& v) {
    if (!v.tokens_object) return {};
    if (!v.id_token_found) return "no id_token";
    if (!v.id_token_string) return "id_token is not a JWT";
    // Too long to hold whole: not judged rather than guessed.
    if (v.id_token != nullptr && !cli_takes_jwt(v.id_token)) return "id_token is not a JWT";
    if (!v.access_string) return "no access_token";
    if (!v.refresh_string) return "no refresh_token";
    return {};
}

// FNV-1a over the text, never 0: it tells one token from the next, nothing more.
std::uint64_t text_hash(std::string_view text) {
    std::uint64_t h = 14695981039346656037ULL;
    for (const char c : text) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ULL;
    }
    return h == 0 ? 1 : h;
}

// The facts drawn from what the scan read; the texts of v must outlive f.
cred_facts facts_of(const cred_values& v) {
    cred_facts f;
    if (v.access_token != nullptr && v.access_token[0] != '\0') {
        f.logged_in = true;
        f.expiry = jwt_exp(v.access_token);
        f.token_hash = text_hash(v.access_token);
    } else if (v.access_present) {
        f.logged_in = true;
    }
    f.has_refresh = v.refresh_present;
    if (v.account_id != nullptr && v.account_id[0] != '\0') f.account_id_text = v.account_id;
    f.api_key_present = v.api_key_present;
    if (v.last_refresh != nullptr) {
        const auto t = parse_last_refresh(v.last_refresh);
        if (t && *t > 0) f.last_refresh = *t;
    }
    f.file_problem = file_problem_of(v);
    return f;
}

void set_record(const cred_facts& f, login_status& st, account_entry* entry) {
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
    if (f.token_hash != 0) st.token_hash = f.token_hash;
    if (!f.file_problem.empty()) st.file_problem = f.file_problem;
    if (entry != nullptr) {
        entry->logged_in = st.logged_in;
        entry->expires_at = st.expires_at;
    }
}

void set_entry(const cred_facts& f, account_entry& entry) {
    entry.logged_in = f.logged_in ? 1 : 0;
    if (f.has_refresh) entry.has_refresh = 1;
    entry.expires_at = f.expiry > 0 ? f.expiry : 0;
}

// The whole text as the last piece: its terminator is the NUL the scan may read at the end.
void scan_text(const char* text, cred_scanner& s) {
    s.feed(text, text + std::strlen(text), true);
}

// Feeds the file through one fixed buffer: each read lands after the few bytes the last
// piece left over (an escape that may reach into the next one). False when the file cannot
// be read whole, which is when read_file gives nothing for it; a NUL byte ends the text,
// while the rest is still read.
bool scan_file(const char* path, cred_scanner& s, std::int64_t lock_deadline_ms) {
    if (path == nullptr || path[0] == '\0') return false;
    // Read under the writers' lock: on Windows an open handle makes a writer's replace fail.
    const platform::credential_read_lock writers_wait(path, lock_deadline_ms);
    platform::regular_file file(path, read_file_max);
    if (!file.is_open()) return false;
    constexpr std::size_t block = 64 * 1024;
    std::array<char, cred_scanner::lookahead + block + 1> buf;
    std::size_t carry = 0;
    bool text_ended = false;
    for (;;) {
        char* const at = buf.data() + carry;
        const std::optional<std::size_t> n = file.read(std::span<char>(at, block));
        if (!n) return false;
        if (*n == 0) break;
        if (text_ended || s.done()) continue;
        if (void* nul = std::memchr(at, '\0', *n)) {
            s.feed(buf.data(), static_cast<char*>(nul), true);
            text_ended = true;
            continue;
        }
        const char* const e = at + *n;
        const char* const r = s.feed(buf.data(), e, false);
        carry = static_cast<std::size_t>(e - r);
        std::memmove(buf.data(), r, carry);
    }
    if (!text_ended) {
        buf[carry] = '\0';
        s.feed(buf.data(), buf.data() + carry, true);
    }
    return true;
}

}  // namespace

void scan_creds(const char* text, login_status& st, account_entry* entry) {
    if (text == nullptr) return;
    cred_scanner s(true);
    scan_text(text, s);
    set_record(facts_of(s.values()), st, entry);
}

std::int64_t lock_read_deadline() {
    return platform::monotonic_ms() + 500;
}

bool scan_creds_file(const char* path, login_status& st, std::int64_t lock_deadline_ms) {
    cred_scanner s(true);
    if (!scan_file(path, s, lock_deadline_ms)) return false;
    set_record(facts_of(s.values()), st, nullptr);
    return true;
}

bool scan_creds_entry_file(const char* path, account_entry& entry, std::int64_t lock_deadline_ms) {
    cred_scanner s(false);
    if (!scan_file(path, s, lock_deadline_ms)) return false;
    set_entry(facts_of(s.values()), entry);
    return true;
}

}  // namespace credvane

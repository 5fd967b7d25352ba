// creds_fuzz.cc: fuzz target for the credential-file scan: the whole scan on the text, the
// base64 payload decoding and the last-refresh conversion, the last two against models
// built differently (a bit string; a civil-date day count).
// Input: the text (up to a NUL).
#include <optional>
#include <string>
#include <vector>

#include "store/creds.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

std::optional<std::string> model_base64(const std::string& in) {
    std::string bits;
    for (const char c : in) {
        if (c == '\n' || c == '\r' || c == ' ' || c == '=') continue;
        int v = -1;
        if (c >= 'A' && c <= 'Z') v = c - 'A';
        if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
        if (c >= '0' && c <= '9') v = c - '0' + 52;
        if (c == '+' || c == '-') v = 62;
        if (c == '/' || c == '_') v = 63;
        if (v < 0) return std::nullopt;
        for (int b = 5; b >= 0; --b) bits += ((v >> b) & 1) ? '1' : '0';
    }
    std::string out;
    for (std::size_t i = 0; i + 8 <= bits.size(); i += 8) {
        out += static_cast<char>(std::stoi(bits.substr(i, 8), nullptr, 2));
    }
    return out;
}

// Days from 1970-01-01 to a proleptic Gregorian date; a day past its month's end runs on
// into the next month, as the fixed-position reading expects.
std::int64_t days_from_civil(std::int64_t y, std::int64_t m, std::int64_t d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool digit(char c) {
    return c >= '0' && c <= '9';
}

// -1 when pos holds no digit; one digit alone when the next is not one.
int field(const std::string& s, std::size_t pos) {
    if (!digit(s[pos])) return -1;
    return digit(s[pos + 1]) ? (s[pos] - '0') * 10 + (s[pos + 1] - '0') : s[pos] - '0';
}

std::optional<std::int64_t> model_last_refresh(const std::string& s) {
    if (s.size() < 19) return std::nullopt;
    std::int64_t year = 0;
    for (std::size_t i = 0; i < 4 && digit(s[i]); ++i) year = year * 10 + (s[i] - '0');
    const int month = field(s, 5);
    const int day = std::max(field(s, 8), 0);
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31) return std::nullopt;
    return days_from_civil(year, month, day) * 86400 + std::max(field(s, 11), 0) * 3600 +
           std::max(field(s, 14), 0) * 60 + std::max(field(s, 17), 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::input in(data, size);
    const std::string source = in.text();
    const auto text = fuzz::exact_copy(source);

    credvane::login_status st;
    credvane::account_entry entry;
    credvane::scan_creds(text.get(), st, &entry);
    fuzz::check(entry.logged_in == st.logged_in && entry.expires_at == st.expires_at &&
                    entry.has_refresh == st.has_refresh,
                "the entry does not mirror the record", source);
    fuzz::check(st.expires_at >= 0 && st.last_refresh >= 0, "a negative time was stored", source);
    fuzz::check(st.expires_at == 0 || st.logged_in == 1, "an expiry without a login", source);

    // The decoding buffer is exactly the size the scan allocates for a payload.
    const std::size_t cap = (source.size() / 4) * 3 + 3;
    auto out = fuzz::output_block(cap);
    const auto n = credvane::base64_decode(source, {out.get(), cap});
    const auto want = model_base64(source);
    fuzz::check(n.has_value() == want.has_value(), "base64 accepted or refused unlike the model",
                source);
    if (n) {
        fuzz::check(std::string(out.get(), *n) == *want, "base64 bytes differ from the model",
                    source);
    }

    fuzz::check(credvane::parse_last_refresh(source) == model_last_refresh(source),
                "last-refresh time differs from the model", source);
    return 0;
}

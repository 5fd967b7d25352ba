// scan_diff_fuzz.cc: differential fuzz target: the fast scanner and credential scan against
// the byte-at-a-time ones kept in tests/store/scan_oracle.cc. On any text, window and key
// both give the same answers, fill the same outputs and leave the same cursors.
// The credential scan is also fed in pieces, as a file streams in through its buffer, and
// must read the same values as from the whole text.
// Input: three control bytes (window start, window end, output capacity), the key (empty:
// one of the keys the program reads), NUL, the text (up to a NUL).
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "store/creds.h"
#include "store/cred_scan.h"
#include "store/json.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/store/scan_oracle.h"

namespace {

namespace fast = credvane;
namespace slow = credvane::oracle;

constexpr std::array<const char*, 10> known_keys = {
    "access_token", "tokens",         "exp",         "ok", "refresh_token", "account_id", "created",
    "logged_in",    "OPENAI_API_KEY", "last_refresh"};

void same_records(const credvane::login_status& a, const credvane::login_status& b,
                  const std::string& source) {
    fuzz::check(a.logged_in == b.logged_in && a.has_refresh == b.has_refresh &&
                    a.api_key_present == b.api_key_present && a.expires_at == b.expires_at &&
                    a.last_refresh == b.last_refresh && a.account_id.view() == b.account_id.view(),
                "scan_creds differs from the oracle", source);
}

void same_entries(const credvane::account_entry& a, const credvane::account_entry& b,
                  const char* what, const std::string& source) {
    fuzz::check(a.logged_in == b.logged_in && a.has_refresh == b.has_refresh &&
                    a.expires_at == b.expires_at,
                what, source);
}

// Both decoders from cur, into outputs of the same capacity: same result, bytes, cursor.
void same_string(const char* cur, std::size_t cap, const std::string& source) {
    auto a = fuzz::output_block(cap);
    auto b = fuzz::output_block(cap);
    const char* ca = cur;
    const char* cb = cur;
    const int ra = fast::json_read_string_at(ca, {a.get(), cap});
    const int rb = slow::json_read_string_at(cb, {b.get(), cap});
    fuzz::check(ra == rb && ca == cb && std::memcmp(a.get(), b.get(), cap) == 0,
                "json_read_string_at differs from the oracle", source);
    if (ra == 1) {
        // Bounded by the terminator, and by an earlier end too.
        const char* term = cur + std::strlen(cur);
        fuzz::check(fast::json_skip_string(cur, term) == std::min(cb, term),
                    "json_skip_string differs from decoding", source);
        const char* mid = cur + (term - cur) / 2 + 1;
        if (mid <= term) {
            fuzz::check(fast::json_skip_string(cur, mid) == std::min(cb, mid),
                        "json_skip_string in a shorter window differs", source);
        }
    }
}

bool same_text(const char* a, const char* b) {
    return (a == nullptr) == (b == nullptr) && (a == nullptr || std::strcmp(a, b) == 0);
}

bool same_values(const credvane::cred_values& a, const credvane::cred_values& b) {
    return same_text(a.access_token, b.access_token) && a.access_present == b.access_present &&
           a.refresh_present == b.refresh_present && same_text(a.account_id, b.account_id) &&
           a.api_key_present == b.api_key_present && same_text(a.last_refresh, b.last_refresh);
}

// Feeds source in pieces of 1 to 40 new bytes (sizes drawn from seed) after what the last
// piece left over, each piece in a block of exactly its size (the last one's terminator
// included), so a read past a piece's end is caught; stops early once the scan is done.
// The values must be those of the whole text in one piece.
void same_in_pieces(const std::string& source, unsigned seed, bool record) {
    credvane::cred_scanner whole(record);
    whole.feed(source.c_str(), source.c_str() + source.size(), true);

    credvane::cred_scanner s(record);
    std::string carry;
    std::size_t pos = 0;
    unsigned x = seed * 2654435761u + 1;
    for (;;) {
        if (s.done()) break;
        x = x * 1103515245u + 12345u;
        const std::size_t n = std::min<std::size_t>(1 + (x >> 16) % 40, source.size() - pos);
        const bool last = pos + n == source.size();
        const std::string piece = carry + source.substr(pos, n);
        pos += n;
        std::unique_ptr<char[]> block;
        if (last) {
            block = fuzz::exact_copy(piece);
        } else {
            block = std::make_unique<char[]>(piece.size());
            std::memcpy(block.get(), piece.data(), piece.size());
        }
        const char* e = block.get() + piece.size();
        const char* r = s.feed(block.get(), e, last);
        fuzz::check(r <= e && (last ? r == e
                                    : e - r < static_cast<std::ptrdiff_t>(
                                                  credvane::cred_scanner::lookahead)),
                    "cred_scanner left more than an escape for the next piece", source);
        if (last) break;
        carry.assign(r, e);
    }
    fuzz::check(same_values(s.values(), whole.values()),
                "cred_scanner in pieces differs from the whole text", source);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::input in(data, size);
    const std::uint8_t b_start = in.byte();
    const std::uint8_t b_end = in.byte();
    const std::size_t cap = 1 + in.byte();
    std::string key = in.text();
    if (key.empty()) key = known_keys[b_start % known_keys.size()];
    const std::string source = in.text();

    const auto block = fuzz::exact_copy(source);
    const auto k = fuzz::exact_copy(key);
    const char* text = block.get();
    const auto [start, end] = fuzz::window_in(text, source.size(), b_start, b_end);

    const char* v = fast::json_find_key(start, end, k.get());
    fuzz::check(v == slow::json_find_key(start, end, k.get()), "json_find_key differs", source);

    // All the known keys and the input's own in one pass: each as a lookup of its own.
    std::array<std::string_view, known_keys.size() + 1> keys;
    for (std::size_t i = 0; i < known_keys.size(); ++i) keys[i] = known_keys[i];
    keys[known_keys.size()] = k.get();
    // The keys of one pass are distinct.
    std::size_t n_keys = keys.size();
    for (const char* known : known_keys) {
        if (key == known) n_keys = known_keys.size();
    }
    std::array<const char*, keys.size()> found{};
    fast::json_find_keys(start, end, std::span(keys).first(n_keys),
                         std::span<const char*>(found).first(n_keys));
    for (std::size_t i = 0; i < n_keys; ++i) {
        const std::string one(keys[i]);
        fuzz::check(found[i] == slow::json_find_key(start, end, one.c_str()),
                    "json_find_keys differs from one lookup", source);
    }

    auto a = fuzz::output_block(cap);
    auto b = fuzz::output_block(cap);
    fuzz::check(fast::json_str_field(start, end, k.get(), {a.get(), cap}) ==
                        slow::json_str_field(start, end, k.get(), {b.get(), cap}) &&
                    std::memcmp(a.get(), b.get(), cap) == 0,
                "json_str_field differs", source);
    fuzz::check(
        fast::json_str_present(start, end, k.get()) == slow::json_str_present(start, end, k.get()),
        "json_str_present differs", source);
    fuzz::check(fast::json_bool_field(start, end, k.get(), b_end & 1) ==
                    slow::json_bool_field(start, end, k.get(), b_end & 1),
                "json_bool_field differs", source);
    fuzz::check(
        fast::json_num_field(start, end, k.get()) == slow::json_num_field(start, end, k.get()),
        "json_num_field differs", source);

    // Strings decoded at the window's start and at the first few quotes in the text.
    same_string(start, cap, source);
    const char* q = text;
    for (int i = 0; i < 4 && (q = std::strchr(q, '"')) != nullptr; ++i, ++q) {
        same_string(q, cap, source);
    }

    credvane::login_status sa;
    credvane::login_status sb;
    credvane::account_entry ea;
    credvane::account_entry eb;
    fast::scan_creds(text, sa, &ea);
    slow::scan_creds(text, sb, &eb);
    same_records(sa, sb, source);
    same_entries(ea, eb, "scan_creds's entry differs from the oracle", source);
    credvane::account_entry ec;
    fast::scan_creds_entry(text, ec);
    same_entries(ec, eb, "scan_creds_entry differs from the oracle", source);

    same_in_pieces(source, b_start * 256u + b_end + cap * 65536u, true);
    same_in_pieces(source, b_end * 7u + cap, false);
    return 0;
}

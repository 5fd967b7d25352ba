// query_fuzz.cc: fuzz target for the raw query lookups and the account-name rule, checked
// against a plain model of their rules written with std::string.
// Input: one capacity byte, the key, NUL, the query.
#include <array>
#include <string>

#include "request/query.h"
#include "store/paths.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

// The segment beginnings of q: position 0 and every byte after an '&' that is not last.
// A query that ends in '&' has no segment after it.
template <typename F>
bool for_each_segment(const std::string& q, F&& f) {
    if (q.empty()) return false;
    std::size_t seg = 0;
    while (true) {
        if (f(seg)) return true;
        const std::size_t amp = q.find('&', seg);
        if (amp == std::string::npos || amp + 1 == q.size()) return false;
        seg = amp + 1;
    }
}

struct lookup {
    int found = 0;
    std::string value;
};

lookup model_get(const std::string& q, const std::string& key, std::size_t cap) {
    lookup r;
    for_each_segment(q, [&](std::size_t seg) {
        if (q.compare(seg, key.size(), key) != 0 || seg + key.size() >= q.size() ||
            q[seg + key.size()] != '=')
            return false;
        const std::size_t from = seg + key.size() + 1;
        const std::size_t to = std::min(q.find('&', from), q.size());
        r.found = 1;
        r.value = q.substr(from, std::min(to - from, cap - 1));
        return true;
    });
    return r;
}

int model_has(const std::string& q, const std::string& key) {
    return for_each_segment(q,
                            [&](std::size_t seg) {
                                if (q.compare(seg, key.size(), key) != 0) return false;
                                const std::size_t after = seg + key.size();
                                return after == q.size() || q[after] == '&' || q[after] == '=';
                            })
               ? 1
               : 0;
}

int model_name_valid(const std::string& n) {
    if (n.empty() || n.size() > 64 || n[0] == '.') return 0;
    for (const char c : n) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
        if (!ok) return 0;
    }
    return 1;
}

// The keys main reads, used when the input leaves the key empty.
constexpr std::array<const char*, 5> known_keys = {"action", "format", "force", "account", "pwd"};

void check_lookup(const std::string& query, const std::string& key, std::size_t cap) {
    const auto q = fuzz::exact_copy(query);
    const auto k = fuzz::exact_copy(key);
    auto out = fuzz::output_block(cap);
    const int got = credvane::get_query_val(q.get(), k.get(), {out.get(), cap});
    fuzz::check(fuzz::terminated(out.get(), cap), "get_query_val left out unterminated");
    const lookup want = model_get(query, key, cap);
    fuzz::check(got == want.found, "get_query_val result differs from the model", query);
    fuzz::check(out.get() == want.value, "get_query_val value differs from the model", query);
    fuzz::check(credvane::query_has(q.get(), k.get()) == model_has(query, key),
                "query_has differs from the model", query);
    // An absent query behaves as an empty one.
    auto none = fuzz::output_block(cap);
    fuzz::check(credvane::get_query_val(nullptr, k.get(), {none.get(), cap}) == 0 &&
                    none[0] == '\0' && credvane::query_has(nullptr, k.get()) == 0,
                "an absent query found something");

    // What main does with the "account" value: only a valid name may pass.
    if (got == 1) {
        fuzz::check(credvane::name_valid(out.get()) == model_name_valid(out.get()),
                    "name_valid differs from the model", out.get());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::input in(data, size);
    // Capacities 2 to 257: the callers use 16 to 256, and a cut is the observable rule.
    const std::size_t cap = 2 + in.byte();
    std::string key = in.text();
    const std::string query = in.text();
    if (key.empty()) key = known_keys[cap % known_keys.size()];
    check_lookup(query, key, cap);

    for (const std::string& name : {key, query}) {
        const auto n = fuzz::exact_copy(name);
        fuzz::check(credvane::name_valid(n.get()) == model_name_valid(name),
                    "name_valid differs from the model", name);
    }
    fuzz::check(credvane::name_valid(nullptr) == 0, "name_valid accepted an absent name");
    return 0;
}

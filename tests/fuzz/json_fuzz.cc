// json_fuzz.cc: fuzz target for the lenient JSON scanner on arbitrary windows of a
// terminated text, windows that end before the terminator included.
// Input: four control bytes (window start, window end, output capacity, default), the key
// (empty: one of the keys the program reads), NUL, the text (up to a NUL).
#include <array>
#include <string>

#include "store/json.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

constexpr std::array<const char*, 8> known_keys = {
    "access_token", "tokens", "exp", "ok", "state", "interval", "verify_url", "created"};

bool is_ws(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::input in(data, size);
    const std::uint8_t b_start = in.byte();
    const std::uint8_t b_end = in.byte();
    const std::size_t cap = 1 + in.byte();  // capacities of at least 1, as the callers pass
    const int dflt = in.byte() & 1;
    std::string key = in.text();
    if (key.empty()) key = known_keys[b_start % known_keys.size()];
    const std::string source = in.text();

    const auto block = fuzz::exact_copy(source);
    const auto k = fuzz::exact_copy(key);
    const char* text = block.get();
    const std::size_t len = source.size();
    const auto [start, end] = fuzz::window_in(text, len, b_start, b_end);

    const char* v = credvane::json_find_key(start, end, k.get());
    if (v != nullptr) {
        fuzz::check(v >= start && v < end, "json_find_key answered outside the window", source);
        fuzz::check(!is_ws(*v), "json_find_key answered a whitespace position", source);
        // Nothing checked on the way to a match touched the window's end, so a wider window
        // over the same text finds the same value position.
        fuzz::check(credvane::json_find_key(start, text + len, k.get()) == v,
                    "widening the window moved the value", source);
    }

    auto out = fuzz::output_block(cap);
    const int stored = credvane::json_str_field(start, end, k.get(), {out.get(), cap});
    if (v == nullptr || *v == 'n') {
        fuzz::check(stored == 0 && out[0] == fuzz::untouched,
                    "json_str_field wrote without a value", source);
    } else {
        fuzz::check(fuzz::terminated(out.get(), cap), "json_str_field left out unterminated");
        if (*v != '"') fuzz::check((stored == 1) == (out[0] != '\0'), "raw value result", source);
    }

    const int flag = credvane::json_bool_field(start, end, k.get(), dflt);
    fuzz::check(v == nullptr ? flag == dflt : (flag == 0 || flag == 1), "json_bool_field result",
                source);
    const std::int64_t num = credvane::json_num_field(start, end, k.get());
    fuzz::check(v != nullptr || num == 0, "json_num_field read a number without a value", source);

    // A string decoded right at the window's start, as the scanner does for each key.
    const char* cur = start;
    auto str = fuzz::output_block(cap);
    const int read = credvane::json_read_string_at(cur, {str.get(), cap});
    if (*start == '"') {
        fuzz::check(read == 1 && cur > start && cur <= text + len,
                    "json_read_string_at cursor out of the text", source);
        fuzz::check(fuzz::terminated(str.get(), cap), "json_read_string_at left out unterminated");
    } else {
        fuzz::check(read == 0 && cur == start && str[0] == fuzz::untouched,
                    "json_read_string_at changed something without a quote", source);
    }
    return 0;
}

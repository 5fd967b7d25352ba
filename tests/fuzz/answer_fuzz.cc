// answer_fuzz.cc: fuzz target for the writers every answer leaves through: the JSON string
// writer and the cuts at a byte capacity. Whatever the bytes, an answer decodes strictly as
// UTF-8; well-formed text is written with the escapes alone; a cut keeps a prefix of whole
// characters and gives up no more than the last, split one.
// Input: one byte that picks the capacity (2 to 33), then the text (up to a NUL).
#include <string>

#include "base/buf.h"
#include "base/text.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/strict_utf8.h"

namespace {

// The JSON escapes of well-formed text, byte by byte.
std::string model_json(const std::string& s) {
    static const char* hex = "0123456789abcdef";
    std::string out = "\"";
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            out += "\\u00";
            out += hex[u >> 4];
            out += hex[u & 15];
        } else {
            out += c;
        }
    }
    return out + "\"";
}

void check_cut(const std::string& in, std::string_view kept, std::size_t cap, const char* what) {
    fuzz::check(kept.size() <= cap - 1, what, in);
    fuzz::check(in.compare(0, kept.size(), kept) == 0, what, in);
    if (in.size() <= cap - 1) {
        fuzz::check(kept.size() == in.size(), what, in);
    } else {
        // Only a split character is given up, and that is at most three bytes.
        fuzz::check(kept.size() + 3 >= cap - 1, what, in);
    }
    if (fuzz::strict_utf8(in)) fuzz::check(fuzz::strict_utf8(kept), what, in);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::input in(data, size);
    const std::size_t cap = 2 + in.byte() % 32;
    const std::string text = in.text();

    credvane::buf b;
    credvane::buf_json(b, text);
    const std::string json(b.view());
    fuzz::check(fuzz::strict_utf8(json), "a JSON string is not strict UTF-8", text);
    if (fuzz::strict_utf8(text)) {
        fuzz::check(json == model_json(text), "well-formed text was changed", text);
    }

    credvane::text<34> t;
    credvane::copy_cut(std::span<char>(t.bytes.data(), cap), text);
    check_cut(text, t.view(), cap, "copy_cut");
    credvane::text<34> f;
    credvane::format_cut(std::span<char>(f.bytes.data(), cap), "%s", text.c_str());
    check_cut(text, f.view(), cap, "format_cut");
    return 0;
}

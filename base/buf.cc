// buf.cc: the answer buffer, its appends and the JSON answer writers.
#include "base/buf.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/utf8.h"
#include "platform/platform.h"

namespace credvane {

int buf_need(buf& b, std::uint64_t n) {
    // Any need above the cap fails, so n is bounded before it can wrap the sum.
    if (n >= buf_max_cap || b.len + n + 1 > buf_max_cap) return 0;
    const std::uint64_t need = b.len + n + 1;
    if (b.cap >= need) return 1;
    std::uint64_t cap = b.cap == 0 ? buf_first_cap : b.cap;
    while (cap < need) {
        if (cap > buf_max_cap / 2) return 0;
        cap *= 2;
    }
    void* grown = std::realloc(b.data.get(), static_cast<std::size_t>(cap));
    if (grown == nullptr) return 0;
    const bool first = !b.data;
    (void)b.data.release();  // realloc took ownership of the old block
    b.data.reset(static_cast<char*>(grown));
    if (first) b.data.get()[0] = '\0';
    b.cap = cap;
    return 1;
}

int buf_adds(buf& b, std::string_view s) {
    // Content never holds a NUL: everything after one is not part of the text.
    s = s.substr(0, s.find('\0'));
    if (!buf_need(b, s.size())) return 0;
    char* end = b.data.get() + b.len;
    if (!s.empty()) std::memcpy(end, s.data(), s.size());
    b.len += s.size();
    b.data.get()[b.len] = '\0';
    return 1;
}

int buf_addf(buf& b, const char* fmt, ...) {
    char scratch[buf_addf_max + 1];
    va_list ap;
    va_start(ap, fmt);
    const int r = std::vsnprintf(scratch, sizeof scratch, fmt, ap);
    va_end(ap);
    if (r < 0) return 0;
    std::string_view text(scratch);
    // A cut at the scratch size keeps whole characters only.
    if (static_cast<unsigned>(r) > buf_addf_max) text = text.substr(0, utf8_whole_prefix(text));
    return buf_adds(b, text);
}

int buf_json(buf& b, std::string_view s) {
    s = s.substr(0, s.find('\0'));
    if (!buf_adds(b, "\"")) return 0;
    for (std::size_t i = 0; i < s.size();) {
        // The answers say charset=utf-8, so an ill-formed piece leaves as U+FFFD, and a
        // character is appended whole or not at all.
        const utf8_piece p = utf8_next(s, i);
        const std::string_view piece = s.substr(i, p.len);
        i += p.len;
        // Classify by the byte value: a plain char is signed here and would make
        // bytes above 0x7F look like control characters.
        const auto u = static_cast<unsigned char>(piece[0]);
        int ok = 1;
        if (!p.valid) {
            ok = buf_adds(b, utf8_replacement);
        } else if (u >= 0x80) {
            ok = buf_adds(b, piece);
        } else {
            switch (u) {
                case '\t':
                    ok = buf_adds(b, "\\t");
                    break;
                case '\n':
                    ok = buf_adds(b, "\\n");
                    break;
                case '\r':
                    ok = buf_adds(b, "\\r");
                    break;
                case '"':
                    ok = buf_adds(b, "\\\"");
                    break;
                case '\\':
                    ok = buf_adds(b, "\\\\");
                    break;
                default:
                    if (u < 0x20) {
                        ok = buf_addf(b, "\\u%04x", static_cast<unsigned>(u));
                    } else {
                        ok = buf_adds(b, piece);
                    }
            }
        }
        if (!ok) return 0;
    }
    return buf_adds(b, "\"");
}

void emit_json(buf& b) {
    platform::write_stdout(json_headers);
    if (b.data) platform::write_stdout(b.view());
    b.data.reset();
    b.len = 0;
    b.cap = 0;
}

namespace {

// An error answer's body: {"ok":false,"error":code,"detail":detail}, without an empty detail.
void add_error_body(buf& b, std::string_view code, std::string_view detail) {
    buf_adds(b, "{\"ok\":false,\"error\":");
    buf_json(b, code);
    if (!detail.empty()) {
        buf_adds(b, ",\"detail\":");
        buf_json(b, detail);
    }
    buf_adds(b, "}\n");
}

}  // namespace

void emit_error(int status, std::string_view reason, std::string_view code,
                std::string_view detail) {
    buf b;
    buf_addf(b, "Status: %d %.*s\r\n", status, static_cast<int>(reason.size()), reason.data());
    buf_adds(b, json_headers);
    add_error_body(b, code, detail);
    if (b.data) platform::write_stdout(b.view());
}

void emit_failure(std::string_view code, std::string_view detail) {
    buf b;
    add_error_body(b, code, detail);
    emit_json(b);
}

}  // namespace credvane

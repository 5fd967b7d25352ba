// buf.h: the growable answer buffer and the writers through which every answer leaves.
// An answer is built completely in memory and written at once behind its header block.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

namespace credvane {

struct free_deleter {
    void operator()(char* p) const { std::free(p); }
};

// A NUL-terminated text that grows by doubling from 1024 bytes up to 64 MiB.
// Invariant: when data is set, len + 1 <= cap and data[len] is the terminator; the
// content never holds a NUL. A default buf is empty and holds no memory.
struct buf {
    std::unique_ptr<char, free_deleter> data;
    std::uint64_t len = 0;
    std::uint64_t cap = 0;

    const char* c_str() const { return data ? data.get() : ""; }
    std::string_view view() const { return {c_str(), static_cast<std::size_t>(len)}; }
};

inline constexpr std::uint64_t buf_first_cap = 1024;
inline constexpr std::uint64_t buf_max_cap = 64ull * 1024 * 1024;
inline constexpr std::size_t buf_addf_max = 2047;

// Makes room for n more bytes and the terminator; 0 (buffer unchanged) beyond 64 MiB or
// when memory runs out.
int buf_need(buf& b, std::uint64_t n);
// Appends s up to its first NUL. 0 when the buffer cannot take it (nothing appended).
int buf_adds(buf& b, std::string_view s);
// Appends printf-style text, cut at 2047 bytes (a cut is success).
int buf_addf(buf& b, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Appends s (up to its first NUL) as a JSON string literal, quotes included.
int buf_json(buf& b, std::string_view s);

// Writes the JSON header block and the body, then releases the buffer.
void emit_json(buf& b);
// Writes a complete error answer with its own Status line; an empty detail is left out.
void emit_error(int status, std::string_view reason, std::string_view code,
                std::string_view detail);
// The same answer without a Status line, which a host answers as 200 OK.
void emit_failure(std::string_view code, std::string_view detail);

// The JSON header block (no Status line).
inline constexpr std::string_view json_headers =
    "Content-Type: application/json; charset=utf-8\r\n"
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "\r\n";

}  // namespace credvane

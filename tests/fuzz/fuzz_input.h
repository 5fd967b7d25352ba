// fuzz_input.h: how the fuzz targets cut one input into the texts and numbers they need.
// An input is a few control bytes followed by texts separated by NUL bytes: the code under
// test reads C strings, so a NUL can never be part of one text, and seeds stay easy to
// write by hand (printf 'ab\0cd').
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace fuzz {

class input {
  public:
    input(const std::uint8_t* data, std::size_t size)
        : p_(reinterpret_cast<const char*>(data)), left_(size) {}

    // The next control byte, 0 once the input is used up.
    std::uint8_t byte() {
        if (left_ == 0) return 0;
        --left_;
        return static_cast<std::uint8_t>(*p_++);
    }

    // The next text, up to a NUL or the end of the input.
    std::string text() {
        const void* nul = std::memchr(p_, '\0', left_);
        const std::size_t n =
            nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - p_) : left_;
        std::string t(p_, n);
        const std::size_t used = nul ? n + 1 : n;
        p_ += used;
        left_ -= used;
        return t;
    }

    // Everything that is left, NUL bytes included.
    std::string_view rest() const { return {p_, left_}; }

  private:
    const char* p_;
    std::size_t left_;
};

// A heap block of exactly n + 1 bytes holding s and its terminator, so AddressSanitizer
// reports any read or write past the terminator.
inline std::unique_ptr<char[]> exact_copy(std::string_view s) {
    auto block = std::make_unique<char[]>(s.size() + 1);
    if (!s.empty()) std::memcpy(block.get(), s.data(), s.size());
    block[s.size()] = '\0';
    return block;
}

// An output block of exactly cap bytes, filled with a byte the code under test never
// writes by itself, so "left untouched" can be checked.
// A window into text (len bytes before its terminator), taken from two input bytes: a start
// in the text and an end between it and the terminator; b_end 0 is the usual whole rest,
// other values end it earlier.
struct window {
    const char* start;
    const char* end;
};
inline window window_in(const char* text, std::size_t len, std::uint8_t b_start,
                        std::uint8_t b_end) {
    const std::size_t s_off = len == 0 ? 0 : b_start % (len + 1);
    const std::size_t e_off = len - (b_end % (len - s_off + 1));
    return {text + s_off, text + e_off};
}

inline constexpr char untouched = '\x5a';
inline std::unique_ptr<char[]> output_block(std::size_t cap) {
    auto block = std::make_unique<char[]>(cap);
    std::memset(block.get(), untouched, cap);
    return block;
}

// True when out holds a terminator within its cap bytes.
inline bool terminated(const char* out, std::size_t cap) {
    return std::memchr(out, '\0', cap) != nullptr;
}

// A broken rule: print it and abort, which libFuzzer reports as a crash with the input.
[[noreturn]] inline void fail(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "\nfuzz rule broken: %s\n", what);
    if (!detail.empty()) {
        std::fprintf(stderr, "detail: ");
        for (const char c : detail) {
            const auto u = static_cast<unsigned char>(c);
            if (u >= 0x20 && u < 0x7f && u != '\\') {
                std::fputc(u, stderr);
            } else {
                std::fprintf(stderr, "\\x%02x", u);
            }
        }
        std::fputc('\n', stderr);
    }
    std::abort();
}

inline void check(bool ok, const char* what, std::string_view detail = {}) {
    if (!ok) fail(what, detail);
}

}  // namespace fuzz

// read_line.h: the line reading of a CLI's output, the same on every system: each system's
// child_process keeps a read-ahead chunk of the output and refills it its own way.
#pragma once

#include <cstddef>
#include <span>

namespace credvane::platform {

// As fgets: stores at most piece.size() - 1 bytes of output (piece holds at least 2),
// stopping after a line feed, and a terminator; the count of bytes stored, NUL bytes
// included, 0 at the end of the output. out has chunk, chunk_pos and chunk_len, and
// refill(), which reads the next chunk and is false at the end (or once the time is up).
template <typename Output>
std::size_t read_line_from(Output& out, std::span<char> piece) {
    std::size_t stored = 0;
    while (stored + 1 < piece.size()) {
        if (out.chunk_pos == out.chunk_len && !out.refill()) break;
        const char c = out.chunk[out.chunk_pos++];
        piece[stored++] = c;
        if (c == '\n') break;
    }
    piece[stored] = '\0';
    return stored;
}

}  // namespace credvane::platform

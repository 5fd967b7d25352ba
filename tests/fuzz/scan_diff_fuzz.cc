// scan_diff_fuzz.cc: differential fuzz target: the streaming credential scan against the
// plain whole-text scan of tests/store/cred_reference.cc, which reads each key with the
// scanner of store/json.h. On any text both read the same values, with and without the
// record; fed in pieces, as a file streams in through its buffer, the streaming scan reads
// the same values as from the whole text.
// Input: three control bytes (seeds for the piece sizes), a key (not read; kept so that
// older corpus entries keep their shape), NUL, the text (up to a NUL).
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "store/cred_scan.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/store/cred_reference.h"

namespace {

namespace reference = credvane::reference;

// The whole text in one piece, in a block of exactly its size and terminator.
void same_as_reference(const std::string& source, bool record) {
    const auto block = fuzz::exact_copy(source);
    credvane::cred_scanner s(record);
    s.feed(block.get(), block.get() + source.size(), true);
    auto want = std::make_unique<reference::cred_read>();
    reference::read_creds(block.get(), record, *want);
    fuzz::check(reference::same_values(s.values(), want->values),
                "cred_scanner differs from the plain scan", source);
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
    fuzz::check(reference::same_values(s.values(), whole.values()),
                "cred_scanner in pieces differs from the whole text", source);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::input in(data, size);
    const std::uint8_t b_start = in.byte();
    const std::uint8_t b_end = in.byte();
    const std::size_t cap = 1 + in.byte();
    (void)in.text();
    const std::string source = in.text();

    same_as_reference(source, true);
    same_as_reference(source, false);
    same_in_pieces(source, b_start * 256u + b_end + cap * 65536u, true);
    same_in_pieces(source, b_end * 7u + cap, false);
    return 0;
}

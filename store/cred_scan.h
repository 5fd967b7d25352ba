// cred_scan.h: the credential scan over a text that arrives in pieces, so that a file
// passes through one fixed buffer and is never held whole. Its answers are those of the
// scanner run over the whole text (json.h): every lookup, cut and capacity the same.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "store/json.h"

namespace credvane {

// Where the bytes that matter to the scan lie in a block of at most 64 bytes: bit i stands
// for byte i of the block. Which of them a bit is, is read from the byte itself.
struct block_masks {
    std::uint64_t in_string = 0;  // quotes and backslashes: what ends a plain run of a string
    std::uint64_t outside = 0;    // quotes, braces and square brackets: what counts between strings
};
// One byte at a time, for any n up to 64.
block_masks block_masks_portable(const char* p, std::size_t n);
// Sixteen bytes at a time where the processor has SSE2 (every x86-64), else the portable
// way; p holds 64 bytes.
block_masks block_masks_64(const char* p);

// The capacities of the texts the scan keeps, terminator included: the access token, the
// account id, the last refresh's text and the decoded id token (a JWT of one to two
// kilobytes; a longer one is not judged). A longer value is cut as json_str_field cuts it.
inline constexpr std::size_t access_token_capacity = 4096;
inline constexpr std::size_t account_id_capacity = 96;
inline constexpr std::size_t last_refresh_capacity = 64;
inline constexpr std::size_t id_token_capacity = 8192;

// What the scan of one credential file read, before facts are drawn from it. Each text is
// what json_str_field would give over the file's whole text, and each flag tells whether
// the value is a string with a character outside escape pairs (a present string), in the
// token window ("tokens" when the file has a closed such object, else the whole text) or,
// for the last refresh and the second look for the API key, at the top level.
struct cred_values {
    const char* access_token = nullptr;  // json_str_field's text, null when it gave 0
    bool access_present = false;         // "access_token" is a present string
    bool refresh_present = false;
    const char* account_id = nullptr;    // null when json_str_field gave 0
    bool api_key_present = false;        // in the token window or at the top level
    const char* last_refresh = nullptr;  // null when json_str_field gave 0
    // What the Codex CLI requires of a file that holds a "tokens" object: an "id_token"
    // string that is a JWT, and "access_token" and "refresh_token" strings. Read only with
    // the record.
    bool tokens_object = false;      // the file has a closed "tokens" object
    bool access_string = false;      // that object's "access_token" is a string
    bool refresh_string = false;     // and its "refresh_token"
    bool id_token_found = false;     // that object has an "id_token" member
    bool id_token_string = false;    // whose value is a string
    const char* id_token = nullptr;  // decoded; null unless a string held whole
};

class cred_scanner {
  public:
    // Bytes from a backslash that the decoding of one escape may look at: a \u escape and
    // the \u escape of a surrogate pair's second half.
    static constexpr std::size_t lookahead = json_char_lookahead;

    // want_record: also read what only the record shows (account id, API key, last refresh).
    explicit cred_scanner(bool want_record);
    cred_scanner(const cred_scanner&) = delete;
    cred_scanner& operator=(const cred_scanner&) = delete;

    // Scans the next piece [p, e) of the text, which holds no NUL byte. last: the text ends
    // at e, and *e is readable and NUL. Returns where the next piece must begin: a position
    // in [e - lookahead, e] whose bytes are presented again at the front of the next piece
    // (e itself for the last piece).
    const char* feed(const char* p, const char* e, bool last);
    // True once nothing the text still holds can change an answer.
    bool done() const;
    // The answers, once the last piece was fed. The texts live as long as the scan.
    cred_values values() const;

    enum key_id : int {
        k_tokens,
        k_access,
        k_refresh,
        k_account,
        k_api_key,
        k_last,
        k_id_token,
        k_count
    };

    // The value of one key as one pass of the search met it.
    struct capture {
        // json_str_field's output (out empty when not wanted): a string value decoded as
        // json_read_string_at does, or a raw value.
        json_text_out text;
        bool want_present = false;  // whether a present string is asked
        bool found = false;
        char first = 0;  // the value's first byte
        // A raw value, copied up to ',', ']', '}' or the capacity.
        bool raw_active = false;
        bool raw_done = false;
        // The walk over escape pairs after the opening quote that tells presence.
        bool present_active = false;
        bool present_skip = false;
        bool present = false;
        const char* from = nullptr;  // where the raw walks begin in the current piece
    };
    // One key search: the text's top level, or the "tokens" object.
    struct pass {
        bool searching = false;
        std::ptrdiff_t depth = 0;
        unsigned wanted = 0;           // bits of the keys not found yet
        unsigned len_bits = 0;         // bit n for each length n of those keys
        std::uint64_t first_bits = 0;  // bit c - 64 for each first byte c of those keys
        std::array<capture, k_count> values{};
    };

  private:
    enum class lex : unsigned char { lead, outside, in_string, after_key, after_colon, ended };

    const char* lex_all(const char* p, const char* e, bool last);
    const char* string_body(const char* p, const char* e, bool last);
    const char* value_found(const char* q);
    void load_block(const char* s, const char* e);
    const char* closing_quote(const char* t, const char* e);
    pass* candidate_pass();
    static int match_key(const pass& ps, std::string_view name);
    void begin_string();
    void end_string(bool terminated);
    void end_text();
    void put_run(const char* b, std::size_t len);
    void put_char(const char* b, std::size_t len);
    const char* decode_escape(const char* s);
    void walk_raw(const char* p0, const char* r, bool text_ended);
    void update_decoding();

    bool want_record_;
    lex state_ = lex::lead;
    pass top_;
    pass inner_;
    bool inner_open_ = false;
    bool inner_closed_ = false;
    std::ptrdiff_t braces_ = 0;

    // The string being read: a key candidate of key_pass_, and the value str_value_.
    pass* key_pass_ = nullptr;
    capture* str_value_ = nullptr;
    capture* pending_value_ = nullptr;  // a string value whose opening quote is next
    bool decoding_ = false;
    std::array<char, 32> name_{};
    std::size_t name_n_ = 0;
    bool name_long_ = false;
    bool name_nul_ = false;
    pass* colon_pass_ = nullptr;
    int colon_key_ = 0;
    int raw_walks_ = 0;  // captures with a raw walk still going

    // The current piece's block of masks.
    const char* end_ = nullptr;
    const char* base_ = nullptr;
    block_masks masks_{};

    std::array<char, access_token_capacity> top_access_{};
    std::array<char, access_token_capacity> inner_access_{};
    std::array<char, account_id_capacity> top_account_{};
    std::array<char, account_id_capacity> inner_account_{};
    std::array<char, last_refresh_capacity> last_refresh_{};
    std::array<char, id_token_capacity> id_token_{};
};

}  // namespace credvane

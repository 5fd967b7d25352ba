// cred_scan.cc: the credential scan over a text that arrives in pieces.
// Three searches run over the same bytes at once: the key search of the text's top level,
// the brace matching that finds where a "tokens" object ends, and the key search of that
// object. They agree on where every string begins and ends (a backslash always takes the
// byte after it), so one reading of the bytes serves them all. Values are read as the
// bytes pass: strings decoded into fixed buffers, raw values copied up to their capacity.
// Where a string's bytes matter to no one, it is passed by masks alone, 64 bytes a step.
#include "store/cred_scan.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string_view>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace credvane {

namespace {

constexpr std::array<std::string_view, cred_scanner::k_count> key_names = {
    "tokens",         "access_token", "refresh_token", "account_id",
    "OPENAI_API_KEY", "last_refresh", "id_token"};

constexpr unsigned bit(int k) {
    return 1u << k;
}

// Bit n set for each length n of the keys in wanted.
unsigned length_bits(unsigned wanted) {
    unsigned bits = 0;
    for (int k = 0; k < cred_scanner::k_count; ++k) {
        if ((wanted & bit(k)) != 0) bits |= 1u << key_names[static_cast<std::size_t>(k)].size();
    }
    return bits;
}

// Bit c - 64 set for the first byte c of each key in wanted (all of them are in 64..127).
std::uint64_t first_byte_bits(unsigned wanted) {
    std::uint64_t bits = 0;
    for (int k = 0; k < cred_scanner::k_count; ++k) {
        if ((wanted & bit(k)) != 0)
            bits |= std::uint64_t{1} << (key_names[static_cast<std::size_t>(k)][0] - 64);
    }
    return bits;
}

#if defined(__SSE2__)
std::uint64_t movemask16(__m128i hits) {
    return static_cast<std::uint16_t>(_mm_movemask_epi8(hits));
}
__m128i load16(const char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
#endif

// Whole 64-byte blocks in [p, e) without a quote or backslash are passed with one test
// each; returns the first block that has one (or fewer than 64 bytes before e).
const char* skip_plain_string(const char* p, const char* e) {
#if defined(__SSE2__)
    const __m128i q = _mm_set1_epi8('"');
    const __m128i b = _mm_set1_epi8('\\');
    for (; e - p >= 64; p += 64) {
        const __m128i v0 = load16(p);
        const __m128i v1 = load16(p + 16);
        const __m128i v2 = load16(p + 32);
        const __m128i v3 = load16(p + 48);
        const __m128i h =
            _mm_or_si128(_mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v0, q), _mm_cmpeq_epi8(v0, b)),
                                      _mm_or_si128(_mm_cmpeq_epi8(v1, q), _mm_cmpeq_epi8(v1, b))),
                         _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v2, q), _mm_cmpeq_epi8(v2, b)),
                                      _mm_or_si128(_mm_cmpeq_epi8(v3, q), _mm_cmpeq_epi8(v3, b))));
        if (_mm_movemask_epi8(h) != 0) break;
    }
#else
    (void)e;
#endif
    return p;
}

}  // namespace

block_masks block_masks_portable(const char* p, std::size_t n) {
    block_masks m;
    for (std::size_t i = 0; i < n && i < 64; ++i) {
        const std::uint64_t b = std::uint64_t{1} << i;
        switch (p[i]) {
            case '"':
                m.in_string |= b;
                m.outside |= b;
                break;
            case '\\':
                m.in_string |= b;
                break;
            case '{':
            case '[':
            case '}':
            case ']':
                m.outside |= b;
                break;
            default:
                break;
        }
    }
    return m;
}

block_masks block_masks_64(const char* p) {
#if defined(__SSE2__)
    block_masks m;
    // '[' and ']' are '{' and '}' less 0x20, and no other byte becomes either with 0x20 set.
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i bs = _mm_set1_epi8('\\');
    const __m128i brace_open = _mm_set1_epi8('{');
    const __m128i brace_close = _mm_set1_epi8('}');
    const __m128i fold = _mm_set1_epi8(0x20);
    for (int i = 0; i < 4; ++i) {
        const __m128i v = load16(p + 16 * i);
        const __m128i f = _mm_or_si128(v, fold);
        const __m128i q = _mm_cmpeq_epi8(v, quote);
        const int shift = 16 * i;
        m.in_string |= movemask16(_mm_or_si128(q, _mm_cmpeq_epi8(v, bs))) << shift;
        m.outside |= movemask16(_mm_or_si128(q, _mm_or_si128(_mm_cmpeq_epi8(f, brace_open),
                                                             _mm_cmpeq_epi8(f, brace_close))))
                     << shift;
    }
    return m;
#else
    return block_masks_portable(p, 64);
#endif
}

cred_scanner::cred_scanner(bool want_record) : want_record_(want_record) {
    top_.searching = true;
    top_.wanted = bit(k_tokens) | bit(k_access) | bit(k_refresh);
    inner_.wanted = bit(k_access) | bit(k_refresh);
    if (want_record) {
        top_.wanted |= bit(k_account) | bit(k_api_key) | bit(k_last);
        inner_.wanted |= bit(k_account) | bit(k_api_key) | bit(k_id_token);
    }
    for (pass* p : {&top_, &inner_}) {
        p->len_bits = length_bits(p->wanted);
        p->first_bits = first_byte_bits(p->wanted);
        p->values[k_access].want_present = true;
        p->values[k_refresh].want_present = true;
        p->values[k_api_key].want_present = true;
    }
    top_.values[k_access].text.out = top_access_;
    inner_.values[k_access].text.out = inner_access_;
    top_.values[k_account].text.out = top_account_;
    inner_.values[k_account].text.out = inner_account_;
    top_.values[k_last].text.out = last_refresh_;
    inner_.values[k_id_token].text.out = id_token_;
}

bool cred_scanner::done() const {
    return state_ == lex::ended && raw_walks_ == 0;
}

const char* cred_scanner::feed(const char* p, const char* e, bool last) {
    const char* const p0 = p;
    end_ = e;
    base_ = nullptr;
    const char* r = state_ == lex::ended ? e : lex_all(p, e, last);
    if (raw_walks_ > 0) walk_raw(p0, r, last);
    return r;
}

// The scan proper: returns where it stopped (e, or a backslash whose escape may reach
// past e).
const char* cred_scanner::lex_all(const char* p, const char* e, bool last) {
    for (;;) {
        switch (state_) {
            case lex::lead:
                // Leading whitespace, then one opening brace that no depth counts.
                while (p < e && json_is_ws(*p)) ++p;
                if (p == e) {
                    if (last) end_text();
                    return e;
                }
                if (*p == '{') ++p;
                state_ = lex::outside;
                break;
            case lex::outside: {
                if (!top_.searching && !inner_open_ && pending_value_ == nullptr) {
                    // Nothing between strings can change an answer any more.
                    state_ = lex::ended;
                    return e;
                }
                const char* s = p;
                for (;;) {
                    if (s >= e) {
                        s = e;
                        break;
                    }
                    if (base_ == nullptr || s < base_ || s >= base_ + 64) {
                        load_block(s, e);
                    }
                    const std::uint64_t m = masks_.outside & (~std::uint64_t{0} << (s - base_));
                    if (m == 0) {
                        s = base_ + 64;
                        continue;
                    }
                    s = base_ + std::countr_zero(m);
                    if (*s != '"' || pending_value_ != nullptr) break;
                    // The common string: it closes in this block without an escape. Its
                    // name is the raw bytes, and most names are passed on their length.
                    const char* q = closing_quote(s + 1, e);
                    if (q == nullptr) break;
                    pass* kp = candidate_pass();
                    const auto len = static_cast<std::size_t>(q - s - 1);
                    const auto first = static_cast<unsigned char>(s[1]);
                    s = q + 1;
                    if (kp == nullptr || len >= 32 || (kp->len_bits & (1u << len)) == 0 ||
                        first < 64 || first >= 128 || (kp->first_bits >> (first - 64) & 1) == 0) {
                        continue;
                    }
                    if (const int k = match_key(*kp, std::string_view(q - len, len)); k >= 0) {
                        colon_pass_ = kp;
                        colon_key_ = k;
                        state_ = lex::after_key;
                        break;
                    }
                }
                if (state_ == lex::after_key) {
                    p = s;
                    break;
                }
                if (s == e) {
                    if (last) end_text();
                    return e;
                }
                p = s + 1;
                const char c = *s;
                if (c == '"') {
                    begin_string();
                    state_ = lex::in_string;
                } else if (c == '{' || c == '[') {
                    if (top_.searching) ++top_.depth;
                    if (inner_open_) {
                        if (inner_.searching) ++inner_.depth;
                        if (c == '{') ++braces_;
                    }
                } else {
                    if (top_.searching) --top_.depth;
                    if (inner_open_) {
                        if (inner_.searching) --inner_.depth;
                        if (c == '}' && --braces_ == 0) {
                            inner_open_ = false;
                            inner_closed_ = true;
                            inner_.searching = false;
                        }
                    }
                }
                break;
            }
            case lex::in_string:
                p = string_body(p, e, last);
                if (state_ == lex::in_string || state_ == lex::ended) return p;
                break;
            case lex::after_key:
                // A string equal to a key is that key only when a colon follows it.
                while (p < e && json_is_ws(*p)) ++p;
                if (p == e) {
                    if (last) end_text();
                    return e;
                }
                if (*p == ':') {
                    ++p;
                    state_ = lex::after_colon;
                } else {
                    state_ = lex::outside;
                }
                break;
            case lex::after_colon:
                while (p < e && json_is_ws(*p)) ++p;
                if (p == e) {
                    // The text ends before the value: nothing is found any more.
                    if (last) end_text();
                    return e;
                }
                p = value_found(p);
                break;
            case lex::ended:
                return e;
        }
    }
}

// The masks of the block that begins at s: 64 bytes, or what is left before e.
void cred_scanner::load_block(const char* s, const char* e) {
    base_ = s;
    masks_ =
        e - s >= 64 ? block_masks_64(s) : block_masks_portable(s, static_cast<std::size_t>(e - s));
}

// The closing quote of a string whose bytes start at t, when no backslash comes before it
// in this block or the next; else null (the string is read the long way).
const char* cred_scanner::closing_quote(const char* t, const char* e) {
    for (int blocks = 0; blocks < 2; ++blocks) {
        if (t >= base_ + 64) {
            if (t >= e) return nullptr;
            load_block(t, e);
        }
        const std::uint64_t m = masks_.in_string & (~std::uint64_t{0} << (t - base_));
        if (m != 0) {
            const char* q = base_ + std::countr_zero(m);
            return *q == '"' ? q : nullptr;
        }
        t = base_ + 64;
    }
    return nullptr;
}

// The pass for which a string that begins here is a key candidate: the one searching at
// its depth 0 (never both, as the object's depth is one less than the top level's).
cred_scanner::pass* cred_scanner::candidate_pass() {
    if (top_.searching && top_.depth == 0) return &top_;
    if (inner_.searching && inner_.depth == 0) return &inner_;
    return nullptr;
}

// The wanted key of ps that name is, or -1.
int cred_scanner::match_key(const pass& ps, std::string_view name) {
    for (int k = 0; k < k_count; ++k) {
        if ((ps.wanted & bit(k)) != 0 && key_names[static_cast<std::size_t>(k)] == name) return k;
    }
    return -1;
}

void cred_scanner::begin_string() {
    key_pass_ = candidate_pass();
    str_value_ = pending_value_;
    pending_value_ = nullptr;
    name_n_ = 0;
    name_long_ = false;
    name_nul_ = false;
    decoding_ = key_pass_ != nullptr || str_value_ != nullptr;
}

// Decoding stops being needed once the name is too long to be a key (or ended by a decoded
// NUL) and the value's output is full; the rest of the string is then only passed.
void cred_scanner::update_decoding() {
    decoding_ = (key_pass_ != nullptr && !name_long_ && !name_nul_) ||
                (str_value_ != nullptr && !str_value_->text.full);
}

void cred_scanner::put_run(const char* b, std::size_t len) {
    if (len == 0) return;
    if (key_pass_ != nullptr && !name_long_ && !name_nul_) {
        if (name_n_ + len > name_.size()) {
            name_long_ = true;
        } else {
            std::memcpy(name_.data() + name_n_, b, len);
            name_n_ += len;
        }
    }
    if (capture* v = str_value_; v != nullptr) v->text.put_bytes(b, len);
}

// One decoded character of len bytes: whole or not at all, and nothing after the first
// that does not fit.
void cred_scanner::put_char(const char* b, std::size_t len) {
    if (key_pass_ != nullptr && !name_long_ && !name_nul_) {
        for (std::size_t i = 0; i < len && !name_nul_ && !name_long_; ++i) {
            if (b[i] == '\0') {
                name_nul_ = true;  // the name, as a C string, ends here
            } else if (name_n_ == name_.size()) {
                name_long_ = true;
            } else {
                name_[name_n_++] = b[i];
            }
        }
    }
    if (capture* v = str_value_; v != nullptr) v->text.put(b, len);
}

// The escape at the backslash s; its bytes up to s + lookahead are readable (or end at the
// text's NUL). Returns the position after it.
const char* cred_scanner::decode_escape(const char* s) {
    json_char c;
    const char* p = json_string_char(s, c);
    put_char(c.bytes.data(), c.len);
    return p;
}

// Inside a string: up to its closing quote, the text's end, or an escape that needs the
// next piece.
const char* cred_scanner::string_body(const char* p, const char* e, bool last) {
    for (;;) {
        // The next quote or backslash, from the block masks; whole plain blocks are
        // passed with one test each.
        const char* s = p;
        for (;;) {
            if (s >= e) {
                s = e;
                break;
            }
            if (base_ == nullptr || s < base_ || s >= base_ + 64) {
                s = skip_plain_string(s, e);
                load_block(s, e);
            }
            const std::uint64_t m = masks_.in_string & (~std::uint64_t{0} << (s - base_));
            if (m != 0) {
                s = base_ + std::countr_zero(m);
                break;
            }
            s = base_ + 64;
        }
        if (decoding_) {
            put_run(p, static_cast<std::size_t>(s - p));
            update_decoding();
        }
        if (s == e) {
            if (last) {
                end_string(false);  // an unterminated string ends with the text
                end_text();
            }
            return e;
        }
        if (*s == '"') {
            end_string(true);
            return s + 1;
        }
        if (!decoding_) {
            // Passed, not read: a backslash takes the byte after it.
            if (s + 1 == e) {
                if (!last) return s;
                end_string(false);  // before the text's end, an ordinary byte
                end_text();
                return e;
            }
            p = s + 2;
            continue;
        }
        if (!last && static_cast<std::size_t>(e - s) < lookahead) return s;
        p = decode_escape(s);
        update_decoding();
    }
}

void cred_scanner::end_string(bool terminated) {
    if (capture* v = str_value_; v != nullptr) {
        v->text.finish();
        str_value_ = nullptr;
    }
    pass* const kp = key_pass_;
    key_pass_ = nullptr;
    state_ = lex::outside;
    if (kp == nullptr || !terminated || name_long_) return;
    if (const int k = match_key(*kp, std::string_view(name_.data(), name_n_)); k >= 0) {
        colon_pass_ = kp;
        colon_key_ = k;
        state_ = lex::after_key;
    }
}

// The value of a key begins at q: what each pass wants of it is set going.
const char* cred_scanner::value_found(const char* q) {
    pass& ps = *colon_pass_;
    const int k = colon_key_;
    capture& v = ps.values[static_cast<std::size_t>(k)];
    v.found = true;
    v.first = *q;
    ps.wanted &= ~bit(k);
    ps.len_bits = length_bits(ps.wanted);
    ps.first_bits = first_byte_bits(ps.wanted);
    if (ps.wanted == 0) ps.searching = false;
    state_ = lex::outside;
    if (k == k_tokens) {
        if (*q != '{') return q;
        // The top level counts the brace; the object's own search steps over it, and the
        // brace matching starts with it.
        if (top_.searching) ++top_.depth;
        inner_open_ = true;
        braces_ = 1;
        inner_.depth = 0;
        inner_.searching = inner_.wanted != 0;
        return q + 1;
    }
    if (*q == '"') {
        if (!v.text.out.empty()) pending_value_ = &v;
        if (v.want_present) {
            v.present_active = true;
            v.from = q + 1;
            ++raw_walks_;
        }
        return q;
    }
    if (*q != 'n' && !v.text.out.empty()) {
        v.raw_active = true;
        v.from = q;
        ++raw_walks_;
    }
    return q;
}

void cred_scanner::end_text() {
    if (capture* v = str_value_; v != nullptr) {
        v->text.finish();
        str_value_ = nullptr;
    }
    key_pass_ = nullptr;
    pending_value_ = nullptr;
    state_ = lex::ended;
}

// The walks that need no string boundaries: raw values and the presence test, over the
// bytes [their start, r) of this piece; at the text's end they conclude.
void cred_scanner::walk_raw(const char* p0, const char* r, bool text_ended) {
    for (pass* ps : {&top_, &inner_}) {
        for (capture& v : ps->values) {
            if (!v.raw_active && !v.present_active) continue;
            const char* p = v.from != nullptr ? v.from : p0;
            v.from = nullptr;
            if (v.raw_active) {
                json_text_out& t = v.text;
                for (; p < r; ++p) {
                    const char c = *p;
                    if (c == ',' || c == ']' || c == '}' || t.n + 1 >= t.out.size()) {
                        v.raw_active = false;
                        break;
                    }
                    t.out[t.n++] = c;
                }
                if (text_ended) v.raw_active = false;
                if (!v.raw_active) {
                    while (t.n > 0 && json_is_ws(t.out[t.n - 1])) --t.n;
                    t.finish();
                    v.raw_done = true;
                    --raw_walks_;
                }
            } else {
                for (; p < r; ++p) {
                    if (v.present_skip) {
                        v.present_skip = false;
                        continue;
                    }
                    if (*p == '"') {
                        v.present_active = false;
                        break;
                    }
                    if (*p != '\\') {
                        v.present = true;
                        v.present_active = false;
                        break;
                    }
                    v.present_skip = true;
                }
                if (v.present_active && text_ended) {
                    // A backslash as the text's last byte counts as a character.
                    v.present = v.present_skip;
                    v.present_active = false;
                }
                if (!v.present_active) --raw_walks_;
            }
        }
    }
}

namespace {

// json_str_field's result for a captured value.
bool str_result(const cred_scanner::capture& v) {
    if (!v.found || v.first == 'n' || v.text.out.empty()) return false;
    if (v.first == '"') return true;
    return v.raw_done && v.text.n > 0;
}

bool present_result(const cred_scanner::capture& v) {
    return v.found && v.first == '"' && v.present;
}

}  // namespace

cred_values cred_scanner::values() const {
    cred_values r;
    // The token keys live in the "tokens" object when there is a closed one; otherwise a
    // flat file is read from its top level.
    const pass& tok = inner_closed_ ? inner_ : top_;
    const capture& access = tok.values[k_access];
    if (str_result(access)) r.access_token = access.text.out.data();
    r.access_present = present_result(access);
    r.refresh_present = present_result(tok.values[k_refresh]);
    if (!want_record_) return r;
    const capture& account = tok.values[k_account];
    if (str_result(account)) r.account_id = account.text.out.data();
    r.api_key_present =
        present_result(tok.values[k_api_key]) || present_result(top_.values[k_api_key]);
    if (str_result(top_.values[k_last])) r.last_refresh = top_.values[k_last].text.out.data();
    if (!inner_closed_) return r;
    r.tokens_object = true;
    for (const int k : {k_access, k_refresh}) {
        const capture& v = inner_.values[static_cast<std::size_t>(k)];
        (k == k_access ? r.access_string : r.refresh_string) = v.found && v.first == '"';
    }
    const capture& id = inner_.values[k_id_token];
    r.id_token_found = id.found;
    r.id_token_string = id.found && id.first == '"';
    if (r.id_token_string && !id.text.full) r.id_token = id.text.out.data();
    return r;
}

}  // namespace credvane

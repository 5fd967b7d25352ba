// cred_reference.cc: the plain whole-text credential scan the streaming one is held to.
// Change it only together with a change of the rules, never for speed.
#include "tests/store/cred_reference.h"

#include <cstring>

#include "store/json.h"

namespace credvane::reference {

namespace {

// The end of the object that opens at open, by brace matching outside strings; null when
// it does not close before end.
const char* object_end(const char* open, const char* end) {
    std::ptrdiff_t depth = 0;
    for (const char* p = open; p < end; ++p) {
        if (*p == '"') {
            for (++p; p < end && *p != '"'; ++p) {
                if (*p == '\\' && p + 1 < end) ++p;
            }
            if (p >= end) return nullptr;
        } else if (*p == '{') {
            ++depth;
        } else if (*p == '}') {
            if (--depth == 0) return p + 1;
        }
    }
    return nullptr;
}

// json_str_field's text, or null when it stored nothing.
template <std::size_t N>
const char* str_field(const char* start, const char* end, const char* key,
                      std::array<char, N>& out) {
    return json_str_field(start, end, key, out) == 1 ? out.data() : nullptr;
}

}  // namespace

int json_str_present(const char* start, const char* end, const char* key) {
    const char* v = json_find_key(start, end, key);
    if (v == nullptr || *v != '"') return 0;
    for (const char* p = v + 1; p < end; p += 2) {
        if (*p == '"') return 0;
        if (*p != '\\') return 1;
        if (p + 1 == end) return 1;
    }
    return 0;
}

void read_creds(const char* text, bool record, cred_read& r) {
    r.values = {};
    const char* const end = text + std::strlen(text);
    // The token keys live in a closed "tokens" object when there is one, else at the top.
    const char* tok_start = text;
    const char* tok_end = end;
    if (const char* v = json_find_key(text, end, "tokens"); v != nullptr && *v == '{') {
        if (const char* close = object_end(v, end)) {
            tok_start = v;
            tok_end = close;
            r.values.tokens_object = record;
        }
    }
    cred_values& out = r.values;
    out.access_token = str_field(tok_start, tok_end, "access_token", r.access);
    out.access_present = json_str_present(tok_start, tok_end, "access_token") == 1;
    out.refresh_present = json_str_present(tok_start, tok_end, "refresh_token") == 1;
    if (!record) return;
    out.account_id = str_field(tok_start, tok_end, "account_id", r.account);
    out.api_key_present = json_str_present(tok_start, tok_end, "OPENAI_API_KEY") == 1 ||
                          json_str_present(text, end, "OPENAI_API_KEY") == 1;
    out.last_refresh = str_field(text, end, "last_refresh", r.last_refresh);
    if (!out.tokens_object) return;
    for (const char* key : {"access_token", "refresh_token"}) {
        const char* v = json_find_key(tok_start, tok_end, key);
        (key[0] == 'a' ? out.access_string : out.refresh_string) = v != nullptr && *v == '"';
    }
    const char* id = json_find_key(tok_start, tok_end, "id_token");
    out.id_token_found = id != nullptr;
    out.id_token_string = id != nullptr && *id == '"';
    if (!out.id_token_string) return;
    json_text_out o{r.id_token};
    json_read_string_at(id, o);
    if (!o.full) out.id_token = r.id_token.data();
}

namespace {
bool same_text(const char* a, const char* b) {
    return (a == nullptr) == (b == nullptr) && (a == nullptr || std::strcmp(a, b) == 0);
}
}  // namespace

bool same_values(const cred_values& a, const cred_values& b) {
    return same_text(a.access_token, b.access_token) && a.access_present == b.access_present &&
           a.refresh_present == b.refresh_present && same_text(a.account_id, b.account_id) &&
           a.api_key_present == b.api_key_present && same_text(a.last_refresh, b.last_refresh) &&
           a.tokens_object == b.tokens_object && a.access_string == b.access_string &&
           a.refresh_string == b.refresh_string && a.id_token_found == b.id_token_found &&
           a.id_token_string == b.id_token_string && same_text(a.id_token, b.id_token);
}

}  // namespace credvane::reference

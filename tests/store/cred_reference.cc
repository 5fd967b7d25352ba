// cred_reference.cc: the plain whole-text credential scan the streaming one is held to.
// Change it only together with a change of the rules, never for speed.
#include "tests/store/cred_reference.h"

#include <cstring>
#include <optional>
#include <string_view>
#include <tuple>

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

// A text of the scan as compared: absent, or its characters.
std::optional<std::string_view> text_of(const char* p) {
    if (p == nullptr) return std::nullopt;
    return std::string_view(p);
}

// Every member of the values, texts by their characters: the binding names each member, so
// a member added to cred_values does not compile here until it is compared too.
auto all_members(const cred_values& v) {
    const auto& [access_token, access_present, refresh_present, account_id, api_key_present,
                 last_refresh, tokens_object, access_string, refresh_string, id_token_found,
                 id_token_string, id_token] = v;
    return std::tuple(text_of(access_token), access_present, refresh_present, text_of(account_id),
                      api_key_present, text_of(last_refresh), tokens_object, access_string,
                      refresh_string, id_token_found, id_token_string, text_of(id_token));
}

}  // namespace

bool same_values(const cred_values& a, const cred_values& b) {
    return all_members(a) == all_members(b);
}

}  // namespace credvane::reference

// query.cc: raw query-string lookups and the account-name rule.
#include "request/query.h"

#include <cstring>

#include "platform/platform.h"

namespace credvane {

namespace {

// True when the segment at seg begins with key; *after then points just past the key.
bool segment_has_key(const char* seg, const char* key, std::size_t key_len, const char** after) {
    if (std::strncmp(seg, key, key_len) != 0) return false;
    *after = seg + key_len;
    return true;
}

// The beginning of the next segment after seg, or null when there is none.
const char* next_segment(const char* seg) {
    const char* amp = std::strchr(seg, '&');
    if (amp == nullptr || amp[1] == '\0') return nullptr;
    return amp + 1;
}

}  // namespace

int get_query_val(const char* query, const char* key, std::span<char> out) {
    out[0] = '\0';
    if (query == nullptr || *query == '\0') return 0;
    const std::size_t key_len = std::strlen(key);
    for (const char* seg = query; seg != nullptr; seg = next_segment(seg)) {
        const char* after = nullptr;
        if (segment_has_key(seg, key, key_len, &after) && *after == '=') {
            const char* v = after + 1;
            std::size_t n = 0;
            while (v[n] != '\0' && v[n] != '&' && n + 1 < out.size()) {
                out[n] = v[n];
                ++n;
            }
            out[n] = '\0';
            return 1;
        }
    }
    return 0;
}

int query_has(const char* query, const char* key) {
    if (query == nullptr || *query == '\0') return 0;
    const std::size_t key_len = std::strlen(key);
    for (const char* seg = query; seg != nullptr; seg = next_segment(seg)) {
        const char* after = nullptr;
        if (segment_has_key(seg, key, key_len, &after) &&
            (*after == '\0' || *after == '&' || *after == '=')) {
            return 1;
        }
    }
    return 0;
}

}  // namespace credvane

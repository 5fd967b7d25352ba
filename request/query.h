// query.h: the raw CGI query string.
// The query is never percent-decoded: keys and values are compared and returned as the
// bytes the client sent.
#pragma once

#include <span>

namespace credvane {

// Copies the value of the first segment "key=value" into out (cut at out.size() - 1).
// Returns 1 when such a segment exists, also with an empty or cut value; out is always
// terminated, and empty when nothing was found. query may be null.
int get_query_val(const char* query, const char* key, std::span<char> out);

// 1 when some segment is the bare key or begins with "key=", else 0. query may be null.
int query_has(const char* query, const char* key);

}  // namespace credvane

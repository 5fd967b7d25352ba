// auth.h: the node-password check, kept apart from the environment so every rule of it can
// be driven directly (the fuzz target compares it with a plain model of the rules).
#pragma once

#include <cstddef>

namespace credvane {

// The longest query "pwd" value that counts, in bytes; a longer one never matches.
inline constexpr std::size_t password_max = 255;

// What a request offers against the node password; any of them may be null.
struct password_sources {
    const char* secret;         // BOT_PASSWORD: no check at all when null or empty
    const char* header;         // HTTP_X_BOT_PASSWORD
    const char* authorization;  // HTTP_AUTHORIZATION, as "Bearer <password>"
    const char* query;          // QUERY_STRING, whose raw "pwd" value counts
};

// True when no password is set or one source carries it byte for byte.
bool password_ok(const password_sources& s);

}  // namespace credvane

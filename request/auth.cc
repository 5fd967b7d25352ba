// auth.cc: the node-password check over the header, the Bearer authorization and "pwd".
#include "request/auth.h"

#include <cstring>
#include <string_view>

#include "base/sha256.h"
#include "base/text.h"
#include "platform/platform.h"
#include "request/query.h"

namespace credvane {

namespace {

// Compares the digests of the two texts, and looks at every byte of them whatever it
// finds: the time taken tells neither how much of a guess was right nor, as an early
// return on a length mismatch would, how long the password is.
bool secret_equals(std::string_view given, const sha256_digest& secret) {
    const sha256_digest offered = sha256(given);
    unsigned diff = 0;
    for (std::size_t i = 0; i < offered.size(); ++i) diff |= offered[i] ^ secret[i];
    return diff == 0;
}

bool bearer_matches(const char* auth, const sha256_digest& secret) {
    while (*auth == ' ') ++auth;
    if (std::strlen(auth) < 7 || platform::strnicmp(auth, "Bearer ", 7) != 0) return false;
    auth += 7;
    while (*auth == ' ') ++auth;
    return secret_equals(auth, secret);
}

}  // namespace

bool password_ok(const password_sources& s) {
    if (s.secret == nullptr || s.secret[0] == '\0') return true;
    const sha256_digest secret = sha256(s.secret);
    if (s.header != nullptr && secret_equals(s.header, secret)) return true;
    if (s.authorization != nullptr && bearer_matches(s.authorization, secret)) return true;
    // One byte more than the password_max that count: a value that fills it was cut and must
    // never match, or any longer value beginning with a password_max-byte password would pass.
    text<password_max + 2> pwd;
    if (get_query_val(s.query, "pwd", pwd.span()) && pwd.view().size() <= password_max) {
        return secret_equals(pwd.view(), secret);
    }
    return false;
}

}  // namespace credvane

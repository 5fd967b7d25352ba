// auth.cc: the node-password check over the header, the Bearer authorization and "pwd".
#include "request/auth.h"

#include <cstring>
#include <string_view>

#include "platform/platform.h"
#include "request/query.h"
#include "base/text.h"

namespace credvane {

namespace {

// Byte-exact comparison that, for equal lengths, looks at every byte whatever it finds,
// so the time taken does not tell how much of a guess was right.
bool secret_equals(std::string_view given, std::string_view secret) {
    if (given.size() != secret.size()) return false;
    unsigned diff = 0;
    for (std::size_t i = 0; i < secret.size(); ++i) {
        diff |= static_cast<unsigned char>(given[i]) ^ static_cast<unsigned char>(secret[i]);
    }
    return diff == 0;
}

bool bearer_matches(const char* auth, std::string_view secret) {
    while (*auth == ' ') ++auth;
    if (std::strlen(auth) < 7 || platform::strnicmp(auth, "Bearer ", 7) != 0) return false;
    auth += 7;
    while (*auth == ' ') ++auth;
    return secret_equals(auth, secret);
}

}  // namespace

bool password_ok(const password_sources& s) {
    if (s.secret == nullptr || s.secret[0] == '\0') return true;
    const std::string_view secret = s.secret;
    if (s.header != nullptr && secret_equals(s.header, secret)) return true;
    if (s.authorization != nullptr && bearer_matches(s.authorization, secret)) return true;
    // One byte more than the 255 that count: a value that fills it was cut and must
    // never match, or any longer value beginning with a 255-byte password would pass.
    text<257> pwd;
    if (get_query_val(s.query, "pwd", pwd.span()) && pwd.view().size() <= 255) {
        return secret_equals(pwd.view(), secret);
    }
    return false;
}

}  // namespace credvane

// child_env.cc: the rule of the variables a CLI keeps.
#include "platform/child_env.h"

#include <algorithm>

namespace credvane::platform {

namespace {

// Variables a CGI host sets for the request. The standard set first, then what the common
// hosts add: lighttpd (REQUEST_URI, REDIRECT_URI, REDIRECT_STATUS, SCRIPT_FILENAME,
// DOCUMENT_ROOT, REMOTE_PORT, SERVER_ADDR, REQUEST_SCHEME, HTTPS), Apache (SERVER_ADMIN,
// SERVER_SIGNATURE, CONTEXT_*, SCRIPT_URI, SCRIPT_URL, UNIQUE_ID, AUTHENTICATE_*, H2*,
// REDIRECT_*, SSL_*), nginx with a FastCGI wrapper (DOCUMENT_URI, FCGI_ROLE).
constexpr std::string_view request_names[] = {
    "AUTH_TYPE",        "CONTENT_LENGTH",
    "CONTENT_TYPE",     "GATEWAY_INTERFACE",
    "PATH_INFO",        "PATH_TRANSLATED",
    "QUERY_STRING",     "REMOTE_ADDR",
    "REMOTE_HOST",      "REMOTE_IDENT",
    "REMOTE_USER",      "REQUEST_METHOD",
    "SCRIPT_NAME",      "SERVER_NAME",
    "SERVER_PORT",      "SERVER_PROTOCOL",
    "SERVER_SOFTWARE",  "BOT_PASSWORD",
    "REQUEST_URI",      "SCRIPT_FILENAME",
    "SCRIPT_URI",       "SCRIPT_URL",
    "DOCUMENT_ROOT",    "DOCUMENT_URI",
    "REMOTE_PORT",      "SERVER_ADDR",
    "REQUEST_SCHEME",   "HTTPS",
    "UNIQUE_ID",        "SERVER_ADMIN",
    "SERVER_SIGNATURE", "FCGI_ROLE",
    "ORIG_PATH_INFO",   "H2",
    "H2PUSH",
};

// Families of request variables: headers, a redirect's copies of the request, the
// document context, TLS details, the authenticated user's attributes, HTTP/2 details.
constexpr std::string_view request_prefixes[] = {
    "HTTP_", "REDIRECT_", "CONTEXT_", "SSL_", "AUTHENTICATE_", "H2_",
};

char fold(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool same(std::string_view a, std::string_view b, name_case names) {
    if (a.size() != b.size()) return false;
    if (names == name_case::exact) return a == b;
    return std::equal(a.begin(), a.end(), b.begin(),
                      [](char x, char y) { return fold(x) == fold(y); });
}

bool carries_password(std::string_view value, std::string_view password) {
    if (password.empty()) return false;
    if (value == password) return true;
    for (std::size_t at = value.find("pwd="); at != std::string_view::npos;
         at = value.find("pwd=", at + 1)) {
        if (value.substr(at + 4).starts_with(password)) return true;
    }
    return false;
}

}  // namespace

bool child_keeps(std::string_view name, std::string_view value, std::string_view password,
                 name_case names) {
    for (const std::string_view n : request_names) {
        if (same(name, n, names)) return false;
    }
    for (const std::string_view prefix : request_prefixes) {
        if (name.size() >= prefix.size() && same(name.substr(0, prefix.size()), prefix, names))
            return false;
    }
    return !carries_password(value, password);
}

}  // namespace credvane::platform

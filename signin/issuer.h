// issuer.h: the authorization server's endpoints and the checks every one of its answers
// passes before anything of it is used. An answer is hostile until checked: its status,
// its content type, its size (bounded by the HTTP client), its JSON shape and the shape
// of each token.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "signin/authfile.h"
#include "signin/http.h"

namespace credvane::signin {

using json = authfile::json;

inline constexpr std::string_view default_issuer = "https://auth.openai.com";
inline constexpr std::string_view client_id = "app_EMoamEEZ73f0CkXaXp7hrann";
// The device code's lifetime: the service does not say it in its answer.
inline constexpr std::int64_t code_lifetime_sec = 900;
inline constexpr int default_interval = 5;
inline constexpr int max_interval = 60;
// The longest user code taken: credvane hands the code on to the panel in a 64-byte field
// with its terminator, and a code cut there is one the person types in vain.
inline constexpr std::size_t max_user_code = 63;

// The issuer base URL from CREDVANE_ISSUER (empty counts as unset), else the default, with
// trailing slashes removed.
std::string configured_issuer();

// True for a usable issuer base URL: https:// with a host, or http:// to this machine's
// loopback only (a token must never cross a network in clear); no user part, query,
// fragment, spaces or control bytes; at most 512 bytes.
bool issuer_ok(std::string_view url);

// The host of a URL that passes issuer_ok, as the URL writes it (an IPv6 address in
// brackets), for the proxy rules.
std::string issuer_host(std::string_view url);

// The base without trailing slashes.
std::string trim_issuer(std::string_view url);

// The JSON object of an answer, or nothing when the content type is not JSON or the body
// is not a JSON object.
std::optional<json> json_body(const http::answer& a);

// application/x-www-form-urlencoded escaping of one value.
std::string form_escape(std::string_view v);

// A JWT as the Codex CLI accepts it: three non-empty base64url parts (no padding), at most
// 16 KiB, whose middle part decodes to a JSON object.
bool jwt_ok(std::string_view token);
// The claims object of a JWT that passes jwt_ok, or nothing.
std::optional<json> jwt_claims(std::string_view token);
// The "exp" claim (seconds), or 0 when absent or not a positive integer.
std::int64_t jwt_exp(std::string_view token);
// The id token's "https://api.openai.com/auth" → "chatgpt_account_id", or empty.
std::string account_id_of(std::string_view id_token);

// An opaque value from the issuer (refresh token, device auth id, authorization code,
// code verifier): 1 to max bytes of printable ASCII without spaces.
bool opaque_ok(std::string_view v, std::size_t max);

// The user-code answer: device_auth_id, user_code (or "usercode"), interval (a number or
// a string of digits; out of range gives the default).
struct device_code {
    std::string device_auth_id;
    std::string user_code;
    int interval = default_interval;
};
std::optional<device_code> read_device_code(const json& body, std::string* why);

// The approved token poll: authorization_code and code_verifier.
struct grant {
    std::string authorization_code;
    std::string code_verifier;
};
std::optional<grant> read_grant(const json& body, std::string* why);

// The token answer of a code exchange (all three tokens required) or of a refresh (the
// access token required; an id or refresh token, when present, must be well formed too).
std::optional<authfile::login_tokens> read_tokens(const json& body, bool refresh, std::string* why);

// True when an error answer says the refresh token was already used.
bool refresh_token_reused(const json& body);

// The error code of an error answer, {"error":"x"} or {"error":{"code":"x"}}, or empty.
std::string error_code(const json& body);

}  // namespace credvane::signin

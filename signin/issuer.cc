// issuer.cc: the checks an issuer's answers pass before anything of them is used.
#include "signin/issuer.h"

#include <vector>

#include "platform/platform.h"
#include "store/creds.h"

namespace credvane::signin {

namespace {

constexpr std::size_t max_jwt = 16 * 1024;

bool is_b64url(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
}

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool starts_nocase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (lower(s[i]) != prefix[i]) return false;
    }
    return true;
}

bool host_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.';
}

bool dotted_quad(std::string_view host);

// A host that URL parsers read as an IPv4 address in one of its old forms ("3", "1.2.3",
// "0x7f.1", "0177.0.0.1") names another machine than its text: only the plain dotted quad
// is taken. No DNS top-level label is all digits or hexadecimal after "0x".
bool numeric_host_ok(std::string_view host) {
    const std::size_t last_dot = host.rfind('.');
    const std::string_view last =
        last_dot == std::string_view::npos ? host : host.substr(last_dot + 1);
    const bool numeric =
        !last.empty() &&
        (last.find_first_not_of("0123456789") == std::string_view::npos ||
         (last.size() > 1 && last[0] == '0' && lower(last[1]) == 'x' &&
          last.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string_view::npos));
    return !numeric || dotted_quad(host);
}

// Four decimal numbers of 0 to 255 without leading zeros, separated by dots.
bool dotted_quad(std::string_view host) {
    int parts = 0;
    while (true) {
        const std::size_t dot = host.find('.');
        const std::string_view p = host.substr(0, dot);
        if (p.empty() || p.size() > 3 ||
            p.find_first_not_of("0123456789") != std::string_view::npos ||
            (p.size() > 1 && p[0] == '0')) {
            return false;
        }
        int v = 0;
        for (const char c : p) v = v * 10 + (c - '0');
        if (v > 255 || ++parts > 4) return false;
        if (dot == std::string_view::npos) break;
        host.remove_prefix(dot + 1);
    }
    return parts == 4;
}

// The groups of one side of an IPv6 address ("" is none); a dotted quad may end the last
// side and counts as two. -1 when the side is not well formed.
int ipv6_groups(std::string_view side, bool last_side) {
    if (side.empty()) return 0;
    int groups = 0;
    while (true) {
        const std::size_t colon = side.find(':');
        const std::string_view g = side.substr(0, colon);
        if (colon == std::string_view::npos && last_side && g.find('.') != std::string_view::npos) {
            return dotted_quad(g) ? groups + 2 : -1;
        }
        if (g.empty() || g.size() > 4 ||
            g.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos) {
            return -1;
        }
        ++groups;
        if (colon == std::string_view::npos) return groups;
        side.remove_prefix(colon + 1);
    }
}

bool ipv6_ok(std::string_view a) {
    const std::size_t gap = a.find("::");
    if (gap == std::string_view::npos) return ipv6_groups(a, true) == 8;
    if (a.find("::", gap + 1) != std::string_view::npos) return false;
    const int before = ipv6_groups(a.substr(0, gap), false);
    const int after = ipv6_groups(a.substr(gap + 2), true);
    return before >= 0 && after >= 0 && before + after <= 7;
}

// host[:port] of an https URL: a DNS name or an IPv4 address, or a bracketed IPv6 address.
bool authority_ok(std::string_view a) {
    std::string_view host = a;
    std::string_view port;
    if (!a.empty() && a.front() == '[') {
        const std::size_t close = a.find(']');
        if (close == std::string_view::npos || close < 2) return false;
        if (!ipv6_ok(a.substr(1, close - 1))) return false;
        host = a.substr(0, close + 1);
        const std::string_view rest = a.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') return false;
            port = rest.substr(1);
            if (port.empty()) return false;
        }
    } else {
        const std::size_t colon = a.find(':');
        if (colon != std::string_view::npos) {
            host = a.substr(0, colon);
            port = a.substr(colon + 1);
            if (port.empty()) return false;
        }
        if (host.empty()) return false;
        for (const char c : host) {
            if (!host_char(c)) return false;
        }
        if (!numeric_host_ok(host)) return false;
    }
    if (port.size() > 5) return false;
    long number = 0;
    for (const char c : port) {
        if (c < '0' || c > '9') return false;
        number = number * 10 + (c - '0');
    }
    return number <= 65535;
}

std::string_view host_of(std::string_view authority) {
    if (!authority.empty() && authority.front() == '[') {
        return authority.substr(0, authority.find(']') + 1);
    }
    return authority.substr(0, authority.find(':'));
}

bool loopback(std::string_view host) {
    std::string h;
    for (const char c : host) h.push_back(lower(c));
    return h == "127.0.0.1" || h == "localhost" || h == "[::1]";
}

std::optional<std::string> string_member(const json& body, const char* key) {
    const auto it = body.find(key);
    if (it == body.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

void say(std::string* why, const char* text) {
    if (why != nullptr) *why = text;
}

}  // namespace

std::string trim_issuer(std::string_view url) {
    while (!url.empty() && url.back() == '/') url.remove_suffix(1);
    return std::string(url);
}

std::string configured_issuer() {
    const char* v = platform::env("CREDVANE_ISSUER");
    return trim_issuer((v != nullptr && v[0] != '\0') ? std::string_view(v) : default_issuer);
}

bool issuer_ok(std::string_view url) {
    if (url.empty() || url.size() > 512) return false;
    for (const char c : url) {
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f)
            return false;
        if (c == '?' || c == '#' || c == '@' || c == '\\') return false;
    }
    bool secure;
    std::string_view rest;
    if (starts_nocase(url, "https://")) {
        secure = true;
        rest = url.substr(8);
    } else if (starts_nocase(url, "http://")) {
        secure = false;
        rest = url.substr(7);
    } else {
        return false;
    }
    const std::string_view authority = rest.substr(0, rest.find('/'));
    if (!authority_ok(authority)) return false;
    return secure || loopback(host_of(authority));
}

std::string issuer_host(std::string_view url) {
    const std::string_view rest = url.substr(url.find("://") + 3);
    return std::string(host_of(rest.substr(0, rest.find('/'))));
}

std::optional<json> json_body(const http::answer& a) {
    if (a.how != http::outcome::answered) return std::nullopt;
    std::string_view type = a.content_type;
    while (!type.empty() && type.front() == ' ') type.remove_prefix(1);
    if (!starts_nocase(type, "application/json")) return std::nullopt;
    const std::string_view after = type.substr(16);
    if (!after.empty() && after.front() != ';' && after.front() != ' ') return std::nullopt;
    auto doc = authfile::parse(a.body);
    if (!doc || !doc->is_object()) return std::nullopt;
    return doc;
}

std::string form_escape(std::string_view v) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : v) {
        const auto u = static_cast<unsigned char>(c);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(hex[u >> 4]);
            out.push_back(hex[u & 15]);
        }
    }
    return out;
}

std::optional<json> jwt_claims(std::string_view token) {
    if (token.empty() || token.size() > max_jwt) return std::nullopt;
    std::string_view parts[3];
    std::size_t n = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= token.size(); ++i) {
        if (i == token.size() || token[i] == '.') {
            if (n == 3) return std::nullopt;
            parts[n++] = token.substr(start, i - start);
            start = i + 1;
        } else if (!is_b64url(token[i])) {
            return std::nullopt;
        }
    }
    if (n != 3) return std::nullopt;
    for (const auto& p : parts) {
        if (p.empty()) return std::nullopt;
    }
    std::vector<char> decoded(parts[1].size() / 4 * 3 + 3);
    const auto len = base64_decode(parts[1], decoded);
    if (!len || *len == 0) return std::nullopt;
    auto claims = authfile::parse(std::string_view(decoded.data(), *len));
    if (!claims || !claims->is_object()) return std::nullopt;
    return claims;
}

bool jwt_ok(std::string_view token) {
    return jwt_claims(token).has_value();
}

std::int64_t jwt_exp(std::string_view token) {
    const auto claims = jwt_claims(token);
    if (!claims) return 0;
    const auto it = claims->find("exp");
    if (it == claims->end()) return 0;
    if (it->is_number_unsigned()) {
        const auto v = it->get<std::uint64_t>();
        return v > static_cast<std::uint64_t>(INT64_MAX) ? 0 : static_cast<std::int64_t>(v);
    }
    if (it->is_number_integer()) {
        const auto v = it->get<std::int64_t>();
        return v > 0 ? v : 0;
    }
    return 0;
}

std::string account_id_of(std::string_view id_token) {
    const auto claims = jwt_claims(id_token);
    if (!claims) return {};
    const auto auth = claims->find("https://api.openai.com/auth");
    if (auth == claims->end() || !auth->is_object()) return {};
    const auto id = string_member(*auth, "chatgpt_account_id");
    if (!id || !opaque_ok(*id, 256)) return {};
    return *id;
}

bool opaque_ok(std::string_view v, std::size_t max) {
    if (v.empty() || v.size() > max) return false;
    for (const char c : v) {
        if (c <= 0x20 || c >= 0x7f) return false;
    }
    return true;
}

std::optional<device_code> read_device_code(const json& body, std::string* why) {
    device_code d;
    const auto id = string_member(body, "device_auth_id");
    if (!id || !opaque_ok(*id, 1024)) {
        say(why, "no usable device_auth_id");
        return std::nullopt;
    }
    d.device_auth_id = *id;
    auto code = string_member(body, "user_code");
    if (!code) code = string_member(body, "usercode");  // older servers
    if (!code || !opaque_ok(*code, 1024)) {
        say(why, "no usable user code");
        return std::nullopt;
    }
    if (code->size() > max_user_code) {
        say(why, "the user code is longer than the 63 bytes credvane can show whole");
        return std::nullopt;
    }
    d.user_code = *code;
    // The service sends the interval as a string of digits; a number is taken too.
    const auto it = body.find("interval");
    std::int64_t interval = 0;
    if (it != body.end() && it->is_number_integer()) {
        interval = it->get<std::int64_t>();
    } else if (it != body.end() && it->is_string()) {
        const auto& s = it->get_ref<const std::string&>();
        if (!s.empty() && s.size() <= 6 && s.find_first_not_of("0123456789") == std::string::npos) {
            interval = std::stoll(s);
        }
    }
    if (interval > max_interval) interval = max_interval;
    d.interval = interval >= 1 ? static_cast<int>(interval) : default_interval;
    return d;
}

std::optional<grant> read_grant(const json& body, std::string* why) {
    const auto code = string_member(body, "authorization_code");
    const auto verifier = string_member(body, "code_verifier");
    if (!code || !opaque_ok(*code, 4096) || !verifier || !opaque_ok(*verifier, 4096)) {
        say(why, "no usable authorization code");
        return std::nullopt;
    }
    return grant{*code, *verifier};
}

std::optional<authfile::login_tokens> read_tokens(const json& body, bool refresh,
                                                  std::string* why) {
    authfile::login_tokens t;
    const auto id = string_member(body, "id_token");
    const auto access = string_member(body, "access_token");
    const auto rt = string_member(body, "refresh_token");
    if (!access || !jwt_ok(*access)) {
        say(why, "no well-formed access token");
        return std::nullopt;
    }
    t.access_token = *access;
    if (id || !refresh) {
        if (!id || !jwt_ok(*id)) {
            say(why, "no well-formed id token");
            return std::nullopt;
        }
        t.id_token = *id;
    }
    if (rt || !refresh) {
        if (!rt || !opaque_ok(*rt, 8192)) {
            say(why, "no well-formed refresh token");
            return std::nullopt;
        }
        t.refresh_token = *rt;
    }
    return t;
}

std::string error_code(const json& body) {
    const auto err = body.find("error");
    if (err == body.end()) return {};
    if (err->is_string()) return err->get<std::string>();
    if (err->is_object()) return string_member(*err, "code").value_or(std::string());
    return {};
}

bool refresh_token_reused(const json& body) {
    return error_code(body) == "refresh_token_reused";
}

}  // namespace credvane::signin

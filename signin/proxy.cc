// proxy.cc: the proxy a request takes (see proxy.h).
#include "signin/proxy.h"

#include <algorithm>

namespace credvane::http {

namespace {

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equals_nocase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return lower(x) == lower(y); });
}

std::string_view unbracketed(std::string_view host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        return host.substr(1, host.size() - 2);
    return host;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// An address rather than a name: libcurl matches it whole, never as a name under another.
bool ip_literal(std::string_view host) {
    if (host.find(':') != std::string_view::npos) return true;
    return !host.empty() && std::all_of(host.begin(), host.end(),
                                        [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

}  // namespace

bool proxy_bypassed(std::string_view host, std::string_view list) {
    host = unbracketed(host);
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        std::string_view entry = trimmed(list.substr(0, comma));
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
        if (entry == "*") return true;
        if (!entry.empty() && entry.front() == '.') entry.remove_prefix(1);
        entry = unbracketed(entry);
        if (entry.empty()) continue;
        if (equals_nocase(host, entry)) return true;
        if (!ip_literal(host) && host.size() > entry.size() &&
            host[host.size() - entry.size() - 1] == '.' &&
            equals_nocase(host.substr(host.size() - entry.size()), entry)) {
            return true;
        }
    }
    return false;
}

proxy_choice choose_proxy(std::string_view host, bool secure, const char* https_proxy,
                          const char* no_proxy) {
    proxy_choice c;
    if (!secure) {
        c.how = proxy_choice::route::direct;
        return c;
    }
    if (https_proxy == nullptr || https_proxy[0] == '\0') return c;
    if (no_proxy != nullptr && proxy_bypassed(host, no_proxy)) {
        c.how = proxy_choice::route::direct;
        return c;
    }
    c.how = proxy_choice::route::refused;
    std::string_view v = trimmed(https_proxy);
    if (v.size() >= 7 && equals_nocase(v.substr(0, 7), "http://")) {
        v.remove_prefix(7);
    } else if (v.find("://") != std::string_view::npos) {
        // WinHTTP speaks to a proxy in clear HTTP only (CONNECT, then TLS to the issuer).
        c.error =
            "the proxy in https_proxy is not an http:// proxy, the only kind this client can use";
        return c;
    }
    while (!v.empty() && v.back() == '/') v.remove_suffix(1);
    if (v.find('@') != std::string_view::npos) {
        // WinHTTP would want them through its own authentication calls after a 407.
        c.error = "a proxy with a user name in https_proxy is not supported here";
        return c;
    }
    const bool printable = std::all_of(v.begin(), v.end(), [](char ch) {
        return static_cast<unsigned char>(ch) > 0x20 && static_cast<unsigned char>(ch) < 0x7f;
    });
    if (v.empty() || !printable || v.find_first_of("/?#;,\\") != std::string_view::npos) {
        c.error = "the proxy address in https_proxy is not usable";
        return c;
    }
    c.server.assign(v);
    const std::size_t close = c.server.rfind(']');
    const std::size_t colon = c.server.rfind(':');
    if (colon == std::string::npos || (close != std::string::npos && colon < close))
        c.server += ":1080";
    c.how = proxy_choice::route::named;
    return c;
}

}  // namespace credvane::http

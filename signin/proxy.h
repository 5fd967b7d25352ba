// proxy.h: the proxy a request takes, from https_proxy and no_proxy read as libcurl reads
// them. libcurl applies them itself on POSIX; the Windows client, whose WinHTTP reads no
// variable, decides here. Plain text in, plain text out, so both builds test it.
#pragma once

#include <string>
#include <string_view>

namespace credvane::http {

struct proxy_choice {
    enum class route {
        system,   // no proxy variable applies: the system's own settings decide
        direct,   // no_proxy names the host, or the request stays on the loopback
        named,    // through server
        refused,  // https_proxy is set but not usable here: the request is not made
    };
    route how = route::system;
    std::string server;  // host:port, for named
    std::string error;   // for a person, for refused
};

// For a request to host (as in the URL; an IPv6 address in brackets) over https when
// secure, else in clear to the loopback, which never goes through a proxy. https_proxy and
// no_proxy are the variables' values, null or empty when unset. A proxy is
// "[http://]host[:port][/]", port 1080 when none is given; another scheme and a user part
// are refused, as WinHTTP takes neither from a proxy address.
proxy_choice choose_proxy(std::string_view host, bool secure, const char* https_proxy,
                          const char* no_proxy);

// True when the no_proxy list names host: comma-separated names, each matching the host
// itself or any name under it (a leading dot changes nothing), "*" matching every host;
// an IP address matches only itself (no CIDR ranges); case and surrounding blanks do not
// count.
bool proxy_bypassed(std::string_view host, std::string_view list);

}  // namespace credvane::http

// http_winhttp.cc: the issuer requests through WinHTTP, which every Windows has, with its
// certificate checks (schannel and the system's trusted roots).
//
// WinHTTP does not read proxy variables. Like libcurl on POSIX, an https request goes
// through the proxy that https_proxy names (Windows does not tell https_proxy from
// HTTPS_PROXY), unless no_proxy (or NO_PROXY) names its host; with no such variable the
// system's own proxy settings apply. A request in clear goes only to this machine's
// loopback, never through a proxy.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "signin/http.h"
#include "signin/proxy.h"

namespace credvane::http {

namespace {

struct internet_closer {
    void operator()(HINTERNET h) const { WinHttpCloseHandle(h); }
};
using internet = std::unique_ptr<void, internet_closer>;

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equals_nocase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return lower(x) == lower(y); });
}

// Printable ASCII only: every URL and proxy here is, and a byte beyond it is refused
// rather than guessed at.
std::optional<std::wstring> ascii_wide(std::string_view s) {
    std::wstring out;
    out.reserve(s.size());
    for (const char c : s) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e)
            return std::nullopt;
        out.push_back(static_cast<wchar_t>(c));
    }
    return out;
}

std::string ascii_narrow(std::wstring_view s) {
    std::string out;
    out.reserve(s.size());
    for (const wchar_t c : s) out.push_back((c >= 0x20 && c <= 0x7e) ? static_cast<char>(c) : '?');
    return out;
}

bool loopback(std::string_view host) {
    return host == "127.0.0.1" || equals_nocase(host, "localhost") || host == "[::1]" ||
           host == "::1";
}

const char* env_value(const char* name) {
    const char* v = platform::env(name);
    return (v != nullptr && v[0] != '\0') ? v : nullptr;
}

// A sentence for a WinHTTP error code: never anything of the request.
std::string describe_error(DWORD code) {
    switch (code) {
        case ERROR_WINHTTP_TIMEOUT:
        case WSAETIMEDOUT:  // what wine's WinHTTP gives for a read that timed out
            return "the issuer did not answer in time";
        case ERROR_WINHTTP_NAME_NOT_RESOLVED:
            return "the issuer's name could not be resolved";
        case ERROR_WINHTTP_CANNOT_CONNECT:
            return "could not connect to the issuer";
        case ERROR_WINHTTP_CONNECTION_ERROR:
            return "the connection to the issuer was reset or closed";
        case ERROR_WINHTTP_SECURE_CERT_REVOKED:
            return "the issuer's TLS certificate has been revoked";
        case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
            return "whether the issuer's TLS certificate was revoked could not be checked (the "
                   "certificate authority's revocation list or responder could not be reached)";
        case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
            return "the issuer's TLS certificate or connection was not trusted (TLS 1.2 or later "
                   "is required)";
        case ERROR_WINHTTP_SECURE_FAILURE:
        case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
        case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
        case ERROR_WINHTTP_SECURE_INVALID_CA:
        case ERROR_WINHTTP_SECURE_INVALID_CERT:
        case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
            return "the issuer's TLS certificate or connection was not trusted";
        case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED:
            return "the issuer asked for a client certificate, which the sign-in programs do not "
                   "send";
        case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED_PROXY:
            return "the proxy asked for a client certificate, which the sign-in programs do not "
                   "send";
        case ERROR_WINHTTP_AUTODETECTION_FAILED:
            return "the system's automatic proxy could not be found (WPAD); set https_proxy, or "
                   "turn automatic proxy detection off";
        case ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT:
            return "the system's proxy script (PAC) could not be downloaded; set https_proxy";
        case ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT:
            return "the system's proxy script (PAC) failed to run; set https_proxy";
        case ERROR_WINHTTP_AUTO_PROXY_SERVICE_ERROR:
            return "the system's proxy service could not be asked; set https_proxy";
        case ERROR_WINHTTP_LOGIN_FAILURE:
            return "the proxy or the issuer refused the sign-in it asked for";
        case ERROR_WINHTTP_HEADER_SIZE_OVERFLOW:
        case ERROR_WINHTTP_RESPONSE_DRAIN_OVERFLOW:
            return "the issuer's answer was larger than allowed";
        case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
            return "the issuer's answer was not valid HTTP";
        case ERROR_WINHTTP_INVALID_URL:
        case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
            return "the issuer's address is not a valid URL";
        case ERROR_NOT_ENOUGH_MEMORY:
            return "out of memory";
        default:
            break;
    }
    return "the HTTP request failed (WinHTTP error " + std::to_string(code) + ")";
}

}  // namespace

struct client::impl {
    internet session;
    bool opened = false;
    bool tls_floor = false;
};

client::client() : p_(std::make_unique<impl>()) {}

client::~client() = default;

answer client::post(const request& r) {
    answer a;
    const std::int64_t deadline = platform::monotonic_ms() + std::max(1, r.timeout_ms);
    auto fail_with = [&a](std::string text) {
        a.how = outcome::failed;
        a.body.clear();
        a.error = std::move(text);
        return a;
    };
    auto fail_last = [&fail_with]() { return fail_with(describe_error(GetLastError())); };
    // What is left of the time, for each step in turn; WinHTTP bounds steps, not the whole.
    auto set_timeouts = [deadline](HINTERNET h) {
        const std::int64_t left = deadline - platform::monotonic_ms();
        if (left <= 0) {
            SetLastError(ERROR_WINHTTP_TIMEOUT);
            return false;
        }
        const int ms = static_cast<int>(std::min<std::int64_t>(left, 0x7fffffff));
        // The wait for the whole header block has its own bound (90 s unless set).
        DWORD headers_ms = static_cast<DWORD>(ms);
        return WinHttpSetTimeouts(h, ms, ms, ms, ms) != FALSE &&
               WinHttpSetOption(h, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headers_ms,
                                sizeof headers_ms) != FALSE;
    };

    const auto wurl = ascii_wide(r.url);
    if (!wurl) return fail_with("the issuer's address is not a valid URL");
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(wurl->c_str(), static_cast<DWORD>(wurl->size()), ICU_REJECT_USERPWD,
                         &parts)) {
        return fail_last();
    }
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    const std::string host_text = ascii_narrow(host);
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    if (host.empty() ||
        (!secure && (parts.nScheme != INTERNET_SCHEME_HTTP || !loopback(host_text)))) {
        // The same rule the caller applies: a token never crosses a network in clear.
        return fail_with("only https, or http to this machine's loopback, is allowed");
    }
    std::wstring object(parts.lpszUrlPath, parts.dwUrlPathLength);
    object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (object.empty()) object = L"/";

    const char* https_proxy = env_value("https_proxy");
    const char* no_proxy = env_value("no_proxy");
    if (no_proxy == nullptr) no_proxy = env_value("NO_PROXY");
    const proxy_choice route = choose_proxy(host_text, secure, https_proxy, no_proxy);
    if (route.how == proxy_choice::route::refused) return fail_with(route.error);
    std::wstring proxy_server;
    if (route.how == proxy_choice::route::named) {
        const auto wide = ascii_wide(route.server);
        if (!wide) return fail_with("the proxy address in https_proxy is not usable");
        proxy_server = *wide;
    }

    if (!p_->opened) {
        p_->opened = true;
        // The system's proxy settings, as a browser has them (Windows 8.1 and later); an
        // older Windows refuses that access type, and gets the WinHTTP settings instead.
        p_->session.reset(WinHttpOpen(L"credvane-signin/1", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                      WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        if (!p_->session) {
            p_->session.reset(WinHttpOpen(L"credvane-signin/1", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                          WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        }
    }
    if (!p_->session) return fail_with("WinHTTP could not be started");
    HINTERNET session = p_->session.get();
    if (!p_->tls_floor) {
        // TLS 1.2 at the least, whatever the system's defaults still allow. A Windows that
        // knows no TLS 1.3 refuses its flag; it then gets TLS 1.2 alone.
        DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
        if (!WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                              sizeof protocols)) {
            protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
            if (!WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                                  sizeof protocols)) {
                return fail_with("WinHTTP could not be held to TLS 1.2 or later");
            }
        }
        p_->tls_floor = true;
    }

    const internet connection(WinHttpConnect(session, host.c_str(), parts.nPort, 0));
    if (!connection) return fail_last();
    const wchar_t* accept[] = {L"application/json", nullptr};
    const internet req(WinHttpOpenRequest(connection.get(), L"POST", object.c_str(), nullptr,
                                          WINHTTP_NO_REFERER, accept,
                                          secure ? WINHTTP_FLAG_SECURE : 0));
    if (!req) return fail_last();
    HINTERNET h = req.get();

    // No redirect is followed (a token must go where it was sent, not where an answer points)
    // and no cookie is kept between the requests of a run.
    DWORD features = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_COOKIES;
    if (!WinHttpSetOption(h, WINHTTP_OPTION_DISABLE_FEATURE, &features, sizeof features))
        return fail_last();
    if (secure) {
        // The issuer's certificate is checked for revocation too, which WinHTTP leaves off
        // unless asked: a revoked or unverifiable one ends the request.
        DWORD revocation = WINHTTP_ENABLE_SSL_REVOCATION;
        if (!WinHttpSetOption(h, WINHTTP_OPTION_ENABLE_FEATURE, &revocation, sizeof revocation))
            return fail_last();
    }
    if (route.how != proxy_choice::route::system) {
        WINHTTP_PROXY_INFO info{};
        if (route.how == proxy_choice::route::named) {
            info.dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
            info.lpszProxy = proxy_server.data();
        } else {
            info.dwAccessType = WINHTTP_ACCESS_TYPE_NO_PROXY;
        }
        if (!WinHttpSetOption(h, WINHTTP_OPTION_PROXY, &info, sizeof info)) return fail_last();
    }

    const auto type = ascii_wide(r.content_type);
    if (!type) return fail_with("the request's content type is not valid");
    const std::wstring headers = L"Content-Type: " + *type + L"\r\n";
    if (r.body.size() > MAXDWORD) return fail_with("the request is too large");
    const DWORD body_size = static_cast<DWORD>(r.body.size());
    if (!set_timeouts(h) ||
        !WinHttpSendRequest(h, headers.c_str(), static_cast<DWORD>(headers.size()),
                            const_cast<char*>(r.body.data()), body_size, body_size, 0)) {
        return fail_last();
    }
    if (!set_timeouts(h) || !WinHttpReceiveResponse(h, nullptr)) return fail_last();

    DWORD status = 0;
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return fail_last();
    }
    size = 0;
    if (!WinHttpQueryHeaders(h, WINHTTP_QUERY_CONTENT_TYPE, WINHTTP_HEADER_NAME_BY_INDEX,
                             WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX) &&
        GetLastError() == ERROR_INSUFFICIENT_BUFFER && size > 0) {
        std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
        DWORD got = static_cast<DWORD>(value.size() * sizeof(wchar_t));
        if (WinHttpQueryHeaders(h, WINHTTP_QUERY_CONTENT_TYPE, WINHTTP_HEADER_NAME_BY_INDEX,
                                value.data(), &got, WINHTTP_NO_HEADER_INDEX)) {
            value.resize(got / sizeof(wchar_t));
            a.content_type = ascii_narrow(value);
        }
    }

    if (status == 407) {
        // An https request through a proxy that wants a sign-in: the proxy's own answer, which
        // must not pass for the issuer's.
        return fail_with(
            "the proxy asked for a sign-in (407), which the sign-in programs do not give; "
            "use a proxy that lets them through");
    }

    std::vector<char> block(16 * 1024);
    for (;;) {
        // Only what has arrived is read: a read for more may wait for the whole block, one
        // slow byte at a time, where each byte restarts WinHTTP's own timeout. The wait for
        // data is bounded by what is left of the run, and so is the whole loop.
        DWORD ready = 0;
        if (!set_timeouts(h) || !WinHttpQueryDataAvailable(h, &ready)) return fail_last();
        if (ready == 0) break;
        if (platform::monotonic_ms() >= deadline)
            return fail_with(describe_error(ERROR_WINHTTP_TIMEOUT));
        DWORD n = 0;
        const DWORD want = std::min<DWORD>(ready, static_cast<DWORD>(block.size()));
        if (!WinHttpReadData(h, block.data(), want, &n)) return fail_last();
        if (n == 0) break;
        if (a.body.size() + n > r.max_answer) {
            // The rest of a flood is never read: closing the request drops the connection.
            a.how = outcome::too_large;
            a.body.clear();
            a.error = "the answer was larger than allowed";
            return a;
        }
        a.body.append(block.data(), n);
    }
    a.status = static_cast<long>(status);
    a.how = outcome::answered;
    return a;
}

}  // namespace credvane::http

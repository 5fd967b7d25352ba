// http_winhttp.cc: the issuer requests through WinHTTP, which every Windows has, with its
// certificate checks (schannel and the system's trusted roots).
//
// winhttp.dll is no KnownDLL: imported statically, it would be looked for in the program's
// own folder first. It is loaded from System32 by hand instead, before its first use.
//
// WinHTTP's own timeouts bound each step and each packet, not the whole: an issuer that
// drips its handshake, its header block or a chunked answer's framing one byte at a time
// keeps a blocking call alive for as long as it likes, and closing the handle from another
// thread does not end a blocking call everywhere. So WinHTTP runs in its asynchronous mode:
// each step is started, its end comes through the status callback, and this thread waits
// for it only until the run's deadline. A request given up at the deadline is closed, which
// cancels it, and what its late callbacks may still touch is kept for the rest of the run.
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
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "signin/http.h"
#include "signin/proxy.h"

namespace credvane::http {

namespace {

// The WinHTTP functions used here, from System32's winhttp.dll.
struct winhttp_api {
    decltype(&WinHttpOpen) open = nullptr;
    decltype(&WinHttpCloseHandle) close = nullptr;
    decltype(&WinHttpCrackUrl) crack_url = nullptr;
    decltype(&WinHttpConnect) connect = nullptr;
    decltype(&WinHttpOpenRequest) open_request = nullptr;
    decltype(&WinHttpSetOption) set_option = nullptr;
    decltype(&WinHttpSetTimeouts) set_timeouts = nullptr;
    decltype(&WinHttpSetStatusCallback) set_status_callback = nullptr;
    decltype(&WinHttpSendRequest) send_request = nullptr;
    decltype(&WinHttpReceiveResponse) receive_response = nullptr;
    decltype(&WinHttpQueryHeaders) query_headers = nullptr;
    decltype(&WinHttpQueryDataAvailable) query_data_available = nullptr;
    decltype(&WinHttpReadData) read_data = nullptr;
    bool loaded = false;
};

template <typename F>
bool bind(F& f, const char* name) {
    f = reinterpret_cast<F>(platform::system_library_function(L"winhttp.dll", name));
    return f != nullptr;
}

// Null when winhttp.dll or one of its functions could not be had from System32.
const winhttp_api* winhttp() {
    static const winhttp_api api = [] {
        winhttp_api a;
        a.loaded = bind(a.open, "WinHttpOpen") && bind(a.close, "WinHttpCloseHandle") &&
                   bind(a.crack_url, "WinHttpCrackUrl") && bind(a.connect, "WinHttpConnect") &&
                   bind(a.open_request, "WinHttpOpenRequest") &&
                   bind(a.set_option, "WinHttpSetOption") &&
                   bind(a.set_timeouts, "WinHttpSetTimeouts") &&
                   bind(a.set_status_callback, "WinHttpSetStatusCallback") &&
                   bind(a.send_request, "WinHttpSendRequest") &&
                   bind(a.receive_response, "WinHttpReceiveResponse") &&
                   bind(a.query_headers, "WinHttpQueryHeaders") &&
                   bind(a.query_data_available, "WinHttpQueryDataAvailable") &&
                   bind(a.read_data, "WinHttpReadData");
        return a;
    }();
    return api.loaded ? &api : nullptr;
}

// Only made once winhttp() gave the functions.
struct internet_closer {
    void operator()(HINTERNET h) const { winhttp()->close(h); }
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
            // Schannel's handshake failed: a certificate it would not take, a protocol version
            // or cipher the two sides do not share, or a connection cut short. The error does
            // not say which.
            return "the issuer's TLS certificate or connection was not trusted (the TLS handshake "
                   "failed)";
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

// A sentence for the flags of a secure failure, which tell what the bare error (12175)
// does not; the gravest first.
std::string describe_secure_failure(DWORD flags) {
    if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED)
        return describe_error(ERROR_WINHTTP_SECURE_CERT_REVOKED);
    if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED)
        return describe_error(ERROR_WINHTTP_SECURE_CERT_REV_FAILED);
    const char* why = nullptr;
    if (flags & WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA)
        why = "it is not issued by an authority this system trusts";
    else if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID)
        why = "it names another host";
    else if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID)
        why = "it has expired or is not valid yet";
    else if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE)
        why = "it is not meant for a server";
    else if (flags & WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT)
        why = "it is malformed";
    else if (flags & WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR)
        return describe_error(ERROR_WINHTTP_SECURE_CHANNEL_ERROR);
    if (why == nullptr) return describe_error(ERROR_WINHTTP_SECURE_FAILURE);
    return std::string("the issuer's TLS certificate was not trusted: ") + why;
}

// What one request's status callback hands to the thread that waits for it. WinHTTP calls
// back on threads of its own, and may still call after the request was closed; the object
// lives until the last callback, or for the rest of the run when that may not have come.
struct exchange {
    std::mutex m;
    std::condition_variable changed;
    bool done = false;       // the step started last has ended
    DWORD error = 0;         // how it failed, or 0
    DWORD bytes = 0;         // what it gave: bytes available, or bytes read
    DWORD secure_flags = 0;  // what a secure failure reported, for the error that follows
    bool watched = false;    // the callback is set: WinHTTP may call into this
    bool closed = false;     // the last callback came: nothing refers to this any more
    bool abandoned = false;  // a step was left running at the deadline
    std::vector<char> block = std::vector<char>(16 * 1024);  // where a read puts its bytes

    // Starts one step and waits for its end until the deadline: 0 once it ended well, else
    // why not (ERROR_WINHTTP_TIMEOUT at the deadline, when the step is left running).
    template <typename Start>
    DWORD step(Start start, std::int64_t deadline) {
        {
            const std::lock_guard lock(m);
            done = false;
            error = 0;
        }
        // A step may end before the call returns, on this thread: the wait below sees it.
        if (!start()) return GetLastError();
        std::unique_lock lock(m);
        while (!done) {
            const std::int64_t left = deadline - platform::monotonic_ms();
            if (left <= 0) {
                abandoned = true;
                return ERROR_WINHTTP_TIMEOUT;
            }
            changed.wait_for(lock, std::chrono::milliseconds(left));
        }
        return error;
    }
};

void CALLBACK on_status(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
    auto* x = reinterpret_cast<exchange*>(context);
    if (x == nullptr) return;
    const std::lock_guard lock(x->m);
    switch (status) {
        case WINHTTP_CALLBACK_STATUS_SECURE_FAILURE:
            // Comes before the request's error, which alone ends the step.
            if (info != nullptr && length >= sizeof(DWORD))
                x->secure_flags |= *static_cast<const DWORD*>(info);
            return;
        case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
        case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
            break;
        case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
            x->bytes =
                (info != nullptr && length >= sizeof(DWORD)) ? *static_cast<const DWORD*>(info) : 0;
            break;
        case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
            x->bytes = length;
            break;
        case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
            const auto* result = static_cast<const WINHTTP_ASYNC_RESULT*>(info);
            x->error = (result != nullptr && result->dwError != 0) ? result->dwError
                                                                   : ERROR_WINHTTP_INTERNAL_ERROR;
            break;
        }
        case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
            x->closed = true;
            x->changed.notify_all();
            return;
        default:
            return;
    }
    x->done = true;
    x->changed.notify_all();
}

// Storage that is never destroyed: exit runs destructors while WinHTTP's threads still run.
template <typename T>
union never_destroyed {
    T value;
    never_destroyed() : value() {}
    ~never_destroyed() {}
};

// An exchange WinHTTP may still call back into, kept until the process ends: a run gives a
// request up only at its deadline, and ends soon after.
void keep_for_the_run(std::unique_ptr<exchange> x) {
    static never_destroyed<std::vector<std::unique_ptr<exchange>>> kept;
    kept.value.push_back(std::move(x));
}

// The request handle and its exchange. Closing the handle cancels whatever step still runs;
// the exchange goes once WinHTTP says the handle is gone, and is kept otherwise.
class request_handle {
  public:
    request_handle(HINTERNET h, std::unique_ptr<exchange> x) : h_(h), x_(std::move(x)) {}
    ~request_handle() {
        winhttp()->close(h_);
        exchange& x = *x_;
        std::unique_lock lock(x.m);
        // With no step running the last callback comes at once; a step cut short at the
        // deadline is not waited for, since the answer is due now.
        if (!x.watched) return;
        if (!x.abandoned &&
            x.changed.wait_for(lock, std::chrono::seconds(2), [&x] { return x.closed; })) {
            return;
        }
        lock.unlock();
        keep_for_the_run(std::move(x_));
    }
    request_handle(const request_handle&) = delete;
    request_handle& operator=(const request_handle&) = delete;

    HINTERNET get() const { return h_; }
    exchange& x() const { return *x_; }

  private:
    HINTERNET h_;
    std::unique_ptr<exchange> x_;
};

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
    const winhttp_api* api = winhttp();
    if (api == nullptr) return fail_with("WinHTTP could not be loaded from the system folder");
    // What is left of the time, for each step in turn: WinHTTP's own bounds end a stalled
    // step where the wait below would only leave it.
    auto set_timeouts = [deadline, api](HINTERNET h) {
        const std::int64_t left = deadline - platform::monotonic_ms();
        if (left <= 0) {
            SetLastError(ERROR_WINHTTP_TIMEOUT);
            return false;
        }
        const int ms = static_cast<int>(std::min<std::int64_t>(left, 0x7fffffff));
        // The wait for the whole header block has its own bound (90 s unless set).
        DWORD headers_ms = static_cast<DWORD>(ms);
        return api->set_timeouts(h, ms, ms, ms, ms) != FALSE &&
               api->set_option(h, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headers_ms,
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
    if (!api->crack_url(wurl->c_str(), static_cast<DWORD>(wurl->size()), ICU_REJECT_USERPWD,
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
        p_->session.reset(api->open(L"credvane-signin/1", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS,
                                    WINHTTP_FLAG_ASYNC));
        if (!p_->session) {
            p_->session.reset(api->open(L"credvane-signin/1", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                        WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS,
                                        WINHTTP_FLAG_ASYNC));
        }
    }
    if (!p_->session) return fail_with("WinHTTP could not be started");
    HINTERNET session = p_->session.get();
    if (!p_->tls_floor) {
        // TLS 1.2 at the least, whatever the system's defaults still allow. A Windows that
        // knows no TLS 1.3 refuses its flag; it then gets TLS 1.2 alone.
        DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
        if (!api->set_option(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                             sizeof protocols)) {
            protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
            if (!api->set_option(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                                 sizeof protocols)) {
                return fail_with("WinHTTP could not be held to TLS 1.2 or later");
            }
        }
        p_->tls_floor = true;
    }

    const internet connection(api->connect(session, host.c_str(), parts.nPort, 0));
    if (!connection) return fail_last();
    const wchar_t* accept[] = {L"application/json", nullptr};
    HINTERNET opened =
        api->open_request(connection.get(), L"POST", object.c_str(), nullptr, WINHTTP_NO_REFERER,
                          accept, secure ? WINHTTP_FLAG_SECURE : 0);
    if (opened == nullptr) return fail_last();
    const request_handle req(opened, std::make_unique<exchange>());
    HINTERNET h = req.get();
    exchange& x = req.x();
    // The callback, with the exchange as the handle's context, before any step: from here on
    // every end of a step, and the handle's own end, is told to the exchange.
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&x);
    if (api->set_status_callback(h, on_status,
                                 WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS |
                                     WINHTTP_CALLBACK_FLAG_SECURE_FAILURE |
                                     WINHTTP_CALLBACK_FLAG_HANDLES,
                                 0) == WINHTTP_INVALID_STATUS_CALLBACK ||
        !api->set_option(h, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context)) {
        return fail_last();
    }
    {
        const std::lock_guard lock(x.m);
        x.watched = true;
    }
    auto fail_step = [&fail_with, &x](DWORD code) {
        DWORD flags = 0;
        {
            const std::lock_guard lock(x.m);
            flags = x.secure_flags;
        }
        // The flags say which check failed where the error names only a secure failure.
        const bool secure_error = code == ERROR_WINHTTP_SECURE_FAILURE ||
                                  code == ERROR_WINHTTP_SECURE_CHANNEL_ERROR ||
                                  code == ERROR_WINHTTP_SECURE_INVALID_CERT;
        return fail_with(secure_error && flags != 0 ? describe_secure_failure(flags)
                                                    : describe_error(code));
    };

    // No redirect is followed (a token must go where it was sent, not where an answer points)
    // and no cookie is kept between the requests of a run.
    DWORD features = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_COOKIES;
    if (!api->set_option(h, WINHTTP_OPTION_DISABLE_FEATURE, &features, sizeof features))
        return fail_last();
    if (secure) {
        // The issuer's certificate is checked for revocation too, which WinHTTP leaves off
        // unless asked: a revoked or unverifiable one ends the request.
        DWORD revocation = WINHTTP_ENABLE_SSL_REVOCATION;
        if (!api->set_option(h, WINHTTP_OPTION_ENABLE_FEATURE, &revocation, sizeof revocation))
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
        if (!api->set_option(h, WINHTTP_OPTION_PROXY, &info, sizeof info)) return fail_last();
    }

    const auto type = ascii_wide(r.content_type);
    if (!type) return fail_with("the request's content type is not valid");
    const std::wstring headers = L"Content-Type: " + *type + L"\r\n";
    if (r.body.size() > MAXDWORD) return fail_with("the request is too large");
    const DWORD body_size = static_cast<DWORD>(r.body.size());
    auto send = [&] {
        return set_timeouts(h) &&
               api->send_request(h, headers.c_str(), static_cast<DWORD>(headers.size()),
                                 const_cast<char*>(r.body.data()), body_size, body_size,
                                 context) != FALSE;
    };
    auto receive = [&] { return set_timeouts(h) && api->receive_response(h, nullptr) != FALSE; };
    for (bool sent_without_certificate = false;;) {
        DWORD failed = x.step(send, deadline);
        if (failed == 0) failed = x.step(receive, deadline);
        if (failed == ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED && !sent_without_certificate) {
            // A server may ask for a certificate it does not require: the request goes again,
            // saying that there is none, and a server that does require one refuses then.
            sent_without_certificate = true;
            if (!api->set_option(h, WINHTTP_OPTION_CLIENT_CERT_CONTEXT,
                                 WINHTTP_NO_CLIENT_CERT_CONTEXT, 0)) {
                return fail_last();
            }
            continue;
        }
        if (failed != 0) return fail_step(failed);
        break;
    }

    DWORD status = 0;
    DWORD size = sizeof status;
    if (!api->query_headers(h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                            WINHTTP_NO_HEADER_INDEX)) {
        return fail_last();
    }
    size = 0;
    if (!api->query_headers(h, WINHTTP_QUERY_CONTENT_TYPE, WINHTTP_HEADER_NAME_BY_INDEX,
                            WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX) &&
        GetLastError() == ERROR_INSUFFICIENT_BUFFER && size > 0) {
        std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
        DWORD got = static_cast<DWORD>(value.size() * sizeof(wchar_t));
        if (api->query_headers(h, WINHTTP_QUERY_CONTENT_TYPE, WINHTTP_HEADER_NAME_BY_INDEX,
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

    for (;;) {
        // Only what has arrived is read: a read for more may wait for the whole block.
        DWORD failed = x.step(
            [&] { return set_timeouts(h) && api->query_data_available(h, nullptr) != FALSE; },
            deadline);
        if (failed != 0) return fail_step(failed);
        const DWORD ready = x.bytes;
        if (ready == 0) break;
        const DWORD want = std::min<DWORD>(ready, static_cast<DWORD>(x.block.size()));
        failed = x.step(
            [&] {
                return set_timeouts(h) && api->read_data(h, x.block.data(), want, nullptr) != FALSE;
            },
            deadline);
        if (failed != 0) return fail_step(failed);
        const DWORD n = x.bytes;
        if (n == 0) break;
        if (a.body.size() + n > r.max_answer) {
            // The rest of a flood is never read: closing the request drops the connection.
            a.how = outcome::too_large;
            a.body.clear();
            a.error = "the answer was larger than allowed";
            return a;
        }
        a.body.append(x.block.data(), n);
    }
    a.status = static_cast<long>(status);
    a.how = outcome::answered;
    return a;
}

}  // namespace credvane::http

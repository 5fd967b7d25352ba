// issuer_url_fuzz.cc: fuzz target for the issuer address and the proxy rules. An address
// issuer_ok takes must mean the same to libcurl's own URL parser: https, or http to this
// machine's loopback, with no user part, query or fragment, and the host issuer_ok saw.
// Input: the URL, then a no_proxy list, then an https_proxy value (each up to a NUL).
#include <curl/curl.h>

#include <memory>
#include <string>

#include "signin/issuer.h"
#include "signin/proxy.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

struct url_deleter {
    void operator()(CURLU* u) const { curl_url_cleanup(u); }
};

std::string part(CURLU* u, CURLUPart which) {
    char* v = nullptr;
    if (curl_url_get(u, which, &v, 0) != CURLUE_OK || v == nullptr) return {};
    std::string out(v);
    curl_free(v);
    return out;
}

std::string lower(std::string s) {
    for (char& c : s) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace credvane;
    fuzz::input in(data, size);
    const std::string url = in.text();
    const std::string no_proxy = in.text();
    const std::string proxy = in.text();

    if (signin::issuer_ok(url)) {
        const std::string base = signin::trim_issuer(url);
        const std::string endpoint = base + "/oauth/token";
        std::unique_ptr<CURLU, url_deleter> u(curl_url());
        fuzz::check(curl_url_set(u.get(), CURLUPART_URL, endpoint.c_str(), 0) == CURLUE_OK,
                    "libcurl refuses an issuer issuer_ok took", url);
        const std::string scheme = lower(part(u.get(), CURLUPART_SCHEME));
        const std::string host = lower(part(u.get(), CURLUPART_HOST));
        fuzz::check(
            part(u.get(), CURLUPART_USER).empty() && part(u.get(), CURLUPART_PASSWORD).empty(),
            "libcurl sees a user part", url);
        fuzz::check(
            part(u.get(), CURLUPART_QUERY).empty() && part(u.get(), CURLUPART_FRAGMENT).empty(),
            "libcurl sees a query or fragment", url);
        fuzz::check(scheme == "https" || scheme == "http", "libcurl sees another scheme", url);
        if (scheme == "http") {
            fuzz::check(host == "127.0.0.1" || host == "localhost" || host == "[::1]",
                        "plain http to a host libcurl does not take for the loopback", url);
        }
        // The host the proxy rules are asked about is the one libcurl connects to.
        const std::size_t start = url.find("://") + 3;
        std::string authority = url.substr(start, url.find('/', start) - start);
        std::string ours = authority.front() == '[' ? authority.substr(0, authority.find(']') + 1)
                                                    : authority.substr(0, authority.find(':'));
        // libcurl writes an IPv6 address in its shortest form ([::0] is [::]); any other
        // host it must see as written.
        if (ours.front() == '[') {
            fuzz::check(host.front() == '[', "libcurl sees no IPv6 address", url);
        } else {
            fuzz::check(lower(ours) == host, "issuer_ok and libcurl see different hosts", url);
        }
        const auto c = http::choose_proxy(ours, scheme == "https", proxy.c_str(), no_proxy.c_str());
        if (scheme == "http") {
            fuzz::check(c.how == http::proxy_choice::route::direct,
                        "loopback traffic through a proxy", url);
        }
    }
    (void)http::proxy_bypassed(url, no_proxy);
    return 0;
}

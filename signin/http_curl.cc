// http_curl.cc: the issuer requests through libcurl.
//
// libcurl is loaded when the first request is made, not when the program starts: with its
// TLS, LDAP and Kerberos libraries it costs over ten milliseconds of loading, and most runs
// (--status at every credvane request, --cancel, a poll inside its interval) make no request.
#include <curl/curl.h>
#include <dlfcn.h>

#include <algorithm>

#include "platform/platform.h"
#include "signin/http.h"

namespace credvane::http {

namespace {

struct sink {
    std::string* body;
    std::size_t max;
    bool over = false;
};

std::size_t take(char* data, std::size_t size, std::size_t count, void* user) {
    auto* s = static_cast<sink*>(user);
    const std::size_t n = size * count;
    if (s->body->size() + n > s->max) {
        s->over = true;
        return 0;  // ends the transfer: the rest of a flood is never read
    }
    s->body->append(data, n);
    return n;
}

struct header_list {
    decltype(&curl_slist_append) append;
    decltype(&curl_slist_free_all) free_all;
    curl_slist* list = nullptr;
    ~header_list() { free_all(list); }
    bool add(const std::string& line) {
        curl_slist* next = append(list, line.c_str());
        if (next == nullptr) return false;
        list = next;
        return true;
    }
};

// The libcurl functions used, resolved from the loaded library.
struct curl_api {
    decltype(&curl_global_init) global_init = nullptr;
    decltype(&curl_easy_init) easy_init = nullptr;
    decltype(&curl_easy_cleanup) easy_cleanup = nullptr;
    decltype(&curl_easy_reset) easy_reset = nullptr;
    decltype(&curl_easy_setopt) easy_setopt = nullptr;
    decltype(&curl_easy_perform) easy_perform = nullptr;
    decltype(&curl_easy_getinfo) easy_getinfo = nullptr;
    decltype(&curl_easy_strerror) easy_strerror = nullptr;
    decltype(&curl_slist_append) slist_append = nullptr;
    decltype(&curl_slist_free_all) slist_free_all = nullptr;
    bool ready = false;
};

template <typename F>
bool resolve(void* lib, const char* name, F& out) {
    out = reinterpret_cast<F>(::dlsym(lib, name));
    return out != nullptr;
}

// Loaded once per process and kept: the programs end soon after their requests.
const curl_api& api() {
    static const curl_api loaded = [] {
        curl_api a;
        void* lib = ::dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
        if (lib == nullptr) return a;
        a.ready = resolve(lib, "curl_global_init", a.global_init) &&
                  resolve(lib, "curl_easy_init", a.easy_init) &&
                  resolve(lib, "curl_easy_cleanup", a.easy_cleanup) &&
                  resolve(lib, "curl_easy_reset", a.easy_reset) &&
                  resolve(lib, "curl_easy_setopt", a.easy_setopt) &&
                  resolve(lib, "curl_easy_perform", a.easy_perform) &&
                  resolve(lib, "curl_easy_getinfo", a.easy_getinfo) &&
                  resolve(lib, "curl_easy_strerror", a.easy_strerror) &&
                  resolve(lib, "curl_slist_append", a.slist_append) &&
                  resolve(lib, "curl_slist_free_all", a.slist_free_all) &&
                  a.global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
        return a;
    }();
    return loaded;
}

}  // namespace

struct client::impl {
    CURL* easy = nullptr;
};

client::client() : p_(std::make_unique<impl>()) {}

client::~client() {
    if (p_->easy != nullptr) api().easy_cleanup(p_->easy);
}

answer client::post(const request& r) {
    answer a;
    const curl_api& c = api();
    if (c.ready && p_->easy == nullptr) p_->easy = c.easy_init();
    CURL* e = p_->easy;
    if (e == nullptr) {
        a.error = "the HTTP library (libcurl.so.4) could not be loaded";
        return a;
    }
    c.easy_reset(e);
    header_list headers{c.slist_append, c.slist_free_all};
    if (!headers.add("Content-Type: " + std::string(r.content_type)) ||
        !headers.add("Accept: application/json") || !headers.add("Expect:")) {
        a.error = "out of memory";
        return a;
    }
    sink s{&a.body, r.max_answer};
    const std::string url(r.url);
    const long timeout = std::max(1, r.timeout_ms);
    bool set = c.easy_setopt(e, CURLOPT_URL, url.c_str()) == CURLE_OK &&
               c.easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
               c.easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
               c.easy_setopt(e, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
               c.easy_setopt(e, CURLOPT_TIMEOUT_MS, timeout) == CURLE_OK &&
               c.easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, timeout) == CURLE_OK &&
               c.easy_setopt(e, CURLOPT_USERAGENT, "credvane-signin/1") == CURLE_OK &&
               c.easy_setopt(e, CURLOPT_HTTPHEADER, headers.list) == CURLE_OK &&
               c.easy_setopt(e, CURLOPT_POST, 1L) == CURLE_OK &&
               c.easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(r.body.size())) == CURLE_OK &&
               c.easy_setopt(e, CURLOPT_POSTFIELDS, r.body.data()) == CURLE_OK &&
               c.easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(r.max_answer)) ==
                   CURLE_OK &&
               c.easy_setopt(e, CURLOPT_WRITEFUNCTION, &take) == CURLE_OK &&
               c.easy_setopt(e, CURLOPT_WRITEDATA, &s) == CURLE_OK;
    // Plain http goes only to this machine's loopback (the callers allow nothing else), and
    // loopback traffic never takes a proxy: http_proxy or ALL_PROXY would otherwise carry
    // the code, the verifier and the tokens in clear to it. An empty proxy turns every proxy
    // variable off.
    if (set && url.size() >= 7 &&
        std::equal(url.begin(), url.begin() + 7, "http://",
                   [](char x, char y) { return (x | 0x20) == y || x == y; })) {
        set = c.easy_setopt(e, CURLOPT_PROXY, "") == CURLE_OK;
    }
    // A company's certificate authority: Debian's libcurl reads no variable for it (not
    // SSL_CERT_FILE), so the programs take one of their own, which credvane passes on.
    if (const char* ca = platform::env("CREDVANE_CA_FILE"); set && ca != nullptr && ca[0] != '\0') {
        set = c.easy_setopt(e, CURLOPT_CAINFO, ca) == CURLE_OK;
    }
    if (!set) {
        a.error = "the HTTP library refused the request settings";
        return a;
    }
    const CURLcode rc = c.easy_perform(e);
    if (s.over || rc == CURLE_FILESIZE_EXCEEDED) {
        a.how = outcome::too_large;
        a.body.clear();
        a.error = "the answer was larger than allowed";
        return a;
    }
    if (rc != CURLE_OK) {
        a.body.clear();
        a.error = c.easy_strerror(rc);
        return a;
    }
    c.easy_getinfo(e, CURLINFO_RESPONSE_CODE, &a.status);
    char* type = nullptr;
    if (c.easy_getinfo(e, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type != nullptr) {
        a.content_type = type;
    }
    a.how = outcome::answered;
    return a;
}

}  // namespace credvane::http

// http_curl.cc: the issuer requests through libcurl.
#include <curl/curl.h>

#include <algorithm>

#include "http/http.h"

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
    curl_slist* list = nullptr;
    ~header_list() { curl_slist_free_all(list); }
    bool add(const std::string& line) {
        curl_slist* next = curl_slist_append(list, line.c_str());
        if (next == nullptr) return false;
        list = next;
        return true;
    }
};

}  // namespace

struct client::impl {
    CURL* easy = nullptr;
};

client::client() : p_(std::make_unique<impl>()) {
    // Once per process; the programs make at most two requests and start no threads.
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    if (ready) p_->easy = curl_easy_init();
}

client::~client() {
    if (p_->easy != nullptr) curl_easy_cleanup(p_->easy);
}

answer client::post(const request& r) {
    answer a;
    CURL* e = p_->easy;
    if (e == nullptr) {
        a.error = "the HTTP library could not start";
        return a;
    }
    curl_easy_reset(e);
    header_list headers;
    if (!headers.add("Content-Type: " + std::string(r.content_type)) ||
        !headers.add("Accept: application/json") || !headers.add("Expect:")) {
        a.error = "out of memory";
        return a;
    }
    sink s{&a.body, r.max_answer};
    const std::string url(r.url);
    const long timeout = std::max(1, r.timeout_ms);
    bool set = curl_easy_setopt(e, CURLOPT_URL, url.c_str()) == CURLE_OK &&
               curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
               curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
               curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
               curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, timeout) == CURLE_OK &&
               curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, timeout) == CURLE_OK &&
               curl_easy_setopt(e, CURLOPT_USERAGENT, "credvane-signin/1") == CURLE_OK &&
               curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.list) == CURLE_OK &&
               curl_easy_setopt(e, CURLOPT_POST, 1L) == CURLE_OK &&
               curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE,
                                static_cast<curl_off_t>(r.body.size())) == CURLE_OK &&
               curl_easy_setopt(e, CURLOPT_POSTFIELDS, r.body.data()) == CURLE_OK &&
               curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE,
                                static_cast<curl_off_t>(r.max_answer)) == CURLE_OK &&
               curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &take) == CURLE_OK &&
               curl_easy_setopt(e, CURLOPT_WRITEDATA, &s) == CURLE_OK;
    if (!set) {
        a.error = "the HTTP library refused the request settings";
        return a;
    }
    const CURLcode rc = curl_easy_perform(e);
    if (s.over || rc == CURLE_FILESIZE_EXCEEDED) {
        a.how = outcome::too_large;
        a.body.clear();
        a.error = "the answer was larger than allowed";
        return a;
    }
    if (rc != CURLE_OK) {
        a.body.clear();
        a.error = curl_easy_strerror(rc);
        return a;
    }
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &a.status);
    char* type = nullptr;
    if (curl_easy_getinfo(e, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type != nullptr) {
        a.content_type = type;
    }
    a.how = outcome::answered;
    return a;
}

}  // namespace credvane::http

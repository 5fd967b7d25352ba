// http.h: the one HTTPS request the sign-in programs make, a POST, with everything an
// issuer's answer may do to them bounded: the time, the size of the answer, and the
// protocols. libcurl on POSIX, WinHTTP on Windows. Proxies come from https_proxy,
// HTTPS_PROXY and no_proxy as each library reads them. Nothing here logs or prints.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace credvane::http {

struct request {
    std::string_view url;           // http:// or https:// (the caller decides which it allows)
    std::string_view content_type;  // of the body sent
    std::string_view body;
    int timeout_ms = 10000;               // the whole exchange, connecting included
    std::size_t max_answer = 256 * 1024;  // a longer answer body is not read
};

enum class outcome {
    answered,   // a status line came back; status, content_type and body are set
    failed,     // no answer: name lookup, connection, TLS, timeout, a broken transfer
    too_large,  // the answer body passed max_answer
};

struct answer {
    outcome how = outcome::failed;
    long status = 0;
    std::string content_type;  // as the server sent it, or empty
    std::string body;
    std::string error;  // for a person, when not answered; never holds the request body
};

// One client per program run: it keeps the connection for a second request to the same
// issuer.
class client {
  public:
    client();
    ~client();
    client(const client&) = delete;
    client& operator=(const client&) = delete;

    answer post(const request& r);

  private:
    struct impl;
    std::unique_ptr<impl> p_;
};

}  // namespace credvane::http

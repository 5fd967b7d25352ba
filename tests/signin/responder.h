// responder.h: a tiny HTTP/1.1 server on 127.0.0.1 for the sign-in tests. Each request
// is answered by the test's handler and recorded; one connection per request.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace signin_test {

struct reply {
    int status = 200;
    std::string content_type = "application/json";
    std::string body;
};

struct seen {
    std::string path;
    std::string content_type;
    std::string body;
};

class responder {
  public:
    using handler = std::function<reply(const seen&)>;
    explicit responder(handler h);
    ~responder();
    responder(const responder&) = delete;
    responder& operator=(const responder&) = delete;

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::vector<seen> requests() const;
    std::size_t count(const std::string& path) const;

  private:
    void serve();
    void answer(int fd);

    handler handler_;
    int listen_fd_ = -1;
    int stop_pipe_[2] = {-1, -1};
    int port_ = 0;
    mutable std::mutex mu_;
    std::vector<seen> seen_;
    std::thread thread_;
};

}  // namespace signin_test

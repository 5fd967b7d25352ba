// responder.cc: the in-test HTTP server.
#include "responder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace signin_test {

namespace {

std::string reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        default: return "Status";
    }
}

std::string header_value(const std::string& head, const char* name) {
    std::string lower;
    for (char c : head) lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    const std::string key = std::string("\r\n") + name + ":";
    const std::size_t at = lower.find(key);
    if (at == std::string::npos) return {};
    std::size_t start = at + key.size();
    while (start < head.size() && head[start] == ' ') ++start;
    return head.substr(start, head.find("\r\n", start) - start);
}

}  // namespace

responder::responder(handler h) : handler_(std::move(h)) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_fd_, 16) != 0 ||
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 || ::pipe(stop_pipe_) != 0) {
        throw std::runtime_error("responder: cannot listen");
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
}

responder::~responder() {
    const char c = 'x';
    (void)!::write(stop_pipe_[1], &c, 1);
    thread_.join();
    ::close(listen_fd_);
    ::close(stop_pipe_[0]);
    ::close(stop_pipe_[1]);
}

std::vector<seen> responder::requests() const {
    std::lock_guard<std::mutex> lock(mu_);
    return seen_;
}

std::size_t responder::count(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mu_);
    std::size_t n = 0;
    for (const auto& s : seen_) n += s.path == path ? 1 : 0;
    return n;
}

void responder::serve() {
    for (;;) {
        pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents != 0) return;
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        answer(fd);
        ::close(fd);
    }
}

void responder::answer(int fd) {
    std::string in;
    char chunk[4096];
    std::size_t head_end = std::string::npos;
    while (head_end == std::string::npos) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0) return;
        in.append(chunk, static_cast<std::size_t>(n));
        head_end = in.find("\r\n\r\n");
    }
    const std::string head = in.substr(0, head_end);
    const std::size_t want = std::strtoul(header_value(head, "content-length").c_str(), nullptr, 10);
    std::string body = in.substr(head_end + 4);
    while (body.size() < want) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0) return;
        body.append(chunk, static_cast<std::size_t>(n));
    }
    const std::size_t sp1 = head.find(' ');
    const std::size_t sp2 = head.find(' ', sp1 + 1);
    seen s{head.substr(sp1 + 1, sp2 - sp1 - 1), header_value(head, "content-type"), body};
    {
        std::lock_guard<std::mutex> lock(mu_);
        seen_.push_back(s);
    }
    const reply r = handler_(s);
    std::string out = "HTTP/1.1 " + std::to_string(r.status) + " " + reason(r.status) + "\r\n";
    if (!r.content_type.empty()) out += "Content-Type: " + r.content_type + "\r\n";
    out += "Content-Length: " + std::to_string(r.body.size()) + "\r\nConnection: close\r\n\r\n" + r.body;
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::send(fd, out.data() + done, out.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace signin_test

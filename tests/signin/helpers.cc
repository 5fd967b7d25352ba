// helpers.cc: a temporary node for the sign-in programs.
#include "helpers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace signin_test {

namespace {

std::string b64url(const std::string& in) {
    static const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    unsigned acc = 0;
    int bits = 0;
    for (unsigned char c : in) {
        acc = (acc << 8) | c;
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out.push_back(digits[(acc >> bits) & 63]);
        }
    }
    if (bits > 0) out.push_back(digits[(acc << (6 - bits)) & 63]);
    return out;
}

std::string drain(int fd) {
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<std::size_t>(n));
    return s;
}

}  // namespace

json run_result::answer() const {
    if (out.empty() || out.back() != '\n' || out.find('\n') != out.size() - 1) return json::value_t::discarded;
    return json::parse(out, nullptr, false);
}

std::string jwt(const json& claims) {
    return b64url(R"({"alg":"RS256","typ":"JWT"})") + "." + b64url(claims.dump()) + "." + b64url("signature");
}

node::node() {
    char tmpl[] = "/tmp/credvane-signin-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
    root = tmpl;
    std::filesystem::create_directories(root / "home");
    env["PATH"] = "/usr/bin:/bin";
    env["HOME"] = (root / "home").string();
}

node::~node() {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
}

run_result node::login(const std::vector<std::string>& args) const {
    return run(CREDVANE_LOGIN_EXE, args);
}

run_result node::refresh(const std::vector<std::string>& args) const {
    return run(CREDVANE_REFRESH_EXE, args);
}

run_result node::run(const std::string& program, const std::vector<std::string>& args) const {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    std::vector<std::string> argv_s{program};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_s;
    for (const auto& [k, v] : env) env_s.push_back(k + "=" + v);
    // The sanitizer runtime's settings pass through, so a finding fails the run.
    for (const char* keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (const char* v = std::getenv(keep)) env_s.push_back(std::string(keep) + "=" + v);
    }
    std::vector<char*> envp;
    for (auto& e : env_s) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) throw std::runtime_error("spawn " + program);
    run_result r;
    r.out = drain(out[0]);  // the programs print one short line, so stderr cannot fill first
    r.err = drain(err[0]);
    ::close(out[0]);
    ::close(err[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

std::string slurp(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void put(const std::filesystem::path& p, const std::string& text) {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

unsigned mode_of(const std::filesystem::path& p) {
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

int closed_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

}  // namespace signin_test

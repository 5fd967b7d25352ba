// harness.cc: process plumbing for the CGI tests.
#include "tests/cgi/harness.h"

#include "tests/cgi/answer_log.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace cgi {

const std::string json_head =
    "Content-Type: application/json; charset=utf-8\r\n"
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "\r\n";

std::string status_head(const std::string& status_and_reason) {
    return "Status: " + status_and_reason + "\r\n" + json_head;
}

host::host() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "credvane-cgi-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp");
    root = tmpl;
    home = root / "home";
    std::filesystem::create_directories(home);
    std::filesystem::create_directories(root / "bin");
    env["HOME"] = home.string();
    env["PATH"] = "/usr/bin:/bin";
    // The default login CLI name is not on PATH, so by default there is no CLI.
}

host::~host() {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
}

std::filesystem::path host::write(const std::string& rel, const std::string& content) {
    const std::filesystem::path p = root / rel;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
    return p;
}

std::filesystem::path host::script(const std::string& name, const std::string& body) {
    const std::filesystem::path p = write("bin/" + name, "#!/bin/sh\n" + body);
    ::chmod(p.c_str(), 0755);
    return p;
}

std::string host::read(const std::filesystem::path& p) const {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

namespace {
void drain(int fd, std::string& into) {
    char chunk[65536];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) into.append(chunk, static_cast<std::size_t>(n));
}
}  // namespace

result host::run(const std::string& query, const std::vector<std::string>& args,
                 bool query_set) const {
    std::map<std::string, std::string> vars = env;
    if (query_set) vars["QUERY_STRING"] = query;
    result r = spawn(CREDVANE_EXE, args, vars);
    log_answer(vars, args, r.out);
    return r;
}

result host::exec(const std::string& program, const std::vector<std::string>& args) const {
    return spawn(program, args, env);
}

result host::spawn(const std::string& program, const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& vars) const {
    std::vector<std::string> env_strings;
    for (const auto& [k, v] : vars) env_strings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string exe = program;
    std::vector<std::string> argv_strings{exe};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : argv_strings) argv.push_back(s.data());
    argv.push_back(nullptr);

    int out_pipe[2];
    int err_pipe[2];
    if (::pipe(out_pipe) != 0 || ::pipe(err_pipe) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err_pipe[1], 2);
    posix_spawn_file_actions_addclose(&fa, out_pipe[0]);
    posix_spawn_file_actions_addclose(&fa, err_pipe[0]);
    posix_spawn_file_actions_addchdir_np(&fa, root.c_str());
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    if (rc != 0) throw std::runtime_error("posix_spawn");
    result r;
    struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    int open_fds = 2;
    while (open_fds > 0) {
        if (::poll(fds, 2, -1) < 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const std::size_t before = i == 0 ? r.out.size() : r.err.size();
            drain(fds[i].fd, i == 0 ? r.out : r.err);
            const std::size_t after = i == 0 ? r.out.size() : r.err.size();
            if (after == before) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

std::string pin_clock(const std::string& answer) {
    static const std::regex clock_figure("\"(expires_in_sec|pending_age_sec)\":-?[0-9]+");
    return std::regex_replace(answer, clock_figure, "\"$1\":T");
}

std::string jwt_with_exp(long long exp) {
    const std::string payload = "{\"exp\":" + std::to_string(exp) + "}";
    static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    unsigned acc = 0;
    int bits = 0;
    for (const unsigned char c : payload) {
        acc = (acc << 8) | c;
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out += abc[(acc >> bits) & 63];
        }
    }
    if (bits > 0) out += abc[(acc << (6 - bits)) & 63];
    return "eyJhbGciOiJub25lIn0." + out + ".c2ln";
}

}  // namespace cgi

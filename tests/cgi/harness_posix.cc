// harness_posix.cc: POSIX process plumbing for the CGI tests.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/cgi/answer_log.h"
#include "tests/cgi/harness.h"

namespace cgi {

bool env_less::operator()(const std::string& a, const std::string& b) const {
    return a < b;
}

host::host() {
    // A host that ends before it read its stdin must not end the test with SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    std::string tmpl = (std::filesystem::temp_directory_path() / "credvane-cgi-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp");
    root = tmpl;
    home = root + "/home";
    std::filesystem::create_directories(home);
    std::filesystem::create_directories(root + "/bin");
    env["HOME"] = home;
    env["PATH"] = "/usr/bin:/bin";
    // The default login CLI name is not on PATH, so by default there is no CLI.
}

host::~host() {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
}

std::string host::path(const std::string& rel) const {
    return root + "/" + rel;
}

std::string host::write(const std::string& rel, const std::string& content) {
    const std::filesystem::path p = path(rel);
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
    return p.string();
}

std::string host::folder(const std::string& rel) {
    const std::string p = path(rel);
    std::filesystem::create_directories(p);
    return p;
}

std::string host::read(const std::string& p) const {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool host::exists(const std::string& p) const {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(p, ec));
}

bool host::is_folder(const std::string& p) const {
    std::error_code ec;
    return std::filesystem::is_directory(p, ec);
}

void host::remove(const std::string& p) const {
    ::unlink(p.c_str());
}

std::string host::script(const std::string& name, const std::string& body) {
    const std::string p = write("bin/" + name, "#!/bin/sh\n" + body);
    ::chmod(p.c_str(), 0755);
    return p;
}

namespace {

// s as one word for /bin/sh, taken literally.
std::string sh_quoted(const std::string& s) {
    std::string out = "'";
    for (const char c : s) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

}  // namespace

std::string host::cli(const std::string& name, const stand_in& s) {
    // Each reply's bytes stand in a file beside the script, which prints them with cat.
    std::string body =
        "for a in \"$@\"; do printf '[%s]' \"$a\"; done >> \"$0.argv\"; echo >> \"$0.argv\"\n";
    if (s.dump_env) body += "env > \"$0.env\"\n";
    if (s.record_stdin) body += "cat > \"$0.stdin\"\n";
    int n = 0;
    auto answer = [&](const reply& r) {
        const std::string out = write("bin/" + name + ".reply" + std::to_string(n++), r.out);
        std::string text;
        if (!r.copy_from.empty()) {
            text += "cp " + sh_quoted(r.copy_from) + " " +
                    (r.copy_to.empty() ? std::string("\"$2\"") : sh_quoted(r.copy_to)) + "\n";
        }
        return text + "cat " + sh_quoted(out) + "\nexit " + std::to_string(r.exit_code) + "\n";
    };
    body += "case \"$1\" in\n";
    for (const auto& [arg, r] : s.first) body += sh_quoted(arg) + ")\n" + answer(r) + ";;\n";
    body += "*)\n" + answer(s.other) + ";;\nesac\n";
    return script(name, body);
}

namespace {
void drain(int fd, std::string& into) {
    char chunk[65536];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) into.append(chunk, static_cast<std::size_t>(n));
}

result spawn(const std::string& dir, const std::string& stdin_bytes, const std::string& program,
             const std::vector<std::string>& args, std::vector<std::string> env_strings) {
    std::vector<char*> envp;
    for (auto& s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string exe = program;
    std::vector<std::string> argv_strings{exe};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : argv_strings) argv.push_back(s.data());
    argv.push_back(nullptr);

    int in_pipe[2];
    int out_pipe[2];
    int err_pipe[2];
    if (::pipe(in_pipe) != 0 || ::pipe(out_pipe) != 0 || ::pipe(err_pipe) != 0)
        throw std::runtime_error("pipe");
    // The whole of stdin fits in the pipe, so writing it never waits for the reader.
    if (stdin_bytes.size() > 4096) throw std::runtime_error("stdin_bytes beyond a pipe's room");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in_pipe[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err_pipe[1], 2);
    for (const int fd :
         {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
        posix_spawn_file_actions_addclose(&fa, fd);
    posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    ::close(in_pipe[0]);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    if (rc != 0) throw std::runtime_error("posix_spawn");
    // The request body waits on credvane's stdin; a CLI that read it would show.
    if (!stdin_bytes.empty()) {
        [[maybe_unused]] const ssize_t n =
            ::write(in_pipe[1], stdin_bytes.data(), stdin_bytes.size());
    }
    ::close(in_pipe[1]);
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

}  // namespace

result host::run(const std::string& query, const std::vector<std::string>& args,
                 bool query_set) const {
    env_map vars = env;
    if (query_set) vars["QUERY_STRING"] = query;
    std::vector<std::string> env_strings;
    for (const auto& [k, v] : vars) env_strings.push_back(k + "=" + v);
    result r = spawn(root, stdin_bytes, CREDVANE_EXE, args, env_strings);
    log_answer(std::map<std::string, std::string>(vars.begin(), vars.end()), args, r.out);
    return r;
}

result host::exec(const std::string& program, const std::vector<std::string>& args) const {
    std::vector<std::string> env_strings;
    for (const auto& [k, v] : env) env_strings.push_back(k + "=" + v);
    return spawn(root, stdin_bytes, program, args, env_strings);
}

}  // namespace cgi

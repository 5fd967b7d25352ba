// harness_posix.cc: the sign-in harness on POSIX: a stand-in issuer started for each test.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "signin/http.h"
#include "tests/signin/harness.h"

namespace signin_test {

// libcurl's words.
const char* const timeout_words = "Timeout was reached";
const char* const refused_words = "Couldn't connect to server";

std::string login_exe() {
    return CREDVANE_LOGIN_EXE;
}

std::string refresh_exe() {
    return CREDVANE_REFRESH_EXE;
}

// Started with --port 0: it prints its address once it listens, and that line is the only
// one this reads. Its stderr is the test's.
stand_in_issuer::stand_in_issuer() : client_(std::make_unique<credvane::http::client>()) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    std::string node = CREDVANE_NODE, script = CREDVANE_ISSUER_JS, flag = "--port", port = "0";
    char* argv[] = {node.data(), script.data(), flag.data(), port.data(), nullptr};
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, node.c_str(), &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    if (rc == 0) {
        process_ = pid;
        char c = 0;
        for (;;) {
            const ssize_t n = ::read(out[0], &c, 1);
            if (n < 0 && errno == EINTR) continue;
            if (n != 1 || c == '\n') break;
            url_ += c;
        }
    }
    ::close(out[0]);
}

stand_in_issuer::~stand_in_issuer() {
    if (process_ > 0) {
        ::kill(static_cast<pid_t>(process_), SIGTERM);
        ::waitpid(static_cast<pid_t>(process_), nullptr, 0);
    }
}

std::string home_name() {
    return "home";
}

void prepare_host(cgi::host& h) {
    h.env["HOME"] = h.home;
    // The sanitizer runtime's settings pass through, so a finding fails the run.
    for (const char* keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (const char* v = std::getenv(keep)) h.env[keep] = v;
    }
}

void expect_owner_only(const std::string& path) {
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mode & 07777, 0600u) << path;
}

}  // namespace signin_test

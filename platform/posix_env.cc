// posix_env.cc: the environment and text on POSIX: variables, the clocks, standard output,
// the shell's quoting, and random bytes and sleeping for the sign-in programs.
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/platform.h"

extern char** environ;

namespace credvane::platform {

const char* env(const char* name) {
    return std::getenv(name);
}

std::vector<env_entry> environment() {
    std::vector<env_entry> all;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        const std::string_view entry(*e);
        const std::size_t eq = entry.find('=');
        if (eq == std::string_view::npos) continue;  // not a variable at all
        all.push_back({std::string(entry.substr(0, eq)), std::string(entry.substr(eq + 1))});
    }
    return all;
}

bool home_env(const char* name, std::span<char> out) {
    const char* v = std::getenv(name);
    if (v == nullptr || v[0] == '\0' || out.empty()) return false;
    const std::size_t n = std::strlen(v);
    if (n >= out.size()) return false;  // would not fit whole: a cut home is no home
    std::memcpy(out.data(), v, n + 1);
    return true;
}
std::int64_t now() {
    return static_cast<std::int64_t>(::time(nullptr));
}

int strnicmp(const char* a, const char* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        // Fold ASCII letters only, on the byte value: the locale plays no part.
        auto fold = [](char c) {
            const auto u = static_cast<unsigned char>(c);
            return (u >= 'A' && u <= 'Z') ? u + 32 : static_cast<int>(u);
        };
        const int ca = fold(a[i]);
        const int cb = fold(b[i]);
        if (ca != cb) return ca - cb;
        if (ca == 0) return 0;
    }
    return 0;
}

bool write_stdout(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t r = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(r));
    }
    return true;
}

// /bin/sh keeps "$", "`" and "\" live inside double quotes, so every argument goes in
// single quotes, where nothing is live; an embedded single quote becomes '\''.
void shell_quote_into(const char* text, std::span<char> out) {
    const std::size_t cap = out.size();
    std::size_t pos = 0;
    out[pos++] = '\'';
    for (const char* p = text ? text : ""; *p != '\0'; ++p) {
        const std::string_view piece =
            (*p == '\'') ? std::string_view("'\\''") : std::string_view(p, 1);
        // Room for the piece, the closing quote and the terminator.
        if (pos + piece.size() + 2 > cap) break;
        std::memcpy(out.data() + pos, piece.data(), piece.size());
        pos += piece.size();
    }
    out[pos++] = '\'';
    out[pos] = '\0';
}

std::int64_t monotonic_ms() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void load_libraries_from_system_only() {}

bool random_bytes(std::span<unsigned char> out) {
    std::size_t got = 0;
    while (got < out.size()) {
        const ssize_t r = ::getrandom(out.data() + got, out.size() - got, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        got += static_cast<std::size_t>(r);
    }
    return true;
}

void sleep_ms(int ms) {
    struct timespec t {};
    t.tv_sec = ms / 1000;
    t.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

bool keep_memory_private() {
    const struct rlimit none { 0, 0 };
    const bool no_core = ::setrlimit(RLIMIT_CORE, &none) == 0;
    // Not dumpable also keeps ptrace and /proc/PID/mem of the same user away.
    const bool not_dumpable = ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0;
    return no_core && not_dumpable;
}

bool set_env(const char* name, const char* value) {
    return ::setenv(name, value, 1) == 0;
}

void drop_env(const char* name) {
    ::unsetenv(name);
}

}  // namespace credvane::platform

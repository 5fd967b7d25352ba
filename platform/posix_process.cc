// posix_process.cc: processes on POSIX: finding a CLI, its environment and descriptors,
// its process group, its output and its end.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix_fds.h"
#include "platform/read_line.h"

namespace credvane::platform {

bool mark_cloexec_above_stderr(cloexec_way way) {
    switch (way) {
        case cloexec_way::close_range:
#if defined(SYS_close_range)
            // CLOSE_RANGE_CLOEXEC (4): mark instead of closing, so that our own descriptors
            // stay usable.
            return ::syscall(SYS_close_range, 3u, ~0u, 4u) == 0;
#else
            return false;
#endif
        case cloexec_way::proc_listing: {
            DIR* d = ::opendir("/proc/self/fd");
            if (d == nullptr) return false;
            const int own = ::dirfd(d);
            while (const struct dirent* e = ::readdir(d)) {
                int fd = 0;
                const char* c = e->d_name;
                if (*c < '0' || *c > '9') continue;
                for (; *c >= '0' && *c <= '9' && fd < (1 << 24); ++c) fd = fd * 10 + (*c - '0');
                if (fd <= STDERR_FILENO || fd == own) continue;
                const int flags = ::fcntl(fd, F_GETFD);
                if (flags >= 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
            }
            ::closedir(d);  // its own descriptor is close-on-exec already, and now closed
            return true;
        }
        case cloexec_way::bounded_loop: {
            const long limit = ::sysconf(_SC_OPEN_MAX);
            // A limit beyond reason would make this loop the slow path of every request.
            const int top = (limit <= 0 || limit > (1 << 20)) ? (1 << 20) : static_cast<int>(limit);
            for (int fd = STDERR_FILENO + 1; fd < top; ++fd) {
                const int flags = ::fcntl(fd, F_GETFD);
                if (flags >= 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
            }
            return true;
        }
    }
    return false;
}

namespace {

// Where a bare program name is searched when PATH is not set at all: the default of the
// Debian and Ubuntu /bin/sh, so that a node without PATH finds what it found before.
constexpr char default_path[] = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

start_failure failure_of(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
        case ELOOP:
        case ENAMETOOLONG:
            return start_failure::not_found;
        case EACCES:
        case EPERM:
            return start_failure::not_executable;
        default:
            return start_failure::no_resources;
    }
}

// The file a program name stands for, as the shell found it: a name with a slash is a
// path as it is; a bare name is the first executable regular file of that name in the
// folders of PATH. Only absolute PATH entries are searched: an empty entry, which the
// shell takes for the current folder, and every relative one (".", "./", "sub/..") name
// folders under a CGI's current folder, which is the host's choice, and a program left
// there must not run in the CLI's place (write "./name" to mean one there). A match that
// exists but may not be executed is passed over, as the shell does, and reported when
// nothing else matches.
start_failure find_program(const char* program, std::string& path) {
    if (std::strchr(program, '/') != nullptr) {
        path = program;
        return start_failure::none;
    }
    const char* search = std::getenv("PATH");
    if (search == nullptr) search = default_path;
    start_failure found = start_failure::not_found;
    const std::string_view name(program);
    for (std::string_view rest(search);;) {
        const std::size_t colon = rest.find(':');
        const std::string_view dir = rest.substr(0, colon);
        if (!dir.empty() && dir.front() == '/') {
            std::string candidate;
            candidate.reserve(dir.size() + 1 + name.size());
            candidate.append(dir);
            if (dir.back() != '/') candidate.push_back('/');
            candidate.append(name);
            struct stat st {};
            if (::stat(candidate.c_str(), &st) == 0) {
                if (S_ISREG(st.st_mode) &&
                    ::faccessat(AT_FDCWD, candidate.c_str(), X_OK, AT_EACCESS) == 0) {
                    path = std::move(candidate);
                    return start_failure::none;
                }
                found = start_failure::not_executable;
            } else if (errno == EACCES) {
                found = start_failure::not_executable;
            }
        }
        if (colon == std::string_view::npos) break;
        rest.remove_prefix(colon + 1);
    }
    return found;
}

}  // namespace

start_failure locate_program(const char* program, std::string& path) {
    if (program == nullptr || program[0] == '\0') return start_failure::not_found;
    const start_failure found = find_program(program, path);
    if (found != start_failure::none || std::strchr(program, '/') == nullptr) return found;
    // A path is run as written; say now what its start would say.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return failure_of(errno);
    if (!S_ISREG(st.st_mode) || ::faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) != 0) {
        return start_failure::not_executable;
    }
    return start_failure::none;
}

namespace {

// The environment block of a CLI: the entries as "NAME=value", and the pointers to them
// that the start takes, ended by a null pointer.
struct environment_block {
    explicit environment_block(std::span<const env_entry> environment) {
        entries.reserve(environment.size());
        for (const env_entry& e : environment) entries.push_back(e.name + "=" + e.value);
        for (std::string& e : entries) pointers.push_back(e.data());
        pointers.push_back(nullptr);
    }
    std::vector<std::string> entries;
    std::vector<char*> pointers;
};

// Every descriptor above standard error stays with credvane: a descriptor the host left
// open to us (its end of the request's pipes, say) must not stay open in a CLI or in what
// the CLI leaves behind, where the host would wait on it.
void keep_descriptors_home(posix_spawn_file_actions_t* actions) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    if (posix_spawn_file_actions_addclosefrom_np(actions, STDERR_FILENO + 1) == 0) return;
#else
    (void)actions;
#endif
    // Without a closing step in the spawn, every descriptor is marked close-on-exec here
    // before the start, the cheapest available way first.
    for (const cloexec_way way :
         {cloexec_way::close_range, cloexec_way::proc_listing, cloexec_way::bounded_loop}) {
        if (mark_cloexec_above_stderr(way)) return;
    }
}

}  // namespace

struct child_process::impl {
    pid_t pid = -1;
    int fd = -1;          // our end of the CLI's standard output, non-blocking
    int pidfd = -1;       // readable once the CLI itself has ended (-1 where unsupported)
    bool exited = false;  // the CLI has ended; it stays unreaped until finish()
    start_failure failure = start_failure::no_resources;  // until it has started
    std::int64_t deadline_ms = 0;                         // 0: no bound
    bool timed_out = false;
    bool eof = false;
    char chunk[4096];
    std::size_t chunk_pos = 0;
    std::size_t chunk_len = 0;

    // Milliseconds left before the deadline, -1 for no bound; 0 once it has passed.
    int remaining_ms() const {
        if (deadline_ms == 0) return -1;
        const std::int64_t left = deadline_ms - monotonic_ms();
        return left <= 0 ? 0 : static_cast<int>(std::min<std::int64_t>(left, 1 << 30));
    }

    // Whether the CLI has ended, without reaping it: while it is a zombie its process id,
    // and so its group's id, cannot be handed to anyone else.
    bool has_exited() const {
        siginfo_t info{};
        return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == pid;
    }

    // One read; 1 with data in chunk, 0 at the end of the output, -1 when nothing is there yet.
    int read_some() {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            chunk_pos = 0;
            chunk_len = static_cast<std::size_t>(n);
            return 1;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return -1;
        return 0;
    }

    bool refill() {
        while (!eof && !timed_out) {
            // Once the CLI has ended, its answer is whatever the pipe still holds: a child
            // it left behind with the pipe open must not hold the request.
            if (exited) {
                const int r = read_some();
                if (r == 1) return true;
                if (r == -1 && errno == EINTR) continue;
                eof = true;
                break;
            }
            struct pollfd pfds[2] = {{fd, POLLIN, 0}, {pidfd, POLLIN, 0}};
            const int wait = remaining_ms();
            if (wait == 0) {
                timed_out = true;
                break;
            }
            const int r = ::poll(pfds, pidfd >= 0 ? 2 : 1, wait);
            if (r < 0 && errno == EINTR) continue;
            if (r == 0) {
                timed_out = true;
                break;
            }
            if (pfds[0].revents != 0) {
                const int got = read_some();
                if (got == 1) return true;
                if (got == 0) {
                    eof = true;
                    break;
                }
                continue;
            }
            if (pidfd >= 0 && pfds[1].revents != 0) exited = has_exited();
        }
        return false;
    }

    // Closes our end of the CLI's output.
    void close_output() {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }

    // Ends the CLI with everything it started and reaps it: the result of waitpid, the
    // status in status. No command outlives its run: whatever the CLI started in its group
    // ends with it (the CLI itself, unreaped, still holds the group's id, so no other group
    // can be hit).
    pid_t end_group(int& status) {
        if (pidfd >= 0) {
            ::close(pidfd);
            pidfd = -1;
        }
        const pid_t ended = pid;
        pid = -1;
        ::kill(-ended, SIGKILL);
        pid_t r = -1;
        do {
            r = ::waitpid(ended, &status, 0);
        } while (r < 0 && errno == EINTR);
        return r;
    }
};

child_process::child_process(const char* program, std::span<const std::string_view> args,
                             int timeout_ms, std::span<const env_entry> environment)
    : p_(std::make_unique<impl>()) {
    if (program == nullptr || program[0] == '\0') {
        p_->failure = start_failure::not_found;
        return;
    }
    std::string path;
    p_->failure = find_program(program, path);
    if (p_->failure != start_failure::none) return;

    // argv as the shell built it from the quoted words: the program as written, then the
    // arguments. Room in front for the shell, should the program turn out to be a script
    // without a "#!" line.
    std::vector<std::string> words;
    words.reserve(args.size() + 2);
    words.emplace_back("/bin/sh");
    words.emplace_back(program);
    for (const std::string_view a : args) words.emplace_back(a);
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    environment_block envp(environment);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        p_->failure = start_failure::no_resources;
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    // Our own stdin belongs to the request body; the CLI gets the null device, and its
    // complaints go there too: credvane writes nothing to standard error.
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, null_device, O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, null_device, O_WRONLY, 0);
    keep_descriptors_home(&actions);
    // A group of its own, so that a run that overstays can be ended with all it started.
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    int rc =
        ::posix_spawn(&pid, path.c_str(), &actions, &attr, argv.data() + 1, envp.pointers.data());
    if (rc == ENOEXEC) {
        // No "#!" line: the shell ran such a file as a script of its own, and so do we.
        argv[1] = path.data();
        rc = ::posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), envp.pointers.data());
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        p_->failure = failure_of(rc);
        return;
    }
    p_->pid = pid;
    p_->fd = fds[0];
    ::fcntl(p_->fd, F_SETFL, ::fcntl(p_->fd, F_GETFL) | O_NONBLOCK);
#ifdef SYS_pidfd_open
    p_->pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#endif
    if (timeout_ms > 0) p_->deadline_ms = monotonic_ms() + timeout_ms;
}

child_process::~child_process() {
    if (p_->pid > 0) (void)finish();
}

bool child_process::started() const {
    return p_->pid > 0;
}

start_failure child_process::failure() const {
    return p_->failure;
}

std::size_t child_process::read_line(std::span<char> piece) {
    if (p_->fd < 0 || piece.size() < 2) return 0;
    return read_line_from(*p_, piece);
}

run_result child_process::stop() {
    if (p_->pid <= 0) return run_result::not_found;
    p_->close_output();
    int status = 0;
    p_->end_group(status);
    return run_result::ran;
}

run_result child_process::finish() {
    if (p_->pid <= 0) return run_result::not_found;
    // Closing our end first: a CLI still writing gets SIGPIPE instead of blocking.
    p_->close_output();
    int nap_us = 100;
    while (!p_->exited && !p_->timed_out) {
        p_->exited = p_->has_exited();
        if (p_->exited) break;
        const int wait = p_->remaining_ms();
        if (wait == 0) {
            p_->timed_out = true;
            break;
        }
        if (p_->pidfd >= 0) {
            struct pollfd pfd {
                p_->pidfd, POLLIN, 0
            };
            ::poll(&pfd, 1, wait);
        } else {
            ::usleep(static_cast<useconds_t>(nap_us));
            nap_us = std::min(nap_us * 2, 20000);
        }
    }
    const pid_t pid = p_->pid;
    int status = 0;
    const pid_t r = p_->end_group(status);
    if (p_->timed_out) return run_result::timed_out;
    if (r != pid) return run_result::ran;  // no status to judge: count it as run
    const int code = (status >> 8) & 0xff;
    if (WIFEXITED(status) && (code == 126 || code == 127)) return run_result::not_found;
    return run_result::ran;
}

}  // namespace credvane::platform

// posix_files.cc: files and paths on POSIX: reading, testing, removing and listing files,
// and for the sign-in programs locking, replacing and creating them.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/files.h"
#include "platform/platform.h"

namespace credvane::platform {

bool is_non_directory(const char* path) {
    struct stat st {};
    if (path == nullptr || path[0] == '\0' || ::stat(path, &st) != 0) return false;
    return !S_ISDIR(st.st_mode);
}

regular_file::regular_file(const char* path, std::uint64_t max_size) : handle_(-1) {
    if (path == nullptr || path[0] == '\0') return;
    // O_NONBLOCK: opening a FIFO without a writer must not hang the request; the
    // regular-file test right after refuses it anyway.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
        static_cast<std::uint64_t>(st.st_size) > max_size) {
        ::close(fd);
        return;
    }
    handle_ = fd;
    size_ = static_cast<std::uint64_t>(st.st_size);
    left_ = size_;
}

// A POSIX rename replaces a file that readers hold open: a reader needs no lock.
credential_read_lock::credential_read_lock(const char*, std::int64_t) {}

credential_read_lock::~credential_read_lock() = default;

regular_file::~regular_file() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

bool regular_file::is_open() const {
    return handle_ >= 0;
}

std::optional<std::size_t> regular_file::read(std::span<char> out) {
    if (handle_ < 0) return std::nullopt;
    if (left_ == 0) return 0;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), left_));
    for (;;) {
        const ssize_t r = ::read(static_cast<int>(handle_), out.data(), want);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return std::nullopt;  // an error, or the file is shorter than it was
        left_ -= static_cast<std::uint64_t>(r);
        return static_cast<std::size_t>(r);
    }
}

std::optional<std::string> read_regular_file(const char* path, std::uint64_t max_size) {
    regular_file file(path, max_size);
    if (!file.is_open()) return std::nullopt;
    std::string text;
    std::array<char, 64 * 1024> block;
    for (;;) {
        const std::optional<std::size_t> n = file.read(block);
        if (!n) return std::nullopt;
        if (*n == 0) return text;
        text.append(block.data(), *n);
    }
}

bool remove_file(const char* path) {
    return ::unlink(path) == 0;
}

bool reserved_file_name(std::string_view) {
    return false;
}

struct json_dir::impl {
    DIR* d = nullptr;
    const struct dirent* entry = nullptr;
    std::size_t left = 0;
};

json_dir::json_dir(const char* dir, std::size_t max_entries) : p_(std::make_unique<impl>()) {
    p_->d = dir != nullptr ? ::opendir(dir) : nullptr;
    p_->left = max_entries;
}

json_dir::~json_dir() {
    if (p_->d != nullptr) ::closedir(p_->d);
}

const char* json_dir::next() {
    p_->entry = nullptr;
    if (p_->d == nullptr) return nullptr;
    while (p_->left > 0) {
        const struct dirent* e = ::readdir(p_->d);
        if (e == nullptr) break;
        --p_->left;
        const std::string_view name(e->d_name);
        if (name.size() < 5 || name.substr(name.size() - 5) != ".json") continue;
        p_->entry = e;
        return e->d_name;
    }
    p_->left = 0;
    return nullptr;
}

bool json_dir::is_dir() {
    const struct dirent* e = p_->entry;
    if (e == nullptr) return false;
#ifdef _DIRENT_HAVE_D_TYPE
    // A link is followed, as stat does; only it and an unknown type need the file system.
    if (e->d_type == DT_DIR) return true;
    if (e->d_type != DT_UNKNOWN && e->d_type != DT_LNK) return false;
#endif
    struct stat st {};
    return ::fstatat(::dirfd(p_->d), e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
}

// --- For the sign-in programs ---

namespace {

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t w = ::write(fd, bytes.data(), bytes.size());
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(w));
    }
    return true;
}

std::string folder_of(std::string_view path) {
    const std::size_t cut = path.rfind('/');
    return cut == std::string_view::npos ? std::string() : std::string(path.substr(0, cut + 1));
}

}  // namespace

file_lock::~file_lock() {
    if (held()) ::close(static_cast<int>(handle_));  // closing the last descriptor unlocks
}

file_lock::file_lock(file_lock&& other) noexcept : handle_(other.handle_), busy_(other.busy_) {
    other.handle_ = invalid;
    other.busy_ = false;
}

file_lock& file_lock::operator=(file_lock&& other) noexcept {
    if (this != &other) {
        if (held()) ::close(static_cast<int>(handle_));
        handle_ = other.handle_;
        busy_ = other.busy_;
        other.handle_ = invalid;
        other.busy_ = false;
    }
    return *this;
}

namespace {

// Does nothing: the signal is only there to make a blocking flock return with EINTR.
extern "C" void end_lock_wait(int) {}

timeval as_timeval(std::int64_t ms) {
    timeval t{};
    t.tv_sec = static_cast<time_t>(ms / 1000);
    t.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    return t;
}

// Waits in flock for the exclusive lock on fd until deadline_ms. flock has no time limit
// of its own, so an interval timer raises SIGALRM at the deadline, caught without
// SA_RESTART so that flock gives up with EINTR. The timer goes on firing every 20 ms after
// that: a signal that lands just before flock begins is followed by another, so the wait
// cannot outlive its deadline by more than that. The timer and the former handler are put
// back before returning; no child process is started in between, so none inherits them.
// 1 held, 0 the time ran out, -1 another failure.
int wait_for_lock(int fd, std::int64_t deadline_ms) {
    struct sigaction wake {};
    wake.sa_handler = end_lock_wait;
    sigemptyset(&wake.sa_mask);
    wake.sa_flags = 0;  // no SA_RESTART
    struct sigaction former {};
    if (::sigaction(SIGALRM, &wake, &former) != 0) return -1;
    // A caller that blocks SIGALRM would never see the deadline: it is let through while
    // waiting, and blocked again after.
    sigset_t alarm_only;
    sigemptyset(&alarm_only);
    sigaddset(&alarm_only, SIGALRM);
    sigset_t former_mask;
    ::pthread_sigmask(SIG_UNBLOCK, &alarm_only, &former_mask);
    itimerval former_timer{};
    int result = 0;
    bool armed = false;
    for (;;) {
        const std::int64_t left = deadline_ms - monotonic_ms();
        if (left <= 0) break;
        if (!armed) {
            itimerval timer{};
            timer.it_value = as_timeval(left);
            timer.it_interval = as_timeval(20);
            if (::setitimer(ITIMER_REAL, &timer, &former_timer) != 0) {
                result = -1;
                break;
            }
            armed = true;
        }
        if (::flock(fd, LOCK_EX) == 0) {
            result = 1;
            break;
        }
        if (errno != EINTR) {
            result = -1;
            break;
        }
        // Interrupted by our timer (the deadline) or by another signal: the loop decides.
    }
    // The timer first, then the handler: a SIGALRM of ours already on its way is delivered
    // before setitimer returns to this single thread, and still finds our handler.
    if (armed) ::setitimer(ITIMER_REAL, &former_timer, nullptr);
    ::sigaction(SIGALRM, &former, nullptr);
    ::pthread_sigmask(SIG_SETMASK, &former_mask, nullptr);
    return result;
}

}  // namespace

file_lock file_lock::acquire(const char* path, std::int64_t deadline_ms) {
    // O_NOFOLLOW: a lock file planted as a link must not make us create a file elsewhere.
    const int fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0600);
    if (fd < 0) return file_lock();
    // flock, as the Codex CLI takes it, so the two programs exclude each other. A lock that
    // is free costs one call and no signal handling.
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return file_lock(fd);
    if (errno != EWOULDBLOCK && errno != EINTR) {
        ::close(fd);
        return file_lock();
    }
    const int waited = wait_for_lock(fd, deadline_ms);
    if (waited == 1) return file_lock(fd);
    ::close(fd);
    return waited == 0 ? ran_out() : file_lock();
}

bool replace_file(const char* path, std::string_view temp_prefix, std::string_view bytes,
                  std::int64_t) {
    if (path == nullptr || path[0] == '\0') return false;
    const std::string folder = folder_of(path);
    std::string temp = folder + std::string(temp_prefix) + "XXXXXX";
    // mkostemp opens with O_RDWR | O_CREAT | O_EXCL and mode 0600.
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fchmod(fd, 0600) == 0 && write_all(fd, bytes) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok) ok = ::rename(temp.c_str(), path) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    // The rename itself reaches the disk with its folder.
    const int dfd =
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

bool make_private_dirs(const char* dir) {
    if (dir == nullptr || dir[0] == '\0') return false;
    const std::string path(dir);
    for (std::size_t at = 1; at <= path.size(); ++at) {
        if (at < path.size() && path[at] != '/') continue;
        const std::string part = path.substr(0, at);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat st {};
    return ::stat(dir, &st) == 0 && S_ISDIR(st.st_mode);
}

std::string folder_write_problem(const char* dir) {
    if (dir == nullptr || dir[0] == '\0') return {};
    std::string at(dir);
    while (at.size() > 1 && at.back() == '/') at.pop_back();
    for (;;) {
        struct stat st {};
        if (::stat(at.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) return at + " is not a folder";
            // The effective user's rights, as the file's creation would be judged.
            if (::faccessat(AT_FDCWD, at.c_str(), W_OK | X_OK, AT_EACCESS) == 0) return {};
            return at + " cannot be written: " + std::strerror(errno);
        }
        if (errno != ENOENT && errno != ENOTDIR) {
            return at + " cannot be examined: " + std::strerror(errno);
        }
        const std::size_t slash = at.find_last_of('/');
        if (slash == std::string::npos) {
            if (at == ".") return ". cannot be examined: " + std::string(std::strerror(errno));
            at.assign(1, '.');
        } else {
            at.resize(slash == 0 ? 1 : slash);
        }
    }
}

std::string folder_write_access(const char* dir) {
    // The POSIX check asks the rights and tries nothing already.
    return folder_write_problem(dir);
}

namespace {

// The user's name in the local password file, read as plain text: a static program loads
// no name-service module, and the names a web server runs as live there.
std::string local_user_name(uid_t uid) {
    const std::optional<std::string> passwd = read_regular_file("/etc/passwd", 4 * 1024 * 1024);
    if (!passwd) return {};
    const std::string id = std::to_string(uid);
    std::string_view rest(*passwd);
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        // name:password:uid:...
        const std::size_t first = line.find(':');
        if (first == std::string_view::npos) continue;
        const std::size_t second = line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::size_t third = line.find(':', second + 1);
        if (line.substr(second + 1, third == std::string_view::npos ? std::string_view::npos
                                                                    : third - second - 1) == id) {
            return std::string(line.substr(0, first));
        }
    }
    return {};
}

}  // namespace

user_facts current_user() {
    const uid_t uid = ::geteuid();
    return user_facts{local_user_name(uid), "uid " + std::to_string(uid), uid == 0};
}

std::optional<owner_facts> owner_of(const char* path) {
    struct stat st {};
    if (path == nullptr || path[0] == '\0' || ::stat(path, &st) != 0) return std::nullopt;
    std::string name = local_user_name(st.st_uid);
    const std::string id = "uid " + std::to_string(st.st_uid);
    return owner_facts{name.empty() ? id : name + " (" + id + ")", st.st_uid == ::geteuid()};
}

std::string unsafe_folder(const char* dir) {
    struct stat st {};
    if (dir == nullptr || dir[0] == '\0') return {};
    if (::stat(dir, &st) != 0) {
        // Missing: it is made private when written. Anything else we cannot judge.
        return errno == ENOENT ? std::string() : std::string(dir) + " cannot be examined";
    }
    if (!S_ISDIR(st.st_mode)) return std::string(dir) + " is not a folder";
    if (st.st_uid != ::geteuid() && st.st_uid != 0)
        return std::string(dir) + " belongs to another user";
    // The sticky bit does not make such a folder safe: another user may still create the
    // credential file first, as a link or as a file of their own, and we would write through
    // it or read it as ours.
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return std::string(dir) + " may be written by other users (group or others may write it)";
    }
    return {};
}

std::string foreign_owner(const char* path) {
    struct stat st {};
    if (path == nullptr || path[0] == '\0') return {};
    if (::stat(path, &st) != 0) {
        return errno == ENOENT ? std::string() : std::string(path) + " cannot be examined";
    }
    if (st.st_uid != ::geteuid() && st.st_uid != 0)
        return std::string(path) + " belongs to another user";
    return {};
}

namespace {

// The file path leads to, links followed as the system follows them (up to its own limit),
// with its stat in st (st_nlink 0 when nothing is there: a new file, or a link to one yet to
// be made). Nothing, with the reason in why, for a link that cannot be read, a loop, or
// something other than a regular file.
std::optional<std::string> follow_links(const char* path, struct stat& st, std::string* why) {
    std::string target(path == nullptr ? "" : path);
    for (int hops = 0; hops < 40; ++hops) {
        st = {};
        if (::lstat(target.c_str(), &st) != 0) {
            st = {};
            if (errno == ENOENT) return target;
            if (why != nullptr) *why = target + " cannot be examined";
            return std::nullopt;
        }
        if (S_ISLNK(st.st_mode)) {
            std::array<char, 4096> buf{};
            const ssize_t n = ::readlink(target.c_str(), buf.data(), buf.size());
            if (n <= 0 || static_cast<std::size_t>(n) >= buf.size()) {
                if (why != nullptr) *why = target + " is a link that cannot be read";
                return std::nullopt;
            }
            const std::string to(buf.data(), static_cast<std::size_t>(n));
            target = to.front() == '/' ? to : folder_of(target) + to;
            continue;
        }
        if (!S_ISREG(st.st_mode)) {
            if (why != nullptr) *why = target + " is not a regular file";
            return std::nullopt;
        }
        return target;
    }
    if (why != nullptr) *why = std::string(path) + " is a loop of links";
    return std::nullopt;
}

}  // namespace

std::optional<std::string> write_target(const char* path, std::string* why) {
    struct stat st {};
    auto target = follow_links(path, st, why);
    if (target && st.st_nlink > 1) {
        if (why != nullptr) *why = *target + " has other hard links; refusing to write it";
        return std::nullopt;
    }
    return target;
}

file_removal::file_removal(const char* path, std::string* why) {
    struct stat st {};
    const auto target = follow_links(path, st, why);
    if (!target) return;
    target_ = *target;
    if (st.st_nlink == 0) {
        ready_ = true;
        done_ = true;  // nothing there to remove
        return;
    }
    shared_ = st.st_nlink > 1;
    if (shared_) {
        // Opened now: emptying it must not fail once the rest is done.
        const int fd = ::open(target_.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) {
            if (why != nullptr) *why = target_ + " cannot be emptied: " + std::strerror(errno);
            return;
        }
        writer_ = fd;
    }
    // A rename asks of the folder and the file what their removal asks (rights, the sticky
    // bit, no immutable flag), and moves them while nothing else has happened yet.
    std::string aside = folder_of(target_) + ".auth-XXXXXX";
    const int fd = ::mkostemp(aside.data(), O_CLOEXEC);
    if (fd < 0) {
        if (why != nullptr) *why = target_ + " cannot be removed: " + std::strerror(errno);
        return;
    }
    ::close(fd);
    if (::rename(target_.c_str(), aside.c_str()) != 0) {
        if (why != nullptr) *why = target_ + " cannot be removed: " + std::strerror(errno);
        ::unlink(aside.c_str());
        return;
    }
    aside_ = aside;
    ready_ = true;
}

file_removal::~file_removal() {
    if (!done_ && !aside_.empty()) ::rename(aside_.c_str(), target_.c_str());
    if (writer_ >= 0) ::close(static_cast<int>(writer_));
}

bool file_removal::remove() {
    if (!ready_) return false;
    if (done_) return true;
    if (writer_ >= 0) {
        const int fd = static_cast<int>(writer_);
        if (::ftruncate(fd, 0) != 0 || ::fsync(fd) != 0) return false;
    }
    if (::unlink(aside_.c_str()) != 0 && errno != ENOENT) return false;
    done_ = true;
    return true;
}

void remove_stale_files(const char* dir, std::string_view prefix, std::int64_t older_than_ms,
                        std::size_t max_entries) {
    if (dir == nullptr || dir[0] == '\0' || prefix.empty()) return;
    DIR* d = ::opendir(dir);
    if (d == nullptr) return;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const std::int64_t now_ms =
        static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    for (std::size_t left = max_entries; left > 0; --left) {
        const struct dirent* e = ::readdir(d);
        if (e == nullptr) break;
        if (!std::string_view(e->d_name).starts_with(prefix)) continue;
        struct stat st {};
        // Not followed: a link planted under our pattern leads nowhere we remove.
        if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
            continue;
        }
        const std::int64_t written =
            static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
        if (now_ms - written > older_than_ms) ::unlinkat(::dirfd(d), e->d_name, 0);
    }
    ::closedir(d);
}

}  // namespace credvane::platform

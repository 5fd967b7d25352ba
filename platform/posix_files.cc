// posix_files.cc: files and paths on POSIX: reading, testing, removing and listing files.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/platform.h"

namespace credvane::platform {

bool is_non_directory(const char* path) {
    struct stat st {};
    if (path == nullptr || path[0] == '\0' || ::stat(path, &st) != 0) return false;
    return !S_ISDIR(st.st_mode);
}

std::optional<std::string> read_regular_file(const char* path, std::uint64_t max_size) {
    if (path == nullptr || path[0] == '\0') return std::nullopt;
    // O_NONBLOCK: opening a FIFO without a writer must not hang the request; the
    // regular-file test right after refuses it anyway.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    std::optional<std::string> result;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0 &&
        static_cast<std::uint64_t>(st.st_size) <= max_size) {
        std::string text(static_cast<std::size_t>(st.st_size), '\0');
        std::size_t got = 0;
        while (got < text.size()) {
            const ssize_t r = ::read(fd, text.data() + got, text.size() - got);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            got += static_cast<std::size_t>(r);
        }
        if (got == text.size()) result = std::move(text);
    }
    ::close(fd);
    return result;
}

bool remove_file(const char* path) {
    return ::unlink(path) == 0;
}

bool make_folder(const char* path) {
    if (path == nullptr || path[0] == '\0') return false;
    if (::mkdir(path, 0700) == 0) return true;
    struct stat st {};
    return errno == EEXIST && ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

file_lock::file_lock(const char* path, int wait_ms) {
    if (path == nullptr || path[0] == '\0') return;
    // Not through a link, and never blocking on a special file put in its place.
    const int fd =
        ::open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK, 0600);
    if (fd < 0) return;
    handle_ = fd;
    // The wait asks again and again, a little less often each time, up to its end: a
    // blocking flock could not be bounded without a signal or a thread.
    const std::int64_t deadline = monotonic_ms() + (wait_ms > 0 ? wait_ms : 0);
    long nap_us = 500;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            state_ = state::held;
            return;
        }
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return;
        const std::int64_t left_ms = deadline - monotonic_ms();
        if (left_ms <= 0) {
            state_ = state::timed_out;
            return;
        }
        const long nap = std::min<long>(nap_us, static_cast<long>(left_ms) * 1000);
        struct timespec ts {
            nap / 1000000, (nap % 1000000) * 1000
        };
        ::nanosleep(&ts, nullptr);
        nap_us = std::min<long>(nap_us * 2, 20000);
    }
}

file_lock::~file_lock() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));  // closing lets the lock go
}

bool reserved_file_name(std::string_view) {
    return false;
}

std::vector<dir_entry> list_json_entries(const char* dir) {
    std::vector<dir_entry> entries;
    DIR* d = ::opendir(dir);
    if (d == nullptr) return entries;
    const int dfd = ::dirfd(d);
    while (const struct dirent* e = ::readdir(d)) {
        const std::string_view name(e->d_name);
        if (name.size() < 5 || name.substr(name.size() - 5) != ".json") continue;
        struct stat st {};
        const bool is_dir = ::fstatat(dfd, e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
        entries.push_back({std::string(name), is_dir});
    }
    ::closedir(d);
    std::sort(entries.begin(), entries.end(),
              [](const dir_entry& a, const dir_entry& b) { return a.name < b.name; });
    return entries;
}

}  // namespace credvane::platform

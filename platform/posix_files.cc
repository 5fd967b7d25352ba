// posix_files.cc: files and paths on POSIX: reading, testing, removing and listing files.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

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

}  // namespace credvane::platform

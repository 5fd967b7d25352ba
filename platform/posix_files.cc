// posix_files.cc: files and paths on POSIX: reading, testing, removing and listing files,
// and for the sign-in programs locking, replacing and creating them.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/files.h"
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

file_lock::file_lock(file_lock&& other) noexcept : handle_(other.handle_) {
    other.handle_ = invalid;
}

file_lock& file_lock::operator=(file_lock&& other) noexcept {
    if (this != &other) {
        if (held()) ::close(static_cast<int>(handle_));
        handle_ = other.handle_;
        other.handle_ = invalid;
    }
    return *this;
}

file_lock file_lock::acquire(const char* path, std::int64_t deadline_ms) {
    // O_NOFOLLOW: a lock file planted as a link must not make us create a file elsewhere.
    const int fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0600);
    if (fd < 0) return file_lock();
    // flock, as the Codex CLI takes it, so the two programs exclude each other. A blocking
    // flock cannot be bounded, so try without blocking until the deadline.
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return file_lock(fd);
        if (errno != EWOULDBLOCK && errno != EINTR) break;
        if (monotonic_ms() >= deadline_ms) break;
        sleep_ms(5);
    }
    ::close(fd);
    return file_lock();
}

bool replace_file(const char* path, std::string_view temp_prefix, std::string_view bytes) {
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
    const int dfd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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

}  // namespace credvane::platform

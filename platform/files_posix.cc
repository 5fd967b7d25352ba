// files_posix.cc: locks, atomic replacement, private folders and random bytes on POSIX.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/files.h"
#include "platform/platform.h"

namespace credvane::platform {

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

}  // namespace credvane::platform

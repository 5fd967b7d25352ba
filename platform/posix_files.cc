// posix_files.cc: files and paths on POSIX: reading, testing, removing and listing files.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
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

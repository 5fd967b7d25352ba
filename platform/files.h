// files.h: the file services the sign-in programs need beyond reading: exclusive locks,
// replacing a file atomically, private folders and random bytes. credvane itself never
// writes a file; credvane-login and credvane-refresh do, as the Codex CLI does.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace credvane::platform {

// An exclusive lock on a lock file, held until the object goes. The lock file is created
// (mode 0600) when missing and stays afterwards, empty, as the Codex CLI leaves its own.
class file_lock {
  public:
    file_lock() = default;
    ~file_lock();
    file_lock(file_lock&& other) noexcept;
    file_lock& operator=(file_lock&& other) noexcept;
    file_lock(const file_lock&) = delete;
    file_lock& operator=(const file_lock&) = delete;

    // Takes the lock on path. While another process holds it, the caller sleeps in the
    // system until the lock is free or deadline_ms (a monotonic_ms time) has come, whichever
    // is first; nothing polls. The result holds nothing when the lock file cannot be opened
    // or the time ran out (busy() tells the two apart). On POSIX the wait is ended by
    // SIGALRM from an interval timer: call it from the main thread, with no interval timer
    // of your own running; both are as they were when it returns.
    static file_lock acquire(const char* path, std::int64_t deadline_ms);

    bool held() const { return handle_ != invalid; }
    // Another process held the lock until the deadline.
    bool busy() const { return busy_; }

  private:
    static constexpr std::intptr_t invalid = -1;
    explicit file_lock(std::intptr_t handle) : handle_(handle) {}
    static file_lock ran_out() {
        file_lock none;
        none.busy_ = true;
        return none;
    }
    std::intptr_t handle_ = invalid;
    bool busy_ = false;
};

// Replaces the file at path with bytes: a new file named temp_prefix followed by random
// characters is created exclusively, mode 0600, in path's folder, written, flushed to the
// disk and renamed over path. A reader that holds the old file open keeps reading the old
// bytes. On any failure the temporary file is removed and path is left as it was.
bool replace_file(const char* path, std::string_view temp_prefix, std::string_view bytes);

// Creates the folder dir and its missing parents, each new one readable by its owner only
// (0700). True when dir is a folder afterwards.
bool make_private_dirs(const char* dir);

// Fills out with random bytes from the system's cryptographic source.
bool random_bytes(std::span<unsigned char> out);

// Blocks the calling thread for about ms milliseconds.
void sleep_ms(int ms);

}  // namespace credvane::platform

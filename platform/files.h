// files.h: the file services the sign-in programs need beyond reading: exclusive locks,
// replacing a file atomically, private folders and random bytes. credvane itself never
// writes a file; credvane-login and credvane-refresh do, as the Codex CLI does.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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
// On Windows, which has no mode bits, the new file takes the old file's access rules (a
// file narrowed by hand stays narrow) when the old file belongs to this user, LocalSystem
// or the administrators, and otherwise a DACL for its owner, LocalSystem and the
// administrators alone; a symbolic link is written through to its target, and a file with
// more than one hard link, or whose rules cannot be read, is refused. Where the rename must
// wait for other programs to close the old file, it is tried again until busy_until_ms (a
// monotonic_ms time), or briefly when that is 0.
bool replace_file(const char* path, std::string_view temp_prefix, std::string_view bytes,
                  std::int64_t busy_until_ms = 0);

// Creates the folder dir and its missing parents, each new one readable by its owner only
// (0700; on Windows a protected DACL for its owner, LocalSystem and the administrators,
// passed on to what is made in it).
// True when dir is a folder afterwards.
bool make_private_dirs(const char* dir);

// Why this process could not make a file in the folder dir, with the system's reason, or
// empty when it can. A folder yet to be made counts as its nearest existing parent, where
// it would be made. Writes nothing on POSIX; on Windows, which cannot answer without trying,
// it creates a file of its own name in that folder and deletes it at once.
std::string folder_write_problem(const char* dir);

// Why this process may not make a file in the folder dir, judged from its rights alone and
// never by a try, so it writes nothing on any system; or empty. A folder yet to be made
// counts as its nearest existing parent. A full disk or a read-only share does not show.
std::string folder_write_access(const char* dir);

// Fills out with random bytes from the system's cryptographic source.
bool random_bytes(std::span<unsigned char> out);

// Blocks the calling thread for about ms milliseconds.
void sleep_ms(int ms);

// Keeps the tokens this process will hold out of any dump of its memory: no core file,
// and on POSIX no debugger or /proc reader of the same user. True when it took effect.
bool keep_memory_private();

// Removes a variable from this process's own environment, so that a library loaded later
// never sees it.
void drop_env(const char* name);

// Why credentials must not be written into the folder dir, or empty when they may: a
// folder that another user could change under us (writable by group or others, with the
// sticky bit or without, or owned by a user other than us and root), as ssh judges its own. On
// Windows the same in its terms: owned by another than us, LocalSystem and the administrators,
// or with an access rule that lets another account add or delete files in it or change its
// rules or owner. A folder that does not exist yet is fine: it is made private.
std::string unsafe_folder(const char* dir);

// Why the file at path must not be trusted, or empty when it may (or is missing): it
// belongs to another user than us and root (on Windows, LocalSystem and the
// administrators), who could have put it there to have us act on what it says.
std::string foreign_owner(const char* path);

// The file a write to path must replace, as the Codex CLI writes its credential file: a
// symbolic link is followed to its target (the link stays a link), a missing file is
// path itself. Nothing, with the reason in why, for a file with more than one hard link
// (replacing it would part it from its other names silently), for anything but a regular
// file, and on Windows for a file whose access rules cannot be read.
std::optional<std::string> write_target(const char* path, std::string* why);

// Removes the files in dir whose names begin with prefix and that were last written more
// than older_than_ms ago: what a run that was ended halfway left behind. Only regular files
// this process's user owns go (on Windows, which judges by rules, any file that matches);
// at most max_entries names are looked at.
void remove_stale_files(const char* dir, std::string_view prefix, std::int64_t older_than_ms,
                        std::size_t max_entries = 4096);

// A credential file readied to go before anything else is done for its removal (a token
// revoked, say), so that the file that cannot go is known while nothing has happened yet. It
// is the file that holds the bytes: a symbolic link is followed, as a write follows it, and
// the link stays. On POSIX the file is moved aside to a name of its own beside it
// (".auth-" and random characters), which proves it can go; on Windows it is held open for
// deletion, which no other program can keep it from any more. Left unremoved, it is put back
// (POSIX) or let go (Windows) when the object goes.
class file_removal {
  public:
    // why: the reason, for a person, when the file cannot go (ready() false). A path where
    // nothing is is ready, and its removal removes nothing.
    file_removal(const char* path, std::string* why);
    ~file_removal();
    file_removal(const file_removal&) = delete;
    file_removal& operator=(const file_removal&) = delete;

    bool ready() const { return ready_; }
    // Removes the file. One that other hard links share is emptied first: its bytes belong
    // to every name, and the tokens must leave the disk, not one name. True when it is gone.
    bool remove();

  private:
    bool ready_ = false;
    bool done_ = false;
    std::string target_;  // the file that holds the bytes
    std::string aside_;   // POSIX: where it was moved
#ifdef _WIN32
    std::intptr_t handle_ = -1;  // open for deletion
#endif
    std::intptr_t writer_ = -1;  // open for emptying
    bool shared_ = false;        // other hard links share the bytes
};

#ifdef _WIN32
// wmain's arguments in UTF-8. Windows hands main its arguments in the ANSI code page, which
// cannot hold every path; the UTF-16 ones can. Nothing when one holds a lone surrogate,
// which no UTF-8 text can name.
std::optional<std::vector<std::string>> utf8_arguments(int argc, const wchar_t* const* argv);
#endif

}  // namespace credvane::platform

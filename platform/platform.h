// platform.h: every operating-system service credvane uses, behind one interface.
// Nothing outside platform/ includes a system header for a call that differs between
// POSIX and Windows; each system implements it in three files, posix_*.cc and win32_*.cc
// (files and paths, processes, environment and text).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace credvane::platform {

#ifdef _WIN32
inline constexpr char dir_sep = '\\';
inline constexpr char null_device[] = "NUL";
#else
inline constexpr char dir_sep = '/';
inline constexpr char null_device[] = "/dev/null";
#endif

// The plain environment rule: the value, or null when the variable is not defined.
// An empty value is returned as the empty string.
const char* env(const char* name);

// The rule of the home variables: copies the value into out and returns true only when
// the variable is defined, not empty and fits out with its terminator. A value too long
// for out is unusable (false), so the caller moves on to its next choice.
bool home_env(const char* name, std::span<char> out);

// Sets a variable in this process's own environment, which the CLIs it starts then inherit
// (as child_env.h lets them). False when the system refused.
bool set_env(const char* name, const char* value);

// True when path names something that exists and is not a directory.
bool is_non_directory(const char* path);

// The whole content of a regular file of at most max_size bytes; nothing for anything
// else (missing, unreadable, a directory, a FIFO or device, or larger than max_size).
// Never blocks on a special file.
std::optional<std::string> read_regular_file(const char* path, std::uint64_t max_size);

// While it lives, a shared lock on "auth.lock" in the folder of the credential file at path:
// the lock the Codex CLI and the sign-in programs take exclusively around each replacement
// of that file. On Windows the Codex CLI's replacement (a plain MoveFileExW, tried once)
// fails while any handle to the file is open, so the file is opened only under this lock.
// A writer that holds it is waited for until deadline_ms (a monotonic_ms time; one that has
// passed still asks once): the Codex CLI holds it only around its write. After that the
// file is read anyway, held() is false and busy() true, as a sign-in program may hold it
// through a whole request to the issuer, and renames over readers itself. A reader of many
// files gives them all one deadline, so that a held lock costs one wait, not one per file.
// A missing lock file is not made: there is then nothing to take. On POSIX a replacement
// never fails for a reader, and nothing is taken.
class credential_read_lock {
  public:
    credential_read_lock(const char* path, std::int64_t deadline_ms);
    ~credential_read_lock();
    credential_read_lock(const credential_read_lock&) = delete;
    credential_read_lock& operator=(const credential_read_lock&) = delete;

    bool held() const { return handle_ != invalid; }
    // A writer held the lock until the deadline.
    bool busy() const { return busy_; }

  private:
    static constexpr std::intptr_t invalid = -1;
    std::intptr_t handle_ = invalid;
    bool busy_ = false;
};

// A regular file of at most max_size bytes, open for reading from its start; not open for
// anything else (missing, unreadable, a directory, a FIFO or device, or larger than
// max_size). Never blocks on a special file.
class regular_file {
  public:
    regular_file(const char* path, std::uint64_t max_size);
    ~regular_file();
    regular_file(const regular_file&) = delete;
    regular_file& operator=(const regular_file&) = delete;

    bool is_open() const;
    // The next bytes of the file, as long as it was when opened, into out: how many were
    // read, 0 once all were; nothing when a read fails or the file turns out shorter.
    std::optional<std::size_t> read(std::span<char> out);

  private:
    std::intptr_t handle_;  // a descriptor, or a Windows handle
    std::uint64_t size_ = 0;
    std::uint64_t left_ = 0;
    // Windows: tries left at a file another process holds busy (unused on POSIX).
    [[maybe_unused]] int busy_tries_ = 0;
};

// Removes a file; the result says whether it went.
bool remove_file(const char* path);

// True when a file of this name cannot exist on this system because the name stands for a
// device wherever it appears (on Windows: CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, in any
// case, with or without an extension). Always false on POSIX.
bool reserved_file_name(std::string_view name);

// The entries of dir whose names end in ".json" (exactly, case-sensitively on POSIX;
// without regard to case on Windows, as its file system compares names), one at a time
// in the order the system gives them, unsorted. Reading stops for good after max_entries
// entries of the folder (whatever their names), so a folder of any size costs a bounded
// time.
class json_dir {
  public:
    json_dir(const char* dir, std::size_t max_entries);
    ~json_dir();
    json_dir(const json_dir&) = delete;
    json_dir& operator=(const json_dir&) = delete;

    // The next entry's name, valid until the next call; null at the end.
    const char* next();
    // Whether the entry next() gave last is a directory (a link to one included): taken
    // from the listing where it tells, else asked of the file system.
    bool is_dir();

  private:
    struct impl;
    std::unique_ptr<impl> p_;
};

// Called first thing by each program. On Windows it limits where this process loads a
// library named without a path, by its own code or by a system library on its behalf, to
// the system's own folder (System32): never the program's folder, the current folder or
// PATH, where another account may plant a DLL named like a system library that would then
// run with this process's rights and see its tokens. A Windows that cannot (Windows 7
// without the update that brought it) cannot load by system_library_function either, so
// nothing is loaded from elsewhere there. Nothing to do on POSIX, whose loader searches no
// such folder.
void load_libraries_from_system_only();

#ifdef _WIN32
// Any function pointer type; the caller casts the result to the function's own type.
using system_function = void (*)();
// The named export of a library of the system's own folder (System32), loaded from there
// alone and kept for the rest of the run; null when the library or the export is missing.
// Only a library Windows loads from its KnownDLLs may be imported statically: the loader
// resolves those imports before any code runs, and searches the program's folder first.
system_function system_library_function(const wchar_t* library, const char* name);
#endif

// Wall clock in whole seconds since 1970-01-01T00:00:00 UTC.
std::int64_t now();

// Case-insensitive comparison of at most n bytes, ASCII letters only.
int strnicmp(const char* a, const char* b, std::size_t n);

// Writes the bytes to standard output unchanged (binary mode); false on a failed write.
bool write_stdout(std::string_view bytes);

// Quotes one argument for the command interpreter into out (capacity at least 3); a cut
// never leaves an open quote. Always terminated.
void shell_quote_into(const char* text, std::span<char> out);

// Milliseconds on a clock that only moves forward, for deadlines.
std::int64_t monotonic_ms();

// How one CLI run went. The platform layer gives the first three (a child's end); the
// runner adds the rest for runs it did not start; the actions answer from it.
enum class run_result {
    ran,          // it ran, whatever its exit code
    not_found,    // the program could not be found or could not be executed
    timed_out,    // it overstayed its time and was ended with everything it started, or too
                  // little of the request's time was left to start it
    not_started,  // no pipe, no process, or another failure of the system
    too_long,     // its command line would not fit: nothing ran
    refused,      // its interpreter would have altered its path or arguments: nothing ran
};

// Why a run did not start.
enum class start_failure {
    none,            // it started
    not_found,       // no such program (a bare name: nowhere on PATH)
    not_executable,  // the program exists but may not be executed
    no_resources,    // no pipe, no process, or another failure of the system
    // The program would not get these arguments as written: the interpreter it runs
    // through would alter its path or an argument, so it is not started at all (only
    // Windows, for a script that goes through cmd.exe).
    refused,
};

// The file a program name stands for, as a CLI run would find it (see child_process): a
// path names its file, a bare name is looked up in PATH's absolute folders. Sets path to
// the file found; otherwise why nothing would start.
start_failure locate_program(const char* program, std::string& path);

// Who this process runs as, for a person to read: the user's name when the system tells it
// (else empty), its id as the system writes it, and whether it is the system's
// administrator (root; always false on Windows, where rights are not one account's).
struct user_facts {
    std::string name;
    std::string id;
    bool superuser = false;
};
user_facts current_user();

// The owner of an existing file or folder, for a person (its name, else its id), and
// whether it is this process's user. Nothing when it is missing or cannot be examined.
struct owner_facts {
    std::string owner;
    bool mine = false;
};
std::optional<owner_facts> owner_of(const char* path);

// How this system compares environment variable names: exactly on POSIX, without ASCII
// case on Windows, where "http_x_bot_password" and "HTTP_X_BOT_PASSWORD" are one variable.
enum class name_case { exact, fold };
#ifdef _WIN32
inline constexpr name_case env_names = name_case::fold;
#else
inline constexpr name_case env_names = name_case::exact;
#endif

// One variable of this process's environment: its name and value as UTF-8 for a caller to
// judge, and on Windows the entry as the system holds it, which a child receives unchanged
// (a lone surrogate, which UTF-8 cannot hold, is U+FFFD in name and value only).
struct env_entry {
    std::string name;
    std::string value;
#ifdef _WIN32
    std::wstring native;
#endif
};

// Every variable of this process's environment, in the system's order; Windows' hidden
// per-drive folders ("=C:=C:\dir") included, their names beginning with '='.
std::vector<env_entry> environment();

// One CLI run: the program with exactly the arguments given (argv[0] is the program as
// given, args follow), its standard output readable, its standard input and standard
// error the null device, and exactly the environment given: which variables a CLI may see
// is the caller's to decide.
class child_process {
  public:
    // program: a path, or a bare name looked up on PATH. timeout_ms bounds the whole run,
    // reading included; 0 or less means no bound.
    child_process(const char* program, std::span<const std::string_view> args, int timeout_ms,
                  std::span<const env_entry> environment);
    ~child_process();
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    bool started() const;
    // Why the run did not start; none once it has.
    start_failure failure() const;

    // Line-oriented read, as fgets: stores at most piece.size() - 1 bytes, stopping after
    // a line feed, and a terminator. The result is the count of bytes stored, NUL bytes
    // included; 0 at the end of the output (or once the time is up).
    std::size_t read_line(std::span<char> piece);

    // Closes the output, waits for the command to end and classifies its end. A command
    // that overstays is ended with its whole process group.
    run_result finish();

    // For a caller that stops reading on purpose (it has all it will take): ends the
    // command at once with everything it started, and counts the run as one that ran. A
    // command that goes on writing would otherwise run until its time is up, since no
    // system stops it for certain when nobody reads (Windows has no SIGPIPE, and a POSIX
    // program may ignore it).
    run_result stop();

  private:
    struct impl;
    std::unique_ptr<impl> p_;
};

}  // namespace credvane::platform

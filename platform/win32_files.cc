// win32_files.cc: files and paths on Windows: the wide and long forms of a path,
// reading, testing, removing and listing files.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/files.h"
#include "platform/platform.h"
#include "platform/win32_internal.h"
#include "platform/win32_security.h"
#include "platform/win32_testing.h"

#include <aclapi.h>
#include <sddl.h>

namespace credvane::platform {

using namespace win32;

namespace {

// Paths at least this long take the extended form: MAX_PATH (260 with the terminator) is
// the limit of the plain form, and a folder needs room for an 8.3 name below it.
constexpr std::size_t extended_path_from = MAX_PATH - 12;

// An absolute path ("X:\..." or "\\server\share\...") in the form the plain path functions
// would give it: '/' as '\', empty and "." components gone, ".." taking the one before
// it away (never the drive or the share). Nothing when it is not such a path.
std::optional<std::wstring> normalised_absolute(std::wstring_view path) {
    auto is_sep = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    std::wstring root;
    std::size_t at = 0;
    if (path.size() >= 3 && path[1] == L':' && is_sep(path[2]) &&
        ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'))) {
        root = path.substr(0, 2);
        at = 3;
    } else if (path.size() >= 2 && is_sep(path[0]) && is_sep(path[1])) {
        // \\server\share: both parts belong to the root.
        std::size_t end = 2;
        for (int part = 0; part < 2; ++part) {
            const std::size_t start = end;
            while (end < path.size() && !is_sep(path[end])) ++end;
            if (end == start) return std::nullopt;
            if (part == 0) ++end;
        }
        root = L"\\\\" + std::wstring(path.substr(2, end - 2));
        for (wchar_t& c : root) c = is_sep(c) ? L'\\' : c;
        at = end;
    } else {
        return std::nullopt;
    }
    std::vector<std::wstring_view> parts;
    while (at < path.size()) {
        std::size_t end = at;
        while (end < path.size() && !is_sep(path[end])) ++end;
        const std::wstring_view part = path.substr(at, end - at);
        if (part == L"..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != L".") {
            parts.push_back(part);
        }
        at = end + 1;
    }
    std::wstring out = root;
    for (const std::wstring_view part : parts) {
        out.push_back(L'\\');
        out.append(part);
    }
    if (parts.empty()) out.push_back(L'\\');
    return out;
}

}  // namespace

namespace win32 {

namespace {

// GetFullPathNameW's answer for path: absolute, with the plain form's normalisation
// ('/' as '\\', "." and ".." resolved, a segment's single trailing dot and the path's
// trailing dots and blanks removed, a device name such as NUL anywhere as "\\.\NUL").
// Nothing when it fails.
std::optional<std::wstring> full_path_name(const std::wstring& path) {
    std::wstring buffer(path.size() + 64, L'\0');
    for (;;) {
        const DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()),
                                         buffer.data(), nullptr);
        if (n == 0) return std::nullopt;
        if (n < buffer.size()) {
            buffer.resize(n);
            return buffer;
        }
        buffer.assign(n, L'\0');  // n is the size it needs
    }
}

bool is_sep(wchar_t c) {
    return c == L'\\' || c == L'/';
}

}  // namespace

// The wide form of a UTF-8 path for the file functions. Every path is read as Windows
// reads the plain form: GetFullPathNameW normalises it against the current folder. When
// the result is long, it takes the extended form ("\\?\", "\\?\UNC\"), which lifts the
// MAX_PATH limit but would normalise nothing itself: it is added only after the
// normalisation, so what the path names does not change. A path that begins with "\\?\"
// exactly is the caller's extended form and goes as written. Both device prefixes with
// any mix of slashes ("//?/", "\\./") are device paths that Windows normalises like the
// rest; "\\.\" and "\\?\" name the same thing once normalised.
bool file_path(const char* path, std::wstring& out) {
    if (path == nullptr || path[0] == '\0' || !widen(path, out)) return false;
    if (out.starts_with(L"\\\\?\\")) return true;
    std::optional<std::wstring> full = full_path_name(out);
    if (!full) {
        // Its documentation limits a plain path to MAX_PATH: should it refuse a long one, a
        // long absolute path is normalised here the same way, but for the trimming.
        if (out.size() < extended_path_from) return true;
        full = normalised_absolute(out);
        if (!full) return false;
    }
    if (full->size() < extended_path_from) {
        out = std::move(*full);
        return true;
    }
    const std::wstring_view f(*full);
    if (f.size() >= 4 && is_sep(f[0]) && is_sep(f[1]) && (f[2] == L'?' || f[2] == L'.') &&
        is_sep(f[3])) {
        out = L"\\\\?\\" + std::wstring(f.substr(4));
    } else if (f.starts_with(L"\\\\")) {
        out = L"\\\\?\\UNC\\" + std::wstring(f.substr(2));
    } else {
        out = L"\\\\?\\" + *full;
    }
    return true;
}

}  // namespace win32

bool is_non_directory(const char* path) {
    std::wstring wpath;
    if (!file_path(path, wpath)) return false;
    const DWORD attrs = GetFileAttributesW(wpath.c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

namespace {

// Whether a failed open (error) met a file that is being deleted: one that a writer
// replaces, say, by deleting it while a handle to it is still open. Windows then refuses
// every open with ERROR_ACCESS_DENIED until the last handle closes, even one that asks for
// no access at all, which otherwise only a missing right to the folder refuses; so does
// the attribute query. A new file of that name usually follows at once.
bool delete_pending(DWORD error, const std::wstring& path) {
    if (error == ERROR_DELETE_PENDING) return true;
    if (error != ERROR_ACCESS_DENIED) return false;
    // A directory refuses a file open with the same error, but answers this query.
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return false;
    const DWORD query = GetLastError();
    return query == ERROR_ACCESS_DENIED || query == ERROR_DELETE_PENDING;
}

// A file another process holds open without read sharing, or locks a range of, is busy:
// that ends when its write is done, so the file is tried again briefly. So is a file that
// is being replaced. Five tries with four waits of 20 ms keep the whole wait under 100 ms,
// for the opening and the reads of one file together.
constexpr int busy_tries = 5;
constexpr DWORD busy_wait_ms = 20;

void (*busy_retry_hook)() = nullptr;

// The attributes SetFileAttributesW sets; it ignores the others.
constexpr DWORD settable_attributes = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE |
                                      FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_TEMPORARY;

bool is_busy(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

void wait_busy() {
    if (busy_retry_hook != nullptr) busy_retry_hook();
    Sleep(busy_wait_ms);
}

HANDLE as_handle(std::intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}

}  // namespace

regular_file::regular_file(const char* path, std::uint64_t max_size)
    : handle_(reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE)), busy_tries_(busy_tries) {
    std::wstring wpath;
    if (!file_path(path, wpath)) return;
    unique_handle file;
    for (;;) {
        // Full sharing: a CLI may rewrite the file while we read it, and must not fail for
        // us. A directory does not open without FILE_FLAG_BACKUP_SEMANTICS.
        file = own(CreateFileW(wpath.c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) break;
        const DWORD error = GetLastError();
        if ((!is_busy(error) && !delete_pending(error, wpath)) || --busy_tries_ == 0) return;
        wait_busy();
    }
    // Device names (CON, NUL, COM1) and pipes open like files; only a disk file is read,
    // so a console or a pipe without a writer can never hold the request up.
    if (GetFileType(file.get()) != FILE_TYPE_DISK) return;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
        static_cast<std::uint64_t>(size.QuadPart) > max_size) {
        return;
    }
    size_ = static_cast<std::uint64_t>(size.QuadPart);
    left_ = size_;
    handle_ = reinterpret_cast<std::intptr_t>(file.release());
}

regular_file::~regular_file() {
    if (is_open()) CloseHandle(as_handle(handle_));
}

bool regular_file::is_open() const {
    return as_handle(handle_) != INVALID_HANDLE_VALUE;
}

std::optional<std::size_t> regular_file::read(std::span<char> out) {
    if (!is_open()) return std::nullopt;
    if (left_ == 0) return 0;
    const auto want = static_cast<DWORD>(std::min<std::uint64_t>({out.size(), left_, 1u << 30}));
    // Each read names its offset, so one that a range lock refused is made again from
    // the same place after the wait.
    const std::uint64_t at = size_ - left_;
    for (;;) {
        OVERLAPPED where{};
        where.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
        where.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD n = 0;
        if (ReadFile(as_handle(handle_), out.data(), want, &n, &where)) {
            if (n == 0) return std::nullopt;  // the file is shorter than it was
            left_ -= n;
            return static_cast<std::size_t>(n);
        }
        // ERROR_HANDLE_EOF: the file was cut shorter since it was opened.
        if (GetLastError() != ERROR_LOCK_VIOLATION || --busy_tries_ <= 0) return std::nullopt;
        wait_busy();
    }
}

std::optional<std::string> read_regular_file(const char* path, std::uint64_t max_size) {
    regular_file file(path, max_size);
    if (!file.is_open()) return std::nullopt;
    std::string text;
    std::vector<char> block(64 * 1024);
    for (;;) {
        const std::optional<std::size_t> n = file.read(block);
        if (!n) return std::nullopt;
        if (*n == 0) return text;
        text.append(block.data(), *n);
    }
}

bool remove_file(const char* path) {
    std::wstring wpath;
    if (!file_path(path, wpath)) return false;
    DWORD restore = 0;  // the attributes to put back should the file stay after all
    for (int attempt = 1;; ++attempt) {
        if (DeleteFileW(wpath.c_str())) return true;
        const DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED && restore == 0) {
            // DeleteFileW refuses a read-only file: the attribute goes first.
            const DWORD attrs = GetFileAttributesW(wpath.c_str());
            if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & FILE_ATTRIBUTE_READONLY) == 0 ||
                (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                return false;
            }
            const DWORD rest = attrs & settable_attributes;
            if (!SetFileAttributesW(wpath.c_str(), rest != 0 ? rest : FILE_ATTRIBUTE_NORMAL)) {
                return false;
            }
            restore = attrs & (settable_attributes | FILE_ATTRIBUTE_READONLY);
            continue;
        }
        // Open elsewhere without delete sharing: as with a busy read, that process is
        // usually about to let go.
        if (error != ERROR_SHARING_VIOLATION || attempt >= busy_tries) break;
        wait_busy();
    }
    if (restore != 0) SetFileAttributesW(wpath.c_str(), restore);
    return false;
}

// The lock and the folders of platform/files.h, for credvane's account lock.

namespace {

void unlock_and_close(std::intptr_t handle) {
    HANDLE h = reinterpret_cast<HANDLE>(handle);
    // Let go at once: the system frees a closed handle's locks only in its own time.
    OVERLAPPED at{};
    UnlockFileEx(h, 0, 1, 0, &at);
    CloseHandle(h);
}

}  // namespace

file_lock::~file_lock() {
    if (held()) unlock_and_close(handle_);
}

file_lock::file_lock(file_lock&& other) noexcept : handle_(other.handle_), busy_(other.busy_) {
    other.handle_ = invalid;
    other.busy_ = false;
}

file_lock& file_lock::operator=(file_lock&& other) noexcept {
    if (this != &other) {
        if (held()) unlock_and_close(handle_);
        handle_ = other.handle_;
        busy_ = other.busy_;
        other.handle_ = invalid;
        other.busy_ = false;
    }
    return *this;
}

namespace {

// Whether a lock request on an overlapped handle really waits in the system and can be
// given up with CancelIoEx. Windows does both. Wine answers such a request "pending" and
// then neither grants it nor signals its event, and reports it as granted when the cancel
// asks; where that is so, the waits are left to the tries below. Asked once per process,
// by behaviour: a waiting request through file for a far range that a second handle of this
// process holds (Windows keeps the two handles' locks apart), then cancelled. Windows
// answers "aborted"; wine "granted". Nothing is cached when the question cannot be asked
// (another program holds that range too): the tries are then used for this wait alone.
constexpr DWORD probe_offset_high = 0x7fffffff;

std::optional<bool> probe_lock_waits(HANDLE file, const std::wstring& path) {
    const unique_handle other =
        own(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    unique_handle event = own(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!other || !event) return std::nullopt;
    OVERLAPPED held{};
    held.OffsetHigh = probe_offset_high;
    if (!LockFileEx(other.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                    &held)) {
        return std::nullopt;
    }
    // The system writes a request's outcome into its OVERLAPPED whenever it ends: one that
    // is never answered must find it still there, and its event too.
    static OVERLAPPED asked{};
    asked = OVERLAPPED{};
    asked.OffsetHigh = probe_offset_high;
    asked.hEvent = event.get();
    bool waits = false;
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &asked)) {
        // Granted over another handle's lock: nothing this system says about waits holds.
        OVERLAPPED at{};
        at.OffsetHigh = probe_offset_high;
        UnlockFileEx(file, 0, 1, 0, &at);
    } else if (GetLastError() == ERROR_IO_PENDING) {
        CancelIoEx(file, &asked);
        DWORD unused = 0;
        // Bounded: a cancel that is never answered counts as no support, not as a hang.
        const bool answered = WaitForSingleObject(event.get(), 1000) == WAIT_OBJECT_0 ||
                              HasOverlappedIoCompleted(&asked);
        if (answered && GetOverlappedResult(file, &asked, &unused, FALSE)) {
            OVERLAPPED at{};
            at.OffsetHigh = probe_offset_high;
            UnlockFileEx(file, 0, 1, 0, &at);
        } else {
            waits = answered && GetLastError() == ERROR_OPERATION_ABORTED;
        }
        if (!answered) static_cast<void>(event.release());  // kept for the system, never freed
    }
    OVERLAPPED at{};
    at.OffsetHigh = probe_offset_high;
    UnlockFileEx(other.get(), 0, 1, 0, &at);
    return waits;
}

// 1 waits work, 0 they do not, -1 not known yet; one thread probes at a time.
int lock_waits_known = -1;
std::mutex lock_probe;

bool lock_waits_supported(HANDLE file, const std::wstring& path) {
    const std::lock_guard<std::mutex> one_at_a_time(lock_probe);
    if (lock_waits_known < 0) {
        const std::optional<bool> found = probe_lock_waits(file, path);
        if (!found) return false;
        lock_waits_known = *found ? 1 : 0;
    }
    return lock_waits_known == 1;
}

// The milliseconds left until deadline_ms, for a wait function (never INFINITE).
DWORD wait_ms_until(std::int64_t deadline_ms) {
    const std::int64_t left = deadline_ms - monotonic_ms();
    if (left <= 0) return 0;
    return static_cast<DWORD>(std::min<std::int64_t>(left, 0x7fffffff));
}

// Asks for the lock without waiting, and sleeps between the tries, a little longer each
// time up to a quarter second: for a system without waiting lock requests.
// 1 held, 0 the time ran out, -1 another failure.
int lock_by_tries(HANDLE file, std::int64_t deadline_ms) {
    DWORD nap = 2;
    for (;;) {
        OVERLAPPED at{};
        if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
            return 1;
        }
        if (GetLastError() != ERROR_LOCK_VIOLATION) return -1;
        const DWORD left = wait_ms_until(deadline_ms);
        if (left == 0) return 0;
        Sleep(std::min(nap, left));
        nap = std::min<DWORD>(nap * 2, 250);
    }
}

// Asks for the lock and has the system wake us when it is granted, or at the deadline:
// then the request is cancelled, and waited for, since the system writes its outcome into
// the OVERLAPPED. A request granted just as the cancel came counts as granted.
// 1 held, 0 the time ran out, -1 another failure.
int lock_by_waiting(HANDLE file, std::int64_t deadline_ms) {
    const unique_handle granted = own(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!granted) return -1;
    OVERLAPPED at{};  // the first byte, which lies beyond the end of the empty file
    at.hEvent = granted.get();
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at)) return 1;
    if (GetLastError() != ERROR_IO_PENDING) return -1;
    DWORD unused = 0;
    if (WaitForSingleObject(granted.get(), wait_ms_until(deadline_ms)) == WAIT_OBJECT_0) {
        return GetOverlappedResult(file, &at, &unused, FALSE) ? 1 : -1;
    }
    CancelIoEx(file, &at);
    if (GetOverlappedResult(file, &at, &unused, TRUE)) return 1;
    return GetLastError() == ERROR_OPERATION_ABORTED ? 0 : -1;
}

}  // namespace

file_lock file_lock::acquire(const char* path, std::int64_t deadline_ms) {
    std::wstring wpath;
    if (!file_path(path, wpath)) return file_lock();
    // Shared for every access, so that the lock, not the opening, is what excludes; no
    // security attributes, so no child process inherits the handle. Overlapped, so that a
    // lock request can wait in the system and be given up at the deadline.
    unique_handle file =
        own(CreateFileW(wpath.c_str(), GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr));
    // Only a disk file: a device name opens like a file and locks nothing.
    if (!file || GetFileType(file.get()) != FILE_TYPE_DISK) return file_lock();
    // A free lock costs one request that does not wait.
    OVERLAPPED at{};
    if (LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        return file_lock(reinterpret_cast<std::intptr_t>(file.release()));
    }
    if (GetLastError() != ERROR_LOCK_VIOLATION) return file_lock();
    const int got = lock_waits_supported(file.get(), wpath)
                        ? lock_by_waiting(file.get(), deadline_ms)
                        : lock_by_tries(file.get(), deadline_ms);
    if (got == 1) return file_lock(reinterpret_cast<std::intptr_t>(file.release()));
    return got == 0 ? ran_out() : file_lock();
}

namespace {

// Access rules and who holds them.

struct local_freer {
    void operator()(void* p) const { LocalFree(p); }
};
using local_memory = std::unique_ptr<void, local_freer>;

// This process's user, as TOKEN_USER; empty when it cannot be told.
std::vector<unsigned char> token_user() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return {};
    const unique_handle token(raw);
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    if (size == 0) return {};
    std::vector<unsigned char> buffer(size);
    if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return {};
    return buffer;
}

PSID user_sid(std::vector<unsigned char>& user) {
    return user.empty() ? nullptr : reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
}

// The security descriptor of a file or folder that only this process's user may use, as
// 0600 and 0700 are on POSIX, with LocalSystem and the Administrators group beside it (as
// in every profile folder), so that an operator's elevated tools and backups still read
// it: a DACL protected from the folder's inherited rules. A folder passes the same rules
// on to what is made in it. Nothing when the user cannot be told.
local_memory private_descriptor(bool folder) {
    std::vector<unsigned char> user = token_user();
    LPWSTR sid = nullptr;
    if (user.empty() || !ConvertSidToStringSidW(user_sid(user), &sid)) return {};
    const local_memory sid_text(sid);
    const std::wstring flags = folder ? L"OICI" : L"";
    const std::wstring sddl = L"D:P(A;" + flags + L";FA;;;" + std::wstring(sid) + L")(A;" + flags +
                              L";FA;;;SY)(A;" + flags + L";FA;;;BA)";
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd,
                                                              nullptr)) {
        return {};
    }
    return local_memory(sd);
}

// The owner and the DACL of an open file or folder; nothing when they cannot be read.
local_memory rules_of(HANDLE h) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                        nullptr, nullptr, nullptr, nullptr, &sd) != ERROR_SUCCESS) {
        return {};
    }
    return local_memory(sd);
}

bool is_missing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace

bool make_private_dirs(const char* dir) {
    std::wstring wdir;
    if (!file_path(dir, wdir)) return false;
    // The folders made here hold tokens: none takes its parent's rules, which may let other
    // accounts in (a folder under C:\ lets every signed-in user change it).
    const local_memory rules = private_descriptor(true);
    if (!rules) return false;
    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), rules.get(), FALSE};
    // Each folder on the way, from the first after the root; one that is there is no
    // failure, and keeps its rules.
    for (std::size_t at = 1; at <= wdir.size(); ++at) {
        if (at < wdir.size() && wdir[at] != L'\\' && wdir[at] != L'/') continue;
        const std::wstring part = wdir.substr(0, at);
        if (part.size() < 3 && part.back() == L':') continue;  // a drive
        CreateDirectoryW(part.c_str(), &security);
    }
    const DWORD attrs = GetFileAttributesW(wdir.c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

namespace {

// The system's reason for a failed file call, in words that do not depend on the
// machine's language.
std::string win32_reason(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
            return "access is denied";
        case ERROR_WRITE_PROTECT:
            return "the medium is write-protected";
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return "the disk is full";
        case ERROR_SHARING_VIOLATION:
            return "another program holds it";
        default:
            return "Windows error " + std::to_string(error);
    }
}

}  // namespace

namespace {

// The nearest existing folder of dir (dir itself, or the parent a missing one would be made
// in) into at; why it cannot be had, or empty.
std::string nearest_folder(const char* dir, std::string& at) {
    at.assign(dir);
    while (at.size() > 1 && (at.back() == '\\' || at.back() == '/')) at.pop_back();
    for (;;) {
        std::wstring wat;
        if (!file_path(at.c_str(), wat)) return at + " cannot be examined: not a usable path";
        const DWORD attrs = GetFileAttributesW(wat.c_str());
        if (attrs != INVALID_FILE_ATTRIBUTES) {
            if ((attrs & FILE_ATTRIBUTE_DIRECTORY) == 0) return at + " is not a folder";
            break;
        }
        const DWORD error = GetLastError();
        const std::size_t cut = at.find_last_of("\\/");
        if ((error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) ||
            cut == std::string::npos || cut == 0) {
            return at + " cannot be examined: " + win32_reason(error);
        }
        at.resize(cut);
        if (at.size() == 2 && at[1] == ':') at.push_back('\\');  // a drive's root
    }
    return {};
}

}  // namespace

std::string folder_write_problem(const char* dir) {
    if (dir == nullptr || dir[0] == '\0') return {};
    std::string at;
    if (std::string why = nearest_folder(dir, at); !why.empty()) return why;
    // Windows answers "may I create a file here" only by a try: the access rules, a
    // read-only share and a full disk all show in it. The file is gone when its one handle
    // closes.
    unsigned char random[8];
    if (!random_bytes(random)) return at + " cannot be examined: the system gave no random bytes";
    std::string probe = at;
    if (probe.back() != '\\' && probe.back() != '/') probe.push_back('\\');
    probe += ".credvane-probe-";
    for (const unsigned char b : random) {
        probe.push_back("0123456789abcdef"[b >> 4]);
        probe.push_back("0123456789abcdef"[b & 15]);
    }
    std::wstring wprobe;
    if (!file_path(probe.c_str(), wprobe)) return at + " cannot be examined: not a usable path";
    const unique_handle file =
        own(CreateFileW(wprobe.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (!file) return at + " cannot be written: " + win32_reason(GetLastError());
    return {};
}

std::string folder_write_access(const char* dir) {
    if (dir == nullptr || dir[0] == '\0') return {};
    std::string at;
    if (std::string why = nearest_folder(dir, at); !why.empty()) return why;
    std::wstring wat;
    if (!file_path(at.c_str(), wat)) return at + " cannot be examined: not a usable path";
    // Opening the folder for the right to add a file is judged against its access rules as
    // a creation would be, and creates nothing. Backup semantics is what opens a folder at
    // all; it bypasses the rules only for a process that has enabled its backup privilege.
    const unique_handle folder = own(CreateFileW(
        wat.c_str(), FILE_ADD_FILE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!folder) return at + " cannot be written: " + win32_reason(GetLastError());
    return {};
}

// Replacing a file, for the sign-in programs' credential file and marker.

namespace {

std::string folder_part(std::string_view path) {
    const std::size_t cut = path.find_last_of("\\/");
    return cut == std::string_view::npos ? std::string() : std::string(path.substr(0, cut + 1));
}

bool write_whole(HANDLE h, std::string_view bytes) {
    while (!bytes.empty()) {
        const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        DWORD n = 0;
        if (!WriteFile(h, bytes.data(), piece, &n, nullptr) || n == 0) return false;
        bytes.remove_prefix(n);
    }
    return true;
}

// Renames the open file over target in one step. With POSIX semantics (Windows 10 1607 and
// later, on NTFS) this succeeds even while another program holds the old file open, and
// that program goes on reading the old bytes, as after rename on POSIX.
bool rename_by_handle(HANDLE file, const std::wstring& target) {
    // FileRenameInfoEx: mingw-w64's header declares it only for an NTDDI-style version.
    constexpr auto rename_info_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
    const std::size_t name_bytes = target.size() * sizeof(wchar_t);
    const std::size_t size = offsetof(FILE_RENAME_INFO, FileName) + name_bytes + sizeof(wchar_t);
    if (name_bytes > MAXDWORD || size > MAXDWORD) return false;
    // An array of unsigned char provides the storage the structure and its name live in.
    const auto buffer = std::make_unique<unsigned char[]>(size);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.get());
    info->Flags = FILE_RENAME_FLAG_POSIX_SEMANTICS | FILE_RENAME_FLAG_REPLACE_IF_EXISTS;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(name_bytes);
    std::memcpy(info->FileName, target.c_str(), name_bytes + sizeof(wchar_t));
    return SetFileInformationByHandle(file, rename_info_ex, info, static_cast<DWORD>(size)) != 0;
}

// The older way, where the one above is not supported (before Windows 10 1607, FAT volumes,
// many network shares): it fails while another program has the old file open, which
// usually ends soon, so it is tried again: until busy_until_ms when the caller gives a
// time (a sign-in program has spent its token by then, and a status read that stopped
// waiting for the lock may hold the file for a moment), else briefly.
// ERROR_ACCESS_DENIED is what an open or delete-pending target gives.
bool move_over(const std::wstring& from, const std::wstring& to, std::int64_t busy_until_ms) {
    for (int attempt = 1;; ++attempt) {
        if (MoveFileExW(from.c_str(), to.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return true;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) return false;
        if (busy_until_ms > 0 ? monotonic_ms() >= busy_until_ms : attempt >= busy_tries) {
            return false;
        }
        wait_busy();
    }
}

// What replacing a file keeps of the old one.

// The file a path names now, when it names one: where the new bytes go (a symbolic link's
// target, as the Codex CLI writes through a link) and the access rules to carry over.
struct old_file {
    bool exists = false;
    std::string problem;  // why it must not be replaced; empty when it may
    std::wstring final_path;
    local_memory descriptor;  // holds dacl
    PACL dacl = nullptr;
    bool dacl_protected = false;
};

std::string shown(const std::wstring& path) {
    std::wstring_view v(path);
    // The extended form GetFinalPathNameByHandleW gives reads back in the plain one.
    if (v.starts_with(L"\\\\?\\UNC\\")) {
        return narrow(L"\\\\" + std::wstring(v.substr(8))).value_or("the file");
    }
    if (v.starts_with(L"\\\\?\\") && v.size() < extended_path_from + 4) v.remove_prefix(4);
    return narrow(v).value_or("the file");
}

std::wstring final_path_of(HANDLE file) {
    std::wstring final_path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetFinalPathNameByHandleW(file, final_path.data(),
                                                  static_cast<DWORD>(final_path.size()),
                                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0) return {};
        if (n < final_path.size()) {
            final_path.resize(n);
            return final_path;
        }
        final_path.assign(n, L'\0');  // n is the size it needs
    }
}

// Everything that decides whether, where and with which rules path may be replaced. A file
// that cannot be looked at (its rules unreadable, say) is refused rather than taken for
// absent: its links and its rules would go unchecked.
old_file look_at_old(const std::wstring& target) {
    old_file old;
    // Only the rules and the attributes: an open for no data access meets no sharing
    // conflict, and it follows a link to its target. A folder opens too (backup semantics),
    // to be named as what it is.
    const unique_handle file =
        own(CreateFileW(target.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        if (!is_missing(error)) {
            old.problem = shown(target) + " cannot be examined: " + win32_reason(error);
            return old;
        }
        // A link whose target is missing opens itself without being followed: the write
        // would replace the link, not write through it.
        const unique_handle link =
            own(CreateFileW(target.c_str(), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (link) old.problem = shown(target) + " is a link whose target cannot be opened";
        return old;
    }
    old.exists = true;
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(file.get()) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        old.problem = shown(target) + " is not a regular file";
        return old;
    }
    old.final_path = final_path_of(file.get());
    const std::wstring& real = old.final_path.empty() ? target : old.final_path;
    // Replacing one name would part it from its other names silently.
    if (info.nNumberOfLinks > 1) {
        old.problem = shown(real) + " has other hard links; refusing to write it";
        return old;
    }
    old.descriptor = rules_of(file.get());
    if (!old.descriptor) {
        old.problem = shown(real) + " cannot be examined: its access rules cannot be read";
        return old;
    }
    std::vector<unsigned char> user = token_user();
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    // Rules worth keeping come from this user, LocalSystem or the administrators: a file
    // another account made (in a folder that let it) must not hand that account the new
    // tokens. A null DACL lets everyone in, no rule for a file of tokens either.
    if (!trusted_owner(old.descriptor.get(), user_sid(user)) ||
        !GetSecurityDescriptorDacl(old.descriptor.get(), &present, &old.dacl, &defaulted) ||
        !present || old.dacl == nullptr) {
        old.descriptor.reset();
        old.dacl = nullptr;
        return old;
    }
    old.dacl_protected = GetSecurityDescriptorControl(old.descriptor.get(), &control, &revision) &&
                         (control & SE_DACL_PROTECTED) != 0;
    return old;
}

}  // namespace

bool replace_file(const char* path, std::string_view temp_prefix, std::string_view bytes,
                  std::int64_t busy_until_ms) {
    std::wstring target;
    if (path == nullptr || !file_path(path, target)) return false;
    const old_file old = look_at_old(target);
    if (!old.problem.empty()) return false;
    // Through a symbolic link (or a link in a folder above it) to the file itself, and the
    // temporary file beside that, so that the rename stays within one folder.
    if (old.exists && !old.final_path.empty()) target = old.final_path;
    std::wstring prefix;
    if (!widen(temp_prefix, prefix)) return false;
    const std::wstring folder = target.substr(0, target.find_last_of(L"\\/") + 1);
    if (folder.empty()) return false;
    // Never readable by others, even for the moment before the old file's rules are put on.
    const local_memory own_only = private_descriptor(false);
    if (!own_only) return false;
    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), own_only.get(), FALSE};
    // A new name that nobody holds: 64 random bits, created only if it is not there.
    std::wstring temp;
    unique_handle file;
    for (int attempt = 0; attempt < 4 && !file; ++attempt) {
        unsigned char random[8];
        if (!random_bytes(random)) return false;
        temp = folder + prefix;
        for (const unsigned char b : random) {
            temp.push_back(L"0123456789abcdef"[b >> 4]);
            temp.push_back(L"0123456789abcdef"[b & 15]);
        }
        // No sharing while it is written; DELETE for the rename by handle, WRITE_DAC for the
        // old file's rules.
        file = own(CreateFileW(temp.c_str(), GENERIC_WRITE | DELETE | WRITE_DAC, 0, &security,
                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file && GetLastError() != ERROR_FILE_EXISTS) return false;
    }
    if (!file) return false;
    // The old file's rules, as the Codex CLI carries them over: a file narrowed by hand stays
    // narrow. Protected rules stay protected; the others inherit from the same folder as
    // before. A first file, or one whose rules are not to be kept, keeps the private rules
    // it was created with.
    const bool rules_kept =
        old.dacl == nullptr ||
        SetSecurityInfo(file.get(), SE_FILE_OBJECT,
                        DACL_SECURITY_INFORMATION |
                            (old.dacl_protected ? PROTECTED_DACL_SECURITY_INFORMATION
                                                : UNPROTECTED_DACL_SECURITY_INFORMATION),
                        nullptr, nullptr, old.dacl, nullptr) == ERROR_SUCCESS;
    if (!rules_kept || !write_whole(file.get(), bytes) || !FlushFileBuffers(file.get())) {
        file.reset();
        DeleteFileW(temp.c_str());
        return false;
    }
    if (rename_by_handle(file.get(), target)) return true;
    file.reset();
    if (move_over(temp, target, busy_until_ms)) return true;
    DeleteFileW(temp.c_str());
    return false;
}

std::optional<std::string> write_target(const char* path, std::string* why) {
    std::wstring wpath;
    if (path == nullptr || !file_path(path, wpath)) {
        if (why != nullptr)
            *why = std::string(path == nullptr ? "" : path) + " is not a usable path";
        return std::nullopt;
    }
    const old_file old = look_at_old(wpath);
    if (!old.problem.empty()) {
        if (why != nullptr) *why = old.problem;
        return std::nullopt;
    }
    if (!old.exists || old.final_path.empty()) return std::string(path);
    // The file itself, so that its folder is the one judged and written.
    return shown(old.final_path);
}

std::string unsafe_folder(const char* dir) {
    if (dir == nullptr || dir[0] == '\0') return {};
    const std::string named(dir);
    std::wstring wdir;
    if (!file_path(dir, wdir)) return named + " cannot be examined";
    // The folder itself, or a link's target, with its owner and rules.
    const unique_handle folder =
        own(CreateFileW(wdir.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!folder) {
        // Missing: it is made private when written. Anything else we cannot judge.
        return is_missing(GetLastError()) ? std::string() : named + " cannot be examined";
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(folder.get(), &info)) return named + " cannot be examined";
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return named + " is not a folder";
    const local_memory rules = rules_of(folder.get());
    std::vector<unsigned char> user = token_user();
    if (!rules || user.empty()) return named + " cannot be examined";
    const std::string problem = folder_rules_problem(rules.get(), user_sid(user));
    return problem.empty() ? std::string() : named + " " + problem;
}

std::string foreign_owner(const char* path) {
    std::wstring wpath;
    if (path == nullptr || !file_path(path, wpath)) return {};
    const unique_handle file = own(CreateFileW(
        wpath.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file) {
        return is_missing(GetLastError()) ? std::string()
                                          : std::string(path) + " cannot be examined";
    }
    const local_memory rules = rules_of(file.get());
    std::vector<unsigned char> user = token_user();
    if (!rules || user.empty()) return std::string(path) + " cannot be examined";
    if (trusted_owner(rules.get(), user_sid(user))) return {};
    return std::string(path) + " belongs to another user";
}

bool reserved_file_name(std::string_view name) {
    // The device is named by what comes before the first dot, whatever follows it.
    const std::string_view stem = name.substr(0, name.find('.'));
    for (const std::string_view device : {"CON", "PRN", "AUX", "NUL"}) {
        if (equals_nocase(stem, device)) return true;
    }
    if (stem.size() == 4 && stem[3] >= '1' && stem[3] <= '9') {
        const std::string_view prefix = stem.substr(0, 3);
        return equals_nocase(prefix, std::string_view("COM")) ||
               equals_nocase(prefix, std::string_view("LPT"));
    }
    return false;
}

struct json_dir::impl {
    HANDLE search = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAW found{};
    bool first = true;  // found holds the search's first entry, not given yet
    std::size_t left = 0;
    std::string name;
    bool is_dir = false;
};

json_dir::json_dir(const char* dir, std::size_t max_entries) : p_(std::make_unique<impl>()) {
    std::wstring pattern;
    if (dir == nullptr || !file_path((std::string(dir) + "\\*.json").c_str(), pattern)) return;
    // The basic level leaves out the 8.3 short name, which is never used here.
    p_->search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &p_->found,
                                  FindExSearchNameMatch, nullptr, 0);
    p_->left = max_entries;
}

json_dir::~json_dir() {
    if (p_->search != INVALID_HANDLE_VALUE) FindClose(p_->search);
}

const char* json_dir::next() {
    p_->is_dir = false;
    if (p_->search == INVALID_HANDLE_VALUE) return nullptr;
    while (p_->left > 0) {
        if (!p_->first && !FindNextFileW(p_->search, &p_->found)) break;
        p_->first = false;
        --p_->left;
        // A name with no UTF-8 form cannot be named back by the rest of credvane: skipped.
        std::optional<std::string> utf8 = narrow(p_->found.cFileName);
        if (!utf8) continue;
        const std::string_view name(*utf8);
        // The pattern is also matched against 8.3 short names, so the search may return a
        // name that does not itself end in ".json": only names that do are kept. Case does
        // not count, as it does not for the file system.
        if (name.size() < 5 ||
            !equals_nocase(name.substr(name.size() - 5), std::string_view(".json"))) {
            continue;
        }
        p_->name = std::move(*utf8);
        p_->is_dir = (p_->found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        return p_->name.c_str();
    }
    p_->left = 0;
    return nullptr;
}

bool json_dir::is_dir() {
    // The search gives every entry's attributes: the file system is never asked again.
    return p_->is_dir;
}

// The shared side of the credential file's writer lock, for its readers.

namespace {

void (*read_lock_wait_hook)() = nullptr;

}  // namespace

credential_read_lock::credential_read_lock(const char* path, std::int64_t deadline_ms) {
    if (path == nullptr) return;
    std::wstring wpath;
    if (!file_path((folder_part(path) + "auth.lock").c_str(), wpath)) return;
    // Read access is all a shared lock needs. Only a lock file that is there is opened: a
    // reader makes no file, and a folder without one has had no writer that locks.
    unique_handle file = own(CreateFileW(wpath.c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file || GetFileType(file.get()) != FILE_TYPE_DISK) return;
    for (;;) {
        // The first byte: any writer's exclusive lock covers it, the Codex CLI's whole
        // range as much as the sign-in programs' one byte.
        OVERLAPPED at{};
        if (LockFileEx(file.get(), LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
            handle_ = reinterpret_cast<std::intptr_t>(file.release());
            return;
        }
        if (GetLastError() != ERROR_LOCK_VIOLATION) return;
        if (monotonic_ms() >= deadline_ms) {
            busy_ = true;
            return;
        }
        if (read_lock_wait_hook != nullptr) read_lock_wait_hook();
        Sleep(5);
    }
}

credential_read_lock::~credential_read_lock() {
    if (held()) unlock_and_close(handle_);
}

namespace {

// An account's name as the system has it, DOMAIN\\name, else the SID's text.
std::string account_name(PSID sid) {
    wchar_t name[256] = {};
    wchar_t domain[256] = {};
    DWORD name_size = 256;
    DWORD domain_size = 256;
    SID_NAME_USE use{};
    if (LookupAccountSidW(nullptr, sid, name, &name_size, domain, &domain_size, &use)) {
        const std::optional<std::string> n = narrow(name);
        const std::optional<std::string> d = narrow(domain);
        if (n && d) return d->empty() ? *n : *d + "\\" + *n;
    }
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) return {};
    const local_memory held(text);
    return narrow(text).value_or(std::string());
}

}  // namespace

user_facts current_user() {
    user_facts facts;
    const std::vector<unsigned char> user = token_user();
    if (user.empty()) return facts;
    const PSID sid = reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
    facts.name = account_name(sid);
    LPWSTR text = nullptr;
    if (ConvertSidToStringSidW(sid, &text)) {
        const local_memory held(text);
        facts.id = narrow(text).value_or(std::string());
    }
    return facts;
}

std::optional<owner_facts> owner_of(const char* path) {
    std::wstring wpath;
    if (path == nullptr || !file_path(path, wpath)) return std::nullopt;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetNamedSecurityInfoW(wpath.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                              nullptr, nullptr, nullptr, &sd) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    const local_memory held(sd);
    if (owner == nullptr) return std::nullopt;
    const std::vector<unsigned char> user = token_user();
    const bool mine = !user.empty() &&
                      EqualSid(owner, reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid);
    return owner_facts{account_name(owner), mine};
}

namespace win32_testing {

void set_busy_retry_hook(void (*hook)()) {
    busy_retry_hook = hook;
}

void set_read_lock_wait_hook(void (*hook)()) {
    read_lock_wait_hook = hook;
}

bool lock_waits_supported(const char* path) {
    std::wstring wpath;
    if (!file_path(path, wpath)) return false;
    const unique_handle file =
        own(CreateFileW(wpath.c_str(), GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr));
    return file && platform::lock_waits_supported(file.get(), wpath);
}

std::wstring file_path_for(const char* path) {
    std::wstring out;
    return file_path(path, out) ? out : std::wstring();
}

}  // namespace win32_testing

// Opened for deletion with every sharing granted: the open fails while another handle lacks
// delete sharing, and once it is held no other program can open the file without it. A
// symbolic link is followed by the open itself, so the disposition removes its target.
file_removal::file_removal(const char* path, std::string* why) {
    std::wstring wpath;
    if (!file_path(path, wpath)) {
        if (why != nullptr)
            *why = std::string(path == nullptr ? "" : path) + " is not a usable path";
        return;
    }
    target_ = path;
    constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    unique_handle file = own(CreateFileW(wpath.c_str(), DELETE | FILE_READ_ATTRIBUTES, share,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            ready_ = true;
            done_ = true;  // nothing there to remove
            return;
        }
        if (why != nullptr) *why = target_ + " cannot be removed: " + win32_reason(error);
        return;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(file.get()) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        if (why != nullptr) *why = target_ + " is not a regular file";
        return;
    }
    shared_ = info.nNumberOfLinks > 1;
    if (shared_) {
        unique_handle writer = own(CreateFileW(wpath.c_str(), GENERIC_WRITE, share, nullptr,
                                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!writer) {
            if (why != nullptr)
                *why = target_ + " cannot be emptied: " + win32_reason(GetLastError());
            return;
        }
        writer_ = reinterpret_cast<std::intptr_t>(writer.release());
    }
    handle_ = reinterpret_cast<std::intptr_t>(file.release());
    ready_ = true;
}

file_removal::~file_removal() {
    if (writer_ != -1) CloseHandle(reinterpret_cast<HANDLE>(writer_));
    if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

bool file_removal::remove() {
    if (!ready_) return false;
    if (done_) return true;
    if (writer_ != -1) {
        const HANDLE writer = reinterpret_cast<HANDLE>(writer_);
        FILE_END_OF_FILE_INFO end{};
        if (!SetFileInformationByHandle(writer, FileEndOfFileInfo, &end, sizeof end) ||
            !FlushFileBuffers(writer)) {
            return false;
        }
    }
    FILE_DISPOSITION_INFO dispose{};
    dispose.DeleteFile = TRUE;
    const HANDLE file = reinterpret_cast<HANDLE>(handle_);
    if (!SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof dispose)) {
        return false;
    }
    // The file goes as the last handle to it closes: ours, now.
    if (writer_ != -1) CloseHandle(reinterpret_cast<HANDLE>(writer_));
    CloseHandle(file);
    writer_ = -1;
    handle_ = -1;
    done_ = true;
    return true;
}

void remove_stale_files(const char* dir, std::string_view prefix, std::int64_t older_than_ms,
                        std::size_t max_entries) {
    std::wstring pattern;
    if (dir == nullptr || prefix.empty() ||
        !file_path((std::string(dir) + "\\" + std::string(prefix) + "*").c_str(), pattern)) {
        return;
    }
    const std::size_t cut = pattern.find_last_of(L"\\/");
    const std::wstring folder = pattern.substr(0, cut + 1);
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return;
    FILETIME now_ft{};
    GetSystemTimeAsFileTime(&now_ft);
    auto ms = [](const FILETIME& t) {
        return static_cast<std::int64_t>(
            (static_cast<std::uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 10000);
    };
    const std::int64_t now = ms(now_ft);
    std::size_t left = max_entries;
    do {
        // The pattern also matches 8.3 short names: only a long name with the prefix counts.
        const std::optional<std::string> name = narrow(found.cFileName);
        const bool ours = name && name->starts_with(prefix) &&
                          (found.dwFileAttributes &
                           (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
        if (ours && now - ms(found.ftLastWriteTime) > older_than_ms) {
            DeleteFileW((folder + found.cFileName).c_str());
        }
    } while (--left > 0 && FindNextFileW(search, &found));
    FindClose(search);
}

}  // namespace credvane::platform

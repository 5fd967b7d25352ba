// platform_win32.cc: the operating-system services on Windows.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/child_env.h"
#include "platform/platform.h"

namespace credvane::platform {

namespace {

struct handle_closer {
    void operator()(HANDLE h) const { CloseHandle(h); }
};
// An owned kernel handle; the API's two "no handle" values both become empty.
using unique_handle = std::unique_ptr<void, handle_closer>;

unique_handle own(HANDLE h) {
    return unique_handle(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

// Folds ASCII letters only: variable names and file extensions compare without the locale.
template <typename Char>
Char ascii_upper(Char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<Char>(c - 'a' + 'A') : c;
}

template <typename Char>
bool equals_nocase(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](Char x, Char y) {
               return ascii_upper(x) == ascii_upper(y);
           });
}

}  // namespace

const char* env(const char* name) {
    return std::getenv(name);
}

bool home_env(const char* name, std::span<char> out) {
    if (out.empty()) return false;
    const DWORD cap = static_cast<DWORD>(std::min<std::size_t>(out.size(), MAXDWORD));
    const DWORD n = GetEnvironmentVariableA(name, out.data(), cap);
    // 0: absent or empty. n >= cap: the value did not fit, and n is the size it would
    // need; a cut home is no home, so the caller moves on to its next choice.
    if (n == 0 || n >= cap) {
        out[0] = '\0';
        return false;
    }
    return true;
}

bool is_non_directory(const char* path) {
    if (path == nullptr || path[0] == '\0') return false;
    const DWORD attrs = GetFileAttributesA(path);
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::optional<std::string> read_regular_file(const char* path, std::uint64_t max_size) {
    if (path == nullptr || path[0] == '\0') return std::nullopt;
    // Full sharing: a CLI may rewrite the file while we read it, and must not fail for us.
    // A directory does not open without FILE_FLAG_BACKUP_SEMANTICS.
    const unique_handle file =
        own(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::nullopt;
    // Device names (CON, NUL, COM1) and pipes open like files; only a disk file is read,
    // so a console or a pipe without a writer can never hold the request up.
    if (GetFileType(file.get()) != FILE_TYPE_DISK) return std::nullopt;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
        static_cast<std::uint64_t>(size.QuadPart) > max_size) {
        return std::nullopt;
    }
    std::string text(static_cast<std::size_t>(size.QuadPart), '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(text.size() - got, 1u << 30));
        DWORD n = 0;
        if (!ReadFile(file.get(), text.data() + got, want, &n, nullptr) || n == 0) break;
        got += n;
    }
    if (got != text.size()) return std::nullopt;
    return text;
}

bool remove_file(const char* path) {
    return path != nullptr && DeleteFileA(path) != 0;
}

std::vector<dir_entry> list_json_entries(const char* dir) {
    std::vector<dir_entry> entries;
    if (dir == nullptr) return entries;
    const std::string pattern = std::string(dir) + "\\*.json";
    WIN32_FIND_DATAA found{};
    const HANDLE search = FindFirstFileA(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return entries;
    do {
        const std::string_view name(found.cFileName);
        // The pattern is also matched against 8.3 short names, so the search may return a
        // name that does not itself end in ".json": only names that do are kept. Case does
        // not count, as it does not for the file system.
        if (name.size() < 5 ||
            !equals_nocase(name.substr(name.size() - 5), std::string_view(".json"))) {
            continue;
        }
        entries.push_back(
            {std::string(name), (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
    } while (FindNextFileA(search, &found));
    FindClose(search);
    std::sort(entries.begin(), entries.end(),
              [](const dir_entry& a, const dir_entry& b) { return a.name < b.name; });
    return entries;
}

std::int64_t now() {
    return static_cast<std::int64_t>(_time64(nullptr));
}

std::int64_t monotonic_ms() {
    return static_cast<std::int64_t>(GetTickCount64());
}

int strnicmp(const char* a, const char* b, std::size_t n) {
    // credvane never sets a locale, so the C locale folds ASCII letters only.
    return _strnicmp(a, b, n);
}

bool write_stdout(std::string_view bytes) {
    // In text mode the runtime turns every LF into CR LF, so a header line's CR LF would
    // leave as CR CR LF: the answers are exact bytes, so the stream is binary from the
    // first write on.
    static const bool binary = _setmode(_fileno(stdout), _O_BINARY) != -1;
    (void)binary;
    while (!bytes.empty()) {
        const unsigned piece = static_cast<unsigned>(std::min<std::size_t>(bytes.size(), 1u << 30));
        const int r = _write(_fileno(stdout), bytes.data(), piece);
        if (r <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(r));
    }
    return true;
}

// cmd.exe takes a double-quoted argument as one; a quote inside becomes \", which the C
// runtime's argument parser of the CLI reads back as a quote. Nothing else is escaped.
void shell_quote_into(const char* text, std::span<char> out) {
    const std::size_t cap = out.size();
    if (cap < 3) {
        if (cap > 0) out[0] = '\0';
        return;
    }
    std::size_t pos = 0;
    out[pos++] = '"';
    for (const char* p = text ? text : ""; *p != '\0'; ++p) {
        // Room for the byte (two for an escaped quote), the closing quote and the NUL.
        if (*p == '"') {
            if (pos + 3 >= cap) break;
            out[pos++] = '\\';
            out[pos++] = '"';
        } else {
            if (pos + 2 >= cap) break;
            out[pos++] = *p;
        }
    }
    out[pos++] = '"';
    out[pos] = '\0';
}

namespace {

std::string utf8(std::wstring_view w) {
    if (w.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                      nullptr, nullptr);
    if (n <= 0) return {};
    std::string s(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                        nullptr);
    return s;
}

// Variables that carry the request (headers, query, node password) stay with credvane.
// Names are case-insensitive on Windows: "http_x_bot_password" is the same variable.
bool is_request_variable(std::wstring_view entry, std::string_view password) {
    // Hidden per-drive entries such as "=C:=C:\dir" have a name that begins with '='.
    const std::size_t eq = entry.find(L'=', 1);
    if (eq == std::wstring_view::npos) return false;
    return !child_keeps(utf8(entry.substr(0, eq)), utf8(entry.substr(eq + 1)), password,
                        name_case::fold);
}

// Our environment without the request's variables, as a CreateProcess block. Wide, so
// that no value is lost to the ANSI code page on the way to the CLI.
std::wstring child_environment() {
    std::wstring block;
    std::string password;
    if (const DWORD n = GetEnvironmentVariableW(L"BOT_PASSWORD", nullptr, 0); n > 1) {
        std::wstring w(n, L'\0');
        const DWORD got = GetEnvironmentVariableW(L"BOT_PASSWORD", w.data(), n);
        if (got > 0 && got < n) password = utf8(std::wstring_view(w.data(), got));
    }
    if (wchar_t* all = GetEnvironmentStringsW()) {
        for (const wchar_t* e = all; *e != L'\0'; e += std::wcslen(e) + 1) {
            const std::wstring_view entry(e);
            if (is_request_variable(entry, password)) continue;
            block.append(entry);
            block.push_back(L'\0');
        }
        FreeEnvironmentStringsW(all);
    }
    // The block ends with an empty entry; an empty block is two terminators.
    if (block.empty()) block.push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

// cmd.exe from the system folder, never from the current folder or a search.
std::string system_cmd_exe() {
    char dir[MAX_PATH + 1] = {};
    const UINT n = GetSystemDirectoryA(dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return {};
    return std::string(dir, n) + "\\cmd.exe";
}

// cmd.exe answers a command that it cannot find or start with exit code 9009 ("is not
// recognized as an internal or external command"); 126 and 127 are what a CLI itself
// uses to say that it cannot work on this node.
bool means_cannot_run(DWORD code) {
    return code == 9009 || code == 126 || code == 127;
}

unique_handle open_null_device(DWORD access, SECURITY_ATTRIBUTES* inherit) {
    return own(CreateFileA(null_device, access, FILE_SHARE_READ | FILE_SHARE_WRITE, inherit,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// The CLI's standard output: a named pipe whose read end is ours and overlapped, so that
// a read can wait with a deadline (an anonymous pipe cannot). The first-instance flag
// refuses a name that someone else created first.
bool make_output_pipe(unique_handle& read_end, unique_handle& write_end,
                      SECURITY_ATTRIBUTES* inherit) {
    static unsigned serial = 0;
    char name[96];
    std::snprintf(name, sizeof name, "\\\\.\\pipe\\credvane-%lu-%u-%llu",
                  static_cast<unsigned long>(GetCurrentProcessId()), ++serial,
                  static_cast<unsigned long long>(GetTickCount64()));
    read_end = own(CreateNamedPipeA(
        name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
        64 * 1024, 0, nullptr));
    if (!read_end) return false;
    write_end = own(CreateFileA(name, GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, inherit,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!write_end) {
        read_end.reset();
        return false;
    }
    return true;
}

}  // namespace

struct child_process::impl {
    unique_handle process;
    unique_handle job;  // every process the CLI starts; empty when the job could not be made
    unique_handle pipe;
    unique_handle event;
    OVERLAPPED ov{};
    ULONGLONG deadline_ms = 0;  // 0: no bound
    bool timed_out = false;
    bool eof = false;
    bool ended = false;  // the interpreter has ended: only what the pipe holds is left
    start_failure failure = start_failure::no_resources;  // until it has started
    char chunk[4096];
    std::size_t chunk_pos = 0;
    std::size_t chunk_len = 0;

    // Milliseconds left before the deadline, INFINITE without one; 0 once it has passed.
    DWORD remaining_ms() const {
        if (deadline_ms == 0) return INFINITE;
        const ULONGLONG t = GetTickCount64();
        if (t >= deadline_ms) return 0;
        return static_cast<DWORD>(std::min<ULONGLONG>(deadline_ms - t, 1u << 30));
    }

    // The output ends when the interpreter has ended and the pipe holds nothing more, not
    // at the pipe's own end: whatever the CLI leaves running (cmd.exe's "start" passes it
    // every inheritable handle, ours included, whatever it redirects) may keep the pipe
    // open for as long as it lives.
    bool refill() {
        while (!eof && !timed_out) {
            if (ended) {
                DWORD avail = 0;
                if (!PeekNamedPipe(pipe.get(), nullptr, 0, nullptr, &avail, nullptr) ||
                    avail == 0) {
                    eof = true;
                    break;
                }
            }
            DWORD got = 0;
            ov = OVERLAPPED{};
            ov.hEvent = event.get();
            if (!ReadFile(pipe.get(), chunk, sizeof chunk, nullptr, &ov)) {
                if (GetLastError() != ERROR_IO_PENDING) {
                    eof = true;  // ERROR_BROKEN_PIPE: every writer has closed its end
                    break;
                }
                const HANDLE waits[] = {event.get(), process.get()};
                const DWORD wait =
                    WaitForMultipleObjects(ended ? 1 : 2, waits, FALSE, remaining_ms());
                if (wait != WAIT_OBJECT_0) {
                    // Take the read back before its buffer is used again. A read that
                    // completed in the meantime still delivers.
                    CancelIo(pipe.get());
                    const bool delivered =
                        GetOverlappedResult(pipe.get(), &ov, &got, TRUE) && got > 0;
                    if (wait == WAIT_OBJECT_0 + 1) {
                        ended = true;
                        if (!delivered) continue;
                    } else {
                        if (wait == WAIT_TIMEOUT) {
                            timed_out = true;
                        } else {
                            eof = true;
                        }
                        break;
                    }
                }
            }
            if (got == 0 && !GetOverlappedResult(pipe.get(), &ov, &got, FALSE)) {
                eof = true;
                break;
            }
            if (got == 0) continue;
            chunk_pos = 0;
            chunk_len = got;
            return true;
        }
        return false;
    }
};

child_process::child_process(const char* program, std::span<const std::string_view> args,
                             int timeout_ms)
    : p_(std::make_unique<impl>()) {
    const std::string cmd_exe = system_cmd_exe();
    if (cmd_exe.empty() || program == nullptr || program[0] == '\0') return;
    // The line cmd.exe runs: the quoted program, then the arguments, the runner's own
    // options ("--status") as they are and every value quoted.
    std::string command_line;
    {
        std::vector<char> quoted(std::strlen(program) * 2 + 3);
        shell_quote_into(program, quoted);
        command_line = quoted.data();
    }
    for (const std::string_view a : args) {
        command_line.push_back(' ');
        if (a.starts_with("--")) {
            command_line.append(a);
            continue;
        }
        const std::string value(a);
        std::vector<char> quoted(value.size() * 2 + 3);
        shell_quote_into(value.c_str(), quoted);
        command_line.append(quoted.data());
    }
    command_line.append(" 2>");
    command_line.append(null_device);
    // cmd.exe strips the first and the last quote of a /c line that holds more than two,
    // which breaks "prog" --name "work": the line goes in one more pair of quotes, and /s
    // makes cmd.exe strip exactly that pair whatever the line holds. /d skips the AutoRun
    // commands of the registry, whose output would land in the capture; /v:off keeps a
    // "!" in a path literal even where the registry turns delayed expansion on.
    std::string line = "\"" + cmd_exe + "\" /d /v:off /s /c \"" + command_line + "\"";

    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    unique_handle out_read;
    unique_handle out_write;
    if (!make_output_pipe(out_read, out_write, &inherit)) return;
    // Our own stdin belongs to the request body; the CLI reads the null device. cmd.exe's
    // own complaints go there too: credvane writes nothing to standard error.
    const unique_handle in = open_null_device(GENERIC_READ, &inherit);
    const unique_handle err = open_null_device(GENERIC_WRITE, &inherit);
    unique_handle event = own(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!in || !err || !event) return;

    STARTUPINFOEXA si{};
    si.StartupInfo.cb = sizeof si;
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    si.StartupInfo.hStdInput = in.get();
    si.StartupInfo.hStdOutput = out_write.get();
    si.StartupInfo.hStdError = err.get();

    // Only these three handles go to the CLI. Any other inheritable handle, above all the
    // host's pipe behind our standard output, would otherwise stay open in whatever the
    // CLI leaves running, and the host would wait for it.
    HANDLE inherited[] = {in.get(), out_write.get(), err.get()};
    std::vector<char> attr_space;
    SIZE_T attr_size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &attr_size);
    DWORD flags = CREATE_SUSPENDED | CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT;
    if (attr_size > 0) {
        attr_space.resize(attr_size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attr_space.data());
        if (InitializeProcThreadAttributeList(list, 1, 0, &attr_size)) {
            if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                          sizeof inherited, nullptr, nullptr)) {
                si.lpAttributeList = list;
                flags |= EXTENDED_STARTUPINFO_PRESENT;
            } else {
                DeleteProcThreadAttributeList(list);
            }
        }
    }

    std::wstring environment = child_environment();
    PROCESS_INFORMATION pi{};
    const BOOL created = CreateProcessA(cmd_exe.c_str(), line.data(), nullptr, nullptr, TRUE, flags,
                                        environment.data(), nullptr, &si.StartupInfo, &pi);
    if (si.lpAttributeList != nullptr) DeleteProcThreadAttributeList(si.lpAttributeList);
    if (!created) return;
    unique_handle process = own(pi.hProcess);
    const unique_handle thread = own(pi.hThread);

    // The job holds everything the CLI starts, so that nothing it started outlives the run.
    unique_handle job = own(CreateJobObjectA(nullptr, nullptr));
    if (job && !AssignProcessToJobObject(job.get(), process.get())) job.reset();
    ResumeThread(thread.get());

    p_->process = std::move(process);
    p_->job = std::move(job);
    p_->pipe = std::move(out_read);
    p_->event = std::move(event);
    p_->failure = start_failure::none;
    if (timeout_ms > 0) p_->deadline_ms = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
}

child_process::~child_process() {
    if (p_->process) (void)finish();
}

bool child_process::started() const {
    return static_cast<bool>(p_->process);
}

start_failure child_process::failure() const {
    return p_->failure;
}

bool child_process::read_line(std::span<char> piece) {
    if (!p_->pipe || piece.size() < 2) return false;
    std::size_t stored = 0;
    while (stored + 1 < piece.size()) {
        if (p_->chunk_pos == p_->chunk_len && !p_->refill()) break;
        const char c = p_->chunk[p_->chunk_pos++];
        piece[stored++] = c;
        if (c == '\n') break;
    }
    piece[stored] = '\0';
    return stored > 0;
}

run_end child_process::finish() {
    if (!p_->process) return run_end::cannot_run;
    // Closing our end first: a CLI still writing gets a broken pipe instead of blocking.
    p_->pipe.reset();
    if (!p_->timed_out &&
        WaitForSingleObject(p_->process.get(), p_->remaining_ms()) == WAIT_TIMEOUT) {
        p_->timed_out = true;
    }
    const unique_handle process = std::move(p_->process);
    const unique_handle job = std::move(p_->job);
    // Whatever the CLI left behind ends with the run, as on POSIX.
    if (!p_->timed_out && job) TerminateJobObject(job.get(), 1);
    if (p_->timed_out) {
        if (job) {
            TerminateJobObject(job.get(), 1);
        } else {
            TerminateProcess(process.get(), 1);
        }
        WaitForSingleObject(process.get(), INFINITE);
        return run_end::timed_out;
    }
    DWORD code = 0;
    if (!GetExitCodeProcess(process.get(), &code)) return run_end::ran;  // nothing to judge
    return means_cannot_run(code) ? run_end::cannot_run : run_end::ran;
}

}  // namespace credvane::platform

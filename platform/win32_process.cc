// win32_process.cc: processes and jobs on Windows: finding a CLI, its command line and
// environment, its output pipe, the job that holds it and everything it starts.
#include <climits>
#include <cstdio>
#include <cwchar>
#include <vector>

#include "platform/files.h"
#include "platform/platform.h"
#include "platform/read_line.h"
#include "platform/win32_internal.h"
#include "platform/win32_testing.h"

namespace credvane::platform {

using namespace win32;

namespace {

// The environment a CLI gets, as a CreateProcessW block: the entries as Windows held them,
// wide, so that no value is lost to the ANSI code page on the way to the CLI, and sorted as
// Windows requires of a block it is handed: by name, without case, by code unit, without
// regard to the locale, which is what CompareStringOrdinal with ignore-case does.
std::wstring child_environment(std::span<const env_entry> environment) {
    std::vector<std::wstring> entries;
    entries.reserve(environment.size());
    for (const env_entry& e : environment) entries.push_back(e.native);
    std::stable_sort(
        entries.begin(), entries.end(), [](const std::wstring& a, const std::wstring& b) {
            const std::wstring_view na = entry_name(a);
            const std::wstring_view nb = entry_name(b);
            return CompareStringOrdinal(na.data(), static_cast<int>(na.size()), nb.data(),
                                        static_cast<int>(nb.size()), TRUE) == CSTR_LESS_THAN;
        });
    std::wstring block;
    for (const std::wstring& e : entries) {
        block.append(e);
        block.push_back(L'\0');
    }
    // The block ends with an empty entry; an empty block is two terminators.
    if (block.empty()) block.push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

// How a CLI file is started: an executable directly, a batch script by cmd.exe.
enum class program_kind { none, executable, script };

program_kind kind_of(std::wstring_view path) {
    const std::size_t dot = path.find_last_of(L'.');
    const std::size_t sep = path.find_last_of(L"\\/");
    if (dot == std::wstring_view::npos || (sep != std::wstring_view::npos && dot < sep)) {
        return program_kind::none;
    }
    const std::wstring_view ext = path.substr(dot);
    if (equals_nocase(ext, std::wstring_view(L".exe")) ||
        equals_nocase(ext, std::wstring_view(L".com"))) {
        return program_kind::executable;
    }
    if (equals_nocase(ext, std::wstring_view(L".cmd")) ||
        equals_nocase(ext, std::wstring_view(L".bat"))) {
        return program_kind::script;
    }
    return program_kind::none;
}

bool is_file(const std::wstring& path) {
    const std::optional<std::string> text = narrow(path);
    return text && is_non_directory(text->c_str());
}

// The absolute, normalised form of path ("." and "..", '/' as '\'), or nothing.
std::optional<std::wstring> full_path(const std::wstring& path) {
    std::wstring full(path.size() + 64, L'\0');
    for (;;) {
        const DWORD n =
            GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (n == 0) return std::nullopt;
        if (n < full.size()) {
            full.resize(n);
            return full;
        }
        full.assign(n, L'\0');
    }
}

// The extensions cmd.exe would try, in PATHEXT's order, but only those credvane can start:
// anything else would need a file association, which no CLI relies on.
std::vector<std::wstring> runnable_extensions() {
    std::wstring list = L".COM;.EXE;.BAT;.CMD";
    if (const std::optional<std::wstring> v = wide_env(L"PATHEXT"); v && !v->empty()) list = *v;
    std::vector<std::wstring> exts;
    for (std::size_t at = 0; at <= list.size();) {
        const std::size_t end = std::min(list.find(L';', at), list.size());
        const std::wstring ext = list.substr(at, end - at);
        if (!ext.empty() && kind_of(ext) != program_kind::none) exts.push_back(ext);
        at = end + 1;
    }
    return exts;
}

struct resolved_program {
    std::wstring path;  // absolute
    program_kind kind = program_kind::none;
    start_failure failure = start_failure::not_found;
};

// The program at base: the file itself when it is one credvane can start, else base with
// each runnable extension. A file that exists but is of no such kind cannot be executed.
resolved_program resolve_at(const std::wstring& base, const std::vector<std::wstring>& exts) {
    resolved_program r;
    const std::optional<std::wstring> full = full_path(base);
    if (!full) return r;
    if (is_file(*full)) {
        r.kind = kind_of(*full);
        if (r.kind != program_kind::none) {
            r.path = *full;
            r.failure = start_failure::none;
            return r;
        }
        r.failure = start_failure::not_executable;
    }
    for (const std::wstring& ext : exts) {
        const std::wstring candidate = *full + ext;
        if (is_file(candidate)) {
            r.path = candidate;
            r.kind = kind_of(candidate);
            r.failure = start_failure::none;
            return r;
        }
    }
    return r;
}

bool absolute_folder(std::wstring_view dir) {
    return (dir.size() >= 3 && dir[1] == L':' && (dir[2] == L'\\' || dir[2] == L'/')) ||
           dir.starts_with(L"\\\\");
}

// Finds the program before anything runs. A path names its file (a relative one from the
// current folder, as the operator's shell would take it); a bare name is looked up in PATH's
// absolute folders only, never in the working folder (which cmd.exe would search first,
// so a file planted there would be run and believed) nor in a relative PATH entry.
resolved_program resolve_program(const std::wstring& program) {
    const std::vector<std::wstring> exts = runnable_extensions();
    if (program.find_first_of(L"\\/:") != std::wstring::npos) return resolve_at(program, exts);
    resolved_program best;
    const std::optional<std::wstring> path = wide_env(L"PATH");
    if (!path) return best;
    for (std::size_t at = 0; at <= path->size();) {
        const std::size_t end = std::min(path->find(L';', at), path->size());
        std::wstring dir = path->substr(at, end - at);
        at = end + 1;
        if (dir.size() >= 2 && dir.front() == L'"' && dir.back() == L'"') {
            dir = dir.substr(1, dir.size() - 2);
        }
        if (!absolute_folder(dir)) continue;
        if (dir.back() != L'\\' && dir.back() != L'/') dir.push_back(L'\\');
        const resolved_program r = resolve_at(dir + program, exts);
        if (r.failure == start_failure::none) return r;
        if (r.failure == start_failure::not_executable) best = r;
    }
    return best;
}

// One argument on a command line as CommandLineToArgvW (and the C runtime's own parser)
// reads it back: quoted when it is empty or holds a blank or a quote; inside quotes a run
// of backslashes is doubled before a quote (which is escaped) and at the end.
void append_argument(std::wstring& line, std::wstring_view arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring_view::npos) {
        line.append(arg);
        return;
    }
    line.push_back(L'"');
    std::size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        line.push_back(c);
    }
    line.append(backslashes * 2, L'\\');
    line.push_back(L'"');
}

// cmd.exe expands %NAME% even inside quotes and has no escape for a quote there, and a
// line break ends its command; a trailing backslash would escape the closing quote for
// whatever program the script hands the value on to. Such a text cannot reach a script
// as written, so it is refused rather than run altered.
bool script_safe(std::wstring_view text) {
    return text.find_first_of(L"\"%\r\n") == std::wstring_view::npos &&
           (text.empty() || text.back() != L'\\');
}

// A word the runner writes itself ("--status"): it goes to a script bare, as it always has.
bool plain_option(std::wstring_view arg) {
    if (!arg.starts_with(L"--")) return false;
    return std::all_of(arg.begin(), arg.end(), [](wchar_t c) {
        return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
               c == L'-' || c == L'_';
    });
}

// The system folder, where cmd.exe is taken from (never from a search).
std::wstring system_folder() {
    wchar_t dir[MAX_PATH + 1] = {};
    const UINT n = GetSystemDirectoryW(dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return {};
    return std::wstring(dir, n);
}

// 126 and 127 are what a CLI itself uses to say that it cannot work on this node. The
// loader's failures say that the program cannot start here, as 127 does on POSIX: a DLL
// not found (STATUS_DLL_NOT_FOUND), an entry point missing from one
// (STATUS_ENTRYPOINT_NOT_FOUND), an image of the wrong kind (STATUS_INVALID_IMAGE_FORMAT)
// and a DLL whose initialisation failed (STATUS_DLL_INIT_FAILED). cmd.exe answers a
// command that a script names and it cannot find with 9009 ("is not recognized as an
// internal or external command").
bool means_cannot_run(DWORD code, program_kind kind) {
    switch (code) {
        case 126:
        case 127:
        case 0xC0000135:  // STATUS_DLL_NOT_FOUND
        case 0xC0000139:  // STATUS_ENTRYPOINT_NOT_FOUND
        case 0xC000007B:  // STATUS_INVALID_IMAGE_FORMAT
        case 0xC0000142:  // STATUS_DLL_INIT_FAILED
            return true;
        default:
            return kind == program_kind::script && code == 9009;
    }
}

unique_handle open_null_device(DWORD access, SECURITY_ATTRIBUTES* inherit) {
    return own(CreateFileW(L"NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, inherit,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// A security descriptor whose DACL lets the user this process runs as, and nobody else,
// at the object. Empty when the user cannot be told.
class own_user_only {
  public:
    own_user_only() {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
        const unique_handle owned_token = own(token);
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        if (size == 0) return;
        user_.resize(size);
        if (!GetTokenInformation(token, TokenUser, user_.data(), size, &size)) return;
        const PSID sid = reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid;
        if (!IsValidSid(sid)) return;
        const DWORD acl_size =
            sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(sid);
        acl_.resize((acl_size + 3) & ~DWORD{3});
        auto* acl = reinterpret_cast<ACL*>(acl_.data());
        if (!InitializeAcl(acl, static_cast<DWORD>(acl_.size()), ACL_REVISION) ||
            !AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid) ||
            !InitializeSecurityDescriptor(&sd_, SECURITY_DESCRIPTOR_REVISION) ||
            !SetSecurityDescriptorDacl(&sd_, TRUE, acl, FALSE)) {
            return;
        }
        ready_ = true;
    }
    own_user_only(const own_user_only&) = delete;
    own_user_only& operator=(const own_user_only&) = delete;
    SECURITY_DESCRIPTOR* get() { return ready_ ? &sd_ : nullptr; }

  private:
    std::vector<unsigned char> user_;  // TOKEN_USER, which the ACE's SID points into
    std::vector<unsigned char> acl_;   // DWORD-aligned by the allocator
    SECURITY_DESCRIPTOR sd_{};
    bool ready_ = false;
};

// The CLI's standard output: a named pipe whose read end is ours and overlapped, so that
// a read can wait with a deadline (an anonymous pipe cannot). Only credvane's own user
// may open it (the default would let everyone read), and its name holds 128 random bits,
// so nobody can create it first; the first-instance flag refuses the name anyway if
// someone did.
bool make_output_pipe(unique_handle& read_end, unique_handle& write_end,
                      SECURITY_ATTRIBUTES* inherit, std::wstring* name_out = nullptr) {
    unsigned char random[16];
    if (!random_bytes(random)) return false;
    std::wstring name = L"\\\\.\\pipe\\credvane-" + std::to_wstring(GetCurrentProcessId()) + L"-";
    for (const unsigned char b : random) {
        name.push_back(L"0123456789abcdef"[b >> 4]);
        name.push_back(L"0123456789abcdef"[b & 15]);
    }
    own_user_only security;
    if (security.get() == nullptr) return false;
    SECURITY_ATTRIBUTES private_pipe{};
    private_pipe.nLength = sizeof private_pipe;
    private_pipe.lpSecurityDescriptor = security.get();
    private_pipe.bInheritHandle = FALSE;
    read_end = own(CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
        64 * 1024, 0, &private_pipe));
    if (!read_end) return false;
    write_end = own(CreateFileW(name.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, inherit,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!write_end) {
        read_end.reset();
        return false;
    }
    if (name_out != nullptr) *name_out = std::move(name);
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
    program_kind kind = program_kind::none;
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

namespace {

// The job every CLI runs in, with everything it starts: closing our handle to it, when
// credvane ends in any way (the host's own timeout kills it), ends them all. A crash in
// any of them ends that process at once rather than waiting on an error report.
unique_handle make_cli_job() {
    unique_handle job = own(CreateJobObjectW(nullptr, nullptr));
    if (!job) return job;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
    if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof limits)) {
        job.reset();
    }
    return job;
}

// No error box may hold a run open: a CLI that lacks a DLL or crashes ends with its code
// instead. Children inherit the error mode, so it is set once in credvane itself.
void quiet_error_mode() {
    static const bool done = [] {
        const UINT mode = SetErrorMode(0);
        SetErrorMode(mode | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
        return true;
    }();
    (void)done;
}

bool use_handle_list = true;

// A suspended process that must not run: ended before it executes a single instruction
// of its own.
void discard_suspended(const unique_handle& process) {
    TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), INFINITE);
}

// The procedure attribute list with the one attribute that limits inheritance.
class handle_list_attribute {
  public:
    explicit handle_list_attribute(std::span<HANDLE> handles) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        if (size == 0) return;
        space_.resize(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(space_.data());
        if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
        if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles.data(),
                                       handles.size_bytes(), nullptr, nullptr)) {
            DeleteProcThreadAttributeList(list);
            return;
        }
        list_ = list;
    }
    ~handle_list_attribute() {
        if (list_ != nullptr) DeleteProcThreadAttributeList(list_);
    }
    handle_list_attribute(const handle_list_attribute&) = delete;
    handle_list_attribute& operator=(const handle_list_attribute&) = delete;
    LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

  private:
    std::vector<char> space_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

}  // namespace

start_failure locate_program(const char* program, std::string& path) {
    std::wstring wprogram;
    if (program == nullptr || program[0] == '\0' || !widen(program, wprogram)) {
        return start_failure::not_found;
    }
    const resolved_program found = resolve_program(wprogram);
    if (found.failure != start_failure::none) return found.failure;
    const std::optional<std::string> text = narrow(found.path);
    if (!text) return start_failure::not_found;
    path = *text;
    return start_failure::none;
}

namespace win32_testing {

void set_handle_list(bool on) {
    use_handle_list = on;
}

void* output_pipe_for(std::wstring& name) {
    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof inherit;
    unique_handle read_end;
    unique_handle write_end;
    if (!make_output_pipe(read_end, write_end, &inherit, &name)) return nullptr;
    return read_end.release();
}

}  // namespace win32_testing

child_process::child_process(const char* program, std::span<const std::string_view> args,
                             int timeout_ms, std::span<const env_entry> environment)
    : p_(std::make_unique<impl>()) {
    std::wstring wprogram;
    if (program == nullptr || program[0] == '\0' || !widen(program, wprogram)) {
        p_->failure = start_failure::not_found;
        return;
    }
    // Resolved before anything starts: what cannot be found or started is "cannot run"
    // here, whatever cmd.exe would have answered for it.
    const resolved_program found = resolve_program(wprogram);
    if (found.failure != start_failure::none) {
        p_->failure = found.failure;
        return;
    }
    std::vector<std::wstring> wargs;
    for (const std::string_view a : args) {
        std::wstring w;
        if (!widen(a, w)) {
            // Not a refusal: no interpreter is at fault, and no program of any kind could be
            // given such a text. credvane's own arguments come from the UTF-16 environment
            // or from checked names, so only a caller's fault gets here.
            p_->failure = start_failure::not_executable;
            return;
        }
        wargs.push_back(std::move(w));
    }

    std::wstring application;
    std::wstring line;
    if (found.kind == program_kind::executable) {
        // Started directly: no interpreter stands between, so the path and every argument
        // arrive as written. The path cannot hold a quote, so quotes alone delimit it.
        application = found.path;
        line = L"\"" + found.path + L"\"";
        for (const std::wstring& a : wargs) {
            line.push_back(L' ');
            append_argument(line, a);
        }
    } else {
        if (!script_safe(found.path) ||
            !std::all_of(wargs.begin(), wargs.end(),
                         [](const std::wstring& a) { return script_safe(a); })) {
            p_->failure = start_failure::refused;
            return;
        }
        const std::wstring system = system_folder();
        if (system.empty()) return;
        application = system + L"\\cmd.exe";
        // cmd.exe strips the first and the last quote of a /c line that holds more than
        // two, which breaks "prog" --name "work": the line goes in one more pair of quotes,
        // and /s makes cmd.exe strip exactly that pair whatever the line holds. /d skips the
        // AutoRun commands of the registry, whose output would land in the capture; /v:off
        // keeps a "!" literal even where the registry turns delayed expansion on; /e:on
        // keeps the command extensions a script relies on where the registry turns them off.
        line = L"\"" + application + L"\" /d /e:on /v:off /s /c \"\"" + found.path + L"\"";
        for (const std::wstring& a : wargs) {
            line += plain_option(a) ? L" " + a : L" \"" + a + L"\"";
        }
        line.push_back(L'"');
    }
    // A fixed working folder: the CLI's own, never credvane's, which the host chose. A
    // drive alone ("C:") would mean that drive's current folder, not its root.
    std::wstring folder = found.path.substr(0, found.path.find_last_of(L'\\'));
    if (folder.size() == 2 && folder[1] == L':') folder.push_back(L'\\');
    quiet_error_mode();

    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    unique_handle out_read;
    unique_handle out_write;
    if (!make_output_pipe(out_read, out_write, &inherit)) return;
    // Our own stdin belongs to the request body; the CLI reads the null device, and its
    // complaints go there too: credvane writes nothing to standard error.
    const unique_handle in = open_null_device(GENERIC_READ, &inherit);
    const unique_handle err = open_null_device(GENERIC_WRITE, &inherit);
    unique_handle event = own(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!in || !err || !event) return;

    STARTUPINFOEXW si{};
    si.StartupInfo.cb = sizeof si;
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    si.StartupInfo.hStdInput = in.get();
    si.StartupInfo.hStdOutput = out_write.get();
    si.StartupInfo.hStdError = err.get();

    // Only these three handles go to the CLI. Any other inheritable handle, above all the
    // host's pipe behind our standard output, would otherwise stay open in whatever the
    // CLI leaves running, and the host would wait for it. Without the list nothing runs.
    HANDLE inherited[] = {in.get(), out_write.get(), err.get()};
    const handle_list_attribute attributes(inherited);
    DWORD flags = CREATE_SUSPENDED | CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT;
    if (use_handle_list) {
        if (attributes.get() == nullptr) return;
        si.lpAttributeList = attributes.get();
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    }

    std::wstring block = child_environment(environment);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE, flags,
                        block.data(), folder.c_str(), &si.StartupInfo, &pi)) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            p_->failure = start_failure::not_found;  // gone since it was found
        } else if (error == ERROR_BAD_EXE_FORMAT || error == ERROR_ACCESS_DENIED ||
                   error == ERROR_EXE_MACHINE_TYPE_MISMATCH) {
            p_->failure = start_failure::not_executable;
        }
        return;
    }
    unique_handle process = own(pi.hProcess);
    const unique_handle thread = own(pi.hThread);

    // The job is in place before the CLI runs its first instruction, so nothing it starts
    // escapes it. Without the job the CLI never runs: unconfined, what it leaves behind
    // would outlive credvane.
    unique_handle job = make_cli_job();
    if (!job || !AssignProcessToJobObject(job.get(), process.get()) ||
        ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
        discard_suspended(process);
        return;
    }

    p_->process = std::move(process);
    p_->job = std::move(job);
    p_->pipe = std::move(out_read);
    p_->event = std::move(event);
    p_->kind = found.kind;
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

std::size_t child_process::read_line(std::span<char> piece) {
    if (!p_->pipe || piece.size() < 2) return 0;
    return read_line_from(*p_, piece);
}

run_result child_process::finish() {
    if (!p_->process) return run_result::not_found;
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
        return run_result::timed_out;
    }
    DWORD code = 0;
    if (!GetExitCodeProcess(process.get(), &code)) return run_result::ran;  // nothing to judge
    return means_cannot_run(code, p_->kind) ? run_result::not_found : run_result::ran;
}

run_result child_process::stop() {
    if (!p_->process) return run_result::not_found;
    p_->pipe.reset();
    const unique_handle process = std::move(p_->process);
    const unique_handle job = std::move(p_->job);
    if (job) {
        TerminateJobObject(job.get(), 1);
    } else {
        TerminateProcess(process.get(), 1);
    }
    WaitForSingleObject(process.get(), INFINITE);
    return run_result::ran;
}

}  // namespace credvane::platform

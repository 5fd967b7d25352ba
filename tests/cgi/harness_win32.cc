// harness_win32.cc: Windows process plumbing for the CGI tests, built with mingw-w64 and run
// under wine.
#include "tests/cgi/harness.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h, whose types it uses.
#include <aclapi.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace cgi {

namespace {

// The strings here are built by appending: GCC 12 takes "literal" + std::string&& for an
// overlapping copy (-Wrestrict) and the test build treats warnings as errors.
std::string object_name(const std::string& name, const char* what) {
    std::string full = "Local\\";
    full += name;
    full += '-';
    full += what;
    return full;
}

// Returns once the helper has ended: its mutex is free only then (abandoned by its end).
void wait_for_end(const std::string& name) {
    HANDLE alive =
        OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, object_name(name, "alive").c_str());
    if (alive == nullptr) return;  // no helper holds it any more, or none ever did
    const DWORD w = WaitForSingleObject(alive, INFINITE);
    if (w == WAIT_OBJECT_0 || w == WAIT_ABANDONED) ReleaseMutex(alive);
    CloseHandle(alive);
}

}  // namespace

held_helper::held_helper() {
    static int count = 0;
    name_ = "credvane-held-";
    name_ += std::to_string(GetCurrentProcessId());
    name_ += '-';
    name_ += std::to_string(++count);
    up_ = CreateEventA(nullptr, TRUE, FALSE, object_name(name_, "up").c_str());
    go_ = CreateEventA(nullptr, TRUE, FALSE, object_name(name_, "go").c_str());
    if (up_ == nullptr || go_ == nullptr)
        throw std::runtime_error("cannot make the helper's events");
}

held_helper::~held_helper() {
    let_go_and_wait();
    CloseHandle(up_);
    CloseHandle(go_);
}

std::string held_helper::command(const char* mode) const {
    std::string line = "\"";
    line += exe_dir();
    line += "wine_helper.exe\" ";
    line += mode;
    line += ' ';
    line += name_;
    return line;
}

std::string held_helper::hold_command(const std::string& mark) const {
    std::string line = command("held");
    line += " \"";
    line += mark;
    line += '"';
    return line;
}

std::string held_helper::up_command() const {
    return command("up");
}

bool held_helper::came_up() const {
    return WaitForSingleObject(up_, 0) == WAIT_OBJECT_0;
}

void held_helper::let_go_and_wait() {
    SetEvent(go_);
    wait_for_end(name_);
}

bool env_less::operator()(const std::string& a, const std::string& b) const {
    return _stricmp(a.c_str(), b.c_str()) < 0;
}

std::string exe_dir() {
    wchar_t path[MAX_PATH + 1] = {};
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::string p = narrow(std::wstring(path, n));
    return p.substr(0, p.find_last_of('\\') + 1);
}

std::wstring widen(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                      static_cast<int>(utf8.size()), nullptr, 0);
    if (n <= 0) throw std::runtime_error("not UTF-8: " + utf8);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                        out.data(), n);
    return out;
}

std::string narrow(const std::wstring& utf16) {
    if (utf16.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

bool grant_everyone_write(const std::string& dir) {
    PACL old_dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    std::wstring w = widen(dir);
    if (GetNamedSecurityInfoW(w.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &old_dacl, nullptr, &sd) != ERROR_SUCCESS) {
        return false;
    }
    EXPLICIT_ACCESS_W grant{};
    wchar_t everyone[] = L"EVERYONE";
    BuildExplicitAccessWithNameW(&grant, everyone, FILE_GENERIC_WRITE | FILE_GENERIC_READ,
                                 GRANT_ACCESS, NO_INHERITANCE);
    PACL dacl = nullptr;
    const bool ok = SetEntriesInAclW(1, &grant, old_dacl, &dacl) == ERROR_SUCCESS &&
                    SetNamedSecurityInfoW(w.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                          nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
    LocalFree(dacl);
    LocalFree(sd);
    return ok;
}

std::wstring environment_block(std::vector<std::wstring> entries) {
    // The name ends at the first '=' after its first character: hidden entries such as
    // "=C:=C:\dir" begin with one.
    auto name_of = [](const std::wstring& e) {
        return std::wstring_view(e).substr(0, e.find(L'=', 1));
    };
    std::sort(entries.begin(), entries.end(), [&](const std::wstring& a, const std::wstring& b) {
        const std::wstring_view na = name_of(a);
        const std::wstring_view nb = name_of(b);
        return CompareStringOrdinal(na.data(), static_cast<int>(na.size()), nb.data(),
                                    static_cast<int>(nb.size()), TRUE) == CSTR_LESS_THAN;
    });
    std::wstring block;
    for (const std::wstring& e : entries) {
        block += e;
        block += L'\0';
    }
    if (block.empty()) block += L'\0';
    block += L'\0';
    return block;
}

running::~running() {
    if (process != nullptr) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, INFINITE);
        CloseHandle(process);
    }
}

bool wait_for_file(const std::string& path, unsigned long timeout_ms) {
    const std::wstring wpath = widen(path);
    const ULONGLONG until = GetTickCount64() + timeout_ms;
    // Polled: a change notification on the folder would also wake for every other file.
    while (GetFileAttributesW(wpath.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (GetTickCount64() >= until) return false;
        Sleep(10);
    }
    return true;
}

namespace {

struct handle {
    HANDLE h = nullptr;
    handle() = default;
    explicit handle(HANDLE v) : h(v == INVALID_HANDLE_VALUE ? nullptr : v) {}
    ~handle() { reset(); }
    handle(const handle&) = delete;
    handle& operator=(const handle&) = delete;
    void reset() {
        if (h != nullptr) CloseHandle(h);
        h = nullptr;
    }
};

// The variables a Windows process needs to find its system; the rest is the test's.
const char* const system_variables[] = {"SystemRoot", "windir",  "SystemDrive", "PATH",
                                        "PATHEXT",    "COMSPEC", "TEMP",        "TMP"};

std::filesystem::path upath(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string ustring(const std::filesystem::path& p) {
    const std::u8string s = p.u8string();
    return std::string(s.begin(), s.end());
}

void drain(HANDLE h, std::string& into) {
    char chunk[65536];
    DWORD n = 0;
    while (ReadFile(h, chunk, sizeof chunk, &n, nullptr) && n > 0) into.append(chunk, n);
}

}  // namespace

namespace {

// Removes a folder and everything in it, long paths included (std::filesystem stops at
// MAX_PATH here), so that no test leaves files behind for the next run.
void remove_tree(const std::wstring& extended) {
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW((extended + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring path = extended + L"\\" + name;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                remove_tree(path);
            } else {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(extended.c_str());
}

}  // namespace

host::host() {
    static unsigned serial = 0;
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD n = GetTempPathW(MAX_PATH, temp);
    // A space in every path: each CLI path and credential path must survive cmd.exe. Process
    // ids repeat from one wine session to the next, so the folder must be a new one.
    for (;;) {
        root = narrow(std::wstring(temp, n)) + "credvane wine " +
               std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++serial);
        if (CreateDirectoryW(widen(root).c_str(), nullptr)) break;
        if (GetLastError() != ERROR_ALREADY_EXISTS) throw std::runtime_error("no folder " + root);
    }
    home = root + "\\home";
    std::filesystem::create_directories(upath(home));
    std::filesystem::create_directories(upath(root + "\\bin"));
    for (const char* name : system_variables) {
        if (const char* v = std::getenv(name)) env[name] = v;
    }
    env["USERPROFILE"] = home;
    // The default login CLI name is nowhere on PATH, so by default there is no CLI.
}

host::~host() {
    remove_tree(L"\\\\?\\" + widen(root));
}

std::string host::path(const std::string& rel) const {
    std::string p = root + "\\" + rel;
    std::replace(p.begin(), p.end(), '/', '\\');
    return p;
}

std::string host::write(const std::string& rel, const std::string& content) {
    const std::filesystem::path p = upath(path(rel));
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
    return ustring(p);
}

std::string host::folder(const std::string& rel) {
    const std::string p = path(rel);
    std::filesystem::create_directories(upath(p));
    return p;
}

std::string host::script(const std::string& name, const std::string& body) {
    std::string crlf = "@echo off\r\n";
    for (const char c : body) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    return write("bin\\" + name + ".cmd", crlf);
}

std::string host::cli(const std::string& name, const stand_in& s) {
    // Each reply's bytes stand in a file beside the script, which prints them with type;
    // cmd.exe shows no more than nine arguments.
    std::string body = "echo [%~1][%~2][%~3][%~4][%~5][%~6][%~7][%~8][%~9]>>\"%~f0.argv\"\n";
    if (s.dump_env) body += "set >\"%~f0.env\"\n";
    // One line: cmd.exe has no way to read the whole of it.
    if (s.record_stdin) body += "set /p line=\n>\"%~f0.stdin\" echo(%line%\n";
    int n = 0;
    std::string jumps;
    std::string replies;
    auto answer = [&](const reply& r) {
        const std::string label = "reply" + std::to_string(n);
        const std::string out = write("bin\\" + name + "." + label, r.out);
        ++n;
        replies += ":" + label + "\n";
        if (!r.copy_from.empty()) {
            replies += "copy /y \"" + r.copy_from + "\" " +
                       (r.copy_to.empty() ? std::string("\"%~2\"") : "\"" + r.copy_to + "\"") +
                       " >NUL\n";
        }
        replies += "type \"" + out + "\"\nexit /b " + std::to_string(r.exit_code) + "\n";
        return label;
    };
    for (const auto& [arg, r] : s.first)
        jumps += "if \"%~1\"==\"" + arg + "\" goto " + answer(r) + "\n";
    jumps += "goto " + answer(s.other) + "\n";
    return script(name, body + jumps + replies);
}

std::string host::read(const std::string& path) const {
    std::ifstream in(upath(path), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool host::exists(const std::string& path) const {
    return GetFileAttributesW(widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool host::is_folder(const std::string& path) const {
    const DWORD a = GetFileAttributesW(widen(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void host::remove(const std::string& path) const {
    DeleteFileW(widen(path).c_str());
}

namespace {

// The run's environment as a block: env with raw_env over it, and the query when set.
std::wstring block_of(const host& h, const std::string* query) {
    std::map<std::string, std::wstring, env_less> vars;
    for (const auto& [k, v] : h.env) vars[k] = widen(v);
    for (const auto& [k, v] : h.raw_env) vars[k] = v;
    if (query != nullptr) vars["QUERY_STRING"] = widen(*query);
    std::vector<std::wstring> entries;
    for (const auto& [k, v] : vars) entries.push_back(widen(k) + L"=" + v);
    if (!h.unsorted_env) return environment_block(std::move(entries));
    std::wstring block;
    for (auto e = entries.rbegin(); e != entries.rend(); ++e) {
        block += *e;
        block += L'\0';
    }
    block += L'\0';
    return block;
}

PROCESS_INFORMATION launch(const host& h, const std::string& program, const std::wstring& block,
                           const std::vector<std::string>& args, STARTUPINFOW& si) {
    const std::wstring exe = widen(program);
    std::wstring line = L"\"" + exe + L"\"";
    for (const std::string& a : args) line += L" \"" + widen(a) + L"\"";
    std::wstring env_block = block;
    PROCESS_INFORMATION pi{};
    // Under wine a new process is a new Unix process that must set itself up before
    // CreateProcess returns, and on a busy machine that start now and then fails (twice in
    // our recent full runs, each a single launch among hundreds). A test is about credvane,
    // not about that start: a launch is tried again, twice at most, unless the program is
    // missing, not a program or not to be run.
    for (int attempt = 1;; ++attempt) {
        if (CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE,
                           CREATE_UNICODE_ENVIRONMENT, env_block.data(), widen(h.root).c_str(), &si,
                           &pi)) {
            return pi;
        }
        const DWORD error = GetLastError();
        const bool lasting = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
                             error == ERROR_BAD_EXE_FORMAT || error == ERROR_ACCESS_DENIED;
        if (lasting || attempt == 3) {
            throw std::runtime_error("CreateProcess " + program + ": error " +
                                     std::to_string(error) + " after " + std::to_string(attempt) +
                                     " attempts");
        }
    }
}

// Runs program to its end with the host's stdin bytes, and takes all it writes.
result run_to_end(const host& h, const std::string& program, const std::wstring& block,
                  const std::vector<std::string>& args) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE r = nullptr;
    HANDLE w = nullptr;
    if (!CreatePipe(&r, &w, &inherit, 0)) throw std::runtime_error("CreatePipe out");
    handle out_read(r), out_write(w);
    if (!CreatePipe(&r, &w, &inherit, 0)) throw std::runtime_error("CreatePipe err");
    handle err_read(r), err_write(w);
    if (!CreatePipe(&r, &w, &inherit, 0)) throw std::runtime_error("CreatePipe in");
    handle in_read(r), in_write(w);
    // Our ends stay with us, or the child would hold its own pipes open.
    SetHandleInformation(out_read.h, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_read.h, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(in_write.h, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in_read.h;
    si.hStdOutput = out_write.h;
    si.hStdError = err_write.h;
    const PROCESS_INFORMATION pi = launch(h, program, block, args, si);
    handle process(pi.hProcess), thread(pi.hThread);
    out_write.reset();
    err_write.reset();
    in_read.reset();

    // The request body waits on credvane's stdin; a CLI that read it would show.
    DWORD written = 0;
    WriteFile(in_write.h, h.stdin_bytes.data(), static_cast<DWORD>(h.stdin_bytes.size()), &written,
              nullptr);
    in_write.reset();

    result res;
    std::thread err_reader([&] { drain(err_read.h, res.err); });
    drain(out_read.h, res.out);
    err_reader.join();
    WaitForSingleObject(process.h, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.h, &code);
    res.exit_code = static_cast<int>(code);
    return res;
}

}  // namespace

result host::run(const std::string& query, const std::vector<std::string>& args,
                 bool query_set) const {
    return run_to_end(*this, exe_dir() + "credvane.exe",
                      block_of(*this, query_set ? &query : nullptr), args);
}

result host::exec(const std::string& program, const std::vector<std::string>& args) const {
    return run_to_end(*this, program, block_of(*this, nullptr), args);
}

running host::start(const std::string& query) const {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    handle in(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                          OPEN_EXISTING, 0, nullptr));
    handle out(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in.h;
    si.hStdOutput = out.h;
    si.hStdError = out.h;
    const PROCESS_INFORMATION pi =
        launch(*this, exe_dir() + "credvane.exe", block_of(*this, &query), {}, si);
    CloseHandle(pi.hThread);
    running r;
    r.process = pi.hProcess;
    return r;
}

}  // namespace cgi

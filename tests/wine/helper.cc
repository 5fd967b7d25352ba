// helper.cc: a small Windows program the wine tests start, directly or from stand-in CLIs.
//   wine_helper sleep <ms> <file>   waits, then creates file: proof that it outlived a kill
//   wine_helper hold <file>         writes its process id to file, then waits until ended
//   wine_helper held <name> <file>  says it is up, then blocks until the test lets it go, then
//                                   creates file: proof that it outlived a kill
//   wine_helper up <name>           waits until the "held" helper of that name is up
//   wine_helper write-handle <n>    writes "x" to the handle numbered n, if it has one
//   wine_helper flood               writes lines to standard output without end, ignoring
//                                   every failed write, as a CLI that never notices that
//                                   nobody reads any more
//   wine_helper argv <file> ...     writes the arguments after file to it in UTF-8, one a
//                                   line, as CommandLineToArgvW reads them; prints a JSON line
//   <copy of wine_helper> --...     a login CLI: appends its arguments so to <its path>.argv,
//                                   writes its variables' names in the order of its block to
//                                   <its path>.env, one a line, and prints a JSON line
// The "held" helper's named objects (the test side is wine::held_helper in harness.h):
//   Local\<name>-alive   a mutex it owns while it runs (abandoned at its end)
//   Local\<name>-up      an event set once it owns that mutex
//   Local\<name>-go      an event the test sets to let it go
// Nothing there waits on time; the two-minute bound only ends a broken run.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

namespace {

std::string utf8(const wchar_t* w) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? static_cast<std::size_t>(n - 1) : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, w, -1, out.data(), n, nullptr, nullptr);
    return out;
}

// Written whole under a temporary name and then renamed, so that a test waiting for the
// file never reads half of it.
bool write_whole(const wchar_t* path, const std::string& text) {
    const std::wstring temp = std::wstring(path) + L".part";
    const HANDLE f = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    DWORD n = 0;
    const bool ok =
        WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &n, nullptr) && n == text.size();
    CloseHandle(f);
    return ok && MoveFileExW(temp.c_str(), path, MOVEFILE_REPLACE_EXISTING);
}

constexpr DWORD broken_run_ms = 120000;

HANDLE object_named(const wchar_t* name, const wchar_t* what, bool mutex) {
    std::wstring full = L"Local\\";
    full += name;
    full += L'-';
    full += what;
    return mutex ? CreateMutexW(nullptr, TRUE, full.c_str())
                 : CreateEventW(nullptr, TRUE, FALSE, full.c_str());
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc < 2) return 2;
    const std::wstring cmd = argv[1];
    if (cmd == L"sleep" && argc == 4) {
        Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
        const HANDLE f = CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
        return 0;
    }
    if (cmd == L"hold" && argc == 3) {
        if (!write_whole(argv[2], std::to_string(GetCurrentProcessId()))) return 1;
        Sleep(INFINITE);
        return 0;
    }
    if (cmd == L"held" && argc == 4) {
        const HANDLE alive = object_named(argv[2], L"alive", true);
        const HANDLE up = object_named(argv[2], L"up", false);
        const HANDLE go = object_named(argv[2], L"go", false);
        if (alive == nullptr || up == nullptr || go == nullptr) return 2;
        SetEvent(up);
        WaitForSingleObject(go, broken_run_ms);
        const HANDLE f = CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
        return 0;
    }
    if (cmd == L"up" && argc == 3) {
        const HANDLE up = object_named(argv[2], L"up", false);
        if (up == nullptr) return 2;
        return WaitForSingleObject(up, broken_run_ms) == WAIT_OBJECT_0 ? 0 : 1;
    }
    if (cmd == L"write-handle" && argc == 3) {
        const auto h = reinterpret_cast<HANDLE>(
            static_cast<std::uintptr_t>(std::wcstoull(argv[2], nullptr, 10)));
        DWORD n = 0;
        return WriteFile(h, "x", 1, &n, nullptr) ? 0 : 1;
    }
    if (cmd == L"flood" && argc == 2) {
        const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
        std::string line(1023, 'x');
        line.push_back('\n');
        for (;;) {
            DWORD n = 0;
            WriteFile(out, line.data(), static_cast<DWORD>(line.size()), &n, nullptr);
        }
    }
    const bool as_cli = cmd.rfind(L"--", 0) == 0;
    if ((cmd == L"argv" && argc >= 3) || as_cli) {
        std::wstring file = as_cli ? std::wstring(argv[0]) + L".argv" : std::wstring(argv[2]);
        std::string lines;
        if (as_cli) {
            // Earlier runs of the same request come first.
            const HANDLE f = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (f != INVALID_HANDLE_VALUE) {
                char chunk[4096];
                DWORD n = 0;
                while (ReadFile(f, chunk, sizeof chunk, &n, nullptr) && n > 0)
                    lines.append(chunk, n);
                CloseHandle(f);
            }
        }
        for (int i = as_cli ? 1 : 3; i < argc; ++i) {
            lines += '[';
            lines += utf8(argv[i]);
            lines += "]";
        }
        lines += "\n";
        if (!write_whole(file.c_str(), lines)) return 1;
        if (as_cli) {
            std::string names;
            if (wchar_t* all = GetEnvironmentStringsW()) {
                for (const wchar_t* e = all; *e != L'\0'; e += std::wcslen(e) + 1) {
                    const std::wstring entry(e);
                    names += utf8(entry.substr(0, entry.find(L'=', 1)).c_str());
                    names += '\n';
                }
                FreeEnvironmentStringsW(all);
            }
            if (!write_whole((std::wstring(argv[0]) + L".env").c_str(), names)) return 1;
        }
        std::printf("{\"ok\":true,\"logged_in\":true}\n");
        return 0;
    }
    return 2;
}

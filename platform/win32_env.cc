// win32_env.cc: the environment and text on Windows: variables, UTF-8 and UTF-16, the
// clocks, standard output and the interpreter's quoting.
#include <fcntl.h>
#include <io.h>
#include <string.h>
#include <time.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <list>
#include <map>

#include "platform/files.h"
#include "platform/platform.h"
#include "platform/win32_internal.h"

#include <bcrypt.h>

namespace credvane::platform {

namespace win32 {

bool widen(std::string_view text, std::wstring& out) {
    out.clear();
    if (text.empty()) return true;
    if (text.size() > static_cast<std::size_t>(INT_MAX)) return false;
    const int in = static_cast<int>(text.size());
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), in, nullptr, 0);
    if (n <= 0) return false;
    out.resize(static_cast<std::size_t>(n));
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), in, out.data(), n) == n;
}

// UTF-16 to UTF-8 for the rest of credvane; nothing for a string with a lone surrogate,
// which has no UTF-8 form (a lossy form could equal some other string).
std::optional<std::string> narrow(std::wstring_view text) {
    std::string out;
    if (text.empty()) return out;
    if (text.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
    const int in = static_cast<int>(text.size());
    const int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), in, nullptr, 0,
                                      nullptr, nullptr);
    if (n <= 0) return std::nullopt;
    out.resize(static_cast<std::size_t>(n));
    if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), in, out.data(), n, nullptr,
                            nullptr) != n) {
        return std::nullopt;
    }
    return out;
}

// The variable's wide value, or nothing when it is not defined.
std::optional<std::wstring> wide_env(const wchar_t* name) {
    std::wstring value(256, L'\0');
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD n =
            GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
        if (n == 0) {
            // 0 is both "not defined" and "defined and empty".
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
            value.clear();
            return value;
        }
        // n < size: the value and its terminator fit. Otherwise n is the size it needs
        // (it may still grow between the calls, hence the loop).
        if (n < value.size()) {
            value.resize(n);
            return value;
        }
        value.assign(n, L'\0');
    }
}

std::wstring_view entry_name(std::wstring_view entry) {
    return entry.substr(0, entry.find(L'=', 1));
}

}  // namespace win32

using namespace win32;

namespace {

// The variable whose value must never be read as "no value" when it does not convert:
// an unset node password lets every request in.
bool fails_closed(std::wstring_view name) {
    return equals_nocase(name, std::wstring_view(L"BOT_PASSWORD"));
}

// What a variable that is set but has no UTF-8 form reads as when it must fail closed.
// Converted text is always valid UTF-8, and 0xFF never occurs in UTF-8, so no header,
// query or other variable can ever equal it.
constexpr char unmatchable_value[] = "\xff";

}  // namespace

const char* env(const char* name) {
    std::wstring wname;
    if (name == nullptr || !widen(name, wname)) return nullptr;
    const std::optional<std::wstring> value = wide_env(wname.c_str());
    if (!value) return nullptr;
    const std::optional<std::string> converted = narrow(*value);
    // A value that does not convert counts as unset, but for the one that fails closed.
    if (!converted && !fails_closed(wname)) return nullptr;
    const std::string text = converted ? *converted : std::string(unmatchable_value);
    // Callers keep the pointer for the whole request, as they would keep getenv's. Each
    // distinct value is stored once and never freed: a request reads a handful of
    // variables, and a value read again is usually the same.
    static std::map<std::string, std::list<std::string>, std::less<>> seen;
    std::list<std::string>& values = seen[name];
    for (const std::string& v : values) {
        if (v == text) return v.c_str();
    }
    values.push_back(text);
    return values.back().c_str();
}

namespace {

// For judging a variable only: a lone surrogate becomes U+FFFD. The entry itself goes to
// a child as it is.
std::string lossy_utf8(std::wstring_view w) {
    if (w.empty() || w.size() > static_cast<std::size_t>(INT_MAX)) return {};
    const int in = static_cast<int>(w.size());
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), in, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string s(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), in, s.data(), n, nullptr, nullptr);
    return s;
}

}  // namespace

std::vector<env_entry> environment() {
    std::vector<env_entry> all;
    if (wchar_t* block = GetEnvironmentStringsW()) {
        for (const wchar_t* e = block; *e != L'\0'; e += std::wcslen(e) + 1) {
            const std::wstring_view entry(e);
            const std::wstring_view name = win32::entry_name(entry);
            if (name.size() == entry.size()) continue;  // no '=': not a variable
            all.push_back(
                {lossy_utf8(name), lossy_utf8(entry.substr(name.size() + 1)), std::wstring(entry)});
        }
        FreeEnvironmentStringsW(block);
    }
    return all;
}

bool home_env(const char* name, std::span<char> out) {
    if (out.empty()) return false;
    out[0] = '\0';
    // The UTF-8 value must fit out whole: a cut home is no home, so the caller moves on
    // to its next choice.
    const char* v = env(name);
    if (v == nullptr || v[0] == '\0') return false;
    const std::size_t n = std::strlen(v);
    if (n >= out.size() || std::strcmp(v, unmatchable_value) == 0) return false;
    std::memcpy(out.data(), v, n + 1);
    return true;
}

std::int64_t now() {
    return static_cast<std::int64_t>(_time64(nullptr));
}

std::int64_t monotonic_ms() {
    return static_cast<std::int64_t>(GetTickCount64());
}

void load_libraries_from_system_only() {
    // Looked up rather than imported, so that a Windows 7 without it still starts.
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto set_default =
        reinterpret_cast<decltype(&SetDefaultDllDirectories)>(reinterpret_cast<system_function>(
            kernel != nullptr ? GetProcAddress(kernel, "SetDefaultDllDirectories") : nullptr));
    if (set_default != nullptr) set_default(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

system_function system_library_function(const wchar_t* library, const char* name) {
    // The flag holds for the library's own imports too, whatever the process's setting.
    HMODULE module = LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) return nullptr;
    return reinterpret_cast<system_function>(GetProcAddress(module, name));
}

bool random_bytes(std::span<unsigned char> out) {
    // bcrypt.dll is no KnownDLL, so it is loaded by hand from System32.
    static const auto gen_random = reinterpret_cast<decltype(&BCryptGenRandom)>(
        system_library_function(L"bcrypt.dll", "BCryptGenRandom"));
    if (gen_random == nullptr) return false;
    // The system's preferred generator needs no algorithm handle; a call takes at most a
    // ULONG's worth of bytes.
    while (!out.empty()) {
        const ULONG n = static_cast<ULONG>(std::min<std::size_t>(out.size(), 1u << 20));
        if (!BCRYPT_SUCCESS(gen_random(nullptr, out.data(), n, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
            return false;
        }
        out = out.subspan(n);
    }
    return true;
}

void sleep_ms(int ms) {
    Sleep(ms > 0 ? static_cast<DWORD>(ms) : 0);
}

std::optional<std::vector<std::string>> utf8_arguments(int argc, const wchar_t* const* argv) {
    std::vector<std::string> out;
    for (int i = 0; i < argc && argv[i] != nullptr; ++i) {
        std::optional<std::string> arg = win32::narrow(argv[i]);
        if (!arg) return std::nullopt;
        out.push_back(std::move(*arg));
    }
    return out;
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

// Windows writes no core file of its own; a crash report of Windows Error Reporting is the
// dump that could carry a token, so it is told to leave the heap out. A full dump an
// administrator asks for (the LocalDumps registry key) is the administrator's to keep.
bool keep_memory_private() {
    // WerSetFlags lives in kernel32 (Windows Vista and later); MinGW's werapi.h does not
    // compile on its own, so the function is looked up rather than declared.
    using wer_set_flags = HRESULT(WINAPI*)(DWORD);
    constexpr DWORD no_heap = 1;  // WER_FAULT_REPORTING_FLAG_NOHEAP
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto proc = kernel != nullptr ? GetProcAddress(kernel, "WerSetFlags") : nullptr;
    if (proc == nullptr) return false;
    return SUCCEEDED(reinterpret_cast<wer_set_flags>(reinterpret_cast<void*>(proc))(no_heap));
}

bool set_env(const char* name, const char* value) {
    std::wstring wname;
    std::wstring wvalue;
    // The process's own block is what a CLI inherits and what env() reads; no C runtime copy
    // is read after this.
    return name != nullptr && value != nullptr && widen(name, wname) && widen(value, wvalue) &&
           SetEnvironmentVariableW(wname.c_str(), wvalue.c_str()) != 0;
}

void drop_env(const char* name) {
    std::wstring wname;
    if (name != nullptr && widen(name, wname)) SetEnvironmentVariableW(wname.c_str(), nullptr);
    // The C runtime keeps its own copy, which getenv reads.
    if (name != nullptr) _putenv_s(name, "");
}

}  // namespace credvane::platform

// win32_internal.h: what the Windows platform files share among themselves (owned
// handles, UTF-8 and UTF-16, the environment, the wide form of a path). Only platform/'s
// Windows files include it.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace credvane::platform::win32 {

struct handle_closer {
    void operator()(HANDLE h) const { CloseHandle(h); }
};
// An owned kernel handle; the API's two "no handle" values both become empty.
using unique_handle = std::unique_ptr<void, handle_closer>;

inline unique_handle own(HANDLE h) {
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

// UTF-8 to UTF-16 for the W functions; false for bytes that are not UTF-8, which no
// Windows name can come from.
bool widen(std::string_view text, std::wstring& out);

// UTF-16 to UTF-8 for the rest of credvane; nothing for a string with a lone surrogate,
// which has no UTF-8 form (a lossy form could equal some other string).
std::optional<std::string> narrow(std::wstring_view text);

// The variable's wide value, or nothing when it is not defined.
std::optional<std::wstring> wide_env(const wchar_t* name);

// The name of an environment entry. Hidden per-drive entries such as "=C:=C:\dir" have a
// name that begins with '='.
std::wstring_view entry_name(std::wstring_view entry);

// The wide form of a UTF-8 path for the file functions; false when it has none.
bool file_path(const char* path, std::wstring& out);

}  // namespace credvane::platform::win32

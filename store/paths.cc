// paths.cc: where the credential store's files lie, resolved from the environment at each call.
#include "store/paths.h"

#include <array>
#include <string_view>

#include "base/text.h"
#include "platform/platform.h"

namespace credvane {

namespace {

constexpr char sep = platform::dir_sep;
// A home path with its terminator; a longer one is no home.
constexpr std::size_t home_capacity = 512;

// The override variables: an empty value counts as unset, so an operator who blanks a
// variable gets the default rather than a path built from nothing.
const char* override_env(const char* name) {
    const char* v = platform::env(name);
    return (v != nullptr && *v != '\0') ? v : nullptr;
}

}  // namespace

const char* home_dir() {
    // Static so that the pointer outlives the call; every call refills it.
    static std::array<char, home_capacity> home{};
    if (platform::home_env("USERPROFILE", home)) return home.data();
    if (platform::home_env("HOME", home)) return home.data();
    std::array<char, home_capacity> homepath{};
    if (!platform::home_env("HOMEPATH", homepath)) return nullptr;
    // HOMEPATH is taken alone, without a drive: a path from the root of the current drive.
    copy_cut(home, homepath.data());
    return home.data();
}

bool dir_of(const char* path, std::span<char> out) {
    if (path == nullptr) return copy_whole(out, "");
    path_text copy;
    // A separator beyond 1023 bytes is not seen, so the part of a longer path is no part.
    const bool whole = copy_whole(copy.span(), path);
    const std::string_view v = copy.view();
    std::size_t cut = v.rfind(sep);
    // Windows also accepts the forward slash, but only when no backslash is there: a
    // mixed path is cut after its last backslash. On POSIX a backslash is a name byte.
    if (sep == '\\' && cut == std::string_view::npos) cut = v.rfind('/');
    return copy_whole(out,
                      cut == std::string_view::npos ? std::string_view() : v.substr(0, cut + 1)) &&
           whole;
}

bool codex_dir(std::span<char> out) {
    if (const char* creds = override_env("CODEX_CREDS_PATH")) {
        const bool whole = dir_of(creds, out);
        if (!out.empty() && out[0] != '\0') return whole;
    }
    // The Codex CLI keeps its files in CODEX_HOME when that is set: a node that sets it
    // without CODEX_CREDS_PATH must not read as logged out.
    if (const char* codex_home = override_env("CODEX_HOME")) {
        const std::string_view v(codex_home);
        const bool ends_with_sep = v.back() == sep || (sep == '\\' && v.back() == '/');
        return format_whole(out, ends_with_sep ? "%s" : "%s%c", codex_home, sep);
    }
    if (const char* home = home_dir()) return format_whole(out, "%s%c.codex%c", home, sep, sep);
    return format_whole(out, ".codex%c", sep);
}

bool creds_path(std::span<char> out) {
    if (const char* creds = override_env("CODEX_CREDS_PATH")) {
        return format_whole(out, "%s", creds);
    }
    path_text dir;
    const bool whole = codex_dir(dir.span());
    return format_whole(out, "%sauth.json", dir.c_str()) && whole;
}

bool accounts_dir(std::span<char> out) {
    if (const char* accounts = override_env("CODEX_ACCOUNTS_DIR")) {
        return format_whole(out, "%s", accounts);
    }
    path_text dir;
    const bool whole = codex_dir(dir.span());
    return format_whole(out, "%saccounts", dir.c_str()) && whole;
}

bool account_path(const char* name, std::span<char> out) {
    path_text dir;
    const bool whole = accounts_dir(dir.span());
    return format_whole(out, "%s%c%s.json", dir.c_str(), sep, name) && whole;
}

bool credentials_path(const char* name, std::span<char> out) {
    if (name[0] == '\0') return creds_path(out);
    return account_path(name, out);
}

bool profile_path(std::span<char> out) {
    path_text dir;
    bool whole = true;
    if (const char* env_dir = override_env("CODEX_ENV_DIR")) {
        whole = format_whole(dir.span(), "%s", env_dir);
    } else if (const char* home = home_dir()) {
        whole = format_whole(dir.span(), "%s%c.claude%cquenlo-env", home, sep, sep);
    } else {
        // Already ends with a separator, so the file name follows a doubled one; peers
        // that look for the file use the same text.
        whole = format_whole(dir.span(), "quenlo-env%c", sep);
    }
    return format_whole(out, "%s%ccodex.txt", dir.c_str(), sep) && whole;
}

bool pending_dir(std::span<char> out) {
    if (const char* pending = override_env("CODEX_PENDING_DIR")) {
        return format_whole(out, "%s", pending);
    }
    if (const char* home = home_dir()) {
        return format_whole(out, "%s%c.claude%c.login-pending", home, sep, sep);
    }
    return format_whole(out, ".login-pending%c", sep);
}

namespace {
// Whether name is "default" in any case: a file system that does not tell case apart takes
// "Default" for "default" too.
bool is_default_word(const char* name) {
    constexpr std::string_view word = "default";
    std::size_t n = 0;
    for (; name[n] != '\0'; ++n) {
        if (n >= word.size()) return false;
        const char c =
            (name[n] >= 'A' && name[n] <= 'Z') ? static_cast<char>(name[n] + 32) : name[n];
        if (c != word[n]) return false;
    }
    return n == word.size();
}

// "codex-", the account's part and ext, in the pending folder. The part is "default" for the
// default account and the name for a named one; a named account called "default" gets "@"
// before its name, a byte no name holds, so that it never meets the default account's files.
bool pending_file(const char* name, const char* ext, std::span<char> out) {
    path_text dir;
    const bool whole = pending_dir(dir.span());
    const bool named = name != nullptr && *name != '\0';
    return format_whole(out, "%s%ccodex-%s%s%s", dir.c_str(), sep,
                        named && is_default_word(name) ? "@" : "", named ? name : "default", ext) &&
           whole;
}
}  // namespace

bool pending_path(const char* name, std::span<char> out) {
    return pending_file(name, ".json", out);
}

bool pending_lock_path(const char* name, std::span<char> out) {
    return pending_file(name, ".lock", out);
}

bool pending_poll_lock_path(const char* name, std::span<char> out) {
    // "@" again: a name may end in ".json", so "<marker>.lock" could be another account's
    // own lock file.
    return pending_file(name, "@poll.lock", out);
}

int file_exists(const char* path) {
    if (path == nullptr || *path == '\0') return 0;
    return platform::is_non_directory(path) ? 1 : 0;
}

int name_valid(const char* name) {
    if (name == nullptr || name[0] == '\0' || name[0] == '.') return 0;
    std::size_t n = 0;
    for (; name[n] != '\0'; ++n) {
        if (n >= 64) return 0;
        const char c = name[n];
        // ASCII ranges only: no locale may widen what a file-name stem can hold.
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
        if (!ok) return 0;
    }
    // A device name would hand the CLI a device as its credential file.
    return platform::reserved_file_name(name) ? 0 : 1;
}

}  // namespace credvane

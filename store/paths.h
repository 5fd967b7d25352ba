// paths.h: where every file of the credential store lies, resolved from the environment
// at each call. Paths are joined with platform::dir_sep and cut at 1023 bytes. Every
// builder says whether its path is whole: false when it was cut (or built from a cut
// part), and a cut path names another file, so its callers read, remove or pass on
// nothing by it.
#pragma once

#include <span>

namespace credvane {

// The home directory: the first of USERPROFILE, HOME, HOMEPATH that is set, not empty and
// shorter than 512 bytes, or null. The text lives in one static buffer that the next call
// overwrites.
const char* home_dir();

// The directory part of path, up to and including its last separator, or empty (which is
// whole).
bool dir_of(const char* path, std::span<char> out);
// The Codex directory, always ending with a separator: the folder of CODEX_CREDS_PATH,
// else CODEX_HOME, else ".codex" in the home directory.
bool codex_dir(std::span<char> out);
// The default credential file.
bool creds_path(std::span<char> out);
// The accounts directory (no trailing separator unless the override has one).
bool accounts_dir(std::span<char> out);
// A named account's credential file: "<name>.json" in the accounts directory. The one
// place that names it, for the status, the listing, the actions and the sign-in programs.
bool account_path(const char* name, std::span<char> out);
// The credential file of the account: the default one for the empty name, else the
// name's file in the accounts folder.
bool credentials_path(const char* name, std::span<char> out);
// The profile file "codex.txt".
bool profile_path(std::span<char> out);
// The folder of the pending-login markers.
bool pending_dir(std::span<char> out);
// The files of an account in the pending folder are "codex-", the account's part and an
// ending. The part is "default" for the empty name and the name otherwise, but "@" and the
// name for a named account called "default" in any case, which must not share the default
// account's marker. No two accounts share a file.
//
// The lock file of an account's CLI runs, beside its pending-login marker:
// "codex-<part>.lock".
bool pending_lock_path(const char* name, std::span<char> out);
// The pending-login marker of an account: "codex-<part>.json".
bool pending_path(const char* name, std::span<char> out);
// The lock a login program takes around one poll of the marker: "codex-<part>@poll.lock".
bool pending_poll_lock_path(const char* name, std::span<char> out);
// 1 when name is 1 to 64 bytes of ASCII letters, digits, '-', '.' and '_' not beginning
// with '.', and not a name this system reserves for a device (see
// platform::reserved_file_name), else 0. An account is a file, so such a name is safe as
// a file-name stem and as a CLI argument.
int name_valid(const char* name);
// 1 when path names an existing file that is not a directory, else 0.
int file_exists(const char* path);

}  // namespace credvane

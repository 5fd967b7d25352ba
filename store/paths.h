// paths.h: where every file of the credential store lies, resolved from the environment
// at each call. Paths are joined with platform::dir_sep and cut at 1023 bytes.
#pragma once

#include <span>

namespace credvane {

// The home directory: the first of USERPROFILE, HOME, HOMEPATH that is set, not empty and
// shorter than 512 bytes, or null. The text lives in one static buffer that the next call
// overwrites.
const char* home_dir();

// The directory part of path, up to and including its last separator, or empty.
void dir_of(const char* path, std::span<char> out);
// The Codex directory, always ending with a separator: the folder of CODEX_CREDS_PATH,
// else CODEX_HOME, else ".codex" in the home directory.
void codex_dir(std::span<char> out);
// The default credential file.
void creds_path(std::span<char> out);
// The accounts directory (no trailing separator unless the override has one).
void accounts_dir(std::span<char> out);
// The profile file "codex.txt".
void profile_path(std::span<char> out);
// The pending-login marker of an account ("default" for the empty name).
void pending_path(const char* name, std::span<char> out);
// 1 when name is 1 to 64 bytes of ASCII letters, digits, '-', '.' and '_' not beginning
// with '.', and not a name this system reserves for a device (see
// platform::reserved_file_name), else 0. An account is a file, so such a name is safe as
// a file-name stem and as a CLI argument.
int name_valid(const char* name);
// 1 when path names an existing file that is not a directory, else 0.
int file_exists(const char* path);

}  // namespace credvane

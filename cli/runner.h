// runner.h: running the login and refresh CLIs and reading their answers.
// A CLI runs through the command interpreter, one at a time, and the caller reads the last
// line of its standard output that begins with '{'.
#pragma once

#include <span>
#include <string_view>

#include "base/buf.h"

namespace credvane {

inline constexpr std::uint64_t capture_max = 262144;
inline constexpr int cli_timeout_default = 30;

// The result of a run: 1 it ran, -1 the interpreter could not find or run the program,
// 0 it could not be started (empty program or no pipe), or it overstayed its time.
inline constexpr int run_ran = 1;
inline constexpr int run_not_found = -1;
inline constexpr int run_not_started = 0;

// Runs "program args" with standard error discarded and captures standard output (at
// most 262,144 bytes, trailing whitespace removed) in capture. When timed_out is given it
// is set to whether the run was ended for overstaying.
int run_capture(const char* program, std::string_view args, buf& capture,
                bool* timed_out = nullptr);

// Quotes one argument for the command interpreter (see platform::shell_quote_into).
void shell_quote_into(const char* text, std::span<char> out);

// base alone for the default account; "base --name <quoted name>" for a named one.
void account_args(const char* name, const char* base, std::span<char> out);

// CODEX_LOGIN_BIN when set and non-empty, else "quenlo-codex-login".
const char* login_bin();
// CODEX_REFRESH_BIN when set and non-empty, else "quenlo-codex-refreshtoken".
const char* refresh_bin();

// The start of the last line of the capture that begins with '{', or null. Callers scan
// from there to the end of the capture.
const char* last_json_line(const buf& capture);

}  // namespace credvane

// actions.h: the status collection, the status report and the five actions.
// Each action writes exactly one complete answer and returns the process exit status.
#pragma once

#include "store/login_status.h"
#include "base/buf.h"

#include <string_view>

namespace credvane {

// Fills st completely for the account (empty name: the default account). Runs the login
// CLI once with "--status".
void collect_status(login_status& st, const char* name);

// Appends the status fields of st (no enclosing braces) to b.
void emit_status(buf& b, const login_status& st);

// Writes a JSON answer: prefix (which ends with a comma), the status fields of st, "}".
void emit_status_answer(std::string_view prefix, const login_status& st);
// The "done" answer: {"ok":true,"state":"done", and the status fields of st.
void emit_done(const login_status& st);

// Runs the login CLI with the base arguments (words separated by one space), plus "--name"
// and the name for a named account; the result and timed_out as run_capture gives them.
int run_login(const char* name, const char* base, buf& capture, bool* timed_out);

// The answer's words for a login CLI that the node does not have.
inline constexpr std::string_view login_cli_missing = "quenlo-codex-login is not on this node";
// The answers' words for a CLI whose command line would not fit: it was not run.
inline constexpr std::string_view login_cli_too_long =
    "the command line of the login CLI is too long; nothing was run";
inline constexpr std::string_view refresh_cli_too_long =
    "the command line of the refresh CLI is too long; nothing was run";
// The answers' words for a CLI that cmd.exe would have run with other text than credvane
// gave it: it was not run.
inline constexpr std::string_view login_cli_refused =
    "the login CLI is a cmd.exe script and its path or arguments hold characters that cmd.exe "
    "would alter (\", %, a line break, or a final \\); nothing was run";
inline constexpr std::string_view refresh_cli_refused =
    "the refresh CLI is a cmd.exe script and its path or arguments hold characters that "
    "cmd.exe would alter (\", %, a line break, or a final \\); nothing was run";

int action_status(const char* name);
int action_start(const char* name, int force);
int action_poll(const char* name);
int action_cancel(const char* name);
int action_refresh(const char* name);

}  // namespace credvane

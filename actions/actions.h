// actions.h: the status collection, the status report and the five actions.
// Each action writes exactly one complete answer and returns the process exit status.
#pragma once

#include "base/buf.h"
#include "platform/files.h"
#include "store/login_status.h"

#include <cstdint>
#include <span>
#include <string_view>

namespace credvane {

// The credential file of the account: the default one for the empty name, else the
// name's file in the accounts folder. False when the path had to be cut.
bool credentials_path(const char* name, std::span<char> out);

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

// The seconds between two polls that a start or poll answer hands the panel, from the
// login CLI's "interval": 5 when it gives none (or 0 or less), at most an hour. The panel
// multiplies it into a timer; an unbounded figure would wrap there to back-to-back polls.
inline constexpr int poll_interval_default = 5;
inline constexpr int poll_interval_max = 3600;
inline int poll_interval(std::int64_t from_cli) {
    if (from_cli <= 0) return poll_interval_default;
    return from_cli > poll_interval_max ? poll_interval_max : static_cast<int>(from_cli);
}

// The answer's words for a login CLI that the node does not have.
inline constexpr std::string_view login_cli_missing = "quenlo-codex-login is not on this node";
// How the status collection's "cli_error" begins for a login CLI that is not there, that
// overstayed its time, and that ran but printed no JSON line. The last two name the program
// in brackets, since the operator has to find and run it by hand. The panel tells the three
// apart by these beginnings.
inline constexpr std::string_view login_cli_absent = "the login CLI is not on this node";
inline constexpr std::string_view login_cli_timed_out = "the login CLI timed out";
inline constexpr std::string_view login_cli_no_json = "the login CLI printed no JSON line";
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

// For its whole life, the account's lock: the CLI runs of one request for an account never
// overlap another's, so concurrent requests queue instead of piling up CLI processes, and
// two polls never run the login CLI at the same time. The wait counts against the
// request's CLI time; when that runs out first, the runs that follow answer as timed out.
// Where no lock file can be had at all (a pending folder that cannot be made, a path too
// long to hold whole), the runs go on without it rather than never.
class account_lock {
  public:
    explicit account_lock(const char* name);
    account_lock(const account_lock&) = delete;
    account_lock& operator=(const account_lock&) = delete;

  private:
    platform::file_lock lock_;
};

int action_status(const char* name);
int action_start(const char* name, int force);
int action_poll(const char* name);
int action_cancel(const char* name);
int action_refresh(const char* name);

}  // namespace credvane

// actions.h: the status collection, the status report, the account lock and the actions.
// Each action writes exactly one complete answer and returns the process exit status.
#pragma once

#include "base/buf.h"
#include "platform/files.h"
#include "runner/runner.h"
#include "store/login_status.h"

#include <cstdint>
#include <span>
#include <string_view>

namespace credvane {

// Fills st completely for the account (empty name: the default account). Runs the login
// CLI once with "--status", unless busy: then the CLI is not run (the request has no time
// left for it), cli_present is 1 and cli_error says the account is busy.
void collect_status(login_status& st, const char* name, bool busy = false);

// Appends the status fields of st (no enclosing braces) to b.
void emit_status(buf& b, const login_status& st);

// Writes a JSON answer: prefix (which ends with a comma), the status fields of st, "}".
void emit_status_answer(std::string_view prefix, const login_status& st);
// The "done" answer: {"ok":true,"state":"done", and the status fields of st.
void emit_done(const login_status& st);

// Runs the login CLI with the base arguments (words separated by one space), plus "--name"
// and the name for a named account.
run_result run_login(const char* name, const char* base, buf& capture);

// Which of the two CLIs a run was of.
enum class cli_kind { login, refresh };

// The opening of start, poll and logout: with st just collected, runs the login CLI with
// args and, when it did not deliver, writes the answer: cli_unavailable for a CLI the node
// lacks or may not run (hint: say how to get one), failed_code for one that could not be
// started or overstayed (the server's matter). True when the CLI ran, its output in capture.
bool run_login_step(const login_status& st, const char* name, const char* args,
                    std::string_view failed_code, bool hint, buf& capture);

// The answers' words for a run that did not deliver (every result but ran), one table for
// every action. A path in the configured variable can make them long: they are cut, and
// only ever reach an answer.
using run_text = text<768>;
run_text run_words(run_result result, cli_kind cli);
// The words for a CLI that this node does not have: the configured program when the
// operator set one, else the default program's name (with hint, and how to get one).
run_text cli_missing_words(cli_kind cli, bool hint);

// The "error" and "detail" of a CLI's answer line (empty where it gives none), as cut to
// their capacities.
struct cli_error_words {
    text<512> error;
    text<512> detail;
};
cli_error_words cli_error_of(const char* line, const char* end);

// The exit status of every action whose CLI did not deliver, or who found another request
// of the account still running: the request failed.
inline constexpr int exit_failed = 1;

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
// The "cli_error", and the "detail" of an action's answer, when the account's lock was
// still held by another request as this one's time ran out. The CLI is there: only busy.
inline constexpr std::string_view account_busy =
    "another request for this account is still running";

// For its whole life, the account's lock, held exclusively by the actions that change
// something: their CLI runs never overlap another's for the account, so two polls never
// run the login CLI at the same time. A request that finds it held sleeps until it is free
// (in no promised order among several waiters); the wait counts against the request's CLI
// time, and when that runs out first the request is busy() and answers so without running
// anything. Where no lock file can be had at all (a pending folder that cannot be made, a
// path too long to hold whole), the runs go on without it rather than never.
// A status takes no lock: the CLIs replace the credential file and the pending marker
// whole, so a reader sees either the old or the new file and never needs to wait.
// An account with neither a credential file nor a pending marker has nothing that a poll,
// cancel, refresh or logout could change, and gets no lock file: a request may name any
// account, and lock files for names that hold nothing would pile up without bound. Only a
// start (creates) takes the lock whatever is there, as it makes the account's marker.
class account_lock {
  public:
    account_lock(const char* name, bool creates);
    account_lock(const account_lock&) = delete;
    account_lock& operator=(const account_lock&) = delete;

    // Another request held the lock until this one's CLI time was up.
    bool busy() const { return lock_.busy(); }

  private:
    platform::file_lock lock_;
};

// What a changing action answers when busy: "ok" false, "error" "account_busy", and the
// status fields read from the files alone, with cli_present true and the busy words in
// cli_error. Returns the exit status.
int answer_busy(const char* name);

// The changing actions (start, poll, cancel, refresh, logout) expect their caller to hold the
// account's lock for the whole call.
int action_status(const char* name);
int action_start(const char* name, int force);
int action_poll(const char* name);
int action_cancel(const char* name);
int action_refresh(const char* name);
int action_logout(const char* name);

}  // namespace credvane

// common.h: what credvane-login and credvane-refresh share: their one JSON answer line,
// the time budget of a run, the files of an account and the pending-login marker.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "signin/http.h"
#include "signin/issuer.h"

namespace credvane::signin {

// Exit statuses: 0 with "ok":true, 1 with "ok":false, 2 for a command line not understood
// (still with a JSON line).
inline constexpr int exit_ok = 0;
inline constexpr int exit_failed = 1;
inline constexpr int exit_usage = 2;

// Writes the answer as one line on standard output and returns exit_ok.
int reply(const json& answer);
// Writes {"ok":true,"version":...}, the programs' answer to "--version", and returns exit_ok.
int reply_version();
// Writes {"ok":false,"error":code,"detail":detail} and returns status.
int fail(std::string_view code, std::string_view detail, int status = exit_failed);

// The entry of a sign-in program: wmain on Windows, which hands main its arguments in the
// ANSI code page, which cannot hold every path (a credential file under a home named in
// another script would turn to '?'); the UTF-16 ones can.
#ifdef _WIN32
#define SIGNIN_MAIN wmain
using arg_char = wchar_t;
#else
#define SIGNIN_MAIN main
using arg_char = char;
#endif

// Runs run with the entry's arguments as UTF-8 and returns its exit status, with libraries
// loaded from the system's folder only (see platform::load_libraries_from_system_only). Nothing in
// a run throws by design; an exception (an out-of-memory) still ends in an answer, an "internal"
// failure with the detail unexpected.
int program_main(int argc, arg_char** argv, int (*run)(int, char**), std::string_view unexpected);

// What both programs do first, before they hold any token: TLS session secrets are never
// written to a key log file (the variable leaves the environment before libcurl loads), and
// no core dump or debugger of the same user may read the process's memory.
void protect_process();

// Why the folder that holds path must not receive a credential file or marker (as
// platform::unsafe_folder judges it), or empty.
std::string unsafe_folder_of(const std::string& path);

// Why the pending-login marker at path could not be written (an unsafe folder, or one this
// process may not create files in, with the system's reason), or empty when nothing shows.
std::string marker_write_problem(const std::string& path);

// The run's deadline on the monotonic clock. credvane gives all its CLI runs of one
// request CREDVANE_CLI_TIMEOUT seconds together (30 by default) and runs the status query
// before and after a poll, so one run takes at most two thirds of it, and never more
// than 20 seconds; and it ends before the end credvane set for this run (a run that starts
// after a wait for the account has less), so that credvane never ends a program that has
// sent a single-use token before it could write the answer.
std::int64_t run_deadline_ms();
// Milliseconds left before the deadline, at least 1.
int time_left_ms(std::int64_t deadline_ms);

// The credential file of an account: the default file for the empty name, else
// <accounts dir>/<name>.json. Nothing when the path would not fit the store's path
// buffers (a cut path must never be written).
std::optional<std::string> account_creds_path(std::string_view name);
// The account's pending-login marker, and the lock around one poll of it, with the same
// rule.
std::optional<std::string> account_marker_path(std::string_view name);
std::optional<std::string> account_poll_lock_path(std::string_view name);

// The pending-login marker: everything a later run needs to go on with the device flow.
// It can be redeemed for the user's tokens, so it is written with mode 0600.
struct pending {
    std::string device_auth_id;
    std::string user_code;
    int interval = default_interval;
    std::string issuer;
    std::int64_t created = 0;       // seconds since 1970, as credvane reads it
    std::int64_t expires_at = 0;    // seconds since 1970
    std::int64_t last_poll_ms = 0;  // milliseconds since 1970; 0 before the first poll
};
enum class marker_state { missing, unusable, ok };
marker_state read_marker(const std::string& path, pending& out);
bool write_marker(const std::string& path, const pending& p);

// The wall clock in milliseconds since 1970.
std::int64_t wall_ms();

// A POST to the issuer within the run's time.
// Time kept back from a request whose answer must then be written, so that a slow issuer
// cannot use up the run before the answer is safe on disk.
inline constexpr std::int64_t write_reserve_ms = 500;
// The part of it a write that spends the token may wait for readers of the old file; the
// rest is kept for the answer.
inline constexpr std::int64_t write_wait_ms = write_reserve_ms * 4 / 5;
http::answer post_json(http::client& c, const std::string& url, const json& body,
                       std::int64_t deadline_ms);
http::answer post_form(http::client& c, const std::string& url, const std::string& body,
                       std::int64_t deadline_ms);

// A short, safe description of an answer that was not usable, for "detail".
std::string describe(const http::answer& a);

}  // namespace credvane::signin

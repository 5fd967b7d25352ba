// standin_common.h: what the stand-in login, refresh and device tools share: their knobs,
// the pending-flow records, the credential file they write, and atomic file writes.
//
// The stand-ins find every file where credvane looks for it, through the store's path
// builders, so a node without the real tools can run the whole device login. They are test
// tools for POSIX hosts; the system calls they need beyond the platform layer live in
// standin_common.cc alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace credvane::standin {

// ---- Knobs (environment variables read at each use) ----

// STANDIN_VERIFY_URL: the base of the verification link; the code is appended as "code=".
std::string verify_base();
// STANDIN_CODE_LIFETIME: seconds a user code stays valid, 1 to 900 (default 900). Never
// above 900 because credvane stops counting an older marker as a pending login.
std::int64_t code_lifetime();
// STANDIN_INTERVAL: the poll interval handed out, 1 to 3600 seconds (default 5).
int poll_interval();
// STANDIN_APPROVE_AFTER: a flow at least this many seconds old is approved at the next
// poll; nothing when unset, empty or not a number.
std::optional<std::int64_t> approve_after();

// ---- Text ----

// Appends s as a JSON string literal, quotes included.
void json_str(std::string& out, std::string_view s);
// Prints one answer line and hands back the exit code to end with.
int answer(std::string line, int exit_code);
// Prints {"ok":false,"error":...,"detail":...} and hands back the exit code.
int fail(std::string_view error, std::string_view detail, int exit_code = 1);
std::string base64url(std::string_view bytes);
// n bytes from the system's random source.
std::string random_bytes(std::size_t n);
// A fresh user code such as "K7QD-M2XH".
std::string new_user_code();
// 1 to 32 bytes of A-Z, 0-9 and '-': the only codes any tool accepts or prints.
bool code_valid(std::string_view code);
// "YYYY-MM-DDTHH:MM:SSZ".
std::string iso_utc(std::int64_t t);
// An unsigned JWT-shaped token: base64url header, payload with "exp", random signature.
std::string make_jwt(std::string_view subject, std::int64_t issued, std::int64_t expires);
// A complete credential file in the layout the credential scan reads.
std::string creds_json(std::string_view access_token, std::string_view refresh_token,
                       std::string_view account_id, std::int64_t now);

// ---- Files (POSIX) ----

// Creates dir and its missing parents, each new one private to the user.
bool make_dirs(const std::string& dir);
// Writes content to path through a temporary file in the same directory and a rename, so
// a reader sees the old file or the new one, never a part. Creates the directory when
// missing. The new file is readable by its owner only.
bool write_file_atomic(const std::string& path, std::string_view content);
// The directory part of path including its last separator, or empty.
std::string dir_part(const std::string& path);

// Holds an exclusive lock on a directory while it lives, so flows are never changed by two
// tools at once. A directory that does not exist is not locked (there is nothing in it to
// guard).
class dir_lock {
  public:
    explicit dir_lock(const std::string& dir);
    ~dir_lock();
    dir_lock(const dir_lock&) = delete;
    dir_lock& operator=(const dir_lock&) = delete;

  private:
    int fd_ = -1;
};

// ---- Paths ----

// The credential file of an account: the default file for the empty name, else the
// account's file in the accounts directory.
std::string creds_file(std::string_view name);
// The pending marker of an account.
std::string marker_file(std::string_view name);
// The directory holding the pending markers, ending with a separator.
std::string pending_dir();

// ---- Device-code flows ----

// One open device-code flow, as its pending marker stores it.
struct flow {
    std::string account;  // empty for the default account
    std::string user_code;
    std::int64_t created = 0;     // Unix seconds
    std::int64_t expires_at = 0;  // the code is dead from this second on
    int interval = 5;
    bool approved = false;
};

// The flow stored at marker, or nothing when there is no file or it is not a flow.
std::optional<flow> read_flow(const std::string& marker);
bool write_flow(const std::string& marker, const flow& f);
// Open: created no later than now and the code not yet dead.
bool flow_open(const flow& f, std::int64_t now);

// Why a flow ended without a login, kept beside the marker so that the next poll can
// report it after the marker itself is gone.
struct outcome {
    std::string error;
    std::string detail;
};
// Ends a flow that can no longer complete: the marker goes at once (so no status counts
// it as pending) and its outcome waits for the next poll.
void end_flow(const std::string& marker, std::string_view error, std::string_view detail);
// Removes and returns the waiting outcome of an account's flow, if any.
std::optional<outcome> take_outcome(const std::string& marker);
// Forgets an outcome that nobody polled for.
void drop_outcome(const std::string& marker);

// Ends the flow at marker when it is dead (expired, or a marker that is no flow). Returns
// the flow when it is still open. The caller holds the pending directory's lock.
std::optional<flow> reap_flow(const std::string& marker, std::int64_t now);

enum class decision { approved, denied, unknown_code, expired_code, failed };
struct decide_result {
    decision what = decision::unknown_code;
    std::string account;  // of the flow that holds the code
};
// Approves or denies the open flow that holds code, among all markers of the pending
// directory. Denial ends the flow; approval lets its next poll complete the login.
decide_result decide_by_code(std::string_view code, bool approve);
// The open flow that holds code, without changing anything.
std::optional<flow> find_open_flow(std::string_view code);

}  // namespace credvane::standin

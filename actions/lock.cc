// lock.cc: the per-account lock around a changing action's CLI runs, and the answer of an
// action that found the account busy.
#include "actions/actions.h"
#include "platform/platform.h"
#include "runner/runner.h"
#include "store/paths.h"

namespace credvane {

namespace {

// Whether the account has a file a changing action could act on. A path that had to be cut
// counts as a file: without the whole path nothing can be told, and the lock then does no
// harm.
bool has_files(const char* name) {
    path_text path;
    if (!credentials_path(name, path.span()) || file_exists(path.c_str())) return true;
    return !pending_path(name, path.span()) || file_exists(path.c_str());
}

}  // namespace

account_lock::account_lock(const char* name, bool creates) {
    if (!creates && !has_files(name)) return;
    path_text path;
    if (!pending_lock_path(name, path.span())) return;
    const std::int64_t deadline = platform::monotonic_ms() + cli_time_left_ms();
    lock_ = platform::file_lock::acquire(path.c_str(), deadline);
    if (lock_.held() || lock_.busy()) return;
    // No lock file could be opened: most likely no pending folder yet, which the login
    // CLI would make with its first marker.
    path_text dir;
    if (!pending_dir(dir.span()) || !platform::make_private_dirs(dir.c_str())) return;
    lock_ = platform::file_lock::acquire(path.c_str(), deadline);
}

int answer_busy(const char* name) {
    login_status st;
    collect_status(st, name, true);
    buf prefix;
    buf_adds(prefix, "{\"ok\":false,\"error\":\"account_busy\",\"detail\":");
    buf_json(prefix, account_busy);
    buf_adds(prefix, ",");
    emit_status_answer(prefix.view(), st);
    return exit_failed;
}

}  // namespace credvane

// lock.cc: the per-account lock around an action's CLI runs.
#include "actions/actions.h"
#include "runner/runner.h"
#include "platform/platform.h"
#include "store/paths.h"

namespace credvane {

account_lock::account_lock(const char* name) {
    path_text path;
    if (!pending_lock_path(name, path.span())) return;
    const std::int64_t deadline = platform::monotonic_ms() + cli_time_left_ms();
    lock_ = platform::file_lock::acquire(path.c_str(), deadline);
    if (lock_.held() || platform::monotonic_ms() >= deadline) return;
    // No lock file could be opened: most likely no pending folder yet, which the login
    // CLI would make with its first marker.
    path_text dir;
    if (!pending_dir(dir.span()) || !platform::make_private_dirs(dir.c_str())) return;
    lock_ = platform::file_lock::acquire(path.c_str(), deadline);
}

}  // namespace credvane

// lock.cc: the per-account lock around an action's CLI runs.
#include <string_view>

#include "actions/actions.h"
#include "cli/runner.h"
#include "store/paths.h"

namespace credvane {

namespace {

// Makes the folder and the folders above it that are missing, as the login CLI would
// when it writes its first marker.
void make_folders(std::span<char> dir) {
    const std::string_view path(dir.data());
    for (std::size_t i = 1; i < path.size(); ++i) {
        if (path[i] != '/' && path[i] != platform::dir_sep) continue;
        const char kept = dir[i];
        dir[i] = '\0';
        platform::make_folder(dir.data());
        dir[i] = kept;
    }
    platform::make_folder(dir.data());
}

}  // namespace

account_lock::account_lock(const char* name) {
    path_text path;
    if (!pending_lock_path(name, path.span())) return;
    lock_ = std::make_unique<platform::file_lock>(path.c_str(), cli_time_left_ms());
    if (lock_->result() != platform::file_lock::state::failed) return;
    // Most likely no pending folder yet.
    path_text dir;
    if (!pending_dir(dir.span())) return;
    make_folders(dir.span());
    lock_.reset();
    lock_ = std::make_unique<platform::file_lock>(path.c_str(), cli_time_left_ms());
}

account_lock::~account_lock() = default;

}  // namespace credvane

// collect.cc: gathering one account's status from its files and the login CLI.
#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "actions/actions.h"
#include "platform/platform.h"
#include "runner/runner.h"
#include "store/creds.h"
#include "store/json.h"
#include "store/paths.h"

namespace credvane {

namespace {

// A flow whose marker is older than this is dead, whatever the marker says.
constexpr std::int64_t pending_max_age = 900;
// An "expires_at" above this is taken for milliseconds.
constexpr std::int64_t millis_threshold = 100000000000;

const char* text_end(const char* text) {
    return text + std::strlen(text);
}

void take_cli_status(login_status& st, const char* line, const buf& capture, bool creds_read) {
    const char* end = capture.c_str() + capture.len;
    if (!creds_read) {
        if (json_bool_field(line, end, "logged_in", 0)) st.logged_in = 1;
        if (json_bool_field(line, end, "has_refresh", 0)) st.has_refresh = 1;
    }
    if (json_bool_field(line, end, "pending", 0)) st.pending = 1;
    std::int64_t v = json_num_field(line, end, "expires_at");
    if (v > 0) {
        if (v > millis_threshold) v /= 1000;
        if (st.expires_at == 0 || st.expires_at < v) st.expires_at = v;
    }
    if (st.account.empty()) {
        name_text account;
        if (json_str_field(line, end, "account", account.span()) && !account.empty()) {
            st.account.assign(account.view());
        }
    }
    if (!json_bool_field(line, end, "ok", 1)) {
        json_str_field(line, end, "error", st.cli_error.span());
    }
}

void take_profile(login_status& st) {
    // A cut path names another file: the profile counts as missing.
    st.profile_exists =
        profile_path(st.profile_path.span()) && file_exists(st.profile_path.c_str());
    if (!st.profile_exists) return;
    st.profile.assign("codex");
    const auto text = read_file(st.profile_path.c_str());
    if (!text) return;
    constexpr std::string_view prefix = "CODEX_ACCOUNT=";
    for (const char* line = text->c_str(); line != nullptr;) {
        if (std::strncmp(line, prefix.data(), prefix.size()) == 0) {
            const char* v = line + prefix.size();
            st.account.assign(std::string_view(v, std::strcspn(v, "\r\n")));
            return;
        }
        line = std::strchr(line, '\n');
        if (line != nullptr) ++line;
    }
}

void take_pending_marker(login_status& st, const char* name, std::int64_t now) {
    path_text marker;
    if (!pending_path(name, marker.span()) || !file_exists(marker.c_str())) return;
    st.pending = 1;
    const auto text = read_file(marker.c_str());
    if (!text) return;
    const std::int64_t created = json_num_field(text->c_str(), text_end(text->c_str()), "created");
    if (created <= 0) return;
    // created is positive, so the difference cannot overflow for any now >= 0.
    const std::int64_t age = now - created;
    st.pending_age_sec = age;
    st.pending = (age >= 0 && age <= pending_max_age) ? 1 : 0;
}

// Entries of the accounts folder read at most: beyond them a listing would cost time that
// grows with the folder, for names the answer cannot carry anyway.
constexpr std::size_t accounts_dir_max_entries = 10000;

// The file names that give the list, in byte order: the 64 smallest of the names that make
// an entry (longer than ".json", a valid account name before it, not a folder). They are
// kept as a max-heap while the folder is read, so no other name is stored, sorted or
// looked up; the folder test asks the file system only for a name that would be kept.
using file_name = text<72>;  // a valid name (64 bytes at most) and ".json"

int kept_names(const char* dir, std::array<file_name, max_named_accounts>& kept) {
    auto by_name = [](const file_name& a, const file_name& b) { return a.view() < b.view(); };
    std::size_t n = 0;
    platform::json_dir listing(dir, accounts_dir_max_entries);
    while (const char* entry = listing.next()) {
        const std::string_view name(entry);
        if (name.size() <= 5 || name.size() >= file_name::capacity) continue;
        if (n == kept.size() && name >= kept.front().view()) continue;
        name_text stem;
        stem.assign(name.substr(0, name.size() - 5));
        if (!name_valid(stem.c_str()) || listing.is_dir()) continue;
        if (n == kept.size()) {
            std::pop_heap(kept.begin(), kept.end(), by_name);
            kept.back().assign(name);
        } else {
            kept[n++].assign(name);
        }
        std::push_heap(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(n), by_name);
    }
    std::sort_heap(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(n), by_name);
    return static_cast<int>(n);
}

void take_named_accounts(login_status& st, std::int64_t now, std::int64_t lock_deadline_ms) {
    path_text dir;
    if (!accounts_dir(dir.span())) return;  // a cut folder is another folder
    std::array<file_name, max_named_accounts> names;
    const int count = kept_names(dir.c_str(), names);
    for (int i = 0; i < count; ++i) {
        const std::string_view name = names[static_cast<std::size_t>(i)].view();
        account_entry& slot = st.accounts[static_cast<std::size_t>(st.account_count)];
        slot = account_entry{};
        slot.name.assign(name.substr(0, name.size() - 5));
        path_text file;
        // Only the entry's facts are read, through a fixed buffer: no scratch record to
        // clear for each file, and no file held whole. A path too long to hold whole lists
        // the account unread.
        if (account_path(slot.name.c_str(), file.span())) {
            scan_creds_entry_file(file.c_str(), slot, lock_deadline_ms);
        }
        if (slot.expires_at > 0 && slot.logged_in) {
            slot.expires_in_sec = slot.expires_at - now;
            slot.expired = slot.expires_in_sec <= 0 ? 1 : 0;
        }
        ++st.account_count;
    }
}

// Runs the login CLI with "--status" and takes what it says, or why it could not.
void take_cli_run(login_status& st, const char* name, bool creds_read) {
    cli_args args(status_args_capacity);
    args.word("--status");
    // Valid names hold only letters, digits, '-', '.' and '_': the line held them unquoted.
    if (name[0] != '\0') args.word("--name").word(name);
    buf capture;
    const run_result r = run_capture(login_bin(), args, capture);
    if (r == run_result::ran) {
        st.cli_present = 1;
        if (const char* line = last_json_line(capture)) {
            take_cli_status(st, line, capture, creds_read);
        } else {
            // It runs, but what it prints is no answer: present, and unusable.
            format_cut(st.cli_error.span(), "%.*s (%s)", static_cast<int>(login_cli_no_json.size()),
                       login_cli_no_json.data(), login_bin());
        }
        return;
    }
    st.cli_present = 0;
    st.cli_timed_out = r == run_result::timed_out ? 1 : 0;
    const run_text words = run_words(r, cli_kind::login);
    if (r == run_result::not_found) {
        // The default name needs no repeating; a configured path that is not there is
        // what the operator has to see.
        const char* configured = platform::env("CODEX_LOGIN_BIN");
        if (configured != nullptr && configured[0] != '\0') {
            format_cut(st.cli_error.span(), "%.*s (CODEX_LOGIN_BIN is %s)",
                       static_cast<int>(login_cli_absent.size()), login_cli_absent.data(),
                       configured);
        } else {
            st.cli_error.assign(login_cli_absent);
        }
    } else if (r == run_result::timed_out) {
        format_cut(st.cli_error.span(), "%s (%s)", words.c_str(), login_bin());
    } else {
        st.cli_error.assign(words.view());
    }
}

}  // namespace

void collect_status(login_status& st, const char* name, bool busy) {
    const std::int64_t now = platform::now();
    st = login_status{};
    st.pending_age_sec = -1;

    const bool creds_whole = credentials_path(name, st.credentials_path.span());
    if (name[0] != '\0') st.account.assign(name);

    // A cut path names another file (with a long accounts folder, "abc.jsonQ" would read
    // as "abc.json"): it counts as unreadable.
    bool creds_read = false;
    // One wait for a writer's lock in all: every named account shares one lock file, and a
    // sign-in program holds it through its whole request to the issuer.
    const std::int64_t lock_deadline = lock_read_deadline();
    // Streamed through a fixed buffer: a credential file is never held whole.
    if (creds_whole && !st.credentials_path.empty()) {
        creds_read = scan_creds_file(st.credentials_path.c_str(), st, lock_deadline);
    }

    if (busy) {
        st.cli_present = 1;
        st.cli_error.assign(account_busy);
    } else {
        take_cli_run(st, name, creds_read);
    }

    take_profile(st);
    take_pending_marker(st, name, now);
    // A home the web server's user cannot write shows here, before a start fails on it.
    path_text pending_folder;
    if (pending_dir(pending_folder.span())) {
        st.pending_problem.assign(platform::folder_write_problem(pending_folder.c_str()));
    }

    if (st.expires_at > 0) {
        st.expires_in_sec = st.expires_at - now;
        st.expired = st.expires_in_sec <= 0 ? 1 : 0;
    }
    if (!st.logged_in) {
        st.expired = 0;
        st.expires_in_sec = 0;
    } else if (st.account.empty()) {
        st.account.assign("default");
    }

    take_named_accounts(st, now, lock_deadline);
}

}  // namespace credvane

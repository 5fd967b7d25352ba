// refresh.cc: the refresh action: renews a token through the refresh CLI and judges the
// outcome from the credential file alone.
#include <cstdint>

#include "actions/actions.h"
#include "platform/platform.h"
#include "runner/runner.h"
#include "store/json.h"
#include "store/paths.h"

namespace credvane {

namespace {
constexpr std::string_view refresh_not_renewed =
    "the refresh CLI did not extend the token in the credential file; sign in again";
}  // namespace

int action_refresh(const char* name) {
    path_text creds;
    // The refresh CLI must get the file's whole path, or it would renew another file.
    if (!credentials_path(name, creds.span())) {
        emit_error(200, "OK", "cli_unavailable",
                   "the path of the credential file is too long; nothing was run");
        return exit_failed;
    }
    if (!file_exists(creds.c_str())) {
        emit_failure("no_credentials",
                     "there is no credential file for this account on this node; start a login "
                     "first");
        return exit_failed;
    }
    login_status st;
    collect_status(st, name);
    const std::uint64_t earlier_token = st.token_hash;
    const std::int64_t earlier_refresh = st.last_refresh;

    cli_args args(refresh_args_capacity);
    args.word("--credentials-file").quoted(creds.view(), refresh_path_capacity).word("--force");
    buf capture;
    const run_result r = run_capture(refresh_bin(), args, capture);
    if (r == run_result::timed_out && st.cli_error.view().starts_with(login_cli_timed_out)) {
        // The status check's login CLI used up the request's CLI time: the refresh CLI never
        // ran, so it is no fault of the refresh CLI.
        text<640> why;
        format_cut(why.span(), "%s; no time was left to run the refresh CLI", st.cli_error.c_str());
        emit_error(200, "OK", "cli_unavailable", why.view());
        return exit_failed;
    }
    if (r != run_result::ran) {
        emit_error(200, "OK", "cli_unavailable", run_words(r, cli_kind::refresh).view());
        return exit_failed;
    }
    collect_status(st, name);
    // The file decides. Two tokens issued within the same second expire in the same second,
    // so a renewal shows as a new token or a new last_refresh, not as a later expiry.
    const bool renewed = st.token_hash != earlier_token || st.last_refresh != earlier_refresh;
    if (st.logged_in && !st.expired && renewed) {
        emit_status_answer("{\"ok\":true,\"refreshed\":true,", st);
        return 0;
    }
    // The refresh CLI's own reason (a reused refresh token, a lock held elsewhere) tells the
    // operator more than that nothing changed.
    cli_error_words said;
    if (const char* line = last_json_line(capture)) {
        const char* end = capture.c_str() + capture.len;
        if (!json_bool_field(line, end, "ok", 1)) said = cli_error_of(line, end);
    }
    if (!said.error.empty()) {
        emit_failure(said.error.view(),
                     said.detail.empty() ? refresh_not_renewed : said.detail.view());
        return exit_failed;
    }
    emit_failure("refresh_failed", refresh_not_renewed);
    return exit_failed;
}

}  // namespace credvane

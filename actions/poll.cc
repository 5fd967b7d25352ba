// poll.cc: the poll action: follows an open device-code login to pending, failed or done.
#include <cstdint>

#include "actions/actions.h"
#include "runner/runner.h"
#include "store/json.h"

namespace credvane {

int action_poll(const char* name) {
    login_status before;
    collect_status(before, name);
    buf capture;
    if (!run_login_step(before, name, "--poll", "poll_failed", false, capture)) return exit_failed;
    const char* line = last_json_line(capture);
    if (line == nullptr) {
        if (before.logged_in) {
            emit_done(before);
            return 0;
        }
        emit_error(502, "Bad Gateway", "poll_failed", "login CLI produced no JSON");
        return exit_failed;
    }
    const char* end = capture.c_str() + capture.len;
    text<64> state;
    json_str_field(line, end, "state", state.span());
    // Without an explicit "ok" a poll answer counts as a failure.
    if (!json_bool_field(line, end, "ok", 0)) {
        const auto [error, detail] = cli_error_of(line, end);
        buf b;
        buf_adds(b, "{\"ok\":true,\"state\":\"failed\",\"error\":");
        buf_json(b, error.empty() ? "poll_failed" : error.view());
        if (!detail.empty()) {
            buf_adds(b, ",\"detail\":");
            buf_json(b, detail.view());
        }
        buf_adds(b, ",\"pending\":false}\n");
        emit_json(b);
        return 0;
    }
    login_status after;
    if (state.view() == "pending") {
        buf b;
        buf_adds(b, "{\"ok\":true,\"state\":\"pending\"");
        buf_addf(b, ",\"interval\":%d", poll_interval(json_num_field(line, end, "interval")));
        buf_adds(b, ",\"pending\":true");
        collect_status(after, name);
        // Only credentials written during this poll are news. A re-login of an account that
        // is signed in already would otherwise read as signed in at its first poll, before
        // anyone approved the code.
        const bool written =
            after.logged_in != 0 &&
            (before.logged_in == 0 || after.token_hash != before.token_hash ||
             after.expires_at != before.expires_at || after.last_refresh != before.last_refresh ||
             after.account_id.view() != before.account_id.view());
        if (written) buf_adds(b, ",\"logged_in\":true");
        buf_adds(b, "}\n");
        emit_json(b);
        return 0;
    }
    collect_status(after, name);
    emit_done(after);
    return 0;
}

}  // namespace credvane

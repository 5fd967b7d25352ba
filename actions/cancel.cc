// cancel.cc: the cancel action: abandons the device-code login open for an account.
#include "actions/actions.h"
#include "platform/platform.h"
#include "runner/runner.h"
#include "store/json.h"
#include "store/paths.h"

namespace credvane {

int action_cancel(const char* name) {
    login_status st;
    collect_status(st, name);
    // A login CLI that overstayed is there: its flow may still be open, so the marker stays.
    if (!st.cli_present && st.cli_timed_out) {
        emit_error(200, "OK", "cancel_failed",
                   run_words(run_result::timed_out, cli_kind::login).view());
        return exit_failed;
    }
    if (!st.cli_present) {
        // Without the CLI nobody else will ever clear a stale marker. The answer says
        // whether it is really gone: a marker that stays (held open elsewhere, or in a
        // folder we may not change) is still pending. A cut path names another file,
        // which must not go.
        path_text marker;
        bool pending = false;
        if (pending_path(name, marker.span()) && file_exists(marker.c_str())) {
            platform::remove_file(marker.c_str());
            pending = file_exists(marker.c_str()) != 0;
        }
        buf b;
        buf_adds(b, "{\"ok\":true,\"state\":\"cancelled\",\"pending\":");
        buf_adds(b, pending ? "true" : "false");
        buf_adds(b, ",\"cli_present\":false}\n");
        emit_json(b);
        return 0;
    }
    buf capture;
    const run_result r = run_login(name, "--cancel", capture);
    // A cancel that overstayed, or whose CLI could not be started, did not happen for
    // certain: the flow could still be open.
    if (r == run_result::not_started || r == run_result::timed_out) {
        emit_error(200, "OK", "cancel_failed", run_words(r, cli_kind::login).view());
        return exit_failed;
    }
    if (r != run_result::ran) {
        emit_error(200, "OK", "cli_unavailable", run_words(r, cli_kind::login).view());
        return exit_failed;
    }
    if (const char* line = last_json_line(capture)) {
        if (!json_bool_field(line, capture.c_str() + capture.len, "ok", 1)) {
            emit_error(200, "OK", "cancel_failed", "login CLI rejected the cancel");
            return 0;
        }
    }
    login_status after;
    collect_status(after, name);
    emit_status_answer("{\"ok\":true,\"state\":\"cancelled\",", after);
    return 0;
}

}  // namespace credvane

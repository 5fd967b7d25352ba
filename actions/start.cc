// start.cc: the start action: opens a device-code login through the login CLI.
#include <cstdint>

#include "actions/actions.h"
#include "runner/runner.h"
#include "store/json.h"

namespace credvane {

int action_start(const char* name, int force) {
    login_status st;
    collect_status(st, name);
    buf capture;
    if (!run_login_step(st, name, force ? "--start --force" : "--start", "cli_unavailable", true,
                        capture)) {
        return exit_failed;
    }
    const char* line = last_json_line(capture);
    if (line == nullptr) {
        emit_error(502, "Bad Gateway", "start_failed",
                   "the login CLI produced no JSON; check its output");
        return exit_failed;
    }
    const char* end = capture.c_str() + capture.len;

    if (json_bool_field(line, end, "ok", 1)) {
        text<1024> verify_url;
        text<64> user_code;
        json_str_field(line, end, "verify_url", verify_url.span());
        json_str_field(line, end, "user_code", user_code.span());
        const int interval = poll_interval(json_num_field(line, end, "interval"));
        std::int64_t lifetime = json_num_field(line, end, "expires_in");
        if (lifetime <= 0) lifetime = 900;
        if (verify_url.empty() || user_code.empty()) {
            emit_error(502, "Bad Gateway", "start_incomplete",
                       "login CLI did not return a verify url and user code");
            return exit_failed;
        }
        buf b;
        buf_adds(b, "{\"ok\":true,\"flow\":\"device_code\",\"verify_url\":");
        buf_json(b, verify_url.view());
        buf_adds(b, ",\"user_code\":");
        buf_json(b, user_code.view());
        buf_addf(b, ",\"expires_in\":%lld", static_cast<long long>(lifetime));
        buf_addf(b, ",\"interval\":%d", interval);
        buf_adds(b, ",\"pending\":true");
        buf_adds(b, ",\"provider\":\"codex\"}\n");
        emit_json(b);
        return 0;
    }

    const auto [error, detail] = cli_error_of(line, end);
    if (error.view() == "exists") {
        buf b;
        buf_adds(b, "{\"ok\":true,\"already_logged_in\":true,\"pending\":false");
        buf_adds(b, ",\"error\":\"already_logged_in\"");
        buf_adds(b, ",\"detail\":");
        buf_json(b, detail.empty() ? "credentials already exist" : detail.view());
        buf_adds(b, ",\"logged_in\":");
        buf_adds(b, st.logged_in ? "true" : "false");
        buf_adds(b, ",\"hint\":\"pass force=1 to replace the existing session\"}\n");
        emit_json(b);
        return 0;
    }
    emit_error(200, "OK", error.empty() ? "start_failed" : error.view(), detail.view());
    return 0;
}

}  // namespace credvane

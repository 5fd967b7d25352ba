// logout.cc: the logout action: signs the account out through the login CLI. credvane
// removes nothing itself; the CLI does, and the credential file tells what came of it.
#include "actions/actions.h"
#include "runner/runner.h"
#include "store/json.h"

namespace credvane {

namespace {
// What a login CLI from before logout existed answers for an argument it does not know.
constexpr std::string_view unknown_argument_error = "usage";
// The detail of a logout whose CLI said the revoke failed without saying why.
constexpr std::string_view revoke_unconfirmed =
    "signed out here, but the issuer did not confirm that the refresh token was revoked; it may "
    "still be valid at the issuer";
}  // namespace

int action_logout(const char* name) {
    login_status before;
    collect_status(before, name);
    // A logout that overstayed, or whose CLI could not be started, may or may not have
    // happened: the answer says it failed, and the status tells what is there.
    buf capture;
    if (!run_login_step(before, name, "--logout", "logout_failed", false, capture))
        return exit_failed;
    const char* line = last_json_line(capture);
    if (line == nullptr) {
        emit_error(502, "Bad Gateway", "logout_failed",
                   "the login CLI produced no JSON; check its output");
        return exit_failed;
    }
    const char* end = capture.c_str() + capture.len;
    // Only an explicit "ok" is a logout.
    if (!json_bool_field(line, end, "ok", 0)) {
        const auto [error, detail] = cli_error_of(line, end);
        if (error.view() == unknown_argument_error) {
            emit_error(200, "OK", "logout_unsupported", "the login CLI does not support --logout");
            return 0;
        }
        emit_error(200, "OK", error.empty() ? "logout_failed" : error.view(), detail.view());
        return 0;
    }
    login_status after;
    collect_status(after, name);
    // The file decides: a CLI that says it signed out while the account still is has not.
    if (after.logged_in) {
        emit_error(200, "OK", "logout_failed",
                   "the login CLI reported a logout, but the account is still signed in");
        return exit_failed;
    }
    // The file is gone either way; a revoke the issuer did not confirm leaves a token that
    // may still work there, and the person must hear of it.
    if (!json_bool_field(line, end, "revoked", 1)) {
        text<512> detail;
        json_str_field(line, end, "detail", detail.span());
        if (detail.empty()) copy_cut(detail.span(), revoke_unconfirmed);
        buf prefix;
        buf_adds(prefix, "{\"ok\":true,\"state\":\"logged_out\",\"revoked\":false,\"detail\":");
        buf_json(prefix, detail.view());
        buf_adds(prefix, ",");
        emit_status_answer(prefix.view(), after);
        return 0;
    }
    emit_status_answer("{\"ok\":true,\"state\":\"logged_out\",", after);
    return 0;
}

}  // namespace credvane

// status.cc: the status fields of a login_status, and the status action.
#include "actions/actions.h"

#include "runner/runner.h"

namespace credvane {

namespace {
const char* word(int flag) {
    return flag ? "true" : "false";
}
}  // namespace

void emit_status(buf& b, const login_status& st) {
    buf_addf(b, "\"logged_in\":%s,", word(st.logged_in));
    buf_addf(b, "\"expires_at\":%lld", static_cast<long long>(st.expires_at));
    buf_addf(b, ",\"expires_in_sec\":%lld", static_cast<long long>(st.expires_in_sec));
    buf_addf(b, ",\"expired\":%s", word(st.expired));
    buf_addf(b, ",\"has_refresh\":%s", word(st.has_refresh));
    buf_adds(b, ",\"account\":");
    buf_json(b, st.account.view());
    buf_addf(b, ",\"pending\":%s", word(st.pending));
    buf_addf(b, ",\"pending_age_sec\":%lld", static_cast<long long>(st.pending_age_sec));
    buf_addf(b, ",\"last_refresh\":%lld", static_cast<long long>(st.last_refresh));
    buf_adds(b, ",\"account_id\":");
    buf_json(b, st.account_id.view());
    buf_addf(b, ",\"cli_present\":%s", word(st.cli_present));
    buf_adds(b, ",\"credentials_path\":");
    buf_json(b, st.credentials_path.view());
    buf_adds(b, ",\"profile\":");
    buf_json(b, st.profile.view());
    buf_addf(b, ",\"profile_exists\":%s", word(st.profile_exists));
    buf_addf(b, ",\"named_accounts\":%s", word(st.account_count > 0));
    buf_addf(b, ",\"api_key_present\":%s", word(st.api_key_present));
    buf_adds(b, ",\"cli_error\":");
    buf_json(b, st.cli_error.view());
    buf_adds(b, ",\"accounts\":[");
    for (int i = 0; i < st.account_count; ++i) {
        const account_entry& e = st.accounts[static_cast<std::size_t>(i)];
        if (i > 0) buf_adds(b, ",");
        buf_adds(b, "{\"name\":");
        buf_json(b, e.name.view());
        buf_addf(b, ",\"logged_in\":%s", word(e.logged_in));
        buf_addf(b, ",\"has_refresh\":%s", word(e.has_refresh));
        buf_addf(b, ",\"expires_at\":%lld", static_cast<long long>(e.expires_at));
        buf_addf(b, ",\"expires_in_sec\":%lld", static_cast<long long>(e.expires_in_sec));
        buf_addf(b, ",\"expired\":%s}", word(e.expired));
    }
    buf_adds(b, "]");
    buf_adds(b, ",\"file_problem\":");
    buf_json(b, st.file_problem);
    buf_adds(b, ",\"pending_problem\":");
    buf_json(b, st.pending_problem.view());
}

void emit_status_answer(std::string_view prefix, const login_status& st) {
    buf b;
    buf_adds(b, prefix);
    emit_status(b, st);
    buf_adds(b, "}\n");
    emit_json(b);
}

void emit_done(const login_status& st) {
    emit_status_answer("{\"ok\":true,\"state\":\"done\",", st);
}

run_result run_login(const char* name, const char* base, buf& capture) {
    return run_capture(login_bin(), login_args(name, base), capture);
}

// No lock: a status changes nothing and reads files that are only ever replaced whole, so
// it never waits behind another request.
int action_status(const char* name) {
    login_status st;
    collect_status(st, name);
    emit_done(st);
    return 0;
}

}  // namespace credvane

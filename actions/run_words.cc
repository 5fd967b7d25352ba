// run_words.cc: what the answers say about a CLI run that did not deliver.
#include "actions/actions.h"
#include "platform/platform.h"
#include "store/json.h"

namespace credvane {

namespace {

struct run_words_row {
    run_result result;
    std::string_view login;
    std::string_view refresh;
};

constexpr run_words_row run_words_table[] = {
    {run_result::not_found, login_cli_missing,
     "the refresh CLI is not on this node; install QUENLO CODE or set CODEX_REFRESH_BIN"},
    {run_result::timed_out, login_cli_timed_out, "the refresh CLI timed out"},
    {run_result::not_started, "could not run the login CLI", "could not run the refresh CLI"},
    // Its command line would not fit: a cut would name another program or drop an argument.
    {run_result::too_long, "the command line of the login CLI is too long; nothing was run",
     "the command line of the refresh CLI is too long; nothing was run"},
    // cmd.exe would have run it with other text than credvane gave it.
    {run_result::refused,
     "the login CLI is a cmd.exe script and its path or arguments hold characters that cmd.exe "
     "would alter (\", %, a line break, or a final \\); nothing was run",
     "the refresh CLI is a cmd.exe script and its path or arguments hold characters that "
     "cmd.exe would alter (\", %, a line break, or a final \\); nothing was run"},
};

}  // namespace

run_text cli_missing_words(cli_kind cli, bool hint) {
    run_text out;
    const bool login = cli == cli_kind::login;
    const char* variable = login ? "CODEX_LOGIN_BIN" : "CODEX_REFRESH_BIN";
    const char* configured = platform::env(variable);
    if (configured != nullptr && configured[0] != '\0') {
        // The operator named a program: that one is missing, and the variable is set already.
        format_cut(out.span(), "the %s CLI is not on this node (%s is %s)",
                   login ? "login" : "refresh", variable, configured);
    } else if (login) {
        out.assign(hint ? "quenlo-codex-login is not on this node; install QUENLO CODE or set "
                          "CODEX_LOGIN_BIN"
                        : login_cli_missing);
    } else {
        out.assign(run_words_table[0].refresh);
    }
    return out;
}

bool run_login_step(const login_status& st, const char* name, const char* args,
                    std::string_view failed_code, bool hint, buf& capture) {
    if (!st.cli_present) {
        // Only a CLI that is not there is a matter of installing it; one that hung or could
        // not be started is said as such.
        const std::string_view why = st.cli_error.view();
        emit_error(200, "OK", "cli_unavailable",
                   why.starts_with(login_cli_absent)
                       ? cli_missing_words(cli_kind::login, hint).view()
                       : why);
        return false;
    }
    const run_result r = run_login(name, args, capture);
    if (r == run_result::ran) return true;
    if (r == run_result::not_started || r == run_result::timed_out) {
        emit_error(500, "Internal Server Error", failed_code, run_words(r, cli_kind::login).view());
    } else {
        emit_error(200, "OK", "cli_unavailable", run_words(r, cli_kind::login).view());
    }
    return false;
}

run_text run_words(run_result result, cli_kind cli) {
    if (result == run_result::not_found) return cli_missing_words(cli, false);
    run_text out;
    for (const run_words_row& row : run_words_table) {
        if (row.result == result) out.assign(cli == cli_kind::login ? row.login : row.refresh);
    }
    return out;  // ran: nothing to say
}

cli_error_words cli_error_of(const char* line, const char* end) {
    cli_error_words words;
    json_str_field(line, end, "error", words.error.span());
    json_str_field(line, end, "detail", words.detail.span());
    return words;
}

}  // namespace credvane

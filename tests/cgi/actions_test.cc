// actions_test.cc: every outcome of the start, poll, cancel, refresh and logout actions, driven
// by scripted stand-in CLIs.
#include <gtest/gtest.h>

#include "tests/cgi/harness.h"

namespace {

// A login CLI whose "--status" run answers status_line and whose other runs answer with
// reply. Every run records its arguments (host::argv_of).
std::string login_cli(cgi::host& h, const cgi::reply& reply,
                      const std::string& status_line = "{\"ok\":true}") {
    cgi::stand_in s;
    s.first["--status"] = {status_line + "\n"};
    s.other = reply;
    return h.cli("login", s);
}

const std::string fffd = "\xEF\xBF\xBD";  // U+FFFD REPLACEMENT CHARACTER

struct outcome {
    std::string name;
    cgi::reply cli;    // what the CLI does on the action's own run
    std::string head;  // "" for the plain JSON header block, else "200 OK" etc.
    std::string body;
    int exit_code;
};

// The body with its "@" (if any) replaced by the stand-in CLI's path, which only the host
// knows.
std::string naming(std::string body, const std::string& cli) {
    if (const auto at = body.find('@'); at != std::string::npos) {
        body.replace(at, 1, cgi::json_text(cli));
    }
    return body;
}

void expect_outcome(const cgi::result& res, const outcome& o) {
    const std::string head = o.head.empty() ? cgi::json_head : cgi::status_head(o.head);
    EXPECT_EQ(res.out, head + o.body) << o.name;
    EXPECT_EQ(res.exit_code, o.exit_code) << o.name;
    EXPECT_EQ(res.err, "") << o.name;
}

TEST(Start, EveryOutcome) {
    const outcome rows[] = {
        {"ill-formed UTF-8 from the CLI",
         {"{\"ok\":true,\"verify_url\":\"https://x/\xe9\",\"user_code\":\"AB\xff\"}\n"},
         "",
         "{\"ok\":true,\"flow\":\"device_code\",\"verify_url\":\"https://x/" + fffd +
             "\",\"user_code\":\"AB" + fffd +
             "\",\"expires_in\":900,\"interval\":5,\"pending\":true,\"provider\":\"codex\"}\n",
         0},
        {"no JSON line",
         {"working\n {\"ok\":true}\n"},
         "502 Bad Gateway",
         "{\"ok\":false,\"error\":\"start_failed\",\"detail\":\"the login CLI produced no JSON; "
         "check its output\"}\n",
         1},
        {"not found on the action's run",
         {"", 127},
         "200 OK",
         "{\"ok\":false,\"error\":\"cli_unavailable\",\"detail\":\"the login CLI is not on "
         "this node (CODEX_LOGIN_BIN is @)\"}\n",
         1},
        {"started, defaults",
         {"{\"ok\":true,\"verify_url\":\"https://x/"
          "device?c=1&d=2\",\"user_code\":\"AB-12\",\"interval\":0,\"expires_in\":-4}\n"},
         "",
         "{\"ok\":true,\"flow\":\"device_code\",\"verify_url\":\"https://x/device?c=1&d=2\","
         "\"user_code\":\"AB-12\",\"expires_in\":900,\"interval\":5,\"pending\":true,\"provider\":"
         "\"codex\"}\n",
         0},
        {"started without ok, trailing text",
         {"{\"verify_url\":\"u\",\"user_code\":\"c\",\"interval\":3,\"expires_in\":600}\n"
          "bye\n"},
         "",
         "{\"ok\":true,\"flow\":\"device_code\",\"verify_url\":\"u\",\"user_code\":\"c\","
         "\"expires_in\":600,\"interval\":3,\"pending\":true,\"provider\":\"codex\"}\n",
         0},
        {"empty user code",
         {"{\"ok\":true,\"verify_url\":\"u\",\"user_code\":\"\"}\n"},
         "502 Bad Gateway",
         "{\"ok\":false,\"error\":\"start_incomplete\",\"detail\":\"login CLI did "
         "not return a verify url and user code\"}\n",
         1},
        {"exists",
         {"{\"ok\":false,\"error\":\"exists\"}\n"},
         "",
         "{\"ok\":true,\"already_logged_in\":true,\"pending\":false,\"error\":\"already_logged_"
         "in\","
         "\"detail\":\"credentials already exist\",\"logged_in\":false,\"hint\":\"pass force=1 to "
         "replace the existing session\"}\n",
         0},
        {"exists with detail",
         {"{\"ok\":false,\"error\":\"exists\",\"detail\":\"have \\\"one\\\"\"}\n"},
         "",
         "{\"ok\":true,\"already_logged_in\":true,\"pending\":false,\"error\":\"already_logged_"
         "in\","
         "\"detail\":\"have \\\"one\\\"\",\"logged_in\":false,\"hint\":\"pass force=1 to "
         "replace the existing session\"}\n",
         0},
        {"failed without error",
         {"{\"ok\":false,\"error\":\"\"}\n"},
         "200 OK",
         "{\"ok\":false,\"error\":\"start_failed\"}\n",
         0},
        {"failed with error and detail",
         {"{\"ok\":\"false\",\"error\":\"rate_limited\",\"detail\":\"slow down\"}\n"},
         "200 OK",
         "{\"ok\":false,\"error\":\"rate_limited\",\"detail\":\"slow down\"}\n",
         0},
    };
    for (outcome o : rows) {
        cgi::host h;
        const std::string cli = login_cli(h, o.cli);
        h.env["CODEX_LOGIN_BIN"] = cli;
        o.body = naming(o.body, cli);
        expect_outcome(h.run("action=start"), o);
    }
}

// A configured login or refresh CLI that is not there is named by every answer: the
// operator set the variable already, and has to see which path is wrong.
TEST(EveryAction, NamesTheConfiguredCliThatIsMissing) {
    cgi::host h;
    h.write("home/.codex/auth.json", "{\"access_token\":\"x\"}");
    const std::string login = h.path("no such folder/login");
    const std::string refresh = h.path("no such folder/refresh");
    h.env["CODEX_LOGIN_BIN"] = login;
    h.env["CODEX_REFRESH_BIN"] = refresh;
    const std::string login_missing =
        "the login CLI is not on this node (CODEX_LOGIN_BIN is " + cgi::json_text(login) + ")";
    for (const char* action : {"start", "poll", "logout"}) {
        const cgi::result res = h.run(std::string("action=") + action);
        EXPECT_EQ(res.out, cgi::status_head("200 OK") +
                               "{\"ok\":false,\"error\":\"cli_unavailable\",\"detail\":\"" +
                               login_missing + "\"}\n")
            << action;
        EXPECT_EQ(res.exit_code, 1) << action;
    }
    EXPECT_NE(h.run("action=status").out.find("\"cli_error\":\"" + login_missing + "\""),
              std::string::npos);
    EXPECT_EQ(h.run("action=refresh").out,
              cgi::status_head("200 OK") +
                  "{\"ok\":false,\"error\":\"cli_unavailable\",\"detail\":\"the refresh CLI "
                  "is not on this node (CODEX_REFRESH_BIN is " +
                  cgi::json_text(refresh) + ")\"}\n");
}

TEST(Start, NoCliAndArguments) {
    cgi::host h;
    expect_outcome(
        h.run("action=start"),
        {"no CLI",
         {},
         "200 OK",
         "{\"ok\":false,\"error\":\"cli_unavailable\",\"detail\":\"quenlo-codex-login is "
         "not on this node; install QUENLO CODE or set CODEX_LOGIN_BIN\"}\n",
         1});
    const std::string cli =
        login_cli(h, {"{\"ok\":false,\"error\":\"exists\"}\n"}, "{\"ok\":true,\"logged_in\":true}");
    h.env["CODEX_LOGIN_BIN"] = cli;
    const std::string out = h.run("action=start&force=true&account=work").out;
    EXPECT_NE(out.find("\"logged_in\":true,\"hint\""), std::string::npos) << out;
    h.run("action=start&force=TRUE");
    h.run("action=start&force=1");
    EXPECT_EQ(h.argv_of(cli),
              "[--status][--name][work]\n[--start][--force][--name][work]\n"
              "[--status]\n[--start]\n[--status]\n[--start][--force]\n");
}

TEST(Poll, EveryOutcome) {
    const outcome rows[] = {
        {"no JSON, not logged in",
         {"nothing here\n"},
         "502 Bad Gateway",
         "{\"ok\":false,\"error\":\"poll_failed\",\"detail\":\"login CLI produced no JSON\"}\n",
         1},
        {"not found on the action's run",
         {"", 126},
         "200 OK",
         "{\"ok\":false,\"error\":\"cli_unavailable\",\"detail\":\"the login CLI is not on "
         "this node (CODEX_LOGIN_BIN is @)\"}\n",
         1},
        {"pending without ok is a failure",
         {"{\"state\":\"pending\"}\n"},
         "",
         "{\"ok\":true,\"state\":\"failed\",\"error\":\"poll_failed\",\"pending\":false}\n",
         0},
        {"denied",
         {"{\"ok\":false,\"error\":\"access_denied\",\"detail\":\"user said no\"}\n"},
         "",
         "{\"ok\":true,\"state\":\"failed\",\"error\":\"access_denied\",\"detail\":\"user said "
         "no\",\"pending\":false}\n",
         0},
        {"pending, no interval",
         {"{\"ok\":true,\"state\":\"pending\"}\n"},
         "",
         "{\"ok\":true,\"state\":\"pending\",\"interval\":5,\"pending\":true}\n",
         0},
        {"pending, negative interval",
         {"{\"ok\":true,\"state\":\"pending\",\"interval\":-3}\n"},
         "",
         "{\"ok\":true,\"state\":\"pending\",\"interval\":5,\"pending\":true}\n",
         0},
        {"pending, interval 2",
         {"{\"ok\":true,\"state\":\"pending\",\"interval\":2}\n"},
         "",
         "{\"ok\":true,\"state\":\"pending\",\"interval\":2,\"pending\":true}\n",
         0},
        // The answer says charset=utf-8: what a CLI prints in Latin-1, or cut inside a
        // character, leaves as U+FFFD, one for each maximal ill-formed piece.
        {"ill-formed UTF-8 from the CLI",
         {"{\"ok\":false,\"error\":\"caf\xe9\",\"detail\":\"\xc0\xaf \xed\xa0\x80 "
          "\xe2\x82\xac \xf0\x9f\x98\"}\n"},
         "",
         "{\"ok\":true,\"state\":\"failed\",\"error\":\"caf" + fffd + "\",\"detail\":\"" + fffd +
             fffd + " " + fffd + fffd + fffd + " \xE2\x82\xAC " + fffd + "\",\"pending\":false}\n",
         0},
    };
    for (outcome o : rows) {
        cgi::host h;
        const std::string cli = login_cli(h, o.cli);
        h.env["CODEX_LOGIN_BIN"] = cli;
        o.body = naming(o.body, cli);
        expect_outcome(h.run("action=poll"), o);
    }
}

TEST(Poll, DoneAnswersCarryTheFreshStatus) {
    // Every "done" answer has the very form of the status answer.
    const std::string done_states[] = {"{\"ok\":true}\n", "{\"ok\":true,\"state\":\"Pending\"}\n",
                                       "{\"ok\":1,\"state\":\"done\"}\n"};
    for (const std::string& body : done_states) {
        cgi::host h;
        h.env["CODEX_LOGIN_BIN"] = login_cli(h, {body});
        const cgi::result res = h.run("action=poll");
        EXPECT_EQ(res.out, h.run("action=status").out) << body;
        EXPECT_EQ(res.exit_code, 0);
    }
    // The CLI writes the credential file during the poll: the pending answer says so.
    cgi::host h;
    const std::string creds = h.path("home/.codex/auth.json");
    h.folder("home/.codex");
    const std::string pending = "{\"ok\":true,\"state\":\"pending\",\"interval\":7}\n";
    h.env["CODEX_LOGIN_BIN"] =
        login_cli(h, {pending, 0, h.write("first.json", "{\"access_token\":\"t\"}\n"), creds});
    expect_outcome(
        h.run("action=poll"),
        {"pending, then logged in",
         {},
         "",
         "{\"ok\":true,\"state\":\"pending\",\"interval\":7,\"pending\":true,\"logged_in\":true}\n",
         0});
    // Credentials that were there before the poll and are unchanged are no news: a re-login
    // of a signed-in account stays pending until its own credentials arrive.
    h.env["CODEX_LOGIN_BIN"] = login_cli(h, {pending});
    expect_outcome(h.run("action=poll"),
                   {"pending, signed in before",
                    {},
                    "",
                    "{\"ok\":true,\"state\":\"pending\",\"interval\":7,\"pending\":true}\n",
                    0});
    // The re-login's new token, written during the poll, is news again.
    h.env["CODEX_LOGIN_BIN"] =
        login_cli(h, {pending, 0,
                      h.write("again.json",
                              "{\"tokens\":{\"access_token\":\"x.eyJleHAiOjQxMDI0NDQ4MDB9.s\"}}\n"),
                      creds});
    expect_outcome(
        h.run("action=poll"),
        {"pending, signed in again",
         {},
         "",
         "{\"ok\":true,\"state\":\"pending\",\"interval\":7,\"pending\":true,\"logged_in\":true}\n",
         0});
    // Another new token issued within the same second: the same expiry, yet news.
    h.env["CODEX_LOGIN_BIN"] = login_cli(
        h,
        {pending, 0,
         h.write("same.json", "{\"tokens\":{\"access_token\":\"x.eyJleHAiOjQxMDI0NDQ4MDB9.t\"}}\n"),
         creds});
    expect_outcome(
        h.run("action=poll"),
        {"pending, signed in again within the second",
         {},
         "",
         "{\"ok\":true,\"state\":\"pending\",\"interval\":7,\"pending\":true,\"logged_in\":true}\n",
         0});
    // No JSON while the first status already shows a login: done from that status.
    h.env["CODEX_LOGIN_BIN"] = login_cli(h, {"no json\n"});
    // A second can pass between the two runs: compare without the clock figures.
    EXPECT_EQ(cgi::pin_clock(h.run("action=poll").out), cgi::pin_clock(h.run("action=status").out));
}

TEST(Cancel, EveryOutcome) {
    const std::string cancelled_prefix = "{\"ok\":true,\"state\":\"cancelled\",";
    struct row {
        std::string name;
        cgi::reply cli;
        bool cancelled;  // else the cancel_failed answer
    };
    const row rows[] = {
        {"no output", {}, true},
        {"last line ok", {"{\"ok\":false}\n{\"ok\":true}\n"}, true},
        {"no ok field, odd exit", {"{\"state\":\"x\"}\n", 3}, true},
        {"rejected", {"{\"ok\":false,\"error\":\"nope\",\"detail\":\"hidden\"}\n"}, false},
    };
    for (const row& r : rows) {
        cgi::host h;
        h.env["CODEX_LOGIN_BIN"] = login_cli(h, r.cli);
        const cgi::result res = h.run("action=cancel&account=work");
        EXPECT_EQ(res.exit_code, 0);
        if (r.cancelled) {
            // The fresh status fields follow, exactly as the status answer has them.
            const std::string status = h.run("action=status&account=work").out;
            const std::string fields = status.substr(status.find("\"logged_in\""));
            EXPECT_EQ(res.out, cgi::json_head + cancelled_prefix + fields) << r.name;
        } else {
            EXPECT_EQ(res.out, cgi::status_head("200 OK") +
                                   "{\"ok\":false,\"error\":\"cancel_failed\",\"detail\":\"login "
                                   "CLI rejected the cancel\"}\n");
        }
    }
    cgi::host h;
    const std::string gone = login_cli(h, {"", 127});
    h.env["CODEX_LOGIN_BIN"] = gone;
    EXPECT_EQ(h.run("action=cancel").out,
              cgi::status_head("200 OK") +
                  "{\"ok\":false,\"error\":\"cli_unavailable\",\"detail\":"
                  "\"the login CLI is not on this node (CODEX_LOGIN_BIN is " +
                  cgi::json_text(gone) + ")\"}\n");
}

TEST(Cancel, WithoutCliRemovesOnlyAMarkerFile) {
    const std::string fixed =
        cgi::json_head +
        "{\"ok\":true,\"state\":\"cancelled\",\"pending\":false,\"cli_present\":false}\n";
    cgi::host h;
    const auto work = h.write("home/.claude/.login-pending/codex-work.json", "{\"created\":1}");
    const auto other = h.write("home/.claude/.login-pending/codex-default.json", "{}");
    EXPECT_EQ(h.run("action=cancel&account=work").out, fixed);
    EXPECT_FALSE(h.exists(work));
    EXPECT_TRUE(h.exists(other));
    EXPECT_EQ(h.run("action=cancel&account=none").out, fixed);
    const std::string dir = h.folder("home/.claude/.login-pending/codex-dir.json");
    EXPECT_EQ(h.run("action=cancel&account=dir").out, fixed);
    EXPECT_TRUE(h.is_folder(dir));
}

TEST(Refresh, EveryOutcome) {
    const std::string old_token = cgi::jwt_with_exp(4000000000LL);
    const std::string new_token = cgi::jwt_with_exp(4000003600LL);
    // Issued within the same second as the old one: the same expiry, another signature.
    const std::string same_second = old_token + "x";
    const std::string gone_by = cgi::jwt_with_exp(1000000000LL);
    auto file_with = [](const std::string& token, const std::string& last_refresh = "") {
        return "{\"tokens\":{\"access_token\":\"" + token + "\",\"refresh_token\":\"r\"}" +
               (last_refresh.empty() ? "" : ",\"last_refresh\":\"" + last_refresh + "\"") + "}";
    };
    const std::string reused =
        "{\"ok\":false,\"error\":\"refresh_token_reused\",\"detail\":\"the issuer says this "
        "refresh token was already used\"}\n";
    const std::string not_renewed =
        "the refresh CLI did not extend the token in the credential file; sign in again";
    const std::string failed =
        "{\"ok\":false,\"error\":\"refresh_failed\",\"detail\":\"" + not_renewed + "\"}\n";
    struct row {
        std::string name;
        std::string before;     // the credential file before the run
        std::string rewritten;  // what the refresh CLI writes ("" leaves it alone)
        std::string cli_out;    // what the refresh CLI prints
        int cli_exit;
        std::string failure;  // the answer's body when it is no refresh, else ""
    };
    const row rows[] = {
        {"expiry grew", file_with(old_token), file_with(new_token), "some text\n", 0, ""},
        {"grew but CLI exits 1", file_with(old_token), file_with(new_token), "some text\n", 1, ""},
        {"new token, same expiry", file_with(old_token, "2096-10-01T00:00:00Z"),
         file_with(same_second, "2096-10-01T00:00:00Z"), "{\"ok\":true}\n", 0, ""},
        {"same token, new last_refresh", file_with(old_token, "2096-10-01T00:00:00Z"),
         file_with(old_token, "2096-10-01T00:00:01Z"), "{\"ok\":true}\n", 0, ""},
        {"renewed, though the CLI says it failed", file_with(old_token), file_with(new_token),
         reused, 1, ""},
        {"new token already expired", file_with(old_token), file_with(gone_by), "", 0, failed},
        {"unchanged", file_with(old_token), "", "some text\n", 0, failed},
        {"unchanged, the CLI says ok", file_with(old_token), "", "{\"ok\":true}\n", 0, failed},
        {"unchanged, the CLI's reason", file_with(old_token), "", "note\n" + reused, 1, reused},
        {"unchanged, a reason without detail", file_with(old_token), "",
         "{\"ok\":false,\"error\":\"locked\"}\n", 1,
         "{\"ok\":false,\"error\":\"locked\",\"detail\":\"" + not_renewed + "\"}\n"},
        {"emptied", file_with(old_token), "{}", "", 0, failed},
        {"opaque token renewed", "{\"access_token\":\"opaque\"}", "{\"access_token\":\"opaque2\"}",
         "", 0, ""},
        {"opaque token unchanged", "{\"access_token\":\"opaque\"}", "", "", 0, failed},
    };
    for (const row& r : rows) {
        cgi::host h;
        const auto creds = h.write("home/.codex/auth.json", r.before);
        // Its second argument is the credential file.
        cgi::stand_in refresh;
        refresh.other = {r.cli_out, r.cli_exit,
                         r.rewritten.empty() ? std::string() : h.write("new.json", r.rewritten)};
        h.env["CODEX_REFRESH_BIN"] = h.cli("refresh", refresh);
        const cgi::result res = h.run("action=refresh");
        if (r.failure.empty()) {
            const std::string status = h.run("action=status").out;
            EXPECT_EQ(cgi::pin_clock(res.out),
                      cgi::pin_clock(cgi::json_head + "{\"ok\":true,\"refreshed\":true," +
                                     status.substr(status.find("\"logged_in\""))))
                << r.name;
            EXPECT_EQ(res.exit_code, 0) << r.name;
        } else {
            EXPECT_EQ(res.out, cgi::json_head + r.failure) << r.name;
            EXPECT_EQ(res.exit_code, 1) << r.name;
        }
    }
}

TEST(Refresh, MissingFileOrCli) {
    const std::string no_creds =
        cgi::json_head +
        "{\"ok\":false,\"error\":\"no_credentials\",\"detail\":\"there is no "
        "credential file for this account on this node; start a login first\"}\n";
    const std::string no_cli =
        cgi::status_head("200 OK") +
        "{\"ok\":false,\"error\":\"cli_unavailable\",\"detail\":\"the refresh CLI is not on this "
        "node; install QUENLO CODE or set CODEX_REFRESH_BIN\"}\n";
    cgi::host h;
    const std::string login = login_cli(h, {});
    h.env["CODEX_LOGIN_BIN"] = login;
    h.env["CODEX_REFRESH_BIN"] = "";  // empty: the default command, which is not here
    EXPECT_EQ(h.run("action=refresh&account=work").out, no_creds);
    h.folder("home/.codex/auth.json");
    EXPECT_EQ(h.run("action=refresh").out, no_creds);
    // Neither CLI ran for a missing file.
    EXPECT_FALSE(h.exists(login + ".argv"));
    h.write("home/.codex/accounts/work.json", "{\"access_token\":\"x\"}");
    const cgi::result res = h.run("action=refresh&account=work");
    EXPECT_EQ(res.out, no_cli);
    EXPECT_EQ(res.exit_code, 1);
}

}  // namespace

namespace {

TEST(Logout, EveryOutcome) {
    const std::string signed_in =
        "{\"tokens\":{\"access_token\":\"" + cgi::jwt_with_exp(4000000000LL) + "\"}}";
    struct row {
        std::string name;
        std::string answer;  // the login CLI's answer to --logout
        int cli_exit;
        bool empties;  // the CLI empties the credential file
        std::string head;
        std::string body;  // "" for the logged-out answer with the status fields
        int exit_code;
        std::string told = "";  // what the logged-out answer tells before the status fields
    };
    const row rows[] = {
        {"signed out", "{\"ok\":true,\"state\":\"logged_out\"}\n", 0, true, "", "", 0},
        // The file is gone, but the token may still work at the issuer: the answer says so.
        {"signed out, the revoke not confirmed",
         "{\"ok\":true,\"state\":\"logged_out\",\"revoked\":false,\"detail\":\"the issuer could "
         "not be reached\"}\n",
         0, true, "", "", 0, "\"revoked\":false,\"detail\":\"the issuer could not be reached\","},
        {"signed out, the revoke not confirmed, no reason",
         "{\"ok\":true,\"state\":\"logged_out\",\"revoked\":false}\n", 0, true, "", "", 0,
         "\"revoked\":false,\"detail\":\"signed out here, but the issuer did not confirm that the "
         "refresh token was revoked; it may still be valid at the issuer\","},
        {"signed out, revoked", "{\"ok\":true,\"state\":\"logged_out\",\"revoked\":true}\n", 0,
         true, "", "", 0},
        // A CLI from before logout answers an argument it does not know with "usage" and
        // exit code 2: nothing is removed, and the answer says why.
        {"a login CLI without --logout",
         "{\"ok\":false,\"error\":\"usage\",\"detail\":\"usage: credvane-login --start\"}\n", 2,
         false, "200 OK",
         "{\"ok\":false,\"error\":\"logout_unsupported\",\"detail\":\"the login CLI does not "
         "support --logout\"}\n",
         0},
        {"the CLI's own failure",
         "{\"ok\":false,\"error\":\"locked\",\"detail\":\"the credential file is in use\"}\n", 1,
         false, "200 OK",
         "{\"ok\":false,\"error\":\"locked\",\"detail\":\"the credential file is in use\"}\n", 0},
        // Only an explicit ok is a logout, and only a credential file without a session
        // shows one.
        {"no ok", "{\"state\":\"logged_out\"}\n", 0, false, "200 OK",
         "{\"ok\":false,\"error\":\"logout_failed\"}\n", 0},
        {"ok, but still signed in", "{\"ok\":true,\"state\":\"logged_out\"}\n", 0, false, "200 OK",
         "{\"ok\":false,\"error\":\"logout_failed\",\"detail\":\"the login CLI reported a logout, "
         "but the account is still signed in\"}\n",
         1},
        {"no JSON", "bye\n", 0, true, "502 Bad Gateway",
         "{\"ok\":false,\"error\":\"logout_failed\",\"detail\":\"the login CLI produced no JSON; "
         "check its output\"}\n",
         1},
        {"not found on the action's run", "", 127, false, "200 OK",
         "{\"ok\":false,\"error\":\"cli_unavailable\",\"detail\":\"the login CLI is not on "
         "this node (CODEX_LOGIN_BIN is @)\"}\n",
         1},
    };
    for (const row& r : rows) {
        for (const std::string account : {"", "work"}) {
            cgi::host h;
            const std::string file =
                account.empty() ? "home/.codex/auth.json" : "home/.codex/accounts/work.json";
            const auto creds = h.write(file, signed_in);
            cgi::stand_in s;
            s.first["--status"] = {"{\"ok\":true}\n"};
            s.other = {r.answer, r.cli_exit, r.empties ? h.write("emptied.json", "{}") : "",
                       r.empties ? creds : ""};
            const std::string cli = h.cli("login", s);
            h.env["CODEX_LOGIN_BIN"] = cli;
            const std::string query =
                "action=logout" + (account.empty() ? "" : "&account=" + account);
            const cgi::result res = h.run(query);
            const std::string label = r.name + (account.empty() ? "" : ", named");
            if (r.body.empty()) {
                const std::string status =
                    h.run(account.empty() ? "action=status" : "action=status&account=" + account)
                        .out;
                EXPECT_EQ(cgi::pin_clock(res.out),
                          cgi::pin_clock(cgi::json_head + "{\"ok\":true,\"state\":\"logged_out\"," +
                                         r.told + status.substr(status.find("\"logged_in\""))))
                    << label;
                EXPECT_NE(res.out.find("\"logged_in\":false,"), std::string::npos) << res.out;
            } else {
                EXPECT_EQ(res.out, cgi::status_head(r.head) + naming(r.body, cli)) << label;
            }
            EXPECT_EQ(res.exit_code, r.exit_code) << label;
            EXPECT_EQ(h.read(creds), r.empties ? "{}" : signed_in) << label;
            const std::string name_args = account.empty() ? "" : "[--name][work]";
            EXPECT_EQ(h.argv_of(cli).rfind(
                          "[--status]" + name_args + "\n[--logout]" + name_args + "\n", 0),
                      0u)
                << label << ": " << h.argv_of(cli);
        }
    }
}

}  // namespace

namespace {

// A request may name any account: one that holds nothing leaves no lock file behind, or
// requests for made-up names would fill the pending folder without bound.
TEST(AccountLock, OnlyAnAccountWithSomethingToChangeGetsALockFile) {
    cgi::host h;
    h.env["CODEX_LOGIN_BIN"] = login_cli(h, {"{\"ok\":false,\"error\":\"no_pending\"}\n", 1});
    h.env["CODEX_REFRESH_BIN"] = login_cli(h, {"{\"ok\":false}\n", 1});
    const std::string pending = "home/.claude/.login-pending/";
    h.folder(pending);
    for (const char* action : {"poll", "cancel", "refresh", "logout"}) {
        h.run(std::string("action=") + action + "&account=ghost");
        EXPECT_FALSE(h.exists(h.path(pending + "codex-ghost.lock"))) << action;
    }
    // A marker or a credential file is something to change: the runs are then kept apart.
    h.write(pending + "codex-ghost.json", "{\"created\":1}");
    h.run("action=poll&account=ghost");
    EXPECT_TRUE(h.exists(h.path(pending + "codex-ghost.lock")));
    h.write("home/.codex/accounts/held.json", "{}");
    h.run("action=logout&account=held");
    EXPECT_TRUE(h.exists(h.path(pending + "codex-held.lock")));
    // A start makes the account's marker, so it takes the lock whatever is there.
    h.run("action=start&account=new");
    EXPECT_TRUE(h.exists(h.path(pending + "codex-new.lock")));
}

}  // namespace

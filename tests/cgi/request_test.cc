// request_test.cc: discovery modes, the node-password check and the dispatch, as a CGI
// host sees them.
#include <gtest/gtest.h>

#include "tests/cgi/harness.h"

namespace {

// The build hands over the version from project(); the line must carry exactly it.
const std::string version_line = "credvane " CREDVANE_VERSION "\n";
const std::string meta = "{\"name\":\"codex\",\"desc\":\"Codex login\"}\n";

bool is_page(const std::string& out) {
    return out.rfind("Content-Type: text/html; charset=utf-8\r\n", 0) == 0;
}

TEST(Modes, FirstArgumentAndMetaVariableDecide) {
    struct row {
        std::vector<std::string> args;
        bool meta_env;
        std::string expected;
    };
    const row rows[] = {
        {{"--meta"}, false, meta},
        {{}, true, meta},  // defined and empty still counts
        {{"--version"}, true, meta},
        {{"--version"}, false, version_line},
        {{"-v", "--meta"}, false, version_line},
        {{"-v"}, false, version_line},
    };
    for (const row& r : rows) {
        cgi::host h;
        if (r.meta_env) h.env["QN_PLUGIN_META"] = "";
        const cgi::result res = h.run_args(r.args);
        EXPECT_EQ(res.out, r.expected);
        EXPECT_EQ(res.exit_code, 0);
        EXPECT_EQ(res.err, "");
    }
}

TEST(Modes, OtherArgumentsRunARequest) {
    for (const std::string arg : {"--meta=1", "--help", "-V"}) {
        cgi::host h;
        const cgi::result res = h.run("action=status", {arg});
        EXPECT_TRUE(cgi::is_status_answer(res.out)) << arg;
    }
}

TEST(Password, EverySourceAndItsExactRules) {
    const std::string p255(255, 'p');
    struct row {
        std::string name;
        std::map<std::string, std::string> env;
        std::string query;
        bool passes;
    };
    const row rows[] = {
        {"no password set", {}, "action=status", true},
        {"empty password set", {{"BOT_PASSWORD", ""}}, "action=status", true},
        {"missing", {{"BOT_PASSWORD", "s3cret"}}, "action=status", false},
        {"header",
         {{"BOT_PASSWORD", "s3cret"}, {"HTTP_X_BOT_PASSWORD", "s3cret"}},
         "action=status",
         true},
        {"header differs in case",
         {{"BOT_PASSWORD", "s3cret"}, {"HTTP_X_BOT_PASSWORD", "S3cret"}},
         "action=status",
         false},
        {"wrong header",
         {{"BOT_PASSWORD", "s3cret"}, {"HTTP_X_BOT_PASSWORD", "nope"}},
         "action=status",
         false},
        {"wrong header, right pwd",
         {{"BOT_PASSWORD", "s3cret"}, {"HTTP_X_BOT_PASSWORD", "nope"}},
         "action=status&pwd=s3cret",
         true},
        {"bearer lower case, spaces",
         {{"BOT_PASSWORD", "s3cret"}, {"HTTP_AUTHORIZATION", "  bEARER    s3cret"}},
         "action=status",
         true},
        {"bearer trailing space",
         {{"BOT_PASSWORD", "s3cret"}, {"HTTP_AUTHORIZATION", "Bearer s3cret "}},
         "action=status",
         false},
        {"basic scheme",
         {{"BOT_PASSWORD", "s3cret"}, {"HTTP_AUTHORIZATION", "Basic s3cret"}},
         "action=status",
         false},
        {"bearer without space",
         {{"BOT_PASSWORD", "s3cret"}, {"HTTP_AUTHORIZATION", "Bearers3cret"}},
         "action=status",
         false},
        {"tab after bearer",
         {{"BOT_PASSWORD", "s3cret"}, {"HTTP_AUTHORIZATION", "Bearer\ts3cret"}},
         "action=status",
         false},
        {"pwd raw", {{"BOT_PASSWORD", "a&b"}}, "action=status&pwd=a%26b", false},
        {"pwd prefix", {{"BOT_PASSWORD", "s3cret"}}, "action=status&pwd=s3cre", false},
        {"pwd longer", {{"BOT_PASSWORD", "s3cret"}}, "action=status&pwd=s3cretx", false},
        {"pwd 255 exact", {{"BOT_PASSWORD", p255}}, "action=status&pwd=" + p255, true},
        // A value cut at its 255-byte capacity must never match.
        {"pwd 256 begins with 255-byte password",
         {{"BOT_PASSWORD", p255}},
         "action=status&pwd=" + p255 + "X",
         false},
        {"first pwd wins", {{"BOT_PASSWORD", "s3cret"}}, "action=status&pwd=x&pwd=s3cret", false},
    };
    for (const row& r : rows) {
        cgi::host h;
        for (const auto& [k, v] : r.env) h.env[k] = v;
        const cgi::result res = h.run(r.query);
        EXPECT_EQ(res.exit_code, 0) << r.name;
        if (r.passes) {
            EXPECT_TRUE(cgi::is_status_answer(res.out)) << r.name << "\n" << res.out;
        } else {
            EXPECT_EQ(res.out, cgi::unauthorized) << r.name;
            EXPECT_EQ(res.out.size(), 145u);
        }
    }
}

TEST(Password, GuardsThePageToo) {
    cgi::host h;
    h.env["BOT_PASSWORD"] = "s3cret";
    EXPECT_EQ(h.run("").out, cgi::unauthorized);
    EXPECT_TRUE(is_page(h.run("pwd=s3cret").out));
}

TEST(Dispatch, PageOrJson) {
    struct row {
        std::string query;
        bool query_set;
        bool page;
    };
    const row rows[] = {
        {"", false, true},
        {"", true, true},
        {"foo=1", true, true},
        {"format", true, false},
        {"format=html", true, false},
        {"action=", true, false},
        {"action", true, false},
        {"xaction=start", true, true},
        {"&action=status", true, false},
    };
    for (const row& r : rows) {
        cgi::host h;
        const cgi::result res = h.run(r.query, {}, r.query_set);
        EXPECT_EQ(res.exit_code, 0) << r.query;
        EXPECT_EQ(is_page(res.out), r.page) << r.query;
        if (!r.page) {
            EXPECT_TRUE(cgi::is_status_answer(res.out)) << r.query << "\n" << res.out;
        }
    }
}

TEST(Dispatch, UnknownActionsAreA400) {
    const std::string expected =
        cgi::status_head("400 Bad Request") +
        "{\"ok\":false,\"error\":\"unknown_action\",\"detail\":\"expected status, start, poll, "
        "cancel, refresh, logout or accounts\"}\n";
    // The last one is a valid action cut at the 63 bytes the action buffer keeps.
    for (const std::string& a : std::vector<std::string>{"Status", "START", "login", "status ",
                                                         std::string(63, 'x') + "status"}) {
        cgi::host h;
        const cgi::result res = h.run("action=" + a);
        EXPECT_EQ(res.out, expected) << a;
        EXPECT_EQ(res.exit_code, 1);
    }
}

// Line endings are where a text-mode stream would show: the page's body keeps every LF alone.
TEST(Dispatch, ThePageLeavesWithoutAddedCarriageReturns) {
    cgi::host h;
    const std::string out = h.run("").out;
    const std::string head = "Content-Type: text/html; charset=utf-8\r\n";
    ASSERT_EQ(out.rfind(head, 0), 0u) << out.substr(0, 200);
    const std::size_t body = out.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos);
    EXPECT_GT(out.size() - body, 1000u);
    EXPECT_EQ(out.find('\r', body + 4), std::string::npos);
}

// A changing action never falls back to another account for a name it cannot use: a typo
// would otherwise sign the default account out. Only a missing or empty name means the
// default (here CODEX_ACCOUNT's); a status still falls back without a word.
TEST(Dispatch, AChangingActionRefusesAnInvalidAccount) {
    const std::string refused =
        cgi::status_head("400 Bad Request") +
        "{\"ok\":false,\"error\":\"bad_account\",\"detail\":\"an account name is 1 to 64 "
        "ASCII letters, digits, '-', '.' or '_', not beginning with '.'; nothing was changed\"}\n";
    const std::string signed_in =
        "{\"tokens\":{\"access_token\":\"" + cgi::jwt_with_exp(4000000000LL) + "\"}}";
    struct row {
        std::string account;   // the query's tail
        std::string runs_for;  // the --name the CLI gets; "-": refused, no CLI runs
    };
    const row rows[] = {
        {"", "fallback"},
        {"&account", "fallback"},
        {"&account=", "fallback"},
        {"&account=work", "work"},
        {"&account=" + std::string(64, 'w'), std::string(64, 'w')},
        {"&account=.typo", "-"},
        {"&account=..", "-"},
        {"&account=a/b", "-"},
        {"&account=..\\fallback", "-"},
        {"&account=w%20x", "-"},
        {"&account=a:b", "-"},
        {"&account=" + std::string(65, 'w'), "-"},
        // Longer than the buffer that holds it: cut, and still no name.
        {"&account=" + std::string(200, 'w'), "-"},
    };
    for (const std::string action : {"start", "poll", "cancel", "refresh", "logout", "status"}) {
        for (const row& r : rows) {
            cgi::host h;
            h.env["CODEX_ACCOUNT"] = "fallback";
            const std::string fallback = h.write("home/.codex/accounts/fallback.json", signed_in);
            const std::string main_file = h.write("home/.codex/auth.json", signed_in);
            // A refresh runs no CLI for an account without a file.
            if (r.runs_for != "-" && r.runs_for != "fallback")
                h.write("home/.codex/accounts/" + r.runs_for + ".json", "{}");
            // Every run of either CLI leaves its arguments; one that acts empties the file.
            cgi::stand_in s;
            s.first["--status"] = {"{\"ok\":true}\n"};
            s.other = {"{\"ok\":true,\"state\":\"logged_out\"}\n", 0, h.write("emptied.json", "{}"),
                       fallback};
            const std::string cli = h.cli("cli", s);
            h.env["CODEX_LOGIN_BIN"] = cli;
            h.env["CODEX_REFRESH_BIN"] = cli;
            const std::string label = action + r.account.substr(0, 80);
            const cgi::result res = h.run("action=" + action + r.account);
            if (r.runs_for == "-" && action != "status") {
                EXPECT_EQ(res.out, refused) << label;
                EXPECT_EQ(res.exit_code, 1) << label;
                EXPECT_FALSE(h.exists(cli + ".argv")) << label << ": a CLI ran";
                EXPECT_EQ(h.read(fallback), signed_in) << label;
            } else {
                EXPECT_EQ(res.out.find("bad_account"), std::string::npos) << label;
                const std::string name = r.runs_for == "-" ? "fallback" : r.runs_for;
                EXPECT_NE(h.argv_of(cli).find("[--name][" + name + "]"), std::string::npos)
                    << label << ": " << h.argv_of(cli);
            }
            EXPECT_EQ(h.read(main_file), signed_in) << label;
        }
    }
}

TEST(Dispatch, AccountsAndStatusAnswerAlike) {
    cgi::host h;
    h.write("home/.codex/accounts/work.json", "{\"tokens\":{\"access_token\":\"x\"}}");
    const cgi::result status = h.run("action=status");
    EXPECT_EQ(h.run("action=accounts").out, status.out);
    EXPECT_EQ(h.run("format=json").out, status.out);
}

}  // namespace

namespace {

// Another site's page (an <img> or a form aimed at the node) may neither open, poll,
// cancel nor refresh a login, nor sign the node out; what only reads is served, and so is every
// other origin.
TEST(CrossSite, ChangingActionsAreRefusedBeforeAnyCliRuns) {
    const std::string refused =
        cgi::status_head("403 Forbidden") +
        "{\"ok\":false,\"error\":\"cross_site_request\",\"detail\":\"a page of another site sent "
        "this request (Sec-Fetch-Site: cross-site); start, poll, cancel, refresh and logout are "
        "refused to other sites\"}\n";
    const struct {
        const char* value;  // nullptr: no header
        bool cross;
    } sites[] = {
        {nullptr, false},
        {"same-origin", false},
        {"none", false},
        {"", false},
        {"cross-site", true},
        {"Cross-Site", true},
        {" cross-site\t", true},
        {"CROSS-SITE", true},
        {"cross-sites", false},
        {"cross site", false},
        {"cross-site, same-origin", false},
    };
    const struct {
        const char* query;
        bool changes;
    } requests[] = {
        {"action=start&force=1", true}, {"action=poll", true},   {"action=cancel", true},
        {"action=refresh", true},       {"action=logout", true}, {"action=status", false},
        {"action=accounts", false},     {"format=json", false},  {"", false},
    };
    cgi::host h;
    h.write("home/.codex/auth.json", "{}");
    // Both CLIs leave a mark on every run (the record of their arguments) and answer the
    // same whatever the request.
    cgi::stand_in same;
    same.other.out =
        "{\"ok\":true,\"state\":\"pending\",\"verify_url\":\"u\",\"user_code\":\"c\"}\n";
    const std::string cli = h.cli("cli", same);
    const std::string mark = cli + ".argv";
    h.env["CODEX_LOGIN_BIN"] = cli;
    h.env["CODEX_REFRESH_BIN"] = cli;
    for (const auto& r : requests) {
        h.env.erase("HTTP_SEC_FETCH_SITE");
        const cgi::result served = h.run(r.query);
        ASSERT_EQ(served.out.find("cross_site_request"), std::string::npos) << r.query;
        for (const auto& s : sites) {
            const std::string label =
                std::string(r.query) + " with " + (s.value ? s.value : "none");
            if (s.value != nullptr) {
                h.env["HTTP_SEC_FETCH_SITE"] = s.value;
            } else {
                h.env.erase("HTTP_SEC_FETCH_SITE");
            }
            h.remove(mark);
            const cgi::result res = h.run(r.query);
            if (s.cross && r.changes) {
                EXPECT_EQ(res.out, refused) << label;
                EXPECT_EQ(res.exit_code, 0) << label;
                EXPECT_FALSE(h.exists(mark)) << label << ": a CLI ran";
            } else {
                EXPECT_EQ(cgi::pin_clock(res.out), cgi::pin_clock(served.out)) << label;
                EXPECT_EQ(res.exit_code, served.exit_code) << label;
                // The page runs no CLI; every JSON answer here runs one.
                EXPECT_EQ(h.exists(mark), r.query[0] != '\0') << label;
            }
        }
    }
}

// The refusal comes after the password: a wrong password still gets the 401.
TEST(CrossSite, ThePasswordIsCheckedFirst) {
    cgi::host h;
    h.env["BOT_PASSWORD"] = "s3cret";
    h.env["HTTP_SEC_FETCH_SITE"] = "cross-site";
    EXPECT_EQ(h.run("action=start").out, cgi::unauthorized);
    EXPECT_EQ(h.run("action=start&pwd=s3cret").out.rfind("Status: 403 Forbidden\r\n", 0), 0u);
}

}  // namespace

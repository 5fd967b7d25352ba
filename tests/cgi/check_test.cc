// check_test.cc: credvane --check run from a shell over a table of node set-ups: the exit
// status, the verdict of the line concerned and the path, variable or program it names.
#include <gtest/gtest.h>

#include <functional>

#include "tests/cgi/check_report.h"
#include "tests/cgi/harness.h"

namespace {

const std::string status_ok = "{\"ok\":true,\"logged_in\":true}\n";
const std::string issuer_ok =
    "{\"ok\":true,\"issuer\":\"https://issuer.test\",\"proxy\":\"none\",\"ca\":\"the system's\","
    "\"status\":400}\n";

// A node that can sign in: both CLIs answer, the issuer answers, a valid credential file,
// a node password.
void sound_node(cgi::host& h) {
    cgi::stand_in login;
    login.first["--status"] = cgi::reply(status_ok);
    login.first["--version"] = cgi::reply("{\"ok\":true,\"version\":\"9.8.7\"}\n");
    login.first["--check-issuer"] = cgi::reply(issuer_ok);
    cgi::stand_in refresh;
    refresh.other = cgi::reply("{\"ok\":false,\"error\":\"usage\"}\n", 2);
    h.env["CODEX_LOGIN_BIN"] = h.cli("login", login);
    h.env["CODEX_REFRESH_BIN"] = h.cli("refresh", refresh);
    const std::string jwt = cgi::jwt_with_exp(4102444800);
    h.write("home/.codex/auth.json", "{\"tokens\":{\"id_token\":\"" + jwt +
                                         "\",\"access_token\":\"" + jwt +
                                         "\",\"refresh_token\":\"r\"}}");
    h.env["BOT_PASSWORD"] = "pw-never-shown";
}

TEST(Check, OneVerdictPerSetUpNamingWhatToMend) {
    struct row {
        std::string name;
        std::function<void(cgi::host&)> change;
        int exit_code;
        std::string check;
        std::string verdict;
        std::function<std::string(const cgi::host&)> named;  // what the line must name
    };
    const std::string expired = cgi::jwt_with_exp(1000000000);
    const row rows[] = {
        {"sound node", [](cgi::host&) {}, 0, "issuer", "passed",
         [](const cgi::host&) { return "https://issuer.test"; }},
        {"sound node's login CLI", [](cgi::host&) {}, 0, "login CLI", "passed",
         [](const cgi::host&) { return "version 9.8.7"; }},
        {"missing CLI", [](cgi::host& h) { h.env["CODEX_LOGIN_BIN"] = h.path("bin/nowhere"); }, 1,
         "login CLI", "failed", [](const cgi::host& h) { return h.path("bin/nowhere"); }},
        {"CLI that prints no JSON",
         [](cgi::host& h) {
             cgi::stand_in talker;
             talker.other = cgi::reply("Usage: talker [options]\n");
             h.env["CODEX_LOGIN_BIN"] = h.cli("talker", talker);
         },
         1, "login CLI", "failed", [](const cgi::host&) { return "printed no JSON line"; }},
        {"file without id_token",
         [](cgi::host& h) {
             h.write("home/.codex/auth.json", "{\"tokens\":{\"access_token\":\"a\"}}");
         },
         1, "credentials", "failed",
         [](const cgi::host& h) { return h.path("home/.codex/auth.json") + " (from "; }},
        {"expired token",
         [&](cgi::host& h) {
             h.write("home/.codex/auth.json", "{\"tokens\":{\"id_token\":\"" + expired +
                                                  "\",\"access_token\":\"" + expired +
                                                  "\",\"refresh_token\":\"r\"}}");
         },
         0, "credentials", "warned", [](const cgi::host&) { return "the token expired "; }},
        {"no file", [](cgi::host& h) { h.remove(h.path("home/.codex/auth.json")); }, 0,
         "credentials", "warned", [](const cgi::host&) { return "not signed in (no file)"; }},
        {"unreachable issuer",
         [](cgi::host& h) {
             cgi::stand_in login;
             login.first["--status"] = cgi::reply(status_ok);
             login.first["--check-issuer"] = cgi::reply(
                 "{\"ok\":false,\"error\":\"unreachable\",\"issuer\":\"https://issuer.test\","
                 "\"detail\":\"the issuer could not be reached (SSL peer certificate or SSH "
                 "remote key was not OK)\",\"proxy\":\"none\",\"ca\":\"the system's\"}\n",
                 1);
             h.env["CODEX_LOGIN_BIN"] = h.cli("login", login);
         },
         1, "issuer", "failed", [](const cgi::host&) { return "CREDVANE_CA_FILE"; }},
        {"login CLI without the issuer check",
         [](cgi::host& h) {
             cgi::stand_in login;
             login.first["--status"] = cgi::reply(status_ok);
             login.other = cgi::reply("{\"ok\":false,\"error\":\"usage\"}\n", 2);
             h.env["CODEX_LOGIN_BIN"] = h.cli("login", login);
         },
         0, "issuer", "warned", [](const cgi::host&) { return "--check-issuer"; }},
        {"password set", [](cgi::host&) {}, 0, "node password", "passed",
         [](const cgi::host&) { return "set (not shown)"; }},
        {"no password", [](cgi::host& h) { h.env.erase("BOT_PASSWORD"); }, 0, "node password",
         "warned", [](const cgi::host&) { return "BOT_PASSWORD"; }},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        cgi::host h;
        sound_node(h);
        r.change(h);
        const cgi::result res = h.run_args({"--check"});
        EXPECT_EQ(res.exit_code, r.exit_code) << res.out;
        EXPECT_EQ(res.err, "");
        const std::string line = cgi::check_line_of(res.out, r.check);
        EXPECT_EQ(line.rfind(r.verdict + "  ", 0), 0u) << res.out;
        EXPECT_NE(line.find(r.named(h)), std::string::npos) << line;
        // The password is never shown, whatever the check finds.
        EXPECT_EQ(res.out.find("pw-never-shown"), std::string::npos);
        // A failure always says what to do.
        if (r.verdict == "failed") {
            EXPECT_NE(line.find("\n        to do: "), std::string::npos) << res.out;
        }
    }
}

// The sound node fails nothing; the JSON document carries the same verdicts, and the run
// wrote nothing into the node's folders.
TEST(Check, JsonDocumentAndNothingWritten) {
    cgi::host h;
    sound_node(h);
    const cgi::result text = h.run_args({"--check"});
    EXPECT_EQ(text.out.find("failed  "), std::string::npos) << text.out;
    const cgi::result res = h.run_args({"--check", "--json"});
    EXPECT_EQ(res.exit_code, 0);
    EXPECT_EQ(res.out.rfind("{\"ok\":true,\"passed\":", 0), 0u) << res.out;
    EXPECT_NE(res.out.find("{\"check\":\"issuer\",\"result\":\"passed\",\"detail\":\""),
              std::string::npos)
        << res.out;
    EXPECT_EQ(res.out.find("pw-never-shown"), std::string::npos);
    EXPECT_EQ(res.out.back(), '\n');
    for (const char* made : {"home/.claude", "home/.codex/accounts", "home/.codex/auth.lock"}) {
        EXPECT_FALSE(h.exists(h.path(made)) || h.is_folder(h.path(made))) << made;
    }
    // A named account is checked in its own file.
    const cgi::result named = h.run_args({"--check", "--account", "work"});
    EXPECT_NE(
        cgi::check_line_of(named.out, "credentials").find(h.path("home/.codex/accounts/work.json")),
        std::string::npos)
        << named.out;
    EXPECT_EQ(h.run_args({"--check", "--account", "../x"}).exit_code, 2);
}

// Under a host the arguments are the request's: "--check" there picks no mode.
TEST(Check, UnderAHostTheRequestIsServed) {
    cgi::host h;
    h.env["GATEWAY_INTERFACE"] = "CGI/1.1";
    const cgi::result res = h.run("action=status", {"--check"});
    EXPECT_TRUE(cgi::is_status_answer(res.out)) << res.out;
    const cgi::result page = h.run("--check", {"--check"});
    EXPECT_EQ(page.out.rfind("Content-Type: text/html; charset=utf-8\r\n", 0), 0u);
}

}  // namespace

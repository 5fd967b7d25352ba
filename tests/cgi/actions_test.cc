// actions_test.cc: every outcome of the start, poll, cancel and refresh actions, driven
// by scripted stand-in CLIs.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/cgi/harness.h"

namespace {

// A login CLI whose "--status" answers status_line and whose other runs run body.
// Every run appends its arguments to bin/login.argv.
std::string login_cli(cgi::host& h, const std::string& body,
                      const std::string& status_line = "{\"ok\":true}") {
    return h
        .script(
            "login",
            "for a in \"$@\"; do printf '<%s>' \"$a\"; done >> \"$0.argv\"; echo >> \"$0.argv\"\n"
            "if [ \"$1\" = --status ]; then echo '" +
                status_line + "'; exit 0; fi\n" + body + "\n")
        .string();
}

const std::string fffd = "\xEF\xBF\xBD";  // U+FFFD REPLACEMENT CHARACTER

struct outcome {
    std::string name;
    std::string cli_body;  // what the CLI does on the action's own run
    std::string head;      // "" for the plain JSON header block, else "200 OK" etc.
    std::string body;
    int exit_code;
};

void expect_outcome(const cgi::result& res, const outcome& o) {
    const std::string head = o.head.empty() ? cgi::json_head : cgi::status_head(o.head);
    EXPECT_EQ(res.out, head + o.body) << o.name;
    EXPECT_EQ(res.exit_code, o.exit_code) << o.name;
    EXPECT_EQ(res.err, "") << o.name;
}

TEST(Start, EveryOutcome) {
    const outcome rows[] = {
        {"ill-formed UTF-8 from the CLI",
         "printf '{\"ok\":true,\"verify_url\":\"https://x/\\351\",\"user_code\":\"AB\\377\"}\\n'",
         "",
         "{\"ok\":true,\"flow\":\"device_code\",\"verify_url\":\"https://x/" + fffd +
             "\",\"user_code\":\"AB" + fffd +
             "\",\"expires_in\":900,\"interval\":5,\"pending\":true,\"provider\":\"codex\"}\n",
         0},
        {"no JSON line", "echo working; echo ' {\"ok\":true}'", "502 Bad Gateway",
         "{\"ok\":false,\"error\":\"start_failed\",\"detail\":\"the login CLI produced no JSON; "
         "check its output\"}\n",
         1},
        {"not found on the action's run", "exit 127", "200 OK",
         "{\"ok\":false,\"error\":\"cli_unavailable\",\"detail\":\"could not run the login "
         "CLI\"}\n",
         0},
        {"started, defaults",
         "echo "
         "'{\"ok\":true,\"verify_url\":\"https://x/"
         "device?c=1&d=2\",\"user_code\":\"AB-12\",\"interval\":0,\"expires_in\":-4}'",
         "",
         "{\"ok\":true,\"flow\":\"device_code\",\"verify_url\":\"https://x/device?c=1&d=2\","
         "\"user_code\":\"AB-12\",\"expires_in\":900,\"interval\":5,\"pending\":true,\"provider\":"
         "\"codex\"}\n",
         0},
        {"started without ok, trailing text",
         "echo '{\"verify_url\":\"u\",\"user_code\":\"c\",\"interval\":3,\"expires_in\":600}'; "
         "echo 'bye'",
         "",
         "{\"ok\":true,\"flow\":\"device_code\",\"verify_url\":\"u\",\"user_code\":\"c\","
         "\"expires_in\":600,\"interval\":3,\"pending\":true,\"provider\":\"codex\"}\n",
         0},
        {"empty user code", "echo '{\"ok\":true,\"verify_url\":\"u\",\"user_code\":\"\"}'",
         "502 Bad Gateway",
         "{\"ok\":false,\"error\":\"start_incomplete\",\"detail\":\"login CLI did "
         "not return a verify url and user code\"}\n",
         1},
        {"exists", "echo '{\"ok\":false,\"error\":\"exists\"}'", "",
         "{\"ok\":true,\"already_logged_in\":true,\"pending\":false,\"error\":\"already_logged_"
         "in\","
         "\"detail\":\"credentials already exist\",\"logged_in\":false,\"hint\":\"pass force=1 to "
         "replace the existing session\"}\n",
         0},
        {"exists with detail",
         "echo '{\"ok\":false,\"error\":\"exists\",\"detail\":\"have \\\"one\\\"\"}'", "",
         "{\"ok\":true,\"already_logged_in\":true,\"pending\":false,\"error\":\"already_logged_"
         "in\","
         "\"detail\":\"have \\\"one\\\"\",\"logged_in\":false,\"hint\":\"pass force=1 to "
         "replace the existing session\"}\n",
         0},
        {"failed without error", "echo '{\"ok\":false,\"error\":\"\"}'", "200 OK",
         "{\"ok\":false,\"error\":\"start_failed\"}\n", 0},
        {"failed with error and detail",
         "echo '{\"ok\":\"false\",\"error\":\"rate_limited\",\"detail\":\"slow down\"}'", "200 OK",
         "{\"ok\":false,\"error\":\"rate_limited\",\"detail\":\"slow down\"}\n", 0},
    };
    for (const outcome& o : rows) {
        cgi::host h;
        h.env["CODEX_LOGIN_BIN"] = login_cli(h, o.cli_body);
        expect_outcome(h.run("action=start"), o);
    }
}

TEST(Start, NoCliAndArguments) {
    cgi::host h;
    expect_outcome(
        h.run("action=start"),
        {"no CLI", "", "200 OK",
         "{\"ok\":false,\"error\":\"cli_unavailable\",\"detail\":\"quenlo-codex-login is "
         "not on this node; install QUENLO CODE or set CODEX_LOGIN_BIN\"}\n",
         0});
    h.env["CODEX_LOGIN_BIN"] = login_cli(h, "echo '{\"ok\":false,\"error\":\"exists\"}'",
                                         "{\"ok\":true,\"logged_in\":true}");
    const std::string out = h.run("action=start&force=true&account=work").out;
    EXPECT_NE(out.find("\"logged_in\":true,\"hint\""), std::string::npos) << out;
    h.run("action=start&force=TRUE");
    h.run("action=start&force=1");
    EXPECT_EQ(h.read(h.root / "bin" / "login.argv"),
              "<--status><--name><work>\n<--start><--force><--name><work>\n"
              "<--status>\n<--start>\n<--status>\n<--start><--force>\n");
}

TEST(Poll, EveryOutcome) {
    const outcome rows[] = {
        {"no JSON, not logged in", "echo nothing here", "502 Bad Gateway",
         "{\"ok\":false,\"error\":\"poll_failed\",\"detail\":\"login CLI produced no JSON\"}\n", 1},
        {"not found on the action's run", "exit 126", "200 OK",
         "{\"ok\":false,\"error\":\"cli_unavailable\",\"detail\":\"quenlo-codex-login is not on "
         "this node\"}\n",
         0},
        {"pending without ok is a failure", "echo '{\"state\":\"pending\"}'", "",
         "{\"ok\":true,\"state\":\"failed\",\"error\":\"poll_failed\",\"pending\":false}\n", 0},
        {"denied", "echo '{\"ok\":false,\"error\":\"access_denied\",\"detail\":\"user said no\"}'",
         "",
         "{\"ok\":true,\"state\":\"failed\",\"error\":\"access_denied\",\"detail\":\"user said "
         "no\",\"pending\":false}\n",
         0},
        {"pending, no interval", "echo '{\"ok\":true,\"state\":\"pending\"}'", "",
         "{\"ok\":true,\"state\":\"pending\",\"interval\":5,\"pending\":true}\n", 0},
        {"pending, negative interval", "echo '{\"ok\":true,\"state\":\"pending\",\"interval\":-3}'",
         "", "{\"ok\":true,\"state\":\"pending\",\"interval\":5,\"pending\":true}\n", 0},
        {"pending, interval 2", "echo '{\"ok\":true,\"state\":\"pending\",\"interval\":2}'", "",
         "{\"ok\":true,\"state\":\"pending\",\"interval\":2,\"pending\":true}\n", 0},
        // The answer says charset=utf-8: what a CLI prints in Latin-1, or cut inside a
        // character, leaves as U+FFFD, one for each maximal ill-formed piece.
        {"ill-formed UTF-8 from the CLI",
         "printf '{\"ok\":false,\"error\":\"caf\\351\",\"detail\":\"\\300\\257 \\355\\240\\200 "
         "\\342\\202\\254 \\360\\237\\230\"}\\n'",
         "",
         "{\"ok\":true,\"state\":\"failed\",\"error\":\"caf" + fffd + "\",\"detail\":\"" + fffd +
             fffd + " " + fffd + fffd + fffd + " \xE2\x82\xAC " + fffd + "\",\"pending\":false}\n",
         0},
    };
    for (const outcome& o : rows) {
        cgi::host h;
        h.env["CODEX_LOGIN_BIN"] = login_cli(h, o.cli_body);
        expect_outcome(h.run("action=poll"), o);
    }
}

TEST(Poll, DoneAnswersCarryTheFreshStatus) {
    // Every "done" answer has the very form of the status answer.
    const std::string done_states[] = {"echo '{\"ok\":true}'",
                                       "echo '{\"ok\":true,\"state\":\"Pending\"}'",
                                       "echo '{\"ok\":1,\"state\":\"done\"}'"};
    for (const std::string& body : done_states) {
        cgi::host h;
        h.env["CODEX_LOGIN_BIN"] = login_cli(h, body);
        const cgi::result res = h.run("action=poll");
        EXPECT_EQ(res.out, h.run("action=status").out) << body;
        EXPECT_EQ(res.exit_code, 0);
    }
    // The CLI writes the credential file during the poll: the pending answer says so.
    cgi::host h;
    const std::string creds = (h.home / ".codex" / "auth.json").string();
    h.env["CODEX_LOGIN_BIN"] =
        login_cli(h, "mkdir -p \"$HOME/.codex\"; echo '{\"access_token\":\"t\"}' > \"" + creds +
                         "\"; echo '{\"ok\":true,\"state\":\"pending\",\"interval\":7}'");
    expect_outcome(
        h.run("action=poll"),
        {"pending, then logged in", "", "",
         "{\"ok\":true,\"state\":\"pending\",\"interval\":7,\"pending\":true,\"logged_in\":true}\n",
         0});
    // Credentials that were there before the poll and are unchanged are no news: a re-login
    // of a signed-in account stays pending until its own credentials arrive.
    h.env["CODEX_LOGIN_BIN"] = login_cli(h, "echo '{\"ok\":true,\"state\":\"pending\",\"interval\":7}'");
    expect_outcome(h.run("action=poll"),
                   {"pending, signed in before", "", "",
                    "{\"ok\":true,\"state\":\"pending\",\"interval\":7,\"pending\":true}\n", 0});
    // The re-login's new token, written during the poll, is news again.
    h.env["CODEX_LOGIN_BIN"] = login_cli(
        h, "echo '{\"tokens\":{\"access_token\":\"x.eyJleHAiOjQxMDI0NDQ4MDB9.s\"}}' > \"" + creds +
               "\"; echo '{\"ok\":true,\"state\":\"pending\",\"interval\":7}'");
    expect_outcome(
        h.run("action=poll"),
        {"pending, signed in again", "", "",
         "{\"ok\":true,\"state\":\"pending\",\"interval\":7,\"pending\":true,\"logged_in\":true}\n",
         0});
    // No JSON while the first status already shows a login: done from that status.
    h.env["CODEX_LOGIN_BIN"] = login_cli(h, "echo no json");
    // A second can pass between the two runs: compare without the clock figures.
    EXPECT_EQ(cgi::pin_clock(h.run("action=poll").out), cgi::pin_clock(h.run("action=status").out));
}

TEST(Cancel, EveryOutcome) {
    const std::string cancelled_prefix = "{\"ok\":true,\"state\":\"cancelled\",";
    struct row {
        std::string name;
        std::string cli_body;
        bool cancelled;  // else the cancel_failed answer
    };
    const row rows[] = {
        {"no output", "true", true},
        {"last line ok", "echo '{\"ok\":false}'; echo '{\"ok\":true}'", true},
        {"no ok field, odd exit", "echo '{\"state\":\"x\"}'; exit 3", true},
        {"rejected", "echo '{\"ok\":false,\"error\":\"nope\",\"detail\":\"hidden\"}'", false},
    };
    for (const row& r : rows) {
        cgi::host h;
        h.env["CODEX_LOGIN_BIN"] = login_cli(h, r.cli_body);
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
    h.env["CODEX_LOGIN_BIN"] = login_cli(h, "exit 127");
    EXPECT_EQ(h.run("action=cancel").out,
              cgi::status_head("200 OK") +
                  "{\"ok\":false,\"error\":\"cli_unavailable\",\"detail\":"
                  "\"quenlo-codex-login is not on this node\"}\n");
}

TEST(Cancel, WithoutCliRemovesOnlyAMarkerFile) {
    const std::string fixed =
        cgi::json_head +
        "{\"ok\":true,\"state\":\"cancelled\",\"pending\":false,\"cli_present\":false}\n";
    cgi::host h;
    const auto work = h.write("home/.claude/.login-pending/codex-work.json", "{\"created\":1}");
    const auto other = h.write("home/.claude/.login-pending/codex-default.json", "{}");
    EXPECT_EQ(h.run("action=cancel&account=work").out, fixed);
    EXPECT_FALSE(std::filesystem::exists(work));
    EXPECT_TRUE(std::filesystem::exists(other));
    EXPECT_EQ(h.run("action=cancel&account=none").out, fixed);
    std::filesystem::create_directories(h.home / ".claude/.login-pending/codex-dir.json");
    EXPECT_EQ(h.run("action=cancel&account=dir").out, fixed);
    EXPECT_TRUE(std::filesystem::is_directory(h.home / ".claude/.login-pending/codex-dir.json"));
}

TEST(Refresh, EveryOutcome) {
    const std::string old_token = cgi::jwt_with_exp(4000000000LL);
    const std::string new_token = cgi::jwt_with_exp(4000003600LL);
    auto file_with = [](const std::string& token) {
        return "{\"tokens\":{\"access_token\":\"" + token + "\",\"refresh_token\":\"r\"}}";
    };
    struct row {
        std::string name;
        std::string before;     // the credential file before the run
        std::string rewritten;  // what the refresh CLI writes ("" leaves it alone)
        int cli_exit;
        bool refreshed;
    };
    const row rows[] = {
        {"expiry grew", file_with(old_token), file_with(new_token), 0, true},
        {"grew but CLI exits 1", file_with(old_token), file_with(new_token), 1, true},
        {"unchanged", file_with(old_token), "", 0, false},
        {"emptied", file_with(old_token), "{}", 0, false},
        {"no expiry known before", "{\"access_token\":\"opaque\"}", "", 0, true},
    };
    const std::string failed =
        "{\"ok\":false,\"error\":\"refresh_failed\",\"detail\":\"the refresh CLI did not extend "
        "the "
        "token in the credential file; sign in again\"}\n";
    for (const row& r : rows) {
        cgi::host h;
        const auto creds = h.write("home/.codex/auth.json", r.before);
        h.write("new.json", r.rewritten);
        h.env["CODEX_REFRESH_BIN"] =
            h.script("refresh",
                     "echo 'some text'\n" +
                         (r.rewritten.empty()
                              ? std::string()
                              : "cp \"" + (h.root / "new.json").string() + "\" \"$2\"\n") +
                         "exit " + std::to_string(r.cli_exit) + "\n")
                .string();
        const cgi::result res = h.run("action=refresh");
        if (r.refreshed) {
            const std::string status = h.run("action=status").out;
            EXPECT_EQ(cgi::pin_clock(res.out),
                      cgi::pin_clock(cgi::json_head + "{\"ok\":true,\"refreshed\":true," +
                                     status.substr(status.find("\"logged_in\""))))
                << r.name;
            EXPECT_EQ(res.exit_code, 0) << r.name;
        } else {
            EXPECT_EQ(res.out, cgi::json_head + failed) << r.name;
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
    h.env["CODEX_LOGIN_BIN"] = login_cli(h, "true");
    h.env["CODEX_REFRESH_BIN"] = "";  // empty: the default command, which is not here
    EXPECT_EQ(h.run("action=refresh&account=work").out, no_creds);
    std::filesystem::create_directories(h.home / ".codex/auth.json");
    EXPECT_EQ(h.run("action=refresh").out, no_creds);
    // Neither CLI ran for a missing file.
    EXPECT_FALSE(std::filesystem::exists(h.root / "bin" / "login.argv"));
    h.write("home/.codex/accounts/work.json", "{\"access_token\":\"x\"}");
    const cgi::result res = h.run("action=refresh&account=work");
    EXPECT_EQ(res.out, no_cli);
    EXPECT_EQ(res.exit_code, 1);
}

}  // namespace

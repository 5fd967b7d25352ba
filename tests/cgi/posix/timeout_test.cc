// timeout_test.cc: a CLI that never ends cannot hold a request: each run is bounded by
// CREDVANE_CLI_TIMEOUT, the CLI is ended with everything it started, and the answer says
// the CLI timed out.
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "tests/cgi/harness.h"

namespace {

// A generous bound that only a run waiting for the CLI's own end (30 s sleeps) can break.
constexpr double bound_seconds = 10.0;

// Answers "--status" at once and sleeps on every other command, the way a CLI stuck on a
// network call would.
const std::string hangs_after_status =
    "case \"$1\" in --status) echo '{\"ok\":true}' ;; *) sleep 30 ;; esac\n";

struct timed_run {
    cgi::result res;
    double seconds = 0;
};

timed_run run_timed(const cgi::host& h, const std::string& query) {
    const auto t0 = std::chrono::steady_clock::now();
    timed_run r{h.run(query)};
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return r;
}

void bound_runs_to_one_second(cgi::host& h) {
    // A std::string, not the bare literal: GCC 12 takes the literal's inlined copy into the
    // fresh map entry for an overlapping memcpy (-Wrestrict) in optimised builds.
    h.env["CREDVANE_CLI_TIMEOUT"] = std::string("1");
}

std::string error_answer(const std::string& status, const std::string& code,
                         const std::string& detail) {
    return cgi::status_head(status) + "{\"ok\":false,\"error\":\"" + code + "\",\"detail\":\"" +
           detail + "\"}\n";
}

// True when pid names no live process (gone, or a zombie nobody has reaped yet).
bool process_gone(int pid) {
    if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t paren = line.rfind(')');
    return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] == 'Z';
}

TEST(Timeout, EveryActionSaysTheCliTimedOut) {
    struct row {
        std::string query;
        std::string login;    // the login CLI's script
        std::string refresh;  // the refresh CLI's script, empty for none
        std::string expected;
        int exit_code;
    };
    const row rows[] = {
        {"action=start", hangs_after_status, "",
         error_answer("500 Internal Server Error", "cli_unavailable", "the login CLI timed out"),
         1},
        {"action=poll", hangs_after_status, "",
         error_answer("500 Internal Server Error", "poll_failed", "the login CLI timed out"), 1},
        // A cancel that overstayed may not have happened, so it is no success.
        {"action=cancel", hangs_after_status, "",
         error_answer("200 OK", "cancel_failed", "the login CLI timed out"), 1},
        {"action=refresh", hangs_after_status, "sleep 30\n",
         error_answer("200 OK", "cli_unavailable", "the refresh CLI timed out"), 1},
    };
    for (const row& r : rows) {
        cgi::host h;
        bound_runs_to_one_second(h);
        h.write("home/.codex/auth.json", "{\"tokens\":{\"access_token\":\"x\"}}");
        h.env["CODEX_LOGIN_BIN"] = h.script("login", r.login);
        if (!r.refresh.empty()) h.env["CODEX_REFRESH_BIN"] = h.script("refresh", r.refresh);
        const timed_run t = run_timed(h, r.query);
        EXPECT_EQ(t.res.out, r.expected) << r.query;
        EXPECT_EQ(t.res.exit_code, r.exit_code) << r.query;
        EXPECT_EQ(t.res.err, "") << r.query;
        EXPECT_LT(t.seconds, bound_seconds) << r.query;
    }
}

// A login CLI that hangs on its status run is installed: no action may tell the operator to
// install it, and the refresh action may not blame the refresh CLI, which never ran.
TEST(Timeout, ALoginCliHungOnStatusIsNamedAsHung) {
    struct row {
        std::string query;
        std::string code;
        std::string detail_tail;
    };
    const row rows[] = {
        {"action=start", "cli_unavailable", ""},
        {"action=poll", "cli_unavailable", ""},
        {"action=refresh", "cli_unavailable", "; no time was left to run the refresh CLI"},
    };
    for (const row& r : rows) {
        cgi::host h;
        bound_runs_to_one_second(h);
        h.write("home/.codex/auth.json", "{\"tokens\":{\"access_token\":\"x\"}}");
        h.env["CODEX_LOGIN_BIN"] = h.script("login", "sleep 30\n");
        h.env["CODEX_REFRESH_BIN"] = h.script("refresh", "echo '{}'\n");
        const timed_run t = run_timed(h, r.query);
        EXPECT_EQ(t.res.out, error_answer("200 OK", r.code,
                                          "the login CLI timed out (" + h.env["CODEX_LOGIN_BIN"] +
                                              ")" + r.detail_tail))
            << r.query;
        EXPECT_LT(t.seconds, bound_seconds) << r.query;
    }
}

TEST(Timeout, StatusReportsTheCliAsTimedOut) {
    cgi::host h;
    bound_runs_to_one_second(h);
    h.env["CODEX_LOGIN_BIN"] = h.script("login", "sleep 30\n");
    const timed_run t = run_timed(h, "action=status");
    EXPECT_EQ(t.res.exit_code, 0);
    EXPECT_LT(t.seconds, bound_seconds);
    EXPECT_NE(t.res.out.find(",\"cli_present\":false,"), std::string::npos) << t.res.out;
    EXPECT_NE(t.res.out.find(",\"cli_error\":\"the login CLI timed out (" +
                             h.env["CODEX_LOGIN_BIN"] + ")\","),
              std::string::npos)
        << t.res.out;
}

TEST(Timeout, ABackgroundChildHoldingTheOutputEndsWithTheRun) {
    cgi::host h;
    bound_runs_to_one_second(h);
    // The CLI answers and exits, but leaves a child behind that keeps its standard output
    // open: the answer is the CLI's, at once, and the child ends with the run.
    const std::string pid_file = h.path("sleeper.pid");
    h.env["CODEX_LOGIN_BIN"] =
        h.script("login",
                 "case \"$1\" in --status) echo '{\"ok\":true}' ;;\n"
                 "*) sh -c 'echo $$ > \"" +
                     pid_file +
                     "\"; exec sleep 30' &\n"
                     "   while [ ! -s \"" +
                     pid_file +
                     "\" ]; do sleep 0.01; done\n"
                     "   echo '{\"ok\":true,\"verify_url\":\"https://x\",\"user_code\":\"C\"}' ;;\n"
                     "esac\n");
    const timed_run t = run_timed(h, "action=start");
    EXPECT_EQ(t.res.out, cgi::json_head +
                             "{\"ok\":true,\"flow\":\"device_code\",\"verify_url\":\"https://"
                             "x\",\"user_code\":\"C\",\"expires_in\":900,\"interval\":5,"
                             "\"pending\":true,\"provider\":\"codex\"}\n");
    EXPECT_LT(t.seconds, bound_seconds);

    const std::string pid_text = h.read(pid_file);
    ASSERT_FALSE(pid_text.empty());
    const int pid = std::stoi(pid_text);
    bool gone = false;
    for (int i = 0; i < 50 && !gone; ++i) {
        gone = process_gone(pid);
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(gone) << "the background sleeper " << pid << " outlived the request";
    if (!gone) ::kill(pid, SIGKILL);
}

}  // namespace

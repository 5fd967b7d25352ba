// sec_test.cc: what a hostile request, host or CLI cannot make the node do: act for another
// site, hand a CLI the password, poll back to back, read without end, use a cut path, lose
// a flow to a slow CLI, pick a mode by the query, or pile up CLI runs for one account.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <string>

#include "tests/cgi/harness.h"

namespace {

namespace fs = std::filesystem;

bool has(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

// A CLI for both roles that leaves a mark on every run and answers as a pending login.
std::string marking_cli(cgi::host& h) {
    return h.script(
        "cli",
        "touch \"$0.ran\"\n"
        "echo '{\"ok\":true,\"state\":\"pending\",\"verify_url\":\"u\",\"user_code\":\"c\"}'\n");
}

// Browsers leave out Sec-Fetch-Site over plain HTTP, and send "Origin: null" for a form of
// a sandboxed or opaque page; a sibling subdomain is "same-site". None of them is the
// panel, which is same-origin on both its routes.
TEST(OtherSites, SameSiteAndOpaqueOriginsAreRefusedBeforeAnyCliRuns) {
    struct row {
        const char* fetch_site;  // nullptr: no header
        const char* origin;      // nullptr: no header
        const char* refused_as;  // nullptr: served
    };
    const row rows[] = {
        {"same-site", nullptr, "Sec-Fetch-Site: same-site"},
        {" Same-Site ", nullptr, "Sec-Fetch-Site: same-site"},
        {nullptr, "null", "Origin: null"},
        {nullptr, " NULL\t", "Origin: null"},
        {"cross-site", "null", "Sec-Fetch-Site: cross-site"},
        {"same-origin", "null", "Origin: null"},
        {"same-site", "https://node.example", "Sec-Fetch-Site: same-site"},
        // The panel, a hub's proxy (Host rewritten, Origin forwarded) and scripts.
        {"same-origin", "https://hub.example", nullptr},
        {nullptr, "https://hub.example", nullptr},
        {"same-origin", nullptr, nullptr},
        {"none", nullptr, nullptr},
        {nullptr, "nullx", nullptr},
        {nullptr, "", nullptr},
        {nullptr, nullptr, nullptr},
    };
    cgi::host h;
    h.write("home/.codex/auth.json", "{}");
    const std::string cli = marking_cli(h);
    const fs::path mark = cli + ".ran";
    h.env["CODEX_LOGIN_BIN"] = cli;
    h.env["CODEX_REFRESH_BIN"] = cli;
    for (const char* query : {"action=start&force=1", "action=poll", "action=cancel",
                              "action=refresh", "action=logout"}) {
        for (const row& r : rows) {
            const std::string label = std::string(query) + " Sec-Fetch-Site " +
                                      (r.fetch_site ? r.fetch_site : "-") + " Origin " +
                                      (r.origin ? r.origin : "-");
            h.env.erase("HTTP_SEC_FETCH_SITE");
            h.env.erase("HTTP_ORIGIN");
            if (r.fetch_site) h.env["HTTP_SEC_FETCH_SITE"] = r.fetch_site;
            if (r.origin) h.env["HTTP_ORIGIN"] = r.origin;
            fs::remove(mark);
            const cgi::result res = h.run(query);
            if (r.refused_as != nullptr) {
                EXPECT_EQ(res.out, cgi::status_head("403 Forbidden") +
                                       "{\"ok\":false,\"error\":\"cross_site_request\",\"detail\":"
                                       "\"a page of another site sent this request (" +
                                       r.refused_as +
                                       "); start, poll, cancel, refresh and logout are refused "
                                       "to other sites\"}\n")
                    << label;
                EXPECT_FALSE(fs::exists(mark)) << label << ": a CLI ran";
                EXPECT_EQ(res.exit_code, 0) << label;
            } else {
                EXPECT_FALSE(has(res.out, "cross_site_request")) << label;
                EXPECT_TRUE(fs::exists(mark)) << label << ": no CLI ran";
            }
        }
    }
    // What only reads stays served to every one of them.
    for (const row& r : rows) {
        h.env.erase("HTTP_SEC_FETCH_SITE");
        h.env.erase("HTTP_ORIGIN");
        if (r.fetch_site) h.env["HTTP_SEC_FETCH_SITE"] = r.fetch_site;
        if (r.origin) h.env["HTTP_ORIGIN"] = r.origin;
        EXPECT_FALSE(has(h.run("action=status").out, "cross_site_request"));
        EXPECT_FALSE(has(h.run("").out, "cross_site_request"));
    }
}

// A CLI gets what it needs and what the operator lists, never a host's own copy of the
// request, and no copy of the password under any name.
TEST(CliEnvironment, OnlyTheAllowlistAndTheOperatorsNamesReachTheCli) {
    const std::string pw = "p@ss w:rd&1";
    const std::string encoded = "p%40ss%20w%3ard%261";
    cgi::host h;
    const fs::path seen = fs::path(h.root) / "seen";
    h.env["CODEX_LOGIN_BIN"] =
        h.script("login", "env > '" + seen.string() + "'\necho '{\"ok\":true}'\n");
    h.env["BOT_PASSWORD"] = pw;
    h.env["HTTP_X_BOT_PASSWORD"] = pw;
    h.env["LANG"] = "C.UTF-8";
    h.env["CODEX_HOME"] = "/srv/codex";
    h.env["https_proxy"] = "http://proxy.invalid:3128";
    h.env["X_ORIGINAL_URI"] = "/credvane?action=status&pwd=" + encoded;
    h.env["X_AUTH"] = "Bearer " + encoded;
    h.env["X_COPY"] = "Bearer " + pw;
    h.env["NODE_NAME"] = "n1";
    h.env["EXTRA_SETTING"] = "kept";
    h.env["CREDVANE_CLI_ENV"] = "EXTRA_SETTING, X_AUTH X_COPY,HTTP_X_BOT_PASSWORD,BOT_PASSWORD";
    // The header passes; the query carries the password as the panel sends it.
    const cgi::result ok = h.run("action=status&pwd=" + encoded);
    ASSERT_TRUE(has(ok.out, "\"state\":\"done\"")) << ok.out;
    const std::string env = h.read(seen.string());
    for (const std::string kept :
         {"PATH=/usr/bin:/bin\n", "HOME=", "LANG=C.UTF-8\n", "CODEX_HOME=/srv/codex\n",
          "https_proxy=http://proxy.invalid:3128\n", "EXTRA_SETTING=kept\n", "CODEX_LOGIN_BIN="}) {
        EXPECT_TRUE(has(env, kept)) << kept << " is missing from\n" << env;
    }
    for (const std::string gone : {"X_ORIGINAL_URI=", "X_AUTH=", "X_COPY=", "NODE_NAME=",
                                   "HTTP_X_BOT_PASSWORD=", "BOT_PASSWORD=", "QUERY_STRING="}) {
        EXPECT_FALSE(has(env, gone)) << gone << " reached the CLI:\n" << env;
    }
    EXPECT_FALSE(has(env, pw)) << env;
    EXPECT_FALSE(has(env, encoded)) << env;
}

// The panel turns the interval into a timer in milliseconds; a figure beyond an hour, or
// one that wraps in 32 bits, must not reach it.
TEST(Interval, StartAndPollAnswersHoldItToOneSecondToAnHour) {
    struct row {
        std::string from_cli;  // the "interval" member, as the CLI prints it
        int answered;
    };
    const row rows[] = {
        {"1", 1},
        {"3600", 3600},
        {"3601", 3600},
        {"86400", 3600},
        {"2147483648", 3600},
        {"4294967296", 3600},
        {"4294967301", 3600},
        {"1e12", 1},
        {"0", 5},
        {"-7", 5},
        {"\"x\"", 5},
    };
    for (const row& r : rows) {
        cgi::host h;
        h.env["CODEX_LOGIN_BIN"] =
            h.script("login",
                     "case \"$1\" in --status) echo '{\"ok\":true}' ;;\n"
                     "--start) echo '{\"ok\":true,\"verify_url\":\"u\",\"user_code\":\"c\","
                     "\"interval\":" +
                         r.from_cli +
                         "}' ;;\n"
                         "--poll) echo '{\"ok\":true,\"state\":\"pending\",\"interval\":" +
                         r.from_cli + "}' ;;\nesac\n");
        const std::string want = "\"interval\":" + std::to_string(r.answered) + ",";
        EXPECT_TRUE(has(h.run("action=start").out, want)) << r.from_cli;
        EXPECT_TRUE(has(h.run("action=poll").out, want)) << r.from_cli;
    }
}

// NUL bytes are bytes: a CLI that writes nothing else reaches the capture's limit as fast
// as any other, instead of being read until the request's CLI time is up.
TEST(Capture, NulBytesCountAgainstTheLimit) {
    for (const std::string body :
         {"exec cat /dev/zero", "printf '{\"ok\":true}\\n'; exec cat /dev/zero"}) {
        cgi::host h;
        h.env["CREDVANE_CLI_TIMEOUT"] = "20";
        h.env["CODEX_LOGIN_BIN"] = h.script("login", body + "\n");
        const cgi::result res = h.run("action=status");
        EXPECT_TRUE(has(res.out, "\"cli_present\":true,")) << body << "\n" << res.out;
        EXPECT_FALSE(has(res.out, "timed out")) << body << "\n" << res.out;
    }
}

// A path longer than the path buffer would be cut into another file's path: it counts as
// unreadable, it is never removed, and no CLI gets it.
TEST(Paths, ACutPathNamesNoFile) {
    cgi::host h;
    // Folders whose paths leave exactly room for "/abc.json" (or "/codex-abc.json") within
    // 1023 bytes: an account "abc.jsonQ" is then cut to "abc"'s file.
    const auto deep = [&](const std::string& leaf, std::size_t total) {
        fs::path p = fs::path(h.root) / leaf;
        while (p.string().size() + 211 < total) p /= std::string(200, 'd');
        p /= std::string(total - p.string().size() - 1, 'e');
        fs::create_directories(p);
        EXPECT_EQ(p.string().size(), total);
        return p;
    };
    const fs::path accounts = deep("acc", 1023 - std::string("/abc.json").size());
    const fs::path pending = deep("pend", 1023 - std::string("/codex-abc.json").size());
    std::ofstream(accounts / "abc.json") << "{\"tokens\":{\"access_token\":\"" +
                                                cgi::jwt_with_exp(4102444800) +
                                                "\",\"refresh_token\":\"r\"}}";
    std::ofstream(pending / "codex-abc.json") << "{\"created\":1}";
    h.env["CODEX_ACCOUNTS_DIR"] = accounts.string();
    h.env["CODEX_PENDING_DIR"] = pending.string();
    const std::string refresh = h.script("refresh", "touch \"$0.ran\"\n");
    h.env["CODEX_REFRESH_BIN"] = refresh;

    // The account itself is whole and reads as signed in.
    EXPECT_TRUE(has(h.run("action=status&account=abc").out, "\"logged_in\":true,"));
    const cgi::result status = h.run("action=status&account=abc.jsonQ");
    EXPECT_TRUE(has(status.out, "\"logged_in\":false,")) << status.out;

    const cgi::result refreshed = h.run("action=refresh&account=abc.jsonQ");
    EXPECT_EQ(refreshed.out,
              cgi::status_head("200 OK") +
                  "{\"ok\":false,\"error\":\"cli_unavailable\",\"detail\":\"the path "
                  "of the credential file is too long; nothing was run\"}\n");
    EXPECT_EQ(refreshed.exit_code, 1);
    EXPECT_FALSE(fs::exists(refresh + ".ran"));

    // No login CLI: cancel clears the account's own marker, never another's.
    const cgi::result cancelled = h.run("action=cancel&account=abc.jsonQ");
    EXPECT_TRUE(has(cancelled.out, "\"state\":\"cancelled\"")) << cancelled.out;
    EXPECT_TRUE(fs::exists(pending / "codex-abc.json"));
}

// A login CLI that overstayed its status run is there, and its flow may be open: cancel
// keeps the marker and says the CLI timed out, as it does when the cancel run overstays.
TEST(Cancel, AStatusRunThatTimedOutIsNoMissingCli) {
    cgi::host h;
    h.env["CREDVANE_CLI_TIMEOUT"] = "1";
    h.env["CODEX_LOGIN_BIN"] = h.script("login", "touch \"$0.$1\"\nexec sleep 30\n");
    const fs::path marker =
        h.write("home/.claude/.login-pending/codex-default.json", "{\"created\":1}");
    const cgi::result res = h.run("action=cancel");
    EXPECT_EQ(res.out, cgi::status_head("200 OK") +
                           "{\"ok\":false,\"error\":\"cancel_failed\",\"detail\":\"the login CLI "
                           "timed out\"}\n");
    EXPECT_EQ(res.exit_code, 1);
    EXPECT_TRUE(fs::exists(marker));
    EXPECT_TRUE(fs::exists(fs::path(h.root) / "bin" / "login.--status"));
}

// Under a CGI host the arguments belong to the request (a host may turn "?--version"
// into argv[1]); only an operator's own run picks a mode by them.
TEST(Modes, UnderAHostTheArgumentsPickNoMode) {
    for (const std::string arg : {"--version", "-v", "--meta"}) {
        cgi::host h;
        h.env["GATEWAY_INTERFACE"] = "CGI/1.1";
        const cgi::result page = h.run(arg, {arg});
        EXPECT_EQ(page.out.rfind("Content-Type: text/html; charset=utf-8\r\n", 0), 0u) << arg;
        h.env["BOT_PASSWORD"] = "s3cret";
        const cgi::result locked = h.run(arg, {arg});
        EXPECT_EQ(locked.out.rfind("Status: 401 Unauthorized\r\n", 0), 0u) << arg;
        // The discovery variable still answers: the host sets it, not the request.
        h.env["QN_PLUGIN_META"] = "";
        EXPECT_EQ(h.run(arg, {arg}).out, "{\"name\":\"codex\",\"desc\":\"Codex login\"}\n") << arg;
    }
}

// One account's changing requests never overlap: one that finds another under way sleeps
// until it is done, within its own CLI time, and when that time is up first runs nothing
// and says the account is busy. A status never waits, and another account is not held up.
TEST(AccountLock, ChangingRequestsQueueAndAStatusNeverWaits) {
    cgi::host h;
    const fs::path inside = fs::path(h.root) / "inside.fifo";
    const fs::path release = fs::path(h.root) / "release.fifo";
    ASSERT_EQ(::mkfifo(inside.c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(release.c_str(), 0600), 0);
    const fs::path log = fs::path(h.root) / "runs";
    h.write("home/.codex/auth.json", "{\"tokens\":{\"access_token\":\"x\"}}");
    // The default account's poll says it is inside, then waits to be released.
    h.env["CODEX_LOGIN_BIN"] =
        h.script("login", "echo \"$*\" >> '" + log.string() +
                              "'\n"
                              "if [ \"$1\" = --poll ] && [ \"$2\" != --name ]; then\n"
                              "  echo in > '" +
                              inside.string() + "'; read x < '" + release.string() +
                              "'\nfi\n"
                              "echo '{\"ok\":true,\"state\":\"pending\"}'\n");
    h.env["CODEX_REFRESH_BIN"] =
        h.script("refresh", "echo \"refresh\" >> '" + log.string() + "'\n");
    std::future<cgi::result> holder =
        std::async(std::launch::async, [&h] { return h.run("action=poll"); });
    {
        std::ifstream wait_inside(inside);  // opens once the poll run is under way
        std::string word;
        ASSERT_TRUE(std::getline(wait_inside, word));
    }
    const std::string before = h.read(log.string());

    // Another account runs at once, under its own lock.
    const cgi::result other = h.run("action=poll&account=other");
    EXPECT_TRUE(has(other.out, "\"state\":\"pending\"")) << other.out;
    // A status of the held account runs at once too: it reads, and takes no lock.
    const cgi::result status = h.run("action=status");
    EXPECT_TRUE(has(status.out, "\"cli_present\":true,")) << status.out;
    EXPECT_TRUE(has(status.out, "\"cli_error\":\"\",")) << status.out;
    const std::string after_others = before +
                                     "--status --name other\n--poll --name other\n"
                                     "--status --name other\n--status\n";
    EXPECT_EQ(h.read(log.string()), after_others);

    // Every changing action of the same account waits for its whole CLI time, then runs
    // nothing: busy, with the status read from the files and the CLI counted as there.
    h.env["CREDVANE_CLI_TIMEOUT"] = "1";
    for (const char* action : {"poll", "start", "cancel", "refresh", "logout"}) {
        const cgi::result waiting = h.run(std::string("action=") + action);
        EXPECT_EQ(waiting.exit_code, 1) << action;
        EXPECT_EQ(waiting.out.rfind(cgi::json_head +
                                        "{\"ok\":false,\"error\":\"account_busy\",\"detail\":"
                                        "\"another request for this account is still running\","
                                        "\"logged_in\":true,",
                                    0),
                  0u)
            << action << ": " << waiting.out;
        EXPECT_TRUE(has(waiting.out, "\"cli_present\":true,")) << waiting.out;
        EXPECT_TRUE(has(waiting.out,
                        "\"cli_error\":\"another request for this account is "
                        "still running\",\"accounts\":[],"))
            << waiting.out;
    }
    EXPECT_EQ(h.read(log.string()), after_others) << "a run for the held account started";

    // A request that waits with time to spare runs as soon as the holder lets go.
    h.env.erase("CREDVANE_CLI_TIMEOUT");
    std::future<cgi::result> next =
        std::async(std::launch::async, [&h] { return h.run("action=cancel"); });
    std::ofstream(release) << "go\n";
    const cgi::result held = holder.get();
    EXPECT_TRUE(has(held.out, "\"state\":\"pending\"")) << held.out;
    const cgi::result queued = next.get();
    EXPECT_EQ(queued.exit_code, 0) << queued.out;
    EXPECT_TRUE(has(queued.out, "\"state\":\"cancelled\"")) << queued.out;
}

}  // namespace

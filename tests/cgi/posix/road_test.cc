// road_test.cc: the whole road of a device login through credvane, its login and refresh CLIs
// and the stand-in issuer, for the default account and for a named one.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <regex>

#include "tests/cgi/harness.h"

namespace {

std::string text_field(const std::string& s, const std::string& key) {
    std::smatch m;
    if (!std::regex_search(s, m, std::regex("\"" + key + "\":\"([^\"]*)\""))) return "<missing>";
    return m[1].str();
}

long long num_field(const std::string& s, const std::string& key) {
    std::smatch m;
    if (!std::regex_search(s, m, std::regex("\"" + key + "\":(-?[0-9]+)"))) return -999999;
    return std::stoll(m[1].str());
}

bool has(const std::string& s, const std::string& piece) {
    return s.find(piece) != std::string::npos;
}

// The stand-in issuer as a child process for one test: started on a free port of 127.0.0.1,
// ready once it has printed its address, stopped with the test.
class issuer {
  public:
    issuer() {
        int fds[2];
        if (::pipe(fds) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[1], 1);
            ::close(fds[0]);
            ::close(fds[1]);
            ::execl(CREDVANE_NODE, CREDVANE_NODE, CREDVANE_ISSUER_JS, "--interval", "1",
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        char c = 0;
        while (pid_ > 0) {
            const ssize_t n = ::read(fds[0], &c, 1);
            if (n < 0 && errno == EINTR) continue;
            if (n != 1 || c == '\n') break;
            url_ += c;
        }
        ::close(fds[0]);
    }
    ~issuer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    issuer(const issuer&) = delete;
    issuer& operator=(const issuer&) = delete;

    const std::string& url() const { return url_; }

    // One test control call (POST with JSON); its answer.
    std::string control(const cgi::host& h, const std::string& path,
                        const std::string& json) const {
        return h
            .exec(CREDVANE_CURL, {"-sS", "-X", "POST", "-H", "Content-Type: application/json",
                                  "--data-binary", json, url_ + path})
            .out;
    }

  private:
    pid_t pid_ = -1;
    std::string url_;
};

// A node whose credvane runs the real CLIs against the issuer.
void real_clis(cgi::host& h, const issuer& iss) {
    h.env["CODEX_LOGIN_BIN"] = CREDVANE_LOGIN_EXE;
    h.env["CODEX_REFRESH_BIN"] = CREDVANE_REFRESH_EXE;
    h.env["CREDVANE_ISSUER"] = iss.url();
}

class Road : public ::testing::TestWithParam<std::string> {};

TEST_P(Road, StartPollApproveRefreshCancel) {
    const std::string account = GetParam();
    const std::string q = account.empty() ? "" : "&account=" + account;
    const issuer iss;
    ASSERT_EQ(iss.url().rfind("http://127.0.0.1:", 0), 0U) << "the stand-in issuer did not start";
    cgi::host h;
    real_clis(h, iss);

    std::string out = h.run("action=status" + q).out;
    EXPECT_TRUE(has(out, "\"logged_in\":false") && has(out, "\"pending\":false") &&
                has(out, "\"cli_present\":true"))
        << out;

    // A first flow, asked once while open, then cancelled.
    cgi::result started = h.run("action=start" + q);
    ASSERT_EQ(started.exit_code, 0) << started.out;
    EXPECT_TRUE(std::regex_match(text_field(started.out, "user_code"),
                                 std::regex("[A-Z0-9]{4}-[A-Z0-9]{4}")))
        << started.out;
    EXPECT_EQ(text_field(started.out, "verify_url"), iss.url() + "/codex/device");
    EXPECT_TRUE(has(h.run("action=status" + q).out, "\"pending\":true"));
    // A reloaded page asks again and gets the same code, not a second one.
    out = h.run("action=start" + q).out;
    EXPECT_EQ(text_field(out, "user_code"), text_field(started.out, "user_code")) << out;
    out = h.run("action=poll" + q).out;
    EXPECT_TRUE(has(out, "{\"ok\":true,\"state\":\"pending\",\"interval\":1,\"pending\":true}"))
        << out;
    out = h.run("action=cancel" + q).out;
    EXPECT_TRUE(has(out, "{\"ok\":true,\"state\":\"cancelled\",\"logged_in\":false,")) << out;

    // A second flow, approved before its first poll: that poll finishes it.
    started = h.run("action=start" + q);
    const std::string code = text_field(started.out, "user_code");
    EXPECT_TRUE(has(iss.control(h, "/test/approve", "{\"user_code\":\"" + code + "\"}"),
                    "\"state\":\"approved\""));
    out = h.run("action=poll" + q).out;
    EXPECT_TRUE(has(out, "{\"ok\":true,\"state\":\"done\",\"logged_in\":true,")) << out;
    EXPECT_TRUE(has(out, "\"pending\":false")) << out;
    EXPECT_EQ(text_field(out, "account_id"), "acct-standin-0001") << out;
    const long long first = num_field(out, "expires_in_sec");
    EXPECT_GE(first, 3590);
    EXPECT_LE(first, 3600);

    // Tokens that live two hours from here on: the refresh shows as a later expiry.
    iss.control(h, "/test/config", "{\"token_lifetime\":7200}");
    out = h.run("action=refresh" + q).out;
    EXPECT_TRUE(has(out, "{\"ok\":true,\"refreshed\":true,\"logged_in\":true,")) << out;
    EXPECT_GT(num_field(out, "expires_in_sec"), first + 3000);

    // A third flow, replacing the session, then cancelled: the session stays.
    EXPECT_TRUE(has(h.run("action=start&force=1" + q).out, "\"user_code\""));
    EXPECT_TRUE(has(h.run("action=status" + q).out, "\"pending\":true"));
    out = h.run("action=cancel" + q).out;
    EXPECT_TRUE(has(out, "{\"ok\":true,\"state\":\"cancelled\",\"logged_in\":true,")) << out;
    EXPECT_TRUE(has(out, "\"pending\":false")) << out;

    out = h.run("action=accounts").out;
    if (account.empty()) {
        EXPECT_TRUE(has(out, "\"accounts\":[]")) << out;
    } else {
        EXPECT_TRUE(has(out, "\"accounts\":[{\"name\":\"" + account +
                                 "\",\"logged_in\":true,"
                                 "\"has_refresh\":true,"))
            << out;
    }
}

INSTANTIATE_TEST_SUITE_P(DefaultAndNamed, Road, ::testing::Values("", "work"));

TEST(RoadFailures, DeniedAndExpiredCodesFail) {
    // Each control ends the code at the issuer before the node's first poll asks. A refusal
    // and an expired code are told apart: the way out differs (ask again, or get a new code).
    struct row {
        const char* control;
        const char* error;
        const char* detail;  // empty: the login CLI's words are not pinned
    };
    for (const row r : {row{"/test/deny", "denied", ""},
                        row{"/test/expire", "expired", "the code expired; get a new code"}}) {
        const issuer iss;
        ASSERT_EQ(iss.url().rfind("http://127.0.0.1:", 0), 0U)
            << "the stand-in issuer did not start";
        cgi::host h;
        real_clis(h, iss);
        const std::string code = text_field(h.run("action=start").out, "user_code");
        EXPECT_TRUE(
            has(iss.control(h, r.control, "{\"user_code\":\"" + code + "\"}"), "\"ok\":true"))
            << r.control;
        const std::string out = h.run("action=poll").out;
        const std::string detail = *r.detail != 0 ? r.detail : text_field(out, "detail");
        EXPECT_FALSE(detail.empty()) << out;
        EXPECT_EQ(out, cgi::json_head + "{\"ok\":true,\"state\":\"failed\",\"error\":\"" + r.error +
                           "\",\"detail\":\"" + detail + "\",\"pending\":false}\n");
        EXPECT_TRUE(has(h.run("action=status").out, "\"pending\":false"));
    }
}

}  // namespace

// road_test.cc: the whole road of a device login through credvane and the stand-in CLIs,
// for the default account and for a named one.
#include <gtest/gtest.h>

#include <unistd.h>

#include <regex>

#include "tests/cgi/harness.h"

namespace {

const std::string tools = CREDVANE_TOOLS_DIR;

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

class Road : public ::testing::TestWithParam<std::string> {};

TEST_P(Road, StartPollApproveRefreshCancel) {
    const std::string account = GetParam();
    const std::string q = account.empty() ? "" : "&account=" + account;
    cgi::host h;
    h.env["CODEX_LOGIN_BIN"] = tools + "/standin-login";
    h.env["CODEX_REFRESH_BIN"] = tools + "/standin-refresh";
    h.env["STANDIN_VERIFY_URL"] = "http://127.0.0.1:1/device";
    // The stand-in's own settings reach it as a node's operator would pass them.
    h.env["CREDVANE_CLI_ENV"] = "STANDIN_VERIFY_URL STANDIN_CODE_LIFETIME";

    std::string out = h.run("action=status" + q).out;
    EXPECT_TRUE(has(out, "\"logged_in\":false") && has(out, "\"pending\":false") &&
                has(out, "\"cli_present\":true"))
        << out;

    const cgi::result started = h.run("action=start" + q);
    ASSERT_EQ(started.exit_code, 0) << started.out;
    const std::string code = text_field(started.out, "user_code");
    EXPECT_TRUE(std::regex_match(code, std::regex("[A-Z0-9]{4}-[A-Z0-9]{4}"))) << started.out;
    EXPECT_EQ(text_field(started.out, "verify_url"), "http://127.0.0.1:1/device?code=" + code);
    EXPECT_TRUE(has(h.run("action=status" + q).out, "\"pending\":true"));

    out = h.run("action=poll" + q).out;
    EXPECT_TRUE(has(out, "{\"ok\":true,\"state\":\"pending\",\"interval\":5,\"pending\":true}"))
        << out;

    ASSERT_EQ(h.exec(tools + "/standin-login", {"--approve", code}).exit_code, 0);
    out = h.run("action=poll" + q).out;
    EXPECT_TRUE(has(out, "{\"ok\":true,\"state\":\"done\",\"logged_in\":true,")) << out;
    EXPECT_TRUE(has(out, "\"pending\":false")) << out;
    const long long first = num_field(out, "expires_in_sec");
    EXPECT_GE(first, 3590);
    EXPECT_LE(first, 3600);

    out = h.run("action=refresh" + q).out;
    EXPECT_TRUE(has(out, "{\"ok\":true,\"refreshed\":true,\"logged_in\":true,")) << out;
    EXPECT_GT(num_field(out, "expires_in_sec"), first + 3000);

    // A second flow, replacing the session, then cancelled.
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
    // "deny" denies the code on the verification side; "" lets it expire.
    for (const auto& [ender, error] : std::vector<std::pair<std::string, std::string>>{
             {"deny", "access_denied"}, {"", "expired_token"}}) {
        cgi::host h;
        h.env["CODEX_LOGIN_BIN"] = tools + "/standin-login";
        if (ender.empty()) h.env["STANDIN_CODE_LIFETIME"] = "1";
        h.env["CREDVANE_CLI_ENV"] = "STANDIN_CODE_LIFETIME";
        const std::string code = text_field(h.run("action=start").out, "user_code");
        if (ender.empty()) {
            ::sleep(2);
        } else {
            h.exec(tools + "/standin-login", {"--deny", code});
        }
        const std::string out = h.run("action=poll").out;
        EXPECT_EQ(out, cgi::json_head + "{\"ok\":true,\"state\":\"failed\",\"error\":\"" + error +
                           "\",\"detail\":\"" + text_field(out, "detail") +
                           "\",\"pending\":false}\n");
        EXPECT_TRUE(has(h.run("action=status").out, "\"pending\":false"));
    }
}

}  // namespace

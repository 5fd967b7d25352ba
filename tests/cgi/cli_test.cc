// cli_test.cc: what a CLI receives from credvane: an environment without the request's
// secrets and headers, and the null device on stdin instead of the request body.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "tests/cgi/harness.h"

namespace {

// Windows takes a variable's name in any case: there a header in mixed case is the same
// variable, and the environment is compared without regard to case.
#ifdef _WIN32
const char* const proxy_variable = "Http_Proxy";
const char* const agent_variable = "http_user_agent";
const char* const home_variable = "USERPROFILE=";
std::string fold(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}
#else
const char* const proxy_variable = "HTTP_PROXY";
const char* const agent_variable = "HTTP_USER_AGENT";
const char* const home_variable = "HOME=";
std::string fold(std::string s) {
    return s;
}
#endif

TEST(CliEnvironment, RequestVariablesNeverReachTheCli) {
    cgi::host h;
    cgi::stand_in login;
    login.other.out = "{}\n";
    login.dump_env = true;
    const std::string cli = h.cli("login", login);
    h.env["CODEX_LOGIN_BIN"] = cli;
    h.env["BOT_PASSWORD"] = "s3cret";
    h.env["HTTP_X_BOT_PASSWORD"] = "s3cret";
    h.env["HTTP_AUTHORIZATION"] = "Bearer s3cret";
    h.env[proxy_variable] = "http://attacker.invalid:3128";
    h.env[agent_variable] = "agent";
    h.env["KEEP_ME"] = "kept";
    h.env["CREDVANE_CLI_ENV"] = "KEEP_ME";      // listed by the operator
    h.env["HTTPS_PROXY_SETTING"] = "node-own";  // neither needed nor listed
    const cgi::result res = h.run("action=status&pwd=s3cret");
    ASSERT_EQ(res.exit_code, 0);
    ASSERT_TRUE(cgi::is_status_answer(res.out)) << res.out;
    const std::string env = fold(h.env_of(cli));
    ASSERT_FALSE(env.empty());
    for (const char* gone :
         {"BOT_PASSWORD=", "HTTP_X_BOT_PASSWORD=", "HTTP_AUTHORIZATION=", "HTTP_PROXY=",
          "HTTP_USER_AGENT=", "QUERY_STRING=", "HTTPS_PROXY_SETTING=", "s3cret"}) {
        EXPECT_EQ(env.find(fold(gone)), std::string::npos) << gone;
    }
    for (const char* kept : {"KEEP_ME=kept", home_variable, "PATH=", "CODEX_LOGIN_BIN="}) {
        EXPECT_NE(env.find(fold(kept)), std::string::npos) << kept;
    }
}

// The request body waits on credvane's stdin (the host offers one); a CLI reads the null
// device instead, so one that waits for input cannot hold the request either.
TEST(CliStdin, TheCliReadsTheNullDeviceNotTheRequestBody) {
    cgi::host h;
    ASSERT_FALSE(h.stdin_bytes.empty());
    cgi::stand_in login;
    login.other.out = "{\"ok\":true}\n";
    login.record_stdin = true;
    const std::string cli = h.cli("login", login);
    h.env["CODEX_LOGIN_BIN"] = cli;
    const cgi::result res = h.run("action=status");
    EXPECT_NE(res.out.find("\"cli_present\":true,"), std::string::npos) << res.out;
    EXPECT_NE(res.out.find("\"cli_error\":\"\""), std::string::npos) << res.out;
    ASSERT_TRUE(h.exists(cli + ".stdin"));
    EXPECT_EQ(h.read(cli + ".stdin").find("request body"), std::string::npos);
}

}  // namespace

// cli_test.cc: what a CLI receives from credvane: an environment without the request's
// secrets and headers.
#include <gtest/gtest.h>

#include "tests/cgi/harness.h"

namespace {

#ifdef _WIN32
const char* const home_variable = "USERPROFILE=";
#else
const char* const home_variable = "HOME=";
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
    h.env["HTTP_PROXY"] = "http://attacker.invalid:3128";
    h.env["HTTP_USER_AGENT"] = "x";
    h.env["KEEP_ME"] = "kept";
    h.env["HTTPS_PROXY_SETTING"] = "node-own";
    const cgi::result res = h.run("action=status&pwd=s3cret");
    ASSERT_EQ(res.exit_code, 0);
    const std::string env = h.env_of(cli);
    ASSERT_FALSE(env.empty());
    for (const char* gone : {"BOT_PASSWORD=", "HTTP_X_BOT_PASSWORD=", "HTTP_AUTHORIZATION=",
                             "HTTP_PROXY=", "HTTP_USER_AGENT=", "QUERY_STRING=", "s3cret"}) {
        EXPECT_EQ(env.find(gone), std::string::npos) << gone;
    }
    for (const char* kept :
         {"KEEP_ME=kept", "HTTPS_PROXY_SETTING=node-own", home_variable, "PATH=", "CODEX_LOGIN_BIN="}) {
        EXPECT_NE(env.find(kept), std::string::npos) << kept;
    }
}

}  // namespace

// cli_test.cc: what a CLI receives from credvane: its exact argv, however odd the paths,
// and an environment without the request's secrets and headers.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/cgi/harness.h"

namespace {

// A stand-in that appends one line per run: each argument in angle brackets.
const char* record_argv =
    "for a in \"$@\"; do printf '<%s>' \"$a\"; done >> \"$0.argv\"\necho >> \"$0.argv\"\n";

TEST(CliArgv, HostilePathsReachTheCliUnchanged) {
    cgi::host h;
    // Every byte that /bin/sh would act on inside double quotes, and then some.
    const std::string weird = "we ird 'q' \"dq\" $(touch PWNED) `touch PWNED` \\ & ; x";
    const std::filesystem::path dir = h.root / weird;
    std::filesystem::create_directories(dir);
    const std::filesystem::path login = h.script("login", record_argv);
    std::filesystem::copy_file(login, dir / "login");
    std::filesystem::copy_file(login, dir / "refresh");
    const std::filesystem::path creds =
        h.write(weird + "/auth $HOME.json", "{\"access_token\":\"x\"}");
    h.env["CODEX_LOGIN_BIN"] = (dir / "login").string();
    h.env["CODEX_REFRESH_BIN"] = (dir / "refresh").string();
    h.env["CODEX_CREDS_PATH"] = creds.string();
    h.env["CODEX_ACCOUNTS_DIR"] = (dir / "accts").string();
    h.write(weird + "/accts/work.json", "{\"access_token\":\"x\"}");

    h.run("action=status");
    h.run("action=start&force=1&account=work");
    h.run("action=poll&account=work");
    h.run("action=cancel");
    h.run("action=refresh");
    h.run("action=refresh&account=work");
    EXPECT_EQ(h.read(dir / "login.argv"),
              "<--status>\n"
              "<--status><--name><work>\n<--start><--force><--name><work>\n"
              "<--status><--name><work>\n<--poll><--name><work>\n"
              "<--status>\n<--cancel>\n<--status>\n"
              "<--status>\n<--status>\n"
              "<--status><--name><work>\n<--status><--name><work>\n");
    EXPECT_EQ(h.read(dir / "refresh.argv"), "<--credentials-file><" + creds.string() +
                                                "><--force>\n"
                                                "<--credentials-file><" +
                                                (dir / "accts" / "work.json").string() +
                                                "><--force>\n");
    EXPECT_FALSE(std::filesystem::exists(h.root / "PWNED"));
    EXPECT_FALSE(std::filesystem::exists(dir / "PWNED"));
}

TEST(CliEnvironment, RequestVariablesNeverReachTheCli) {
    cgi::host h;
    h.env["CODEX_LOGIN_BIN"] = h.script("login", "env > \"$0.env\"\necho '{}'\n").string();
    h.env["BOT_PASSWORD"] = "s3cret";
    h.env["HTTP_X_BOT_PASSWORD"] = "s3cret";
    h.env["HTTP_AUTHORIZATION"] = "Bearer s3cret";
    h.env["HTTP_PROXY"] = "http://attacker.invalid:3128";
    h.env["HTTP_USER_AGENT"] = "x";
    h.env["KEEP_ME"] = "kept";
    h.env["CREDVANE_CLI_ENV"] = "KEEP_ME";
    h.env["HTTPS_PROXY_SETTING"] = "node-own";  // neither needed nor listed
    const cgi::result res = h.run("action=status&pwd=s3cret");
    ASSERT_EQ(res.exit_code, 0);
    const std::string env = h.read(h.root / "bin" / "login.env");
    for (const char* gone :
         {"BOT_PASSWORD=", "HTTP_X_BOT_PASSWORD=", "HTTP_AUTHORIZATION=", "HTTP_PROXY=",
          "HTTP_USER_AGENT=", "QUERY_STRING=", "HTTPS_PROXY_SETTING=", "s3cret"}) {
        EXPECT_EQ(env.find(gone), std::string::npos) << gone;
    }
    for (const char* kept : {"KEEP_ME=kept", "HOME=", "PATH=", "CODEX_LOGIN_BIN="}) {
        EXPECT_NE(env.find(kept), std::string::npos) << kept;
    }
}

TEST(CliStdin, TheCliReadsTheNullDevice) {
    cgi::host h;
    // A CLI that waits for input would hang the request; with the null device it reads EOF.
    h.env["CODEX_LOGIN_BIN"] =
        h.script("login",
                 "if read line; then echo '{\"ok\":false,\"error\":\"had input\"}'; "
                 "else echo '{\"ok\":true}'; fi\n")
            .string();
    const cgi::result res = h.run("action=status");
    EXPECT_NE(res.out.find("\"cli_error\":\"\""), std::string::npos) << res.out;
}

}  // namespace

// cli_test.cc: what a CLI receives from credvane on POSIX: its exact argv, however odd the
// paths are to /bin/sh.
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
    const std::filesystem::path dir = std::filesystem::path(h.root) / weird;
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
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(h.root) / "PWNED"));
    EXPECT_FALSE(std::filesystem::exists(dir / "PWNED"));
}

}  // namespace

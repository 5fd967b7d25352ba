// status_test.cc: the status answer where POSIX behaves its own way: a CLI file without
// the right to run, and paths from the environment that are bytes, not text.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "tests/cgi/harness.h"

namespace {

// The shell answers 126 for a file it may not run: the CLI is as good as missing.
TEST(Status, ACliWithoutTheRightToRunIsMissing) {
    cgi::host h;
    const std::string plain = h.write("bin/plain", "echo hi");
    h.env["CODEX_LOGIN_BIN"] = plain;
    const std::string out = h.run("action=status").out;
    EXPECT_NE(out.find("\"cli_error\":\"the login CLI is not on this node (CODEX_LOGIN_BIN is " +
                       plain + ")\""),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\"cli_present\":false"), std::string::npos) << out;
}

// A pending-login folder this process could not make files in is named with the reason in
// the status, before a start fails on it; a folder yet to be made is judged by its parent.
TEST(Status, APendingFolderThatCannotBeWrittenIsNamed) {
    const auto problem_of = [](const std::string& out) {
        const std::string key = "\"pending_problem\":\"";
        const std::size_t at = out.find(key);
        if (at == std::string::npos) return std::string("(none)");
        return out.substr(at + key.size(), out.find('"', at + key.size()) - at - key.size());
    };
    {
        cgi::host h;
        EXPECT_EQ(problem_of(h.run("action=status").out), "");
        h.folder("home/.claude/.login-pending");
        EXPECT_EQ(problem_of(h.run("action=status").out), "");
    }
    {
        cgi::host h;
        const std::string claude = h.write("home/.claude", "a file where the folder goes");
        const cgi::result res = h.run("action=status");
        EXPECT_EQ(problem_of(res.out), claude + " is not a folder") << res.out;
        EXPECT_EQ(res.exit_code, 0);
    }
    if (::geteuid() == 0) GTEST_SKIP() << "root may write any folder whatever its mode";
    cgi::host h;
    const std::string home = h.folder("home");
    ASSERT_EQ(::chmod(home.c_str(), 0500), 0);
    const std::string out = h.run("action=status").out;
    ::chmod(home.c_str(), 0700);
    EXPECT_EQ(problem_of(out), home + " cannot be written: Permission denied") << out;
}

// A path from the environment reaches the answer as well-formed UTF-8: an ill-formed byte
// as U+FFFD, and a cut at the 1023 bytes a path keeps never halves a character.
TEST(Status, PathsFromTheEnvironmentAreWellFormedUtf8) {
    const std::string fffd = "\xEF\xBF\xBD";
    const std::string long_dir = "/" + std::string(1021, 'd');  // 1022 bytes
    const struct {
        std::string creds_path;
        std::string shown;
    } rows[] = {
        {"/tmp/caf\xE9/auth.json", "/tmp/caf" + fffd + "/auth.json"},
        {"/tmp/caf\xC3\xA9/auth.json", "/tmp/caf\xC3\xA9/auth.json"},
        {long_dir + "\xC3\xA9/auth.json", long_dir},
        {long_dir.substr(1) + "\xC3\xA9/auth.json", long_dir.substr(1) + "\xC3\xA9"},
    };
    for (const auto& r : rows) {
        cgi::host h;
        h.env["CODEX_CREDS_PATH"] = r.creds_path;
        const std::string out = h.run("action=status").out;
        EXPECT_NE(out.find("\"credentials_path\":\"" + r.shown + "\","), std::string::npos)
            << out.substr(0, 400);
    }
}

}  // namespace

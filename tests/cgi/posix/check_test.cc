// check_test.cc: what credvane --check finds in folders that only POSIX modes and owners
// show: one other users may write, one that cannot be written, and one of another user.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "tests/cgi/check_report.h"
#include "tests/cgi/harness.h"

namespace {

TEST(CheckFolders, TheSignInProgramsFolderRulesDecide) {
    struct row {
        std::string name;
        std::function<bool(cgi::host&)> make;  // false: not possible for this user
        std::string check;
        std::string verdict;
        std::string words;
    };
    const row rows[] = {
        {"a pending folder others may write",
         [](cgi::host& h) {
             return ::chmod(h.folder("home/.claude/.login-pending").c_str(), 0777) == 0;
         },
         "pending folder", "failed", "may be written by other users"},
        // The sticky bit keeps others from removing our files, not from planting their own.
        {"a shared folder with the sticky bit",
         [](cgi::host& h) {
             return ::chmod(h.folder("home/.claude/.login-pending").c_str(), 01777) == 0;
         },
         "pending folder", "failed", "may be written by other users"},
        {"a pending folder below a file",
         [](cgi::host& h) {
             h.env["CODEX_PENDING_DIR"] = h.write("plain", "") + "/pending";
             return true;
         },
         "pending folder", "failed", "(from CODEX_PENDING_DIR)"},
        {"a Codex folder of another user, checked as root",
         [](cgi::host& h) {
             return ::geteuid() == 0 && ::chown(h.folder("home/.codex").c_str(), 65534, 65534) == 0;
         },
         "Codex folder", "failed",
         "belongs to another user; the sign-in programs refuse to write the credential file there "
         "(from HOME)\n        to do: the folder belongs to "},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        cgi::host h;
        if (!r.make(h)) {
            std::cout << "[ SKIPPED  ] " << r.name << ": needs root\n";
            continue;
        }
        const cgi::result res = h.run_args({"--check"});
        const std::string line = cgi::check_line_of(res.out, r.check);
        EXPECT_EQ(line.rfind(r.verdict + "  ", 0), 0u) << res.out;
        EXPECT_NE(line.find(r.words), std::string::npos) << line;
        if (r.verdict == "failed") {
            EXPECT_EQ(res.exit_code, 1);
            EXPECT_NE(line.find("\n        to do: "), std::string::npos) << res.out;
        }
    }
}

}  // namespace

// cli_limits_test.cc: the limits of a CLI run. A command line that would not fit is never
// run cut, the request's CLI time is one budget for all its runs, and a CLI holds none of
// the descriptors credvane was given.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/cgi/harness.h"

namespace {

namespace fs = std::filesystem;

std::string error_answer(const std::string& status, const std::string& code,
                         const std::string& detail) {
    return cgi::status_head(status) + "{\"ok\":false,\"error\":\"" + code + "\",\"detail\":\"" +
           detail + "\"}\n";
}

// A folder under base whose path, plus a separator, is exactly size bytes long.
fs::path folder_of_length(const fs::path& base, std::size_t size) {
    fs::path dir = base;
    // Bytes still to add, separators included; every part takes one and a name.
    for (std::size_t left = size - 1 - dir.string().size(); left > 0;) {
        const std::size_t name = left <= 201 ? left - 1 : std::min<std::size_t>(200, left - 3);
        dir /= std::string(name, 'p');
        left -= name + 1;
    }
    fs::create_directories(dir);
    EXPECT_EQ(dir.string().size() + 1, size);
    return dir;
}

// A login CLI whose path is length bytes long, with a decoy at every shorter prefix that a
// cut of the quoted path could name. Each leaves a mark when run.
struct long_login {
    fs::path program;
    fs::path marks;
};

long_login make_long_login(cgi::host& h, std::size_t length) {
    const fs::path dir =
        folder_of_length(fs::path(h.root) / "long", length - 7);  // then a 7-byte name
    long_login l{dir / "cli-abc", fs::path(h.root) / "marks"};
    fs::create_directories(l.marks);
    for (const std::string name : {"cli-abc", "cli-ab", "cli-a", "cli-", "cli"}) {
        const fs::path p = dir / name;
        h.write(fs::relative(p, h.root).string(),
                "#!/bin/sh\ntouch '" + (l.marks / name).string() +
                    "'\necho '{\"ok\":true,\"logged_in\":false}'\n");
        ::chmod(p.c_str(), 0755);
    }
    EXPECT_EQ(l.program.string().size(), length);
    return l;
}

std::size_t marks_in(const fs::path& dir) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir)) ++n;
    return n;
}

TEST(CliLine, AProgramPathThatWouldBeCutNeverRuns) {
    // The quoted program had 511 bytes of room: 509 bytes of path and its two quotes.
    const std::string too_long = "the command line of the login CLI is too long; nothing was run";
    {
        cgi::host h;
        const long_login l = make_long_login(h, 509);
        h.env["CODEX_LOGIN_BIN"] = l.program.string();
        const cgi::result res = h.run("action=status");
        EXPECT_NE(res.out.find("\"cli_present\":true,"), std::string::npos) << res.out;
        EXPECT_TRUE(fs::exists(l.marks / "cli-abc"));
        EXPECT_EQ(marks_in(l.marks), 1u);
    }
    for (const std::size_t length : {510u, 511u, 600u}) {
        cgi::host h;
        const long_login l = make_long_login(h, length);
        h.env["CODEX_LOGIN_BIN"] = l.program.string();
        const cgi::result status = h.run("action=status");
        EXPECT_NE(status.out.find("\"cli_present\":false,"), std::string::npos) << status.out;
        EXPECT_NE(status.out.find("\"cli_error\":\"" + too_long + "\""), std::string::npos)
            << status.out;
        EXPECT_EQ(h.run("action=start").out, error_answer("200 OK", "cli_unavailable", too_long));
        EXPECT_EQ(h.run("action=poll").out, error_answer("200 OK", "cli_unavailable", too_long));
        EXPECT_EQ(marks_in(l.marks), 0u) << length;
    }
}

// A credential path whose quoted form is quoted_size bytes long: single quotes take four
// bytes each when quoted, which brings a path within the store's limit past the room the
// refresh CLI's line had.
fs::path creds_quoted_to(cgi::host& h, std::size_t quoted_size) {
    const std::string quotes(40, '\'');
    const std::size_t plain = quoted_size - 2 - 3 * quotes.size();  // path bytes
    const fs::path top = fs::path(h.root) / quotes;
    const std::size_t file_name = std::string("/c.json").size();
    const fs::path dir = folder_of_length(top, plain - file_name + 1);
    const fs::path creds = dir / "c.json";
    h.write(fs::relative(creds, h.root).string(), "{\"tokens\":{\"access_token\":\"x\"}}");
    EXPECT_EQ(creds.string().size(), plain);
    return creds;
}

TEST(CliLine, ARefreshLineThatWouldBeCutNeverRuns) {
    // "--credentials-file <quoted path> --force" had 1,119 bytes of room: 1,092 for the path.
    struct row {
        std::size_t quoted;
        bool runs;
    };
    const row rows[] = {
        {1092, true},
        {1093, false},  // " --forc" would have reached the CLI
        {1100, false},  // exactly the path: the CLI would have run without --force
    };
    for (const row& r : rows) {
        cgi::host h;
        const fs::path creds = creds_quoted_to(h, r.quoted);
        h.env["CODEX_CREDS_PATH"] = creds.string();
        h.env["CODEX_LOGIN_BIN"] = h.script("login", "echo '{\"ok\":true}'\n");
        const fs::path argv_file = fs::path(h.root) / "refresh.argv";
        h.env["CODEX_REFRESH_BIN"] =
            h.script("refresh", "for a in \"$@\"; do printf '<%s>' \"$a\"; done > '" +
                                    argv_file.string() + "'\n");
        const cgi::result res = h.run("action=refresh");
        if (r.runs) {
            EXPECT_EQ(h.read(argv_file), "<--credentials-file><" + creds.string() + "><--force>");
        } else {
            EXPECT_FALSE(fs::exists(argv_file)) << r.quoted;
            EXPECT_EQ(res.out,
                      error_answer("200 OK", "cli_unavailable",
                                   "the command line of the refresh CLI is too long; nothing "
                                   "was run"));
            EXPECT_EQ(res.exit_code, 1);
        }
    }
}

TEST(CliTime, ARunWithNoTimeLeftIsNotStarted) {
    cgi::host h;
    h.env["CREDVANE_CLI_TIMEOUT"] = "1";
    h.write("home/.codex/auth.json", "{\"tokens\":{\"access_token\":\"x\"}}");
    // The status run waits on a FIFO that nobody ever writes: it uses up the request's
    // whole CLI time and is ended. The refresh CLI then has none left, and the answer says
    // which CLI hung: the refresh CLI never ran.
    const fs::path fifo = fs::path(h.root) / "never";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    h.env["CODEX_LOGIN_BIN"] =
        h.script("login", "read line < '" + fifo.string() + "'\necho '{}'\n");
    const fs::path mark = fs::path(h.root) / "refresh-ran";
    h.env["CODEX_REFRESH_BIN"] = h.script("refresh", "touch '" + mark.string() + "'\n");
    const cgi::result res = h.run("action=refresh");
    EXPECT_EQ(res.out, error_answer("200 OK", "cli_unavailable",
                                    "the login CLI timed out (" + h.env["CODEX_LOGIN_BIN"] +
                                        "); no time was left to run the refresh CLI"));
    EXPECT_EQ(res.exit_code, 1);
    EXPECT_FALSE(fs::exists(mark));
}

TEST(CliDescriptors, TheCliHoldsOnlyTheStandardThree) {
    cgi::host h;
    // Open without close-on-exec, as a host may leave one: credvane inherits it.
    const fs::path held = h.write("held-open", "x");
    const int fd = ::open(held.c_str(), O_RDONLY);
    ASSERT_GE(fd, 3);
    const fs::path seen = fs::path(h.root) / "fds";
    h.env["CODEX_LOGIN_BIN"] =
        h.script("login", "for f in /proc/$$/fd/*; do readlink \"$f\"; done > '" + seen.string() +
                              "'\necho '{}'\n");
    h.run("action=status");
    ::close(fd);
    const std::string fds = h.read(seen);
    ASSERT_FALSE(fds.empty());
    EXPECT_EQ(fds.find(held.string()), std::string::npos) << fds;
}

}  // namespace

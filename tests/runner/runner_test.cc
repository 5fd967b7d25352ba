// runner_test.cc: quoting, argument strings, the capture limits and the last JSON line.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/text.h"
#include "runner/runner.h"

namespace credvane {
namespace {

// Runs printf %s with the quoted argument through /bin/sh: the shell itself is the oracle.
std::string through_sh(const std::string& quoted) {
    buf out;
    const std::string line = "printf %s " + quoted;
    cli_args args(line_capacity);
    args.word("-c").word(line);
    run_capture("/bin/sh", args, out);
    return std::string(out.view());
}

TEST(ShellQuote, ShellGivesBackEveryByte) {
    const std::string samples[] = {"",     "plain",      "with space", "it's",
                                   "''",   "$(echo hi)", "`echo hi`",  "a\\b",
                                   "a\"b", "&;|<>*?~#!", "tab\there"};
    for (const std::string& s : samples) {
        text<192> q;
        shell_quote_into(s.c_str(), q.span());
        // Trailing whitespace is trimmed from captures, so compare with a sentinel.
        EXPECT_EQ(through_sh(std::string(q.view()) + "'|'"), s + "|") << s;
    }
}

TEST(ShellQuote, CutNeverLeavesAnOpenQuote) {
    for (std::size_t cap = 3; cap < 16; ++cap) {
        std::string out(cap, '#');
        shell_quote_into("ab'cd'ef'gh'ij", std::span<char>(out.data(), cap));
        const std::string q(out.c_str());
        EXPECT_LE(q.size(), cap - 1);
        EXPECT_EQ(q.front(), '\'');
        EXPECT_EQ(q.back(), '\'');
        // What the shell makes of it is a prefix of the text: a clean cut.
        std::string shell_saw = through_sh(q + "'|'");
        ASSERT_FALSE(shell_saw.empty()) << q;
        shell_saw.pop_back();  // the sentinel
        EXPECT_TRUE(std::string_view("ab'cd'ef'gh'ij").starts_with(shell_saw)) << q;
    }
}

std::vector<std::string_view> words(const cli_args& a) {
    return {a.words().begin(), a.words().end()};
}

TEST(LoginArgs, BaseWordsAloneOrWithTheName) {
    const cli_args alone = login_args("", "--poll");
    EXPECT_EQ(words(alone), (std::vector<std::string_view>{"--poll"}));
    EXPECT_EQ(alone.length(), std::string_view("--poll").size());
    const cli_args named = login_args("work", "--start --force");
    EXPECT_EQ(words(named),
              (std::vector<std::string_view>{"--start", "--force", "--name", "work"}));
    // Measured as the command line held it: the name quoted.
    EXPECT_EQ(named.length(), std::string_view("--start --force --name 'work'").size());
    EXPECT_TRUE(named.fits());
}

TEST(CliArgs, APartThatWouldNotFitMarksTheWholeLine) {
    struct row {
        std::size_t value_size;  // bytes of a plain value
        std::size_t quoted_cap;
        std::size_t args_cap;
        bool fits;
    };
    const row rows[] = {
        {189, 192, 1024, true},   // quoted 191 + terminator: exactly full
        {190, 192, 1024, false},  // one more byte: the quoted value would be cut
        {10, 192, 16, true},      // "-x '0123456789'" is 15 bytes, 16 with the terminator
        {10, 192, 15, false},
    };
    for (const row& r : rows) {
        const std::string value(r.value_size, '0');
        cli_args a(r.args_cap);
        a.word("-x").quoted(value, r.quoted_cap);
        EXPECT_EQ(a.fits(), r.fits) << r.value_size << " " << r.quoted_cap << " " << r.args_cap;
    }
    // A single quote takes four bytes when quoted.
    cli_args q(1024);
    q.quoted(std::string(47, '\''), 192);
    EXPECT_TRUE(q.fits());
    q.quoted(std::string(48, '\''), 192);
    EXPECT_FALSE(q.fits());
}

TEST(LastJsonLine, Table) {
    struct row {
        std::string capture;
        long at;  // offset of the result, -1 for none
    };
    const row rows[] = {
        {"", -1},
        {"no json", -1},
        {"{\"a\":1}", 0},
        {"log\n{\"a\":1}\n{\"b\":2}", 12},
        {"{\"a\":1}\ntext after", 0},
        {" {\"indented\":1}", -1},
        {"x{\"mid\":1}", -1},
    };
    for (const row& r : rows) {
        buf b;
        if (!r.capture.empty()) buf_adds(b, r.capture);
        const char* p = last_json_line(b);
        EXPECT_EQ(p == nullptr ? -1L : static_cast<long>(p - b.c_str()), r.at) << r.capture;
    }
}

class RunCapture : public ::testing::Test {
  protected:
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("credvane-run-" + std::to_string(::getpid()));
    void SetUp() override { std::filesystem::create_directories(dir); }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string script(const std::string& body) {
        const auto p = dir / "runner.sh";
        std::ofstream(p) << "#!/bin/sh\n" << body << "\n";
        std::filesystem::permissions(p, std::filesystem::perms::owner_all);
        return p.string();
    }
};

TEST_F(RunCapture, ResultsAndTrimming) {
    struct row {
        std::string body;
        run_result result;
        std::string capture;
    };
    const row rows[] = {
        {"printf 'a\\n{\"k\":1}\\n\\n \\t\\n'", run_result::ran, "a\n{\"k\":1}"},
        {"echo '{}'; exit 1", run_result::ran, "{}"},
        {"echo '{}'; exit 127", run_result::not_found, "{}"},
        {"exit 126", run_result::not_found, ""},
        // the rest of a piece after a NUL is lost
        {"printf 'ab\\000cd\\nef'", run_result::ran, "abef"},
        {"printf '   \\n\\n'", run_result::ran, ""},
    };
    for (const row& r : rows) {
        buf out;
        EXPECT_EQ(run_capture(script(r.body).c_str(), cli_args(128), out), r.result) << r.body;
        EXPECT_EQ(out.view(), r.capture) << r.body;
    }
    buf none;
    EXPECT_EQ(run_capture("", cli_args(128), none), run_result::not_started);
    EXPECT_EQ(run_capture(nullptr, cli_args(128), none), run_result::not_started);
    EXPECT_FALSE(none.data);
}

TEST_F(RunCapture, OutputLimitDropsTheCrossingPiece) {
    // 128 lines of 2047 bytes plus LF = 262,144 bytes exactly: all of it arrives.
    const std::string lines =
        "i=0; while [ $i -lt 128 ]; do printf '%02047d\\n' 0; i=$((i+1)); done";
    buf whole;
    EXPECT_EQ(run_capture(script(lines).c_str(), cli_args(128), whole), run_result::ran);
    EXPECT_EQ(whole.len, 262144u - 1);  // the final LF is trimmed
    buf cut;
    EXPECT_EQ(run_capture(script(lines + "; printf x").c_str(), cli_args(128), cut),
              run_result::ran);
    EXPECT_EQ(cut.len, 262144u - 1);
}

TEST_F(RunCapture, ACliStillWritingPastTheLimitIsEndedAndCountsAsRun) {
    // It ignores SIGPIPE and every failed write: only being ended stops it. Left alone it
    // would hold the run until the request's CLI time is up and count as timed out.
    buf out;
    EXPECT_EQ(run_capture(script("trap '' PIPE; while :; do printf '%01023d\\n' 0; done").c_str(),
                          cli_args(128), out),
              run_result::ran);
    EXPECT_EQ(out.len, 262144u - 1);
}

}  // namespace
}  // namespace credvane

// platform_test.cc: the Windows platform layer on its own, run under wine.
#include "platform/platform.h"

#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/wine/harness.h"

namespace {

namespace platform = credvane::platform;

std::string quoted(const char* text, std::size_t cap) {
    std::vector<char> out(cap, '#');
    platform::shell_quote_into(text, out);
    return out.data();
}

TEST(ShellQuote, DoubleQuotesAndTheCutsOfTheCapacity) {
    const std::string long_name(600, 'n');
    struct row {
        const char* text;
        std::size_t cap;
        std::string want;
    };
    const row rows[] = {
        {"C:\\Program Files\\login.cmd", 64, "\"C:\\Program Files\\login.cmd\""},
        {nullptr, 8, "\"\""},
        {"", 3, "\"\""},
        {"abc", 3, "\"\""},
        {"abc", 5, "\"ab\""},
        {"say \"hi\"", 64, "\"say \\\"hi\\\"\""},
        // An escaped quote goes in whole or not at all.
        {"a\"b", 5, "\"a\""},
        {"a\"b", 6, "\"a\\\"\""},
        // Nothing but the quote is escaped: cmd.exe metacharacters stay as they are.
        {"50% & <x> | ^y", 64, "\"50% & <x> | ^y\""},
        {long_name.c_str(), 512, "\"" + std::string(509, 'n') + "\""},
    };
    for (const row& r : rows) {
        EXPECT_EQ(quoted(r.text, r.cap), r.want) << (r.text ? r.text : "(null)") << " " << r.cap;
    }
}

// Sets a variable for one test and takes it away afterwards.
struct scoped_env {
    const char* name;
    scoped_env(const char* n, const std::string& value) : name(n) {
        SetEnvironmentVariableA(n, value.c_str());
    }
    ~scoped_env() { SetEnvironmentVariableA(name, nullptr); }
};

TEST(HomeEnv, OnlyAWholeNonEmptyValueCounts) {
    struct row {
        std::string value;
        bool set;
        bool usable;
    };
    const row rows[] = {
        {"C:\\Users\\ops", true, true},
        {std::string(511, 'h'), true, true},
        {std::string(512, 'h'), true, false},  // needs 513 bytes: the API reports the size
        {"", true, false},
        {"", false, false},
    };
    for (const row& r : rows) {
        SetEnvironmentVariableA("CREDVANE_TEST_HOME", nullptr);
        if (r.set) SetEnvironmentVariableA("CREDVANE_TEST_HOME", r.value.c_str());
        std::array<char, 512> out{};
        out.fill('#');
        EXPECT_EQ(platform::home_env("CREDVANE_TEST_HOME", out), r.usable) << r.value.size();
        if (r.usable) {
            EXPECT_EQ(std::string(out.data()), r.value);
        }
    }
    SetEnvironmentVariableA("CREDVANE_TEST_HOME", nullptr);
}

class Files : public ::testing::Test {
  protected:
    wine::host h;
};

TEST_F(Files, JsonEntriesAreSortedAndReallyEndInJson) {
    for (const char* name :
         {"b.json", "a.json", "C.JSON", ".json", "notes.txt", "d.jsonl", "e.json.bak", "f.jso"}) {
        h.write(std::string("accts\\") + name, "{}");
    }
    std::filesystem::create_directories(h.root + "\\accts\\x.json");
    std::vector<std::string> got;
    for (const platform::dir_entry& e : platform::list_json_entries((h.root + "\\accts").c_str())) {
        got.push_back(e.name + (e.is_dir ? "/" : ""));
    }
    EXPECT_EQ(got, (std::vector<std::string>{".json", "C.JSON", "a.json", "b.json", "x.json/"}));
    EXPECT_TRUE(platform::list_json_entries((h.root + "\\none").c_str()).empty());
}

TEST_F(Files, OnlyADiskFileIsReadAndNothingBlocks) {
    const std::string file = h.write("f.json", "{\"a\":1}\r\n");
    EXPECT_EQ(platform::read_regular_file(file.c_str(), 64), "{\"a\":1}\r\n");
    EXPECT_EQ(platform::read_regular_file(file.c_str(), 9), "{\"a\":1}\r\n");
    EXPECT_FALSE(platform::read_regular_file(file.c_str(), 8));
    EXPECT_EQ(platform::read_regular_file(h.write("empty", "").c_str(), 8), "");
    // A pipe whose writer never writes, and the console: reading either would hang.
    const char* pipe_name = "\\\\.\\pipe\\credvane-read-test";
    const HANDLE server = CreateNamedPipeA(pipe_name, PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE, 1, 4096,
                                           4096, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    for (const std::string& path : {h.root, h.root + "\\missing", std::string("NUL"),
                                    std::string("CON"), std::string(pipe_name), std::string()}) {
        EXPECT_FALSE(platform::read_regular_file(path.c_str(), 1 << 20)) << path;
    }
    CloseHandle(server);
}

TEST_F(Files, NonDirectoryTest) {
    const std::string file = h.write("f", "x");
    EXPECT_TRUE(platform::is_non_directory(file.c_str()));
    EXPECT_FALSE(platform::is_non_directory(h.root.c_str()));
    EXPECT_FALSE(platform::is_non_directory((h.root + "\\missing").c_str()));
    EXPECT_FALSE(platform::is_non_directory(""));
    EXPECT_TRUE(platform::remove_file(file.c_str()));
    EXPECT_FALSE(platform::is_non_directory(file.c_str()));
    EXPECT_FALSE(platform::remove_file(file.c_str()));
}

// Runs line the way the CLI runner does and returns its output and how it ended.
struct run_result {
    std::vector<std::string> lines;
    platform::run_end end;
};
run_result run(const std::string& line, int timeout_seconds = 0, std::size_t piece = 2048) {
    platform::child_process child(line.c_str(), timeout_seconds);
    EXPECT_TRUE(child.started()) << line;
    run_result r;
    std::vector<char> buf(piece);
    while (child.read_line(buf)) r.lines.emplace_back(buf.data());
    r.end = child.finish();
    return r;
}

std::string quote(const std::string& s) {
    std::array<char, 2048> out{};
    platform::shell_quote_into(s.c_str(), out);
    return out.data();
}

TEST_F(Files, QuotedProgramAndQuotedArgumentsReachTheCli) {
    // More than two quotes on the line: cmd.exe would strip the outer ones without help.
    const std::string cli = h.script("the cli", "echo [%~1][%~2][%~3][%~4]\nexit /b 0\n");
    const run_result r =
        run(quote(cli) + " --start --name " + quote("work") + " 2>" + platform::null_device);
    EXPECT_EQ(r.lines, (std::vector<std::string>{"[--start][--name][work][]\r\n"}));
    EXPECT_EQ(r.end, platform::run_end::ran);
}

TEST_F(Files, LinesArriveInPiecesOfTheGivenSize) {
    const std::string cli = h.script("cli", "echo abcdefghij\necho {}\n");
    const run_result r = run(quote(cli), 0, 8);
    EXPECT_EQ(r.lines, (std::vector<std::string>{"abcdefg", "hij\r\n", "{}\r\n"}));
}

TEST_F(Files, ExitCodesThatMeanTheCliCannotRun) {
    struct row {
        std::string program;
        platform::run_end end;
    };
    const row rows[] = {
        {"credvane-no-such-cli", platform::run_end::cannot_run},  // 9009 from cmd.exe
        {h.script("e127", "echo {}\nexit /b 127\n"), platform::run_end::cannot_run},
        {h.script("e126", "exit /b 126\n"), platform::run_end::cannot_run},
        {h.script("e1", "echo {}\nexit /b 1\n"), platform::run_end::ran},
        {h.script("e3", "exit /b 3\n"), platform::run_end::ran},
    };
    for (const row& r : rows) {
        EXPECT_EQ(run(quote(r.program) + " --status 2>NUL").end, r.end) << r.program;
    }
}

TEST_F(Files, AnOverstayingRunIsEndedWithEverythingItStarted) {
    // The CLI waits for a grandchild that leaves a mark once it is let go, after the run. The
    // check holds only for a run whose grandchild came up before the timeout ended it; on a
    // busy machine cmd.exe may take longer than a second to get there, so the timeout doubles
    // until a run gets that far.
    for (int timeout = 1; timeout <= 16; timeout *= 2) {
        wine::held_helper helper;
        std::string mark = h.root;
        mark += "\\survived-";
        mark += std::to_string(timeout);
        std::string body = "echo started\n";
        body += helper.hold_command(mark);
        body += "\necho finished\n";
        const std::string cli = h.script("slow", body);
        const run_result r = run(quote(cli), timeout);
        EXPECT_EQ(r.end, platform::run_end::timed_out);
        if (!helper.came_up()) continue;
        EXPECT_EQ(r.lines, (std::vector<std::string>{"started\r\n"}));
        helper.let_go_and_wait();
        EXPECT_FALSE(h.exists(mark)) << "the grandchild outlived the timeout";
        return;
    }
    ADD_FAILURE() << "the grandchild never came up before the timeout";
}

TEST(Clock, NowIsTheUnixTime) {
    const auto unix_now = std::chrono::duration_cast<std::chrono::seconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    EXPECT_NEAR(static_cast<double>(platform::now()), static_cast<double>(unix_now), 2.0);
}

TEST(Strnicmp, AsciiLettersFoldOnly) {
    EXPECT_EQ(platform::strnicmp("BeArEr x", "bearer y", 7), 0);
    EXPECT_NE(platform::strnicmp("Bearer", "Basic ", 6), 0);
    EXPECT_NE(platform::strnicmp("[", "{", 1), 0);
}

}  // namespace

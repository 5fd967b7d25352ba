// child_process_test.cc: how a CLI is started on POSIX: found as the shell found it, with
// exactly its arguments, and holding none of credvane's descriptors.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix_fds.h"

namespace credvane::platform {
namespace {

namespace fs = std::filesystem;

struct outcome {
    start_failure failure = start_failure::none;
    std::string out;
    run_result end = run_result::ran;
};

outcome run(const std::string& program, const std::vector<std::string_view>& args = {}) {
    child_process child(program.c_str(), args, 10000, environment());
    outcome o;
    o.failure = child.failure();
    std::vector<char> piece(4096);
    while (child.read_line(piece)) o.out += piece.data();
    o.end = child.finish();
    return o;
}

// Sets PATH for one test and puts the old value back.
class path_override {
  public:
    explicit path_override(const std::optional<std::string>& value) {
        if (const char* old = std::getenv("PATH")) old_ = old;
        if (value) {
            ::setenv("PATH", value->c_str(), 1);
        } else {
            ::unsetenv("PATH");
        }
    }
    ~path_override() {
        if (old_) {
            ::setenv("PATH", old_->c_str(), 1);
        } else {
            ::unsetenv("PATH");
        }
    }

  private:
    std::optional<std::string> old_;
};

class ChildProcess : public ::testing::Test {
  protected:
    fs::path dir = fs::temp_directory_path() / ("credvane-child-" + std::to_string(::getpid()));
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override {
        fs::current_path(fs::temp_directory_path());
        fs::remove_all(dir);
    }
    fs::path file(const std::string& rel, const std::string& body, fs::perms perms) {
        const fs::path p = dir / rel;
        fs::create_directories(p.parent_path());
        std::ofstream(p) << body;
        fs::permissions(p, perms);
        return p;
    }
};

constexpr auto exec_perms = fs::perms::owner_all;
constexpr auto read_perms = fs::perms::owner_read | fs::perms::owner_write;

// Each argument in angle brackets, $0 first.
const char* echo_argv = "#!/bin/sh\nprintf '<%s>' \"$0\" \"$@\"\n";

TEST_F(ChildProcess, ArgumentsArriveExactly) {
    const fs::path cli = file("cli", echo_argv, exec_perms);
    const outcome o = run(cli.string(), {"--name", "we ird 'q' \"dq\" $(x) `y` \\ ;&|", ""});
    EXPECT_EQ(o.failure, start_failure::none);
    // Appended, not `"<" + std::string`: GCC 12 takes that operator's inlined copy for an
    // overlapping memcpy (-Wrestrict) in optimised builds.
    std::string want = "<";
    want += cli.string();
    want += "><--name><we ird 'q' \"dq\" $(x) `y` \\ ;&|><>";
    EXPECT_EQ(o.out, want);
    EXPECT_EQ(o.end, run_result::ran);
}

TEST_F(ChildProcess, ProgramsAreFoundAsTheShellFoundThem) {
    file("a/cli", "#!/bin/sh\necho a\n", read_perms);  // not executable: passed over
    file("b/cli", "#!/bin/sh\necho b\n", exec_perms);
    file("c/only-here", "#!/bin/sh\necho c\n", read_perms);
    file("cwd/cli", "#!/bin/sh\necho cwd\n", exec_perms);
    // No "#!" line: the shell runs it as a script, with the found path as $0.
    const fs::path plain = file("d/plain", "printf '<%s>' \"$0\" \"$@\"\n", exec_perms);
    fs::create_directories(dir / "e" / "folder");
    fs::create_directories(dir / "cwd" / "sub");
    fs::current_path(dir / "cwd");
    const std::string a = (dir / "a").string();
    const std::string b = (dir / "b").string();
    const std::string c = (dir / "c").string();
    const std::string d = (dir / "d").string();
    struct row {
        std::optional<std::string> path;  // PATH, unset when empty optional
        std::string program;
        start_failure failure;
        std::string out;
    };
    const row rows[] = {
        {a + ":" + b, "cli", start_failure::none, "b\n"},
        {b + "/:" + a, "cli", start_failure::none, "b\n"},  // a trailing slash is no matter
        {a, "cli", start_failure::not_executable, ""},
        {c, "only-here", start_failure::not_executable, ""},
        {a + ":" + b, "missing", start_failure::not_found, ""},
        // An empty entry is not the current folder here, unlike in the shell.
        {":" + a, "cli", start_failure::not_executable, ""},
        {"/nonexistent:", "cli", start_failure::not_found, ""},
        // Nor is any other relative entry: each names a folder under the current one.
        {".:" + a, "cli", start_failure::not_executable, ""},
        {"./:" + a, "cli", start_failure::not_executable, ""},
        {"../cwd:" + a, "cli", start_failure::not_executable, ""},
        {"sub/..:" + a, "cli", start_failure::not_executable, ""},
        {"../b", "cli", start_failure::not_found, ""},
        {"../b:" + b, "cli", start_failure::none, "b\n"},
        {std::string(), "cli", start_failure::not_found, ""},
        // Without PATH, the shell's own default finds the system's programs.
        {std::nullopt, "true", start_failure::none, ""},
        // A name with a slash is a path, from the current folder when relative.
        {"/nonexistent", "./cli", start_failure::none, "cwd\n"},
        {a, (dir / "b" / "cli").string(), start_failure::none, "b\n"},
        {a, (dir / "b" / "missing").string(), start_failure::not_found, ""},
        {a, (dir / "b" / "cli" / "x").string(), start_failure::not_found, ""},  // ENOTDIR
        {a, (dir / "a" / "cli").string(), start_failure::not_executable, ""},
        {a, (dir / "e" / "folder").string(), start_failure::not_executable, ""},
        {d, "plain", start_failure::none, "<" + plain.string() + "><x>"},
    };
    for (const row& r : rows) {
        const path_override env(r.path);
        const outcome o = run(r.program, {"x"});
        EXPECT_EQ(o.failure, r.failure) << r.program << " on " << r.path.value_or("(unset)");
        EXPECT_EQ(o.out, r.out) << r.program << " on " << r.path.value_or("(unset)");
        if (r.failure != start_failure::none) {
            EXPECT_EQ(o.end, run_result::not_found);
        }
    }
}

// The descriptors a program sees, as their targets, one a line.
std::string descriptors_seen() {
    const outcome o = run("/bin/sh", {"-c",
                                      "for f in /proc/$$/fd/*; do printf '%s %s\\n' \"${f##*/}\" "
                                      "\"$(readlink \"$f\")\"; done"});
    return o.out;
}

TEST_F(ChildProcess, OnlyTheStandardDescriptorsReachTheProgram) {
    const fs::path marker = file("held-open", "x", read_perms);
    const int fd = ::open(marker.c_str(), O_RDONLY);  // without close-on-exec on purpose
    ASSERT_GE(fd, 3);
    const std::string seen = descriptors_seen();
    ::close(fd);
    EXPECT_EQ(seen.find(marker.string()), std::string::npos) << seen;
    EXPECT_NE(seen.find("0 /dev/null\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find("2 /dev/null\n"), std::string::npos) << seen;
}

TEST_F(ChildProcess, EveryWayOfMarkingDescriptorsMarksThemAll) {
    const fs::path marker = file("held-open", "x", read_perms);
    for (const cloexec_way way :
         {cloexec_way::close_range, cloexec_way::proc_listing, cloexec_way::bounded_loop}) {
        const int low = ::open(marker.c_str(), O_RDONLY);
        // One far up, where a loop that stopped early would miss it.
        const int high = ::fcntl(low, F_DUPFD, 900);
        ASSERT_GE(low, 3);
        ASSERT_GE(high, 900);
        if (!mark_cloexec_above_stderr(way)) {
            // Only the kernel call may be missing (an older kernel).
            EXPECT_EQ(way, cloexec_way::close_range);
        } else {
            EXPECT_TRUE(::fcntl(low, F_GETFD) & FD_CLOEXEC) << static_cast<int>(way);
            EXPECT_TRUE(::fcntl(high, F_GETFD) & FD_CLOEXEC) << static_cast<int>(way);
            // The standard descriptors stay as they were.
            EXPECT_FALSE(::fcntl(STDERR_FILENO, F_GETFD) & FD_CLOEXEC);
        }
        ::close(low);
        ::close(high);
    }
}

}  // namespace
}  // namespace credvane::platform

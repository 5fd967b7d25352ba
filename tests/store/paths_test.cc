// paths_test.cc: where the store's files lie for each combination of environment variables.
#include "store/paths.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/text.h"
#include "platform/platform.h"

namespace credvane {
namespace {

// Every variable the store reads. The guard clears them all for one test and puts the
// runner's values back afterwards, so no test sees another's settings or the host's.
constexpr const char* store_vars[] = {"USERPROFILE",       "HOME",          "HOMEPATH",
                                      "CODEX_CREDS_PATH",  "CODEX_ENV_DIR", "CODEX_ACCOUNTS_DIR",
                                      "CODEX_PENDING_DIR", "CODEX_HOME"};

class env_guard {
  public:
    env_guard() {
        for (const char* name : store_vars) {
            const char* v = std::getenv(name);
            saved_.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
            unsetenv(name);
        }
    }
    ~env_guard() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                setenv(name, value->c_str(), 1);
            } else {
                unsetenv(name);
            }
        }
    }
    env_guard(const env_guard&) = delete;
    env_guard& operator=(const env_guard&) = delete;

    void set(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }

  private:
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

using env_list = std::vector<std::pair<const char*, std::string>>;

// The tables below spell paths with the POSIX separator.
class Paths : public ::testing::Test {
  protected:
    void SetUp() override {
        if (platform::dir_sep != '/') GTEST_SKIP() << "tables are written for '/'";
    }
    void apply(const env_list& vars) {
        for (const auto& [name, value] : vars) env_.set(name, value);
    }
    env_guard env_;
};

std::string get(bool (*fn)(std::span<char>)) {
    path_text out;
    fn(out.span());
    return std::string(out.view());
}

std::string pending(const char* name) {
    path_text out;
    pending_path(name, out.span());
    return std::string(out.view());
}

TEST_F(Paths, HomeDirChoosesTheFirstUsableVariable) {
    const std::string too_long(600, 'x');
    const std::string fits(511, 'f');  // 511 bytes and the terminator fill the buffer
    struct row {
        env_list vars;
        const char* want;  // null: no home directory
    };
    const row rows[] = {
        {{}, nullptr},
        {{{"HOME", "/home/op"}}, "/home/op"},
        {{{"USERPROFILE", "/u/p"}, {"HOME", "/home/op"}}, "/u/p"},
        {{{"USERPROFILE", ""}, {"HOME", "/home/op"}}, "/home/op"},
        {{{"HOMEPATH", "/Users/op"}}, "/Users/op"},
        {{{"HOME", ""}, {"HOMEPATH", "/Users/op"}}, "/Users/op"},
        {{{"USERPROFILE", ""}, {"HOME", ""}, {"HOMEPATH", ""}}, nullptr},
        // A value too long for the buffer is unusable, so the next variable is tried.
        {{{"USERPROFILE", too_long}, {"HOME", "/home/op"}}, "/home/op"},
        {{{"HOME", too_long}, {"HOMEPATH", "/Users/op"}}, "/Users/op"},
        {{{"HOMEPATH", too_long}}, nullptr},
        {{{"HOME", std::string(512, 'x')}, {"HOMEPATH", "/Users/op"}}, "/Users/op"},
        {{{"HOME", fits}}, fits.c_str()},
    };
    for (const row& r : rows) {
        env_guard scope;
        for (const auto& [name, value] : r.vars) scope.set(name, value);
        const char* got = home_dir();
        if (r.want == nullptr) {
            EXPECT_EQ(got, nullptr) << r.vars.size() << " variables";
        } else {
            ASSERT_NE(got, nullptr) << r.want;
            EXPECT_STREQ(got, r.want);
        }
    }
}

TEST_F(Paths, DirOfKeepsTheLastSeparator) {
    struct row {
        const char* path;
        const char* want;
    };
    const row rows[] = {
        {nullptr, ""},
        {"", ""},
        {"auth.json", ""},
        {"/keys/auth.json", "/keys/"},
        {"/a/b/c/", "/a/b/c/"},
        {"/", "/"},
        {"keys/auth.json", "keys/"},
        {"keys\\auth.json", ""},  // a backslash is an ordinary name byte here
        {"D:\\keys/codex/auth.json", "D:\\keys/codex/"},
    };
    for (const row& r : rows) {
        path_text out;
        out.assign("stale");
        dir_of(r.path, out.span());
        EXPECT_STREQ(out.c_str(), r.want) << (r.path ? r.path : "(null)");
    }
}

TEST_F(Paths, EachFileFollowsItsVariables) {
    struct row {
        const char* what;
        env_list vars;
        const char* creds;
        const char* accounts;
        const char* profile;
        const char* pending_default;
        const char* pending_work;
    };
    const env_list home = {{"HOME", "/home/op"}};
    const row rows[] = {
        {"home only", home, "/home/op/.codex/auth.json", "/home/op/.codex/accounts",
         "/home/op/.claude/quenlo-env/codex.txt",
         "/home/op/.claude/.login-pending/codex-default.json",
         "/home/op/.claude/.login-pending/codex-work.json"},
        {"HOMEPATH only",
         {{"HOMEPATH", "/Users/op"}},
         "/Users/op/.codex/auth.json",
         "/Users/op/.codex/accounts",
         "/Users/op/.claude/quenlo-env/codex.txt",
         "/Users/op/.claude/.login-pending/codex-default.json",
         "/Users/op/.claude/.login-pending/codex-work.json"},
        {"no home, no overrides: relative to the current directory",
         {},
         ".codex/auth.json",
         ".codex/accounts",
         "quenlo-env//codex.txt",
         ".login-pending//codex-default.json",
         ".login-pending//codex-work.json"},
        {"credential file moved: accounts follow it, profile and markers stay home",
         {{"HOME", "/home/op"}, {"CODEX_CREDS_PATH", "/keys/auth.json"}},
         "/keys/auth.json",
         "/keys/accounts",
         "/home/op/.claude/quenlo-env/codex.txt",
         "/home/op/.claude/.login-pending/codex-default.json",
         "/home/op/.claude/.login-pending/codex-work.json"},
        {"credential file without a directory",
         {{"HOME", "/home/op"}, {"CODEX_CREDS_PATH", "auth.json"}},
         "auth.json",
         "/home/op/.codex/accounts",
         "/home/op/.claude/quenlo-env/codex.txt",
         "/home/op/.claude/.login-pending/codex-default.json",
         "/home/op/.claude/.login-pending/codex-work.json"},
        {"credential file without a directory and no home",
         {{"CODEX_CREDS_PATH", "auth.json"}},
         "auth.json",
         ".codex/accounts",
         "quenlo-env//codex.txt",
         ".login-pending//codex-default.json",
         ".login-pending//codex-work.json"},
        {"every override, used verbatim",
         {{"HOME", "/home/op"},
          {"CODEX_CREDS_PATH", "/keys/auth.json"},
          {"CODEX_ACCOUNTS_DIR", "/acc"},
          {"CODEX_ENV_DIR", "/env/"},
          {"CODEX_PENDING_DIR", "/pend"}},
         "/keys/auth.json",
         "/acc",
         "/env//codex.txt",
         "/pend/codex-default.json",
         "/pend/codex-work.json"},
        {"CODEX_HOME holds the Codex CLI's files: the credential file and accounts follow it",
         {{"HOME", "/home/op"}, {"CODEX_HOME", "/srv/codex"}},
         "/srv/codex/auth.json",
         "/srv/codex/accounts",
         "/home/op/.claude/quenlo-env/codex.txt",
         "/home/op/.claude/.login-pending/codex-default.json",
         "/home/op/.claude/.login-pending/codex-work.json"},
        {"CODEX_HOME with a trailing separator gets no second one",
         {{"CODEX_HOME", "/srv/codex/"}},
         "/srv/codex/auth.json",
         "/srv/codex/accounts",
         "quenlo-env//codex.txt",
         ".login-pending//codex-default.json",
         ".login-pending//codex-work.json"},
        {"CODEX_CREDS_PATH wins over CODEX_HOME",
         {{"HOME", "/home/op"},
          {"CODEX_HOME", "/srv/codex"},
          {"CODEX_CREDS_PATH", "/keys/auth.json"}},
         "/keys/auth.json",
         "/keys/accounts",
         "/home/op/.claude/quenlo-env/codex.txt",
         "/home/op/.claude/.login-pending/codex-default.json",
         "/home/op/.claude/.login-pending/codex-work.json"},
        {"empty overrides count as unset",
         {{"HOME", "/home/op"},
          {"CODEX_CREDS_PATH", ""},
          {"CODEX_HOME", ""},
          {"CODEX_ACCOUNTS_DIR", ""},
          {"CODEX_ENV_DIR", ""},
          {"CODEX_PENDING_DIR", ""}},
         "/home/op/.codex/auth.json",
         "/home/op/.codex/accounts",
         "/home/op/.claude/quenlo-env/codex.txt",
         "/home/op/.claude/.login-pending/codex-default.json",
         "/home/op/.claude/.login-pending/codex-work.json"},
    };
    for (const row& r : rows) {
        env_guard scope;
        for (const auto& [name, value] : r.vars) scope.set(name, value);
        EXPECT_EQ(get(creds_path), r.creds) << r.what;
        EXPECT_EQ(get(accounts_dir), r.accounts) << r.what;
        EXPECT_EQ(get(profile_path), r.profile) << r.what;
        EXPECT_EQ(pending(""), r.pending_default) << r.what;
        EXPECT_NE(pending("default"), r.pending_default) << r.what;
        EXPECT_EQ(pending("work"), r.pending_work) << r.what;
    }
}

TEST_F(Paths, CodexDirAlwaysEndsWithASeparator) {
    struct row {
        env_list vars;
        const char* want;
    };
    const row rows[] = {
        {{{"HOME", "/home/op"}}, "/home/op/.codex/"},
        {{}, ".codex/"},
        {{{"HOME", "/home/op"}, {"CODEX_CREDS_PATH", "/keys/auth.json"}}, "/keys/"},
        {{{"HOME", "/home/op"}, {"CODEX_CREDS_PATH", "auth.json"}}, "/home/op/.codex/"},
    };
    for (const row& r : rows) {
        env_guard scope;
        for (const auto& [name, value] : r.vars) scope.set(name, value);
        EXPECT_EQ(get(codex_dir), r.want);
    }
}

// A result longer than 1023 bytes is cut there, and the builder says so: a cut path names
// another file. A result of exactly 1023 bytes is whole.
TEST_F(Paths, LongResultsAreCutAt1023BytesAndSaySo) {
    const std::string creds = "/k/" + std::string(1100, 'a') + "/auth.json";
    const std::string d1013(1013, 'e');  // + "/codex.txt" = 1023
    struct row {
        const char* what;
        env_list vars;
        bool (*builder)(std::span<char>);
        std::string want;
        bool whole;
    };
    const row rows[] = {
        {"profile, 1020-byte folder",
         {{"CODEX_ENV_DIR", std::string(1020, 'e')}},
         profile_path,
         std::string(1020, 'e') + "/co",
         false},
        {"profile, exactly 1023 bytes",
         {{"CODEX_ENV_DIR", d1013}},
         profile_path,
         d1013 + "/codex.txt",
         true},
        {"long credential file",
         {{"CODEX_CREDS_PATH", creds}, {"HOME", "/home/op"}},
         creds_path,
         creds.substr(0, 1023),
         false},
        // The folder part is taken from the path cut at 1023 bytes, whose last separator is
        // the one after "/k": not the folder of the file.
        {"accounts beside a long credential file",
         {{"CODEX_CREDS_PATH", creds}, {"HOME", "/home/op"}},
         accounts_dir,
         "/k/accounts",
         false},
        {"codex folder of a long credential file",
         {{"CODEX_CREDS_PATH", creds}, {"HOME", "/home/op"}},
         codex_dir,
         "/k/",
         false},
        {"accounts override too long",
         {{"CODEX_ACCOUNTS_DIR", std::string(1024, 'a')}},
         accounts_dir,
         std::string(1023, 'a'),
         false},
        {"accounts override 1023 bytes",
         {{"CODEX_ACCOUNTS_DIR", std::string(1023, 'a')}},
         accounts_dir,
         std::string(1023, 'a'),
         true},
        // append, not "/" + string: GCC 12's -Wrestrict misreads that concatenation.
        {"a long home still fits",
         {{"HOME", std::string("/").append(510, 'h')}},
         creds_path,
         std::string("/").append(510, 'h').append("/.codex/auth.json"),
         true},
    };
    for (const row& r : rows) {
        env_guard scope;
        for (const auto& [name, value] : r.vars) scope.set(name, value);
        path_text out;
        EXPECT_EQ(r.builder(out.span()), r.whole) << r.what;
        EXPECT_EQ(std::string(out.view()), r.want) << r.what;
    }

    env_.set("CODEX_PENDING_DIR", std::string(1030, 'p'));
    path_text out;
    EXPECT_FALSE(pending_path("work", out.span()));
    EXPECT_EQ(std::string(out.view()), std::string(1023, 'p'));
    // 1002 bytes, "/codex-", the name and ".json": whole up to a 9-byte name.
    env_.set("CODEX_PENDING_DIR", std::string(1002, 'p'));
    EXPECT_TRUE(pending_path("abcdefghi", out.span()));
    EXPECT_EQ(std::string(out.view()).size(), 1023u);
    EXPECT_FALSE(pending_path("abcdefghij", out.span()));

    // An account's file: the folder, a separator, the name and ".json"; the empty name is
    // the default credential file.
    env_.set("CODEX_ACCOUNTS_DIR", std::string(1013, 'a'));
    EXPECT_TRUE(credentials_path("work", out.span()));
    EXPECT_EQ(std::string(out.view()), std::string(1013, 'a') + "/work.json");
    EXPECT_FALSE(account_path("works", out.span()));
    EXPECT_EQ(std::string(out.view()).size(), 1023u);
    env_.set("CODEX_CREDS_PATH", "/keys/auth.json");
    EXPECT_TRUE(credentials_path("", out.span()));
    EXPECT_EQ(std::string(out.view()), "/keys/auth.json");
}

// Every file of every account in the pending folder, told apart as a file system that does not
// tell case apart tells them: no two accounts may share one, or a poll of one would sign in
// another, or one account's lock would hold up another's. Names that differ in case alone are
// one account there (their credential files are one file too).
TEST_F(Paths, NoTwoAccountsSharePendingFiles) {
    env_.set("CODEX_PENDING_DIR", "/p");
    const char* const names[] = {"",       "default", "Default",     "DEFAULT",      "x",
                                 "x.json", "x.lock",  "x.json.lock", "default.json", "defaults"};
    auto folded = [](std::string t) {
        for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return t;
    };
    std::map<std::string, std::string> owner;  // a file, folded: the account, folded
    for (const char* name : names) {
        const std::string account = *name == '\0' ? "(the default account)" : folded(name);
        std::set<std::string> own;
        for (auto* builder : {pending_path, pending_lock_path, pending_poll_lock_path}) {
            path_text out;
            ASSERT_TRUE(builder(name, out.span())) << name;
            const std::string file = folded(std::string(out.view()));
            // Two builders of one account may not meet either.
            EXPECT_TRUE(own.insert(file).second) << file << " serves two ends of '" << name << "'";
            const auto [at, fresh] = owner.emplace(file, account);
            EXPECT_EQ(at->second, account) << file << " is both " << at->second << " and " << name;
        }
    }
    // The default account's marker stays where it always was, and so do other names'.
    EXPECT_EQ(pending(""), "/p/codex-default.json");
    EXPECT_EQ(pending("work"), "/p/codex-work.json");
    EXPECT_EQ(pending("default"), "/p/codex-@default.json");
    EXPECT_EQ(pending("Default"), "/p/codex-@Default.json");
}

TEST_F(Paths, FileExistsOnlyForNonDirectories) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "credvane-paths-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    const std::filesystem::path dir = tmpl;
    const std::string file = (dir / "auth.json").string();
    std::ofstream(file) << "{}";

    EXPECT_EQ(file_exists(file.c_str()), 1);
    EXPECT_EQ(file_exists(dir.c_str()), 0);
    EXPECT_EQ(file_exists((dir / "missing.json").c_str()), 0);
    EXPECT_EQ(file_exists(""), 0);
    std::filesystem::remove_all(dir);
}

TEST(NameValid, Table) {
    struct row {
        std::string name;
        int valid;
    };
    const row rows[] = {
        {"", 0},
        {"work", 1},
        {"-", 1},
        {"a.b..c.", 1},
        {"A_z-0.9", 1},
        {".hidden", 0},
        {std::string(64, 'a'), 1},
        {std::string(65, 'a'), 0},
        {"a b", 0},
        {"a/b", 0},
        {"a\\b", 0},
        {"a:b", 0},
        {"a\"b", 0},
        {"caf\xc3\xa9", 0},
        {"tab\t", 0},
    };
    for (const row& r : rows) EXPECT_EQ(name_valid(r.name.c_str()), r.valid) << r.name;
    EXPECT_EQ(name_valid(nullptr), 0);
}

// Windows opens a device for these names in any folder and with any extension, so no
// account file can have them there; elsewhere they are ordinary names.
TEST(NameValid, DeviceNamesOnlyWhereTheyAreDevices) {
#ifdef _WIN32
    const int device = 0;
#else
    const int device = 1;
#endif
    struct row {
        const char* name;
        int valid;
    };
    const row rows[] = {
        {"CON", device},     {"con", device},  {"Nul", device},    {"aux.json", device},
        {"PRN.a.b", device}, {"com1", device}, {"COM9.x", device}, {"lpt1", device},
        {"LpT9", device},    {"con.", device}, {"COM10", 1},       {"LPT", 1},
        {"console", 1},      {"nul_", 1},      {"xCON", 1},        {"CON-1", 1},
        {"AUXILIARY", 1},    {"a.con", 1},     {"COM1_", 1},
    };
    for (const row& r : rows) EXPECT_EQ(name_valid(r.name), r.valid) << r.name;
}

}  // namespace
}  // namespace credvane

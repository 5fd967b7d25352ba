// authfile_test.cc: the credential file as the Codex CLI writes it, byte for byte, and
// its replacement and locks.
#include "signin/authfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "helpers.h"
#include "platform/platform.h"

namespace credvane::authfile {
namespace {

// The file the Codex CLI 0.169.0 wrote after a device login, tokens shortened.
const std::string cli_file = R"({
  "auth_mode": "chatgpt",
  "OPENAI_API_KEY": null,
  "tokens": {
    "id_token": "eyJh.eyJz.c2ln",
    "access_token": "eyJh.eyJl.c2ln",
    "refresh_token": "rt_opaque",
    "oauth_provenance": {
      "issuer": "https://auth.openai.com",
      "client_id": "app_EMoamEEZ73f0CkXaXp7hrann"
    },
    "login_owner_id": "3q2-7wAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA",
    "account_id": "acct-1"
  },
  "last_refresh": "2026-12-10T16:35:40.356794903Z"
})";

TEST(AuthFile, ANewLoginIsWrittenAsTheCli) {
    const json doc =
        new_login({"eyJh.eyJz.c2ln", "eyJh.eyJl.c2ln", "rt_opaque"}, "https://auth.openai.com",
                  "app_EMoamEEZ73f0CkXaXp7hrann", "3q2-7wAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA",
                  "acct-1", "2026-12-10T16:35:40.356794903Z");
    EXPECT_EQ(format(doc), cli_file);
    // A file the CLI wrote reads back and writes out unchanged.
    EXPECT_EQ(format(*parse(cli_file)), cli_file);
    // No account id in the id token: null, as the CLI writes a missing one.
    const json none = new_login({"a.b.c", "a.b.c", "r"}, "i", "c", "o", "", "t");
    EXPECT_TRUE(none["tokens"]["account_id"].is_null());
}

TEST(AuthFile, ARefreshChangesOnlyTokensAndTime) {
    json doc = *parse(
        R"({"z":1,"tokens":{"x":[1],"access_token":"old","refresh_token":"r0","id_token":"i0"},)"
        R"("last_refresh":"t0","a":{}})");
    ASSERT_TRUE(apply_refresh(doc, {"", "new", "r1"}, "t1"));
    EXPECT_EQ(
        doc.dump(),
        R"({"z":1,"tokens":{"x":[1],"access_token":"new","refresh_token":"r1","id_token":"i0"},)"
        R"("last_refresh":"t1","a":{}})");
    json flat = *parse(R"({"access_token":"old"})");
    EXPECT_FALSE(apply_refresh(flat, {"", "new", ""}, "t"));
}

TEST(AuthFile, ParseRefusesWhatCouldHurtTheWriter) {
    EXPECT_FALSE(parse(std::string(33, '[') + std::string(33, ']')));
    EXPECT_TRUE(parse(std::string(32, '[') + std::string(32, ']')));
    EXPECT_TRUE(parse(R"({"s":"[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[\"["})"));
    EXPECT_FALSE(parse("{\"a\":\"\xff\"}"));
    EXPECT_FALSE(parse("{\"a\":1"));
}

TEST(AuthFile, LastRefreshHasNineFractionDigits) {
    using namespace std::chrono;
    const system_clock::time_point t{
        duration_cast<system_clock::duration>(seconds(1796920540) + nanoseconds(356794903))};
    // The system clock's resolution may be coarser than a nanosecond.
    const std::string s = rfc3339_nanos(t);
    EXPECT_EQ(s.substr(0, 20), "2026-12-10T16:35:40.");
    EXPECT_EQ(s.size(), 30u);
    EXPECT_EQ(s.back(), 'Z');
    EXPECT_EQ(rfc3339_nanos(system_clock::time_point{}), "1970-01-01T00:00:00.000000000Z");
    EXPECT_EQ(new_login_owner_id().size(), 43u);
    EXPECT_NE(new_login_owner_id(), new_login_owner_id());
}

class Files : public ::testing::Test {
  protected:
    signin_test::node n;
    std::string dir() const { return (n.root / "codex").string(); }
    std::string path() const { return dir() + "/auth.json"; }
};

TEST_F(Files, WriteReplacesAtomicallyWithMode0600) {
    ASSERT_TRUE(write(path(), "first"));
    EXPECT_EQ(signin_test::mode_of(dir()), 0700u);
    EXPECT_EQ(signin_test::mode_of(path()), 0600u);
    // A reader that has the old file open keeps reading the old bytes.
    const int fd = ::open(path().c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(write(path(), "second"));
    char buf[16] = {};
    EXPECT_EQ(::read(fd, buf, sizeof buf), 5);
    EXPECT_STREQ(buf, "first");
    ::close(fd);
    EXPECT_EQ(signin_test::slurp(path()), "second");
    EXPECT_EQ(signin_test::mode_of(path()), 0600u);
    std::size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir())) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 1u) << "no temporary file stays";
    // A folder that cannot be written: the write fails and the file stays.
    ::chmod(dir().c_str(), 0500);
    if (::geteuid() != 0) {
        EXPECT_FALSE(write(path(), "third"));
        EXPECT_EQ(signin_test::slurp(path()), "second");
    }
    ::chmod(dir().c_str(), 0700);
}

TEST_F(Files, LocksExcludeEachOtherInTheCliOrder) {
    std::optional<locks> first;
    first.emplace(path(), platform::monotonic_ms() + 1000);
    ASSERT_TRUE(first->held());
    EXPECT_TRUE(std::filesystem::exists(dir() + "/auth.lock"));
    EXPECT_TRUE(std::filesystem::exists(dir() + "/auth.json.lock"));
    // A second holder gives up at its deadline.
    const locks second(path(), platform::monotonic_ms() + 50);
    EXPECT_FALSE(second.held());
    // The file lock alone, as the CLI's writer takes it second, is held too.
    EXPECT_FALSE(
        platform::file_lock::acquire((dir() + "/auth.json.lock").c_str(), platform::monotonic_ms())
            .held());
    first.reset();
    const locks third(path(), platform::monotonic_ms() + 1000);
    EXPECT_TRUE(third.held());
}

}  // namespace
}  // namespace credvane::authfile

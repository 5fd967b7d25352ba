// file_lock_test.cc: the lock between processes that queues one account's CLI runs, and the
// folder it is made in. Two locks of one process on one file exclude each other as two
// processes' do (each opens the file anew), so one process shows the rule.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <string>
#include <thread>

#include "platform/files.h"
#include "platform/platform.h"

namespace credvane::platform {
namespace {

namespace fs = std::filesystem;

class scratch {
  public:
    scratch() {
        std::random_device rd;
        path = fs::temp_directory_path() /
               ("credvane-lock-" + std::to_string(rd()) + "-" + std::to_string(rd()));
        fs::create_directories(path);
    }
    ~scratch() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    fs::path path;
};

// A lock taken with wait_ms of waiting at most.
file_lock take(const std::string& path, int wait_ms) {
    return file_lock::acquire(path.c_str(), monotonic_ms() + wait_ms);
}

TEST(FileLock, OneHolderAtATimeAndTheWaitIsBounded) {
    scratch s;
    const std::string a = (s.path / "codex-a.lock").string();
    const std::string b = (s.path / "codex-b.lock").string();
    {
        const file_lock held = take(a, 0);
        ASSERT_TRUE(held.held());
        EXPECT_TRUE(fs::exists(a));
        EXPECT_EQ(fs::file_size(a), 0u);
        EXPECT_FALSE(take(a, 0).held());
        EXPECT_TRUE(take(a, 0).busy());
        const std::int64_t t0 = monotonic_ms();
        const file_lock late = take(a, 40);
        EXPECT_FALSE(late.held());
        EXPECT_TRUE(late.busy());
        EXPECT_GE(monotonic_ms() - t0, 40);
        EXPECT_TRUE(take(b, 0).held());  // another account
    }
    // Let go with the holder: the next one has it at once, and the file stays.
    EXPECT_TRUE(take(a, 0).held());
    EXPECT_TRUE(fs::exists(a));
}

TEST(FileLock, NoFileNoLock) {
    scratch s;
    fs::create_directories(s.path / "folder.lock");
    for (const std::string& path :
         {(s.path / "missing" / "codex-a.lock").string(), (s.path / "folder.lock").string()}) {
        const file_lock none = take(path, 0);
        EXPECT_FALSE(none.held()) << path;
        EXPECT_FALSE(none.busy()) << path;  // no file is no busy lock
    }
}

// A waiter whose holder lets go while it waits gets the lock then, not at its deadline.
TEST(FileLock, AWaiterHasTheLockWhenTheHolderLetsGo) {
    scratch s;
    const std::string a = (s.path / "codex-a.lock").string();
    std::promise<void> taken;
    std::promise<void> let_go;
    std::thread holder([&] {
        file_lock held = take(a, 0);
        taken.set_value();
        let_go.get_future().wait();
    });
    taken.get_future().wait();
    std::thread releaser([&] { let_go.set_value(); });
    const std::int64_t t0 = monotonic_ms();
    const file_lock got = take(a, 60000);
    releaser.join();
    holder.join();
    EXPECT_TRUE(got.held());
    EXPECT_FALSE(got.busy());
    EXPECT_LT(monotonic_ms() - t0, 30000);
}

TEST(MakePrivateDirs, MakesTheFoldersOnTheWayOrFindsThem) {
    scratch s;
    std::ofstream(s.path / "file") << "x";
    struct row {
        fs::path path;
        bool made;
    };
    const row rows[] = {
        {s.path / "new", true},
        {s.path / "new", true},  // there already
        {s.path / "a" / "b" / "c", true},
        {s.path / "file", false},
        {s.path / "file" / "child", false},
    };
    for (const row& r : rows) {
        EXPECT_EQ(make_private_dirs(r.path.string().c_str()), r.made) << r.path;
        if (r.made) {
            EXPECT_TRUE(fs::is_directory(r.path)) << r.path;
        }
    }
}

}  // namespace
}  // namespace credvane::platform

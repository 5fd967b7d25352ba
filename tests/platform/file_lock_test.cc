// file_lock_test.cc: the lock between processes that queues one account's CLI runs, and the
// folder it is made in. Two locks of one process on one file exclude each other as two
// processes' do (each opens the file anew), so one process shows the rule.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

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

using state = file_lock::state;

TEST(FileLock, OneHolderAtATimeAndTheWaitIsBounded) {
    scratch s;
    const std::string a = (s.path / "codex-a.lock").string();
    const std::string b = (s.path / "codex-b.lock").string();
    {
        const file_lock held(a.c_str(), 0);
        ASSERT_EQ(held.result(), state::held);
        EXPECT_TRUE(fs::exists(a));
        EXPECT_EQ(fs::file_size(a), 0u);
        EXPECT_EQ(file_lock(a.c_str(), 0).result(), state::timed_out);
        EXPECT_EQ(file_lock(a.c_str(), 40).result(), state::timed_out);
        EXPECT_EQ(file_lock(b.c_str(), 0).result(), state::held);  // another account
    }
    // Let go with the holder: the next one has it at once, and the file stays.
    EXPECT_EQ(file_lock(a.c_str(), 0).result(), state::held);
    EXPECT_TRUE(fs::exists(a));
}

TEST(FileLock, NoFileNoLock) {
    scratch s;
    fs::create_directories(s.path / "folder.lock");
    for (const std::string& path : {(s.path / "missing" / "codex-a.lock").string(),
                                    (s.path / "folder.lock").string(), std::string()}) {
        EXPECT_EQ(file_lock(path.c_str(), 0).result(), state::failed) << path;
    }
    EXPECT_EQ(file_lock(nullptr, 0).result(), state::failed);
}

TEST(MakeFolder, MakesOneFolderOrFindsIt) {
    scratch s;
    std::ofstream(s.path / "file") << "x";
    struct row {
        fs::path path;
        bool made;
    };
    const row rows[] = {
        {s.path / "new", true},
        {s.path / "new", true},  // there already
        {s.path / "file", false},
        {s.path / "missing" / "child", false},
    };
    for (const row& r : rows) {
        EXPECT_EQ(make_folder(r.path.string().c_str()), r.made) << r.path;
        if (r.made) {
            EXPECT_TRUE(fs::is_directory(r.path)) << r.path;
        }
    }
    EXPECT_FALSE(make_folder(""));
    EXPECT_FALSE(make_folder(nullptr));
}

}  // namespace
}  // namespace credvane::platform

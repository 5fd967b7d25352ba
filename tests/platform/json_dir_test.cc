// json_dir_test.cc: the accounts folder's listing, one entry at a time and bounded.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace credvane::platform {
namespace {

namespace fs = std::filesystem;

class JsonDir : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/credvane-dir-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }
    void file(const std::string& name) { std::ofstream(dir_ / name) << "{}"; }

    fs::path dir_;
};

// Only names ending in ".json" come, each once; the folder test follows links as stat does.
TEST_F(JsonDir, NamesAndFolderTest) {
    file("a.json");
    file("notes.txt");
    file("b.JSON");
    file(".json");
    fs::create_directory(dir_ / "d.json");
    fs::create_directory_symlink(dir_ / "d.json", dir_ / "link-to-dir.json");
    fs::create_symlink(dir_ / "a.json", dir_ / "link-to-file.json");
    fs::create_symlink(dir_ / "missing", dir_ / "dangling.json");
    ASSERT_EQ(::mkfifo((dir_ / "fifo.json").c_str(), 0600), 0);

    std::vector<std::string> dirs;
    std::vector<std::string> others;
    json_dir listing(dir_.c_str(), 1000);
    while (const char* name = listing.next()) (listing.is_dir() ? dirs : others).push_back(name);
    std::sort(dirs.begin(), dirs.end());
    std::sort(others.begin(), others.end());
    EXPECT_EQ(dirs, (std::vector<std::string>{"d.json", "link-to-dir.json"}));
    EXPECT_EQ(others, (std::vector<std::string>{".json", "a.json", "dangling.json", "fifo.json",
                                                "link-to-file.json"}));
    EXPECT_EQ(listing.next(), nullptr);
    EXPECT_FALSE(listing.is_dir());
}

// Reading stops after the bound, whatever the names; a missing folder lists nothing.
TEST_F(JsonDir, StopsAtTheBound) {
    for (int i = 0; i < 100; ++i) {
        // Appended piece by piece: GCC 12 misreads "f" + std::string as an overlapping copy.
        std::string name = "f";
        name += std::to_string(i);
        name += ".json";
        file(name);
    }
    auto count = [&](std::size_t bound) {
        json_dir listing(dir_.c_str(), bound);
        std::size_t n = 0;
        while (listing.next() != nullptr) ++n;
        EXPECT_EQ(listing.next(), nullptr);  // and stays stopped
        return n;
    };
    EXPECT_EQ(count(1000), 100u);
    EXPECT_EQ(count(0), 0u);
    // 60 entries read, of which "." and ".." may be two.
    const std::size_t part = count(60);
    EXPECT_GE(part, 58u);
    EXPECT_LE(part, 60u);
    json_dir none((dir_ / "missing").c_str(), 1000);
    EXPECT_EQ(none.next(), nullptr);
}

}  // namespace
}  // namespace credvane::platform

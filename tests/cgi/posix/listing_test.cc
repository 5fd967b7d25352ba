// listing_test.cc: which named accounts the status answer lists, from a folder that holds
// more than it can carry.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "tests/cgi/harness.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> listed_names(const std::string& out) {
    std::vector<std::string> names;
    const std::regex name("\"name\":\"([^\"]*)\"");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), name); it != std::sregex_iterator();
         ++it) {
        names.push_back((*it)[1].str());
    }
    return names;
}

// The 64 smallest file names in byte order among those that make an entry: folders (and
// links to them), invalid names and names of more than 64 bytes before ".json" take no
// place, wherever they sort. Byte order is that of the whole file name, so "m-a.json"
// ('-' is 0x2D) comes before "m.json" ('.' is 0x2E).
TEST(Listing, SmallestValidFileNamesInByteOrder) {
    cgi::host h;
    const std::string dir = "home/.codex/accounts/";
    for (int i = 100; i < 170; ++i) h.write(dir + "n" + std::to_string(i) + ".json", "{}");
    h.write(dir + "m.json", "{\"access_token\":\"x\"}");
    h.write(dir + "m-a.json", "{}");
    h.write(dir + std::string(64, 'a') + ".json", "{}");
    h.write(dir + std::string(65, 'b') + ".json", "{}");
    h.write(dir + "a b.json", "{}");
    h.write(dir + ".a.json", "{}");
    h.write(dir + "a\xff.json", "{}");
    h.write(dir + "a0.json/inner", "");
    fs::create_directory_symlink(h.path(dir + "a0.json"), h.path(dir + "a1.json"));

    const cgi::result res = h.run("action=status");
    ASSERT_EQ(res.exit_code, 0);
    std::vector<std::string> want = {std::string(64, 'a'), "m-a", "m"};
    // Appended, not "n" + std::to_string(i): GCC 12 reads that as an overlapping copy
    // (-Wrestrict) at -O3, and warnings are errors in the test script.
    for (int i = 100; i <= 160; ++i) want.push_back(std::string("n").append(std::to_string(i)));
    EXPECT_EQ(listed_names(res.out), want);
    EXPECT_NE(res.out.find("{\"name\":\"m\",\"logged_in\":true"), std::string::npos);
}

}  // namespace

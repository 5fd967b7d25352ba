// query_test.cc: raw query lookups and the account-name rule.
#include <gtest/gtest.h>

#include <string>

#include "request/query.h"
#include "base/text.h"

namespace credvane {
namespace {

TEST(GetQueryVal, Table) {
    struct row {
        const char* query;
        const char* key;
        int found;
        std::string value;
    };
    const std::string long_value(300, 'v');
    const std::string long_query = "pwd=" + long_value;
    const row rows[] = {
        {nullptr, "a", 0, ""},        {"", "a", 0, ""},
        {"a=1", "a", 1, "1"},         {"x=0&a=1", "a", 1, "1"},
        {"x=0&&a=1", "a", 1, "1"},    {"xa=1", "a", 0, ""},
        {"pwdx=1", "pwd", 0, ""},     {"a&a=2", "a", 1, "2"},
        {"a=1&a=2", "a", 1, "1"},     {"format=a=b", "format", 1, "a=b"},
        {"a=%26+b", "a", 1, "%26+b"}, {"a=", "a", 1, ""},
        {"x=1&a=", "a", 1, ""},       {"x=1&", "a", 0, ""},
        {"A=1", "a", 0, ""},          {long_query.c_str(), "pwd", 1, long_value.substr(0, 255)},
    };
    for (const row& r : rows) {
        text<256> out;
        out.assign("stale");
        EXPECT_EQ(get_query_val(r.query, r.key, out.span()), r.found)
            << (r.query ? r.query : "null");
        EXPECT_EQ(out.view(), r.value) << (r.query ? r.query : "null");
    }
}

TEST(QueryHas, Table) {
    struct row {
        const char* query;
        int has;
    };
    const row rows[] = {{nullptr, 0},     {"", 0},         {"action", 1},
                        {"action=", 1},   {"x&action", 1}, {"actionx=1", 0},
                        {"xaction=1", 0}, {"a=action", 0}, {"x=1&action&", 1}};
    for (const row& r : rows) {
        EXPECT_EQ(query_has(r.query, "action"), r.has) << (r.query ? r.query : "null");
    }
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

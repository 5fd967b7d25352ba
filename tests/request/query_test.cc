// query_test.cc: raw query lookups.
#include <gtest/gtest.h>

#include <string>

#include "base/text.h"
#include "request/query.h"

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

}  // namespace
}  // namespace credvane

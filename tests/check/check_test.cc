// check_test.cc: the self-check's words for a span of time and the two forms of its report.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "check/check.h"

namespace credvane {
namespace {

TEST(TimeWords, LargestWholeUnitAheadOrBehind) {
    const std::pair<std::int64_t, std::string> rows[] = {
        {0, "in 0 seconds"},
        {1, "in 1 second"},
        {59, "in 59 seconds"},
        {60, "in 1 minute"},
        {7199, "in 1 hour"},
        {3 * 86400 + 5, "in 3 days"},
        {-1, "1 second ago"},
        {-7200, "2 hours ago"},
        {std::numeric_limits<std::int64_t>::min(), "106751991167300 days ago"},
    };
    for (const auto& [seconds, words] : rows) EXPECT_EQ(time_words(seconds), words) << seconds;
}

TEST(Report, RemediesOnlyUnderWhatDidNotPassAndTheJsonIsEscaped) {
    const std::vector<check_line> lines = {
        {"user", verdict::passed, "runs as \"me\"", "never shown"},
        {"pending folder", verdict::failed, "/p\xff cannot be written", "let me write /p"},
        {"node password", verdict::warned, "not set", "set BOT_PASSWORD"},
    };
    EXPECT_EQ(check_text(lines),
              "passed  user: runs as \"me\"\n"
              "failed  pending folder: /p\xff cannot be written\n"
              "        to do: let me write /p\n"
              "warned  node password: not set\n"
              "        to do: set BOT_PASSWORD\n"
              "credvane --check: 1 passed, 1 warned, 1 failed\n");
    EXPECT_EQ(check_json(lines),
              "{\"ok\":false,\"passed\":1,\"warned\":1,\"failed\":1,\"checks\":["
              "{\"check\":\"user\",\"result\":\"passed\",\"detail\":\"runs as \\\"me\\\"\"},"
              "{\"check\":\"pending folder\",\"result\":\"failed\",\"detail\":\"/p\xef\xbf\xbd "
              "cannot be written\",\"remedy\":\"let me write /p\"},"
              "{\"check\":\"node password\",\"result\":\"warned\",\"detail\":\"not set\","
              "\"remedy\":\"set BOT_PASSWORD\"}]}\n");
    EXPECT_EQ(check_json({{"user", verdict::warned, "root", ""}}).rfind("{\"ok\":true,", 0), 0u);
}

}  // namespace
}  // namespace credvane

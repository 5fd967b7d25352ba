// buf_test.cc: growth, cuts and JSON escaping of the answer buffer.
#include <gtest/gtest.h>

#include <string>

#include "base/buf.h"
#include "base/text.h"

namespace credvane {
namespace {

TEST(Buf, GrowsByDoublingFrom1024) {
    buf b;
    EXPECT_EQ(buf_adds(b, ""), 1);
    EXPECT_EQ(b.cap, 1024u);
    EXPECT_EQ(b.len, 0u);
    EXPECT_STREQ(b.c_str(), "");
    EXPECT_EQ(buf_adds(b, std::string(1023, 'a')), 1);  // content plus NUL fill the block
    EXPECT_EQ(b.cap, 1024u);
    EXPECT_EQ(buf_adds(b, "b"), 1);
    EXPECT_EQ(b.cap, 2048u);
    EXPECT_EQ(b.len, 1024u);
    EXPECT_EQ(b.view().back(), 'b');
}

TEST(Buf, CapsAt64MiBAndFailsWithoutChange) {
    buf b;
    const std::uint64_t mib = 1024 * 1024;
    EXPECT_EQ(buf_need(b, 40 * mib), 1);
    EXPECT_EQ(b.cap, 64 * mib);
    EXPECT_EQ(buf_need(b, 64 * mib - 1), 1);  // 64 MiB exactly with the NUL
    EXPECT_EQ(buf_need(b, 64 * mib), 0);
    EXPECT_EQ(b.cap, 64 * mib);
    buf small;
    buf_adds(small, "keep");
    EXPECT_EQ(buf_need(small, UINT64_MAX), 0);  // no wrap-around of the need
    EXPECT_EQ(small.view(), "keep");
    EXPECT_EQ(small.cap, 1024u);
}

TEST(Buf, AddsStopsAtNulAndAddfCutsAt2047) {
    buf b;
    buf_adds(b, std::string_view("ab\0cd", 5));
    EXPECT_EQ(b.view(), "ab");
    buf c;
    EXPECT_EQ(buf_addf(c, "%s", std::string(3000, 'x').c_str()), 1);
    EXPECT_EQ(c.len, 2047u);
    buf d;
    buf_addf(d, "%d|%lld|%s", -5, -9000000000LL, "s");
    EXPECT_EQ(d.view(), "-5|-9000000000|s");
}

TEST(BufJson, Escapes) {
    struct row {
        std::string in;
        std::string out;
    };
    const row rows[] = {
        {"", "\"\""},
        {"\t\"\\\x01\x7f\xc3\xa9/", "\"\\t\\\"\\\\\\u0001\x7f\xc3\xa9/\""},
        {"\n\r\b\f\x1b", "\"\\n\\r\\u0008\\u000c\\u001b\""},
        {"\xff", "\"\xef\xbf\xbd\""},  // ill-formed UTF-8 leaves as U+FFFD
    };
    for (const row& r : rows) {
        buf b;
        EXPECT_EQ(buf_json(b, r.in), 1);
        EXPECT_EQ(b.view(), r.out);
    }
}

TEST(Text, CutsAtCapacityMinusOne) {
    text<8> t;
    t.assign("0123456789");
    EXPECT_EQ(t.view(), "0123456");
    text<8> f;
    EXPECT_TRUE(format_cut(f.span(), "%s-%d", "abcdef", 42));
    EXPECT_EQ(f.view(), "abcdef-");
}

}  // namespace
}  // namespace credvane

// utf8_test.cc: every answer is well-formed UTF-8: ill-formed pieces become U+FFFD one
// maximal subpart at a time, and no cut at a capacity splits a character.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "base/buf.h"
#include "base/text.h"
#include "base/utf8.h"

namespace credvane {
namespace {

const std::string R = "\xEF\xBF\xBD";  // U+FFFD

// True when s is well-formed UTF-8 throughout: what every answer must be.
bool utf8_valid(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const utf8_piece p = utf8_next(s, i);
        if (!p.valid) return false;
        i += p.len;
    }
    return true;
}

std::string json_of(const std::string& s) {
    buf b;
    EXPECT_EQ(buf_json(b, s), 1);
    return std::string(b.view());
}

TEST(Utf8, JsonStringsReplaceEachMaximalSubpart) {
    const struct {
        std::string in;
        std::string out;  // between the quotes
    } rows[] = {
        // Well-formed text passes unchanged, the edges of each range included.
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF",
         "\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF"},
        {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
        // Escapes are as before around non-ASCII characters.
        {"\x01\xC3\xA9\"\\\t\x7F", "\\u0001\xC3\xA9\\\"\\\\\\t\x7F"},
        // A Latin-1 byte, as a CLI that prints "caf\xE9" gives it.
        {"caf\xE9", "caf" + R},
        {"\xFF\xFE", R + R},
        // Overlong forms, surrogates and code points above U+10FFFF: one U+FFFD a byte.
        {"\xC0\xAF", R + R},
        {"\xC1\xBF", R + R},
        {"\xE0\x80\xAF", R + R + R},
        {"\xED\xA0\x80", R + R + R},
        {"\xF0\x80\x80\xAF", R + R + R + R},
        {"\xF4\x90\x80\x80", R + R + R + R},
        {"\xF5\x80", R + R},
        // A truncated sequence is one piece, however long its well-formed start.
        {"\xE2\x82", R},
        {"\xF0\x9F\x98", R},
        {"\xF0\x9F\x98x", R + "x"},
        {"\xE2\x82\xE2\x82\xAC", R + "\xE2\x82\xAC"},
        {"\x80\xBF", R + R},
        // The Unicode standard's own example of maximal subparts.
        {"a\xF1\x80\x80\xE1\x80\xC2"
         "b\x80"
         "c\x80\xBF"
         "d",
         "a" + R + R + R + "b" + R + "c" + R + R + "d"},
    };
    for (const auto& r : rows) {
        const std::string got = json_of(r.in);
        EXPECT_EQ(got, "\"" + r.out + "\"") << r.in;
        EXPECT_TRUE(utf8_valid(got)) << r.in;
    }
}

TEST(Utf8, Validity) {
    const struct {
        std::string s;
        bool valid;
    } rows[] = {
        {"", true},
        {"plain ASCII \x01\x7F", true},
        {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", true},
        {"\xC3", false},
        {"\xC3\x41", false},
        {"\xED\xBF\xBF", false},
        {"\xF4\x90\x80\x80", false},
        {"\xEF\xBB\xBF", true},  // a byte-order mark is a character like any other
    };
    for (const auto& r : rows) EXPECT_EQ(utf8_valid(r.s), r.valid) << r.s;
}

TEST(Utf8, CutsKeepWholeCharacters) {
    // Capacity 5 keeps at most 4 bytes, whatever the text.
    const struct {
        std::string in;
        std::string kept;
    } rows[] = {
        {"abcdef", "abcd"},                  // ASCII cut as ever
        {"abc\xC3\xA9", "abc"},              // a two-byte letter across the cut
        {"ab\xE2\x82\xAC", "ab"},            // three bytes, two would fit
        {"a\xE2\x82\xAC", "a\xE2\x82\xAC"},  // it fits exactly: no cut
        {"a\xE2\x82\xAC"
         "b",
         "a\xE2\x82\xAC"},  // cut right after it
        {"\xF0\x9F\x98\x80\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {"a\xF0\x9F\x98\x80", "a"},
        {"abc\xFF\xFF", "abc\xFF"},  // ill-formed bytes are cut as bytes
        {"ab\x80\x80\x80\x80", "ab\x80\x80"},
    };
    for (const auto& r : rows) {
        text<5> t;
        t.assign(r.in);
        EXPECT_EQ(t.view(), r.kept) << "copy_cut " << r.in;
        text<5> f;
        EXPECT_TRUE(format_cut(f.span(), "%s", r.in.c_str()));
        EXPECT_EQ(f.view(), r.kept) << "format_cut " << r.in;
    }
}

TEST(Utf8, FormattedAppendsKeepWholeCharacters) {
    // The scratch keeps 2047 bytes: a two-byte letter at 2046 would be split.
    const std::string head(2046, 'a');
    buf b;
    EXPECT_EQ(buf_addf(b, "%s\xC3\xA9tail", head.c_str()), 1);
    EXPECT_EQ(b.view(), head);
    buf fits;
    EXPECT_EQ(buf_addf(fits, "%s\xC3\xA9", std::string(2045, 'a').c_str()), 1);
    EXPECT_EQ(fits.len, 2047u);
}

}  // namespace
}  // namespace credvane

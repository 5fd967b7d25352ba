// json_test.cc: the lenient scanner's rules, one table per operation, and the file reader.
#include "store/json.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

namespace credvane {
namespace {

// A window over one row's text: the whole text, or its first len bytes.
struct window {
    const char* start;
    const char* end;
};
window over(const std::string& text, int len = -1) {
    return {text.c_str(), text.c_str() + (len < 0 ? text.size() : static_cast<std::size_t>(len))};
}

TEST(JsonFindKey, OnlyTopLevelMembersAreFound) {
    struct row {
        std::string text;
        std::string key;
        int want;  // offset of the value position, -1 for not found
        int len = -1;
    };
    const std::string long_key(200, 'a');
    const row rows[] = {
        {R"({"tokens":{"exp":5}})", "exp", -1},
        {R"({"tokens":{"exp":5}})", "tokens", 10},
        {R"({"note":"access_token","access_token":"x"})", "access_token", 38},
        {" \t\r\n{\"k\":1}", "k", 9},
        {"\xEF\xBB\xBF{\"k\":1}", "k", -1},  // a byte-order mark hides the brace
        {R"({"a":"}]","k":1})", "k", 14},
        {R"({"a":"x\"y","k":1})", "k", 16},
        {R"({"k" : "v"})", "k", 7},
        {R"({"k"})", "k", -1},
        {"{\"k\":  \t\n", "k", -1},
        {R"({"k":})", "k", 5},
        {R"({"acc\u0065ss_token":1})", "access_token", 21},
        {R"({"K":1})", "k", -1},
        {R"({"kk":1})", "k", -1},
        {R"({"a":{"k":1},"k":2})", "k", 17},
        {R"({"k":1,"k":2})", "k", 5},
        {R"({"a":[{"k":1}],"b":2})", "k", -1},
        {R"([{"k":1}])", "k", -1},
        {R"({{"k":1}})", "k", -1},       // only one opening brace is skipped
        {R"("k":1)", "k", 4},            // no brace: scanned from depth 0 all the same
        {R"({"a":1},"k":2})", "k", -1},  // the stray brace leaves depth -1
        {"", "k", -1},
        {"   ", "k", -1},
        {"{\"k\":1}", "k", -1, 4},  // the value lies beyond the window
        {"{\"k\":1}", "k", -1, 3},  // the key's string closes beyond the window
        {"{\"k\":1}", "k", 5, 6},
        {"{\"" + long_key + "\":1}", std::string(127, 'a'), 204},  // keys compare by 127 bytes
        {"{\"" + long_key + "\":1}", long_key, -1},
    };
    for (const row& r : rows) {
        const window w = over(r.text, r.len);
        const char* got = json_find_key(w.start, w.end, r.key.c_str());
        const int at = got ? static_cast<int>(got - r.text.c_str()) : -1;
        EXPECT_EQ(at, r.want) << r.text << " key " << r.key;
    }
}

TEST(JsonFindKey, NullOrEmptyWindowFindsNothing) {
    const std::string t = R"({"k":1})";
    EXPECT_EQ(json_find_key(nullptr, t.c_str() + t.size(), "k"), nullptr);
    EXPECT_EQ(json_find_key(t.c_str(), nullptr, "k"), nullptr);
    EXPECT_EQ(json_find_key(t.c_str(), t.c_str(), "k"), nullptr);
    EXPECT_EQ(json_find_key(t.c_str() + 3, t.c_str(), "k"), nullptr);
}

TEST(JsonReadStringAt, DecodesEscapesAndCutsAtCapacity) {
    struct row {
        std::string text;
        std::size_t cap;
        int ret;
        std::string out;  // the stored bytes before the terminator (may hold a NUL)
        std::size_t consumed;
    };
    const row rows[] = {
        {R"("abc"x)", 16, 1, "abc", 5},
        {R"("")", 16, 1, "", 2},
        {R"("a\"b")", 16, 1, "a\"b", 6},
        {R"("\b\f\n\r\t")", 16, 1, "\b\f\n\r\t", 12},
        {R"("\/\\\q")", 16, 1, "/\\q", 8},
        {R"("\u00e9")", 16, 1, "\xC3\xA9", 8},
        {R"("\u20ac")", 16, 1, "\xE2\x82\xAC", 8},
        {R"("\u0041BC")", 16, 1, "ABC", 10},
        {R"("\u41x")", 16, 1, "Ax", 7},                        // stops at the first non-digit
        {R"("\uzz")", 16, 1, std::string("\0zz", 3), 6},       // no digit gives byte 0
        {R"("\ud83d\ude00")", 16, 1, "\xF0\x9F\x98\x80", 14},  // one character of two halves
        {"\"caf\xC3\xA9\"", 16, 1, "caf\xC3\xA9", 7},
        {R"("abc)", 16, 1, "abc", 4},   // unterminated: ends with the text
        {R"("ab\)", 16, 1, "ab\\", 4},  // a backslash before the terminator is kept
        {R"("abcdef")", 4, 1, "abc", 8},
        {R"("abcdef")", 1, 1, "", 8},
        {R"(abc)", 16, 0, "#", 0},
        {R"( "abc")", 16, 0, "#", 0},
    };
    for (const row& r : rows) {
        std::array<char, 32> buf{};
        buf.fill('?');
        buf[0] = '#';
        buf[1] = '\0';
        const char* cur = r.text.c_str();
        const int ret = json_read_string_at(cur, std::span<char>(buf).first(r.cap));
        EXPECT_EQ(ret, r.ret) << r.text;
        EXPECT_EQ(std::string(buf.data(), r.out.size()), r.out) << r.text;
        EXPECT_EQ(buf[r.out.size()], '\0') << r.text;
        EXPECT_EQ(static_cast<std::size_t>(cur - r.text.c_str()), r.consumed) << r.text;
    }
    const char* none = nullptr;
    std::array<char, 4> buf{};
    EXPECT_EQ(json_read_string_at(none, buf), 0);
}

// A \u escape is a UTF-16 code unit: it becomes the UTF-8 bytes of its character, two
// halves of a pair one character, and a half without its partner U+FFFD. A cut keeps
// whole characters and stops there, so a later, shorter character cannot fill the gap.
TEST(JsonReadStringAt, UnicodeEscapesBecomeUtf8) {
    struct row {
        std::string text;
        std::size_t cap;
        std::string out;
    };
    const std::string fffd = "\xEF\xBF\xBD";
    const row rows[] = {
        {R"("\u0041")", 16, "A"},
        {R"("\u007f")", 16, "\x7F"},
        {R"("\u0080")", 16, "\xC2\x80"},
        {R"("\u07FF")", 16, "\xDF\xBF"},
        {R"("\u0800")", 16, "\xE0\xA0\x80"},
        {R"("\uFFFF")", 16, "\xEF\xBF\xBF"},
        {R"("\uD83D\uDE00")", 16, "\xF0\x9F\x98\x80"},
        {R"("\ud800\udc00")", 16, "\xF0\x90\x80\x80"},
        {R"("\udbff\udfff")", 16, "\xF4\x8F\xBF\xBF"},
        {R"("caf\u00e9!")", 16, "caf\xC3\xA9!"},
        {R"("\ud83d")", 16, fffd},
        {R"("\ud83dx")", 16, fffd + "x"},
        {R"("\ud83d\u0041")", 16, fffd + "A"},  // the next escape is no low half: its own
        {R"("\ud83d\ud83d\ude00")", 16, fffd + "\xF0\x9F\x98\x80"},
        {R"("\ud83d\ude0")", 16, fffd + "\xE0\xB7\xA0"},  // three digits: U+0DE0
        {R"("\ud83d\n")", 16, fffd + "\n"},
        {R"("\ude00")", 16, fffd},
        {R"("\ude00\ud83d")", 16, fffd + fffd},
        {R"("\ud83d\)", 16, fffd + "\\"},           // a backslash before the terminator
        {R"("\ud83d\ude)", 16, fffd + "\xC3\x9E"},  // U+00DE, and the text ends
        {R"("\u12G4")", 16, "\x12G4"},
        {R"("\uzz")", 16, std::string("\0zz", 3)},
        {R"("\u00e9")", 3, "\xC3\xA9"},
        {R"("\u00e9")", 2, ""},     // no room for both bytes: nothing
        {R"("a\u00e9b")", 3, "a"},  // and nothing after it either
        {R"("a\u20acb")", 4, "a"},
        {R"("\ud83d\ude00z")", 4, ""},
        {R"("\ud83d\ude00z")", 5, "\xF0\x9F\x98\x80"},
        {"\"\xC3\xA9\\u00e9\"", 4, "\xC3\xA9"},  // bytes of the text are kept one by one
        {"\"\xC3\xA9\\u00e9\"", 2, "\xC3"},
    };
    for (const row& r : rows) {
        std::array<char, 32> buf;
        buf.fill('?');
        const char* cur = r.text.c_str();
        EXPECT_EQ(json_read_string_at(cur, std::span<char>(buf).first(r.cap)), 1) << r.text;
        EXPECT_EQ(std::string(buf.data(), r.out.size()), r.out) << r.text;
        EXPECT_EQ(buf[r.out.size()], '\0') << r.text;
        EXPECT_EQ(static_cast<std::size_t>(cur - r.text.c_str()), r.text.size()) << r.text;
    }
}

TEST(JsonStrField, StringsAndRawValues) {
    struct row {
        std::string text;
        std::size_t cap;
        int ret;
        std::string out;  // "#" is the untouched output
        int len = -1;
    };
    const row rows[] = {
        {R"({"k":""})", 16, 1, ""},
        {R"({"k":"v"})", 16, 1, "v"},
        {R"({"k":null})", 16, 0, "#"},
        {R"({"k":nonsense})", 16, 0, "#"},
        {R"({"x":"v"})", 16, 0, "#"},
        {R"({"k": 42 })", 16, 1, "42"},
        {R"({"k": 42,"j":1})", 16, 1, "42"},
        {R"({"k":true})", 16, 1, "true"},
        {R"({"k":[1,2]})", 16, 1, "[1"},
        {R"({"k": {"a":1}})", 16, 1, R"({"a":1)"},
        {"{\"k\":1 \t\r\n}", 16, 1, "1"},
        {"{\"k\":123", 16, 1, "123"},
        {R"({"k":"\u00e9"})", 16, 1, "\xC3\xA9"},
        {R"({"k":"\u20ac"})", 16, 1, "\xE2\x82\xAC"},
        {R"({"k":"abcdef"})", 4, 1, "abc"},
        {R"({"k":12345678})", 4, 1, "123"},
        {R"({"k":})", 16, 0, ""},  // found, so the output is cleared, but nothing is stored
        {R"({"k": ,"j":1})", 16, 0, ""},
        {R"({"k":12345})", 16, 1, "12", 7},  // a raw value ends with the window
    };
    for (const row& r : rows) {
        std::array<char, 32> buf{};
        buf[0] = '#';
        const window w = over(r.text, r.len);
        const int ret = json_str_field(w.start, w.end, "k", std::span<char>(buf).first(r.cap));
        EXPECT_EQ(ret, r.ret) << r.text;
        EXPECT_STREQ(buf.data(), r.out.c_str()) << r.text;
    }
}

TEST(JsonBoolField, LenientValues) {
    struct row {
        std::string text;
        int dflt;
        int want;
        int len = -1;
    };
    const row rows[] = {
        {R"({"k":true})", 0, 1},    {R"({"k":trueish})", 0, 1},
        {R"({"k":false})", 1, 0},   {R"({"k":"true"})", 0, 1},
        {R"({"k":"truex"})", 0, 1}, {R"({"k":"1"})", 0, 1},
        {R"({"k":"10"})", 0, 1},    {R"({"k":"false"})", 1, 0},
        {R"({"k":"yes"})", 1, 0},   {R"({"k":""})", 1, 0},
        {R"({"k":"TRUE"})", 1, 0},  {R"({"k":1})", 0, 1},
        {R"({"k":10})", 0, 1},      {R"({"k":1.5})", 0, 1},
        {R"({"k":0})", 1, 0},       {R"({"k":2})", 1, 0},
        {R"({"k":-1})", 1, 0},      {R"({"k":null})", 1, 0},
        {R"({"k":True})", 1, 0},    {R"({"k":})", 1, 0},
        {R"({"x":true})", 1, 1},    {R"({"x":true})", 0, 0},
        {R"({"k":  )", 1, 1},       {R"({"k":true})", 0, 1, 6},  // prefix read past the window
    };
    for (const row& r : rows) {
        const window w = over(r.text, r.len);
        EXPECT_EQ(json_bool_field(w.start, w.end, "k", r.dflt), r.want) << r.text;
    }
}

TEST(JsonNumField, LeadingIntegerSaturatesAtLimits) {
    constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t min = std::numeric_limits<std::int64_t>::min();
    struct row {
        std::string text;
        std::int64_t want;
        int len = -1;
    };
    const row rows[] = {
        {R"({"k":1234})", 1234},
        {R"({"k":"1234"})", 1234},
        {R"({"k":-12})", -12},
        {R"({"k":"-5"})", -5},
        {R"({"k":-})", 0},
        {R"({"k":-x})", 0},
        {R"({"k":1.9})", 1},
        {R"({"k":1e9})", 1},
        {R"({"k":12abc})", 12},
        {R"({"k":+5})", 0},
        {R"({"k":null})", 0},
        {R"({"k":true})", 0},
        {R"({"k":"abc"})", 0},
        {R"({"k":})", 0},
        {R"({"x":5})", 0},
        {R"({"k":1700000000000})", 1700000000000},
        {R"({"k":9223372036854775807})", max},
        {R"({"k":9223372036854775808})", max},
        {R"({"k":99999999999999999999999999})", max},
        {R"({"k":-9223372036854775807})", -max},
        {R"({"k":-9223372036854775808})", min},
        {R"({"k":-9223372036854775809})", min},
        {R"({"k":-99999999999999999999999999})", min},
        {R"({"k":12345})", 12, 7},  // digits end with the window
        {R"({"k":-5})", 0, 6},      // a sign that ends the window
        {R"({"k":"5"})", 0, 6},     // an opening quote that ends the window
    };
    for (const row& r : rows) {
        const window w = over(r.text, r.len);
        EXPECT_EQ(json_num_field(w.start, w.end, "k"), r.want) << r.text;
    }
}

class ReadFile : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl =
            (std::filesystem::temp_directory_path() / "credvane-json-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string make(const std::string& name, const std::string& content) {
        const std::string p = (dir_ / name).string();
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }
    std::string make_sized(const std::string& name, std::uintmax_t size) {
        const std::string p = make(name, "");
        std::filesystem::resize_file(p, size);
        return p;
    }

    std::filesystem::path dir_;
};

TEST_F(ReadFile, WholeContentOrNothing) {
    EXPECT_FALSE(read_file(nullptr));
    EXPECT_FALSE(read_file(""));
    EXPECT_FALSE(read_file((dir_ / "missing.json").c_str()));
    EXPECT_FALSE(read_file(dir_.c_str()));

    const auto empty = read_file(make("empty.json", "").c_str());
    ASSERT_TRUE(empty);
    EXPECT_EQ(*empty, "");

    const std::string bytes("{\"k\":1}\0\xFF\r\n", 11);
    const auto got = read_file(make("bytes.json", bytes).c_str());
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, bytes);
}

TEST_F(ReadFile, EightMebibytesIsTheLimit) {
    const auto at_limit = read_file(make_sized("max.json", read_file_max).c_str());
    ASSERT_TRUE(at_limit);
    EXPECT_EQ(at_limit->size(), read_file_max);
    EXPECT_FALSE(read_file(make_sized("over.json", read_file_max + 1).c_str()));
}

}  // namespace
}  // namespace credvane

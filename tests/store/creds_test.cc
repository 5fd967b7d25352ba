// creds_test.cc: the login facts that the credential scan reads from a file's text.
#include "store/creds.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace credvane {
namespace {

// Base64 of the payload as an issuer would write it: url-safe or standard, padded or not.
std::string base64(std::string_view in, bool url, bool pad) {
    const char* alphabet = url ? "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
                               : "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const unsigned v = static_cast<unsigned char>(in[i]) << 16 |
                           static_cast<unsigned char>(in[i + 1]) << 8 |
                           static_cast<unsigned char>(in[i + 2]);
        for (int s = 18; s >= 0; s -= 6) out += alphabet[(v >> s) & 63];
    }
    const std::size_t rest = in.size() - i;
    if (rest > 0) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        if (rest == 2) v |= static_cast<unsigned char>(in[i + 1]) << 8;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        if (rest == 2) out += alphabet[(v >> 6) & 63];
        if (pad) out += (rest == 1) ? "==" : "=";
    }
    return out;
}

// The characters '?' and '>' make both alphabets' last two symbols appear in the payload.
const std::string exp_payload = R"({"exp":1700000000,"n":"???>>>"})";

std::string jwt_with(const std::string& payload_b64) {
    return "eyJhbGciOiJub25lIn0." + payload_b64 + ".c2ln";
}
std::string jwt(const std::string& payload) {
    return jwt_with(base64(payload, true, false));
}

// A credential file whose "tokens" object holds the given raw access_token value.
std::string file_with_token(const std::string& raw) {
    return R"({"tokens":{"access_token":)" + raw + R"(,"account_id":"acc-1"}})";
}
std::string quoted(const std::string& s) {
    return "\"" + s + "\"";
}

TEST(Base64Decode, BothAlphabetsAndSkippedBytes) {
    struct row {
        std::string in;
        std::optional<std::string> want;
    };
    const row rows[] = {
        {"", ""},
        {"QQ", "A"},
        {"QUI=", "AB"},
        {"QUJD", "ABC"},
        {"Pz8_Pj4-", "?\?\?>>>"},
        {"Pz8/Pj4+", "?\?\?>>>"},
        {"Pz8_Pj4+", "?\?\?>>>"},  // alphabets mixed freely
        {"QU\nJD", "ABC"},
        {"Q U\r\nJ=D", "ABC"},
        {"Q", ""},  // six bits make no byte
        {"====", ""},
        {"Q\tUJD", std::nullopt},
        {"QU*D", std::nullopt},
        {"QUJD.", std::nullopt},
    };
    for (const row& r : rows) {
        std::vector<char> out((r.in.size() / 4) * 3 + 3);
        const auto n = base64_decode(r.in, out);
        if (!r.want) {
            EXPECT_FALSE(n) << r.in;
            continue;
        }
        ASSERT_TRUE(n) << r.in;
        EXPECT_EQ(std::string(out.data(), *n), *r.want) << r.in;
    }
}

TEST(Base64Decode, RefusesToOverrunASmallBuffer) {
    std::array<char, 2> out{};
    EXPECT_FALSE(base64_decode("QUJD", out));
}

TEST(ParseLastRefresh, FixedPositionsAndRanges) {
    struct row {
        const char* iso;
        std::optional<std::int64_t> want;
    };
    const row rows[] = {
        {"2024-05-01T12:00:00Z", 1714564800},
        {"2024-05-01T12:00:00.123456+02:00", 1714564800},  // fraction and zone are not read
        {"2024-05-01 12:00:00", 1714564800},
        {"2024-02-30T00:00:00Z", 1709251200},  // the day is not checked against its month
        {"2024-5-01T12:00:00Z", 1714528800},   // a one-digit month does not move the rest
        {"2024-05-01T99:99:99Z", 1714884039},
        {"2024-05-01TXX:YY:ZZ", 1714521600},
        {"1970-01-01T00:00:00Z", 0},
        {"1970-01-01T00:00:01Z", 1},
        {"2000-03-01T00:00:00Z", 951868800},
        {"2100-03-01T00:00:00Z", 4107542400},  // 2100 is no leap year
        {"2101-01-01T00:00:00Z", 4133980800},
        {"2104-03-01T00:00:00Z", 4233772800},
        {"9999-12-31T23:59:59Z", 253402300799},
        {"1969-12-31T23:59:59Z", std::nullopt},
        {"2024-13-01T00:00:00Z", std::nullopt},
        {"2024-00-01T00:00:00Z", std::nullopt},
        {"2024-05-32T00:00:00Z", std::nullopt},
        {"2024-X5-01T00:00:00Z", std::nullopt},
        {"2024-05-X1T00:00:00Z", std::nullopt},
        {"ABCD-05-01T00:00:00Z", std::nullopt},
        {"2024-05-01T12:00:0", std::nullopt},  // 18 bytes
        {"1714564800", std::nullopt},
    };
    for (const row& r : rows) EXPECT_EQ(parse_last_refresh(r.iso), r.want) << r.iso;
}

TEST(ScanCreds, LoginFactsFromTheFile) {
    struct row {
        const char* what;
        std::string text;
        int logged_in;
        int has_refresh;
        std::int64_t expires_at;
        const char* account_id = "";
        int api_key = 0;
        std::int64_t last_refresh = 0;
    };
    const std::string url = base64(exp_payload, true, false);
    const std::string std_padded = base64(exp_payload, false, true);
    ASSERT_NE(url.find_first_of("-_"), std::string::npos);
    ASSERT_NE(std_padded.find_first_of("+/"), std::string::npos);
    ASSERT_NE(std_padded.find('='), std::string::npos);
    const std::string split =
        url.substr(0, 10) + "\\r\\n" + url.substr(10, 10) + " " + url.substr(20);
    const std::string tabbed = url.substr(0, 10) + "\\t" + url.substr(10);
    const std::string starred = url.substr(0, 10) + "*" + url.substr(10);
    const std::string long_header = std::string(4090, 'h') + "." + url + ".sig";
    const std::string long_signature = "h." + url + "." + std::string(5000, 's');
    const std::string id95(95, 'i');

    const row rows[] = {
        {"opaque token", file_with_token(quoted("opaque")), 1, 0, 0, "acc-1"},
        {"base64url payload", file_with_token(quoted(jwt(exp_payload))), 1, 0, 1700000000, "acc-1"},
        {"standard padded payload", file_with_token(quoted(jwt_with(std_padded))), 1, 0, 1700000000,
         "acc-1"},
        {"line breaks and a space in the payload", file_with_token(quoted(jwt_with(split))), 1, 0,
         1700000000, "acc-1"},
        {"tab in the payload", file_with_token(quoted(jwt_with(tabbed))), 1, 0, 0, "acc-1"},
        {"star in the payload", file_with_token(quoted(jwt_with(starred))), 1, 0, 0, "acc-1"},
        {"exp in quotes", file_with_token(quoted(jwt(R"({"exp":"1700000000"})"))), 1, 0, 1700000000,
         "acc-1"},
        {"exp zero", file_with_token(quoted(jwt(R"({"exp":0})"))), 1, 0, 0, "acc-1"},
        {"exp negative", file_with_token(quoted(jwt(R"({"exp":-5})"))), 1, 0, 0, "acc-1"},
        {"exp absent", file_with_token(quoted(jwt(R"({"iat":5})"))), 1, 0, 0, "acc-1"},
        {"exp nested", file_with_token(quoted(jwt(R"({"x":{"exp":5}})"))), 1, 0, 0, "acc-1"},
        {"empty payload", file_with_token(quoted("a..c")), 1, 0, 0, "acc-1"},
        {"one dot only", file_with_token(quoted("a." + url)), 1, 0, 0, "acc-1"},
        {"token cut at 4095 before its second dot", file_with_token(quoted(long_header)), 1, 0, 0,
         "acc-1"},
        {"token cut at 4095 after its second dot", file_with_token(quoted(long_signature)), 1, 0,
         1700000000, "acc-1"},
        {"empty token", file_with_token(R"("")"), 0, 0, 0, "acc-1"},
        {"null token", file_with_token("null"), 0, 0, 0, "acc-1"},
        {"bare number counts", file_with_token("12345"), 1, 0, 0, "acc-1"},
        {"token whose decoded text starts with a NUL", file_with_token(R"("\u0000x")"), 1, 0, 0,
         "acc-1"},
        {"flat file", R"({"access_token":"opaque","refresh_token":"r","account_id":"flat"})", 1, 1,
         0, "flat"},
        {"only the tokens object counts",
         R"({"access_token":"top","tokens":{"refresh_token":"r"}})", 0, 1, 0},
        {"tokens as a string", R"({"tokens":"x","access_token":"top"})", 1, 0, 0},
        {"tokens as null", R"({"tokens":null,"refresh_token":"r"})", 0, 1, 0},
        {"tokens not closed", R"({"tokens":{"access_token":"x","refresh_token":"r")", 0, 0, 0},
        {"braces and quotes inside strings of tokens",
         R"({"tokens":{"a":"}\"{","access_token":"x"},"refresh_token":"outside"})", 1, 0, 0},
        {"tokens nested deeper is not seen", R"({"outer":{"tokens":{"access_token":"x"}}})", 0, 0,
         0},
        {"refresh token empty", R"({"tokens":{"refresh_token":""}})", 0, 0, 0},
        {"refresh token only escapes", R"({"tokens":{"refresh_token":"\n"}})", 0, 0, 0},
        {"account id empty", R"({"tokens":{"account_id":""}})", 0, 0, 0, ""},
        {"account id cut at 95", R"({"tokens":{"account_id":")" + std::string(200, 'i') + "\"}}", 0,
         0, 0, id95.c_str()},
        {"api key null at the top", R"({"OPENAI_API_KEY":null})", 0, 0, 0, "", 0},
        {"api key empty at the top", R"({"OPENAI_API_KEY":""})", 0, 0, 0, "", 0},
        {"api key at the top", R"({"OPENAI_API_KEY":"sk-1","tokens":{}})", 0, 0, 0, "", 1},
        {"api key in tokens", R"({"tokens":{"OPENAI_API_KEY":"sk-1"}})", 0, 0, 0, "", 1},
        {"last refresh", R"({"last_refresh":"2024-05-01T12:00:00.5Z"})", 0, 0, 0, "", 0,
         1714564800},
        {"last refresh at the epoch is not stored", R"({"last_refresh":"1970-01-01T00:00:00Z"})", 0,
         0, 0, "", 0, 0},
        {"last refresh as a number", R"({"last_refresh":1714564800})", 0, 0, 0, "", 0, 0},
        {"last refresh invalid", R"({"last_refresh":"2024-13-01T00:00:00Z"})", 0, 0, 0, "", 0, 0},
        {"last refresh inside tokens only", R"({"tokens":{"last_refresh":"2024-05-01T12:00:00Z"}})",
         0, 0, 0, "", 0, 0},
        {"empty text", "", 0, 0, 0},
        {"byte-order mark hides every member", "\xEF\xBB\xBF{\"access_token\":\"x\"}", 0, 0, 0},
    };
    for (const row& r : rows) {
        login_status st{};
        scan_creds(r.text.c_str(), st, nullptr);
        EXPECT_EQ(st.logged_in, r.logged_in) << r.what;
        EXPECT_EQ(st.has_refresh, r.has_refresh) << r.what;
        EXPECT_EQ(st.expires_at, r.expires_at) << r.what;
        EXPECT_STREQ(st.account_id.c_str(), r.account_id) << r.what;
        EXPECT_EQ(st.api_key_present, r.api_key) << r.what;
        EXPECT_EQ(st.last_refresh, r.last_refresh) << r.what;
    }
}

TEST(ScanCreds, EntryReceivesOnlyItsFacts) {
    const std::string text = R"({"last_refresh":"2024-05-01T12:00:00Z","OPENAI_API_KEY":"sk",)"
                             R"("tokens":{"access_token":")" +
                             jwt(exp_payload) + R"(","refresh_token":"r","account_id":"id"}})";
    login_status st{};
    account_entry entry{};
    entry.name.assign("work");
    scan_creds(text.c_str(), st, &entry);

    EXPECT_EQ(st.logged_in, 1);
    EXPECT_EQ(st.has_refresh, 1);
    EXPECT_EQ(st.expires_at, 1700000000);
    EXPECT_STREQ(st.account_id.c_str(), "id");
    EXPECT_EQ(st.api_key_present, 1);
    EXPECT_EQ(st.last_refresh, 1714564800);

    EXPECT_STREQ(entry.name.c_str(), "work");
    EXPECT_EQ(entry.logged_in, 1);
    EXPECT_EQ(entry.has_refresh, 1);
    EXPECT_EQ(entry.expires_at, 1700000000);
    EXPECT_EQ(entry.expired, 0);
    EXPECT_EQ(entry.expires_in_sec, 0);
}

// The accounts list reads each named account file into its entry alone; it must hold what
// the full scan into a cleared record would have put there.
TEST(ScanCredsEntry, SameAsTheScanIntoAClearedRecord) {
    char tmpl[] = "/tmp/credvane-entry-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::filesystem::path dir = tmpl;
    const std::string texts[] = {
        file_with_token(quoted(jwt(exp_payload))),
        file_with_token(quoted(jwt(R"({"exp":-5})"))),
        file_with_token("12345"),
        file_with_token("null"),
        R"({"access_token":"opaque","refresh_token":"r"})",
        R"({"tokens":{"refresh_token":"\n"},"access_token":"x"})",
        R"({"tokens":{"access_token":"x","refresh_token":"r")",
        "",
    };
    const std::string path = (dir / "a.json").string();
    for (const std::string& text : texts) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
        login_status st{};
        account_entry want{};
        scan_creds(text.c_str(), st, &want);
        account_entry got{};
        got.expires_at = 99;  // overwritten, as the full scan overwrites it
        ASSERT_TRUE(scan_creds_entry_file(path.c_str(), got, lock_read_deadline())) << text;
        EXPECT_EQ(got.logged_in, want.logged_in) << text;
        EXPECT_EQ(got.has_refresh, want.has_refresh) << text;
        EXPECT_EQ(got.expires_at, want.expires_at) << text;
    }
    account_entry untouched{};
    untouched.expires_at = 5;
    EXPECT_FALSE(
        scan_creds_entry_file((dir / "missing.json").c_str(), untouched, lock_read_deadline()));
    EXPECT_EQ(untouched.expires_at, 5);
    std::filesystem::remove_all(dir);
}

// The Codex CLI refuses a "tokens" object without an id token that it takes for a JWT
// (three parts split at dots, none empty, the payload unpadded URL-safe base64), or without
// access and refresh token strings; every other file it reads. The problem is named; a
// file the CLI reads has none. A payload that is no JSON is refused too, but not judged.
TEST(ScanCreds, FileProblemIsWhatTheCliRefuses) {
    const std::string refused = "id_token is not a JWT";
    // A tokens object with the access and refresh tokens and the given id token member.
    const auto with_id = [](const std::string& member) {
        return R"({"tokens":{)" + member + R"("access_token":"x","refresh_token":"r"}})";
    };
    const auto id = [&](const std::string& token) {
        return with_id(R"("id_token":")" + token + R"(",)");
    };
    const std::pair<std::string, std::string> rows[] = {
        {"", ""},
        {R"({"auth_mode":"apikey","OPENAI_API_KEY":"sk-1"})", ""},
        {R"({"access_token":"x"})", ""},  // no "tokens": the CLI reads it
        {R"({"tokens":null,"access_token":"x"})", ""},
        {R"({"tokens":{"access_token":"x")", ""},  // not closed: no token window to judge
        {id(jwt(exp_payload)), ""},
        {id("a.YQ.c"), ""},
        {id("a.YWJj.c.d"), ""},            // a fourth part is not read
        {id(R"(a\u002eYQ.c)"), ""},        // escapes are decoded first
        {id(std::string(9000, 'i')), ""},  // too long to hold: not judged
        {with_id(""), "no id_token"},
        {R"({"tokens":{}})", "no id_token"},
        {R"({"id_token":"a.YQ.c","tokens":{"access_token":"x","refresh_token":"r"}})",
         "no id_token"},
        {with_id(R"("x":{"id_token":"a.YQ.c"},)"), "no id_token"},
        {with_id(R"("id_token":null,)"), refused},
        {with_id(R"("id_token":5,)"), refused},
        {id(""), refused},
        {id("opaque"), refused},
        {id("a.YQ"), refused},
        {id(".YQ.c"), refused},
        {id("a..c"), refused},
        {id("a.YQ."), refused},
        {id("a.YQ==.c"), refused},
        {id("a.Y+Q/.c"), refused},
        {id("a.YWJjZ.c"), refused},  // 5 symbols: no whole byte
        {R"({"tokens":{"id_token":"a.YQ.c","refresh_token":"r"}})", "no access_token"},
        {R"({"tokens":{"id_token":"a.YQ.c","access_token":null,"refresh_token":"r"}})",
         "no access_token"},
        {R"({"tokens":{"id_token":"a.YQ.c","access_token":"x"}})", "no refresh_token"},
        {R"({"tokens":{"id_token":"a.YQ.c","access_token":"","refresh_token":""}})", ""},
        {R"({"tokens":{"access_token":"x"}})", "no id_token"},  // the id token is named first
    };
    for (const auto& [text, want] : rows) {
        login_status st{};
        scan_creds(text.c_str(), st, nullptr);
        EXPECT_EQ(st.file_problem, want) << text.substr(0, 80);
    }
}

TEST(ScanCreds, OnlySetsFieldsAndIgnoresANullText) {
    login_status st{};
    st.has_refresh = 1;
    st.expires_at = 42;
    st.last_refresh = 7;
    st.account_id.assign("kept");
    account_entry entry{};
    entry.has_refresh = 1;

    scan_creds(nullptr, st, &entry);
    EXPECT_EQ(st.logged_in, 0);
    EXPECT_EQ(st.has_refresh, 1);
    EXPECT_EQ(st.expires_at, 42);
    EXPECT_EQ(st.last_refresh, 7);
    EXPECT_STREQ(st.account_id.c_str(), "kept");
    EXPECT_EQ(entry.logged_in, 0);
    EXPECT_EQ(entry.expires_at, 0);

    // A file that shows none of those facts leaves them as the caller set them; the entry
    // then takes the record's login and expiry.
    scan_creds(R"({"tokens":{"access_token":"opaque"}})", st, &entry);
    EXPECT_EQ(st.logged_in, 1);
    EXPECT_EQ(st.has_refresh, 1);
    EXPECT_EQ(st.expires_at, 42);
    EXPECT_EQ(st.last_refresh, 7);
    EXPECT_STREQ(st.account_id.c_str(), "kept");
    EXPECT_EQ(entry.logged_in, 1);
    EXPECT_EQ(entry.has_refresh, 1);
    EXPECT_EQ(entry.expires_at, 42);
}

}  // namespace
}  // namespace credvane

// issuer_test.cc: what of an issuer's answer may be used.
#include "signin/issuer.h"

#include <gtest/gtest.h>

#include "helpers.h"

namespace credvane::signin {
namespace {

TEST(Issuer, OnlyHttpsOrTheLoopbackInClear) {
    struct row {
        const char* url;
        bool ok;
    };
    const row rows[] = {
        {"https://auth.openai.com", true},
        {"HTTPS://auth.example.com:8443/base", true},
        {"https://[2001:db8::1]:443", true},
        {"http://127.0.0.1:8080", true},
        {"http://localhost:9", true},
        {"http://[::1]:80", true},
        {"http://auth.openai.com", false},
        {"http://127.0.0.1.evil.com", false},
        {"http://10.0.0.1", false},
        {"ftp://auth.openai.com", false},
        {"https://", false},
        {"https://user:pw@auth.openai.com", false},
        {"https://auth.openai.com/?x=1", false},
        {"https://auth.openai.com/#f", false},
        {"https://auth openai.com", false},
        {"https://auth.openai.com:", false},
        {"https://auth.openai.com:123456", false},
        {"https://a\nb", false},
        {"", false},
        // Old IPv4 forms name another machine than their text; the dotted quad is fine.
        {"https://3", false},
        {"https://1.2.3", false},
        {"https://0x7f.1", false},
        {"https://0177.0.0.1", false},
        {"https://256.1.1.1", false},
        {"https://203.0.113.9", true},
        {"https://auth.example.0xai", true},
        {"https://0xff", false},
        {"http://127.0.0.1:65535", true},
        {"http://127.0.0.1:65536", false},
        {"https://[.AA]", false},
        {"https://[1::2::3]", false},
        {"https://[::ffff:203.0.113.9]", true},
        {"https://[1:2:3:4:5:6:7:8]", true},
        {"https://[1:2:3:4:5:6:7:8:9]", false},
        {"https://[1::154.]", false},
    };
    for (const row& r : rows) EXPECT_EQ(issuer_ok(r.url), r.ok) << r.url;
    EXPECT_FALSE(issuer_ok("https://" + std::string(510, 'a')));
}

TEST(Issuer, AJwtNeedsThreeNonEmptyPartsAndAnObjectPayload) {
    const std::string good = signin_test::jwt({{"exp", 5}});
    const std::string head = good.substr(0, good.find('.'));
    const std::string sig = good.substr(good.rfind('.') + 1);
    const std::string payload =
        good.substr(head.size() + 1, good.size() - head.size() - sig.size() - 2);
    struct row {
        std::string token;
        bool ok;
    };
    const row rows[] = {
        {good, true},
        {head + "." + payload + ".", false},
        {"." + payload + "." + sig, false},
        {head + ".." + sig, false},
        {head + "." + payload, false},
        {head + "." + payload + "." + sig + ".x", false},
        {head + "." + payload + "." + sig + "=", false},
        {head + "." + payload + "+." + sig, false},
        {head + ".YWJj." + sig, false},  // "abc" is no JSON object
        {head + ".W10." + sig, false},   // "[]" is none either
        {std::string(17000, 'a') + ".e30.x", false},
    };
    for (const row& r : rows) EXPECT_EQ(jwt_ok(r.token), r.ok) << r.token;
    EXPECT_EQ(jwt_exp(good), 5);
    EXPECT_EQ(jwt_exp(signin_test::jwt({{"exp", -5}})), 0);
    EXPECT_EQ(jwt_exp(signin_test::jwt({{"exp", "5"}})), 0);
    EXPECT_EQ(account_id_of(signin_test::jwt(
                  {{"https://api.openai.com/auth", {{"chatgpt_account_id", "a-1"}}}})),
              "a-1");
    EXPECT_EQ(account_id_of(
                  signin_test::jwt({{"https://api.openai.com/auth", {{"chatgpt_account_id", 7}}}})),
              "");
    EXPECT_EQ(account_id_of(signin_test::jwt({{"chatgpt_account_id", "top"}})), "");
}

TEST(Issuer, OnlyJsonContentIsRead) {
    struct row {
        const char* type;
        const char* body;
        bool ok;
    };
    const row rows[] = {
        {"application/json", "{}", true},
        {"Application/JSON; charset=utf-8", "{}", true},
        {"application/jsonp", "{}", false},
        {"text/json", "{}", false},
        {"", "{}", false},
        {"application/json", "[]", false},
        {"application/json", "{} trailing", false},
        {"application/json", "", false},
    };
    for (const row& r : rows) {
        http::answer a;
        a.how = http::outcome::answered;
        a.status = 200;
        a.content_type = r.type;
        a.body = r.body;
        EXPECT_EQ(json_body(a).has_value(), r.ok) << r.type << " " << r.body;
    }
    http::answer failed;
    failed.content_type = "application/json";
    failed.body = "{}";
    EXPECT_FALSE(json_body(failed));
}

TEST(Issuer, ARefusedReuseIsRecognised) {
    EXPECT_TRUE(refresh_token_reused(json::parse(R"({"error":{"code":"refresh_token_reused"}})")));
    EXPECT_TRUE(refresh_token_reused(json::parse(R"({"error":"refresh_token_reused"})")));
    EXPECT_FALSE(refresh_token_reused(json::parse(R"({"error":{"code":"invalid_grant"}})")));
    EXPECT_FALSE(refresh_token_reused(json::parse(R"({"code":"refresh_token_reused"})")));
    EXPECT_FALSE(refresh_token_reused(json::parse(R"({"error":["refresh_token_reused"]})")));
}

TEST(Issuer, FormValuesAreEscaped) {
    EXPECT_EQ(form_escape("a+b/c=d&e f~_.-"), "a%2Bb%2Fc%3Dd%26e%20f~_.-");
    EXPECT_EQ(form_escape("\xc3\xa9"), "%C3%A9");
}

}  // namespace
}  // namespace credvane::signin

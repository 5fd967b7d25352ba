// cases_test.cc: credvane-login and credvane-refresh as credvane runs them, against the
// stand-in issuer answering well or, through its faults, badly. Written once: the POSIX
// build runs these in signin_tests, the Windows build under wine in wine_signin_tests.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/platform.h"
#include "tests/signin/harness.h"

namespace signin_test {
namespace {

// A file as a Codex CLI of another version may write it: members credvane does not know
// stay, in their places.
std::string file_with_unknowns(const std::string& issuer, const std::string& access) {
    const json doc = {{"auth_mode", "chatgpt"},
                      {"OPENAI_API_KEY", nullptr},
                      {"tokens",
                       {{"id_token", jwt({{"sub", "u"}})},
                        {"access_token", access},
                        {"refresh_token", "rt-old"},
                        {"oauth_provenance", {{"issuer", issuer}, {"client_id", "app_custom"}}},
                        {"login_owner_id", "owner-1"},
                        {"account_id", "acct-1"},
                        {"future_member", {1, 2, {{"x", true}}}}}},
                      {"last_refresh", "2026-01-01T00:00:00.000000000Z"},
                      {"unknown_top", "kept"}};
    return doc.dump(2);
}

// A lock the test holds on a lock file, as another program would.
credvane::platform::file_lock held_lock(const std::string& path) {
    auto lock =
        credvane::platform::file_lock::acquire(path.c_str(), credvane::platform::monotonic_ms());
    EXPECT_TRUE(lock.held()) << path;
    return lock;
}

TEST_F(Signin, ADeviceLoginWritesTheFileAsTheCodexCliDoes) {
    struct row {
        const char* what;
        std::vector<std::string> name_args;
        std::string marker_name;
        std::string codex_home;  // under the host's root; empty: the default ~/.codex
        std::string file;        // under the host's root
    };
    const row rows[] = {
        {"default account", {}, "default", "", home_rel(".codex/auth.json")},
        {"named account", {"--name", "work"}, "work", "", home_rel(".codex/accounts/work.json")},
        {"CODEX_HOME holds the default file", {}, "default", "codexhome", "codexhome/auth.json"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        if (!r.codex_home.empty()) h.env["CODEX_HOME"] = h.path(r.codex_home);
        const std::size_t polls_before = iss.count(token_path);
        auto args = [&](std::vector<std::string> a) {
            a.insert(a.end(), r.name_args.begin(), r.name_args.end());
            return a;
        };

        const cgi::result start = login_run(args({"--start"}));
        ASSERT_EQ(start.exit_code, 0) << start.out;
        const std::string code = iss.control("/test/next-code", {{"timeout", 10}})["user_code"];
        EXPECT_EQ(answer_of(start), json::parse(R"({"ok":true,"verify_url":")" + iss.url() +
                                                R"(/codex/device","user_code":")" + code +
                                                R"(","interval":5,"expires_in":900})"));
        expect_owner_only(marker(r.marker_name));
        const json m = json::parse(h.read(marker(r.marker_name)), nullptr, false);
        EXPECT_GT(m["created"].get<long long>(), 1700000000);
        EXPECT_EQ(m["expires_at"].get<long long>() - m["created"].get<long long>(), 900);

        EXPECT_EQ(login(args({"--poll"})),
                  json::parse(R"({"ok":true,"state":"pending","interval":5})"));
        EXPECT_EQ(iss.count(token_path), polls_before + 1);
        // Within the interval a poll answers from the marker, without asking the issuer.
        EXPECT_EQ(login(args({"--poll"}))["state"], "pending");
        EXPECT_EQ(iss.count(token_path), polls_before + 1);
        EXPECT_EQ(login(args({"--status"})),
                  json::parse(R"({"ok":true,"logged_in":false,"has_refresh":false,)"
                              R"("pending":true,"expires_at":0})"));

        // An authorization code and verifier that must be encoded in the exchange.
        iss.control("/test/approve", {{"user_code", code},
                                      {"account_id", "acct-7"},
                                      {"authorization_code", "code+1"},
                                      {"code_verifier", "ver/1"}});
        make_poll_due(r.marker_name);
        const cgi::result done = login_run(args({"--poll"}));
        EXPECT_EQ(answer_of(done), json::parse(R"({"ok":true,"state":"done"})")) << done.out;
        EXPECT_TRUE(done.err.empty()) << done.err;
        EXPECT_FALSE(h.exists(marker(r.marker_name)));

        const std::string file = h.path(r.file);
        expect_owner_only(file);
        const std::string text = h.read(file);
        const json f = json::parse(text, nullptr, false);
        ASSERT_TRUE(f.is_object()) << text;
        EXPECT_EQ(text, f.dump(2)) << "two-space pretty print, no final newline";
        std::vector<std::string> keys, token_keys;
        for (const auto& [k, v] : f.items()) keys.push_back(k);
        for (const auto& [k, v] : f["tokens"].items()) token_keys.push_back(k);
        EXPECT_EQ(keys, (std::vector<std::string>{"auth_mode", "OPENAI_API_KEY", "tokens",
                                                  "last_refresh"}));
        EXPECT_EQ(token_keys,
                  (std::vector<std::string>{"id_token", "access_token", "refresh_token",
                                            "oauth_provenance", "login_owner_id", "account_id"}));
        EXPECT_EQ(f["auth_mode"], "chatgpt");
        EXPECT_TRUE(f["OPENAI_API_KEY"].is_null());
        EXPECT_EQ(f["tokens"]["account_id"], "acct-7");
        EXPECT_EQ(
            f["tokens"]["oauth_provenance"],
            json::parse(R"({"issuer":")" + iss.url() + R"(","client_id":")" + client_id + R"("})"));
        EXPECT_EQ(f["tokens"]["login_owner_id"].get<std::string>().size(), 43u);
        EXPECT_EQ(f["last_refresh"].get<std::string>().size(), 30u);
        const std::string folder = file.substr(0, file.find_last_of("/\\") + 1);
        EXPECT_TRUE(h.exists(folder + "auth.lock"));
        EXPECT_TRUE(h.exists(file + ".lock"));

        const json exp = claims_of(f["tokens"]["access_token"].get<std::string>())["exp"];
        ASSERT_TRUE(exp.is_number_integer()) << text;
        EXPECT_EQ(
            login(args({"--status"})),
            json::parse(
                R"({"ok":true,"logged_in":true,"has_refresh":true,"pending":false,"expires_at":)" +
                exp.dump() + "}"));
        h.env.erase("CODEX_HOME");
    }
    // The exchange the real service expects, form-encoded.
    const std::vector<json> exchanges = iss.requests(oauth_path);
    EXPECT_EQ(exchanges.size(), 3u);
    for (const json& s : exchanges) {
        EXPECT_EQ(s["content_type"], "application/x-www-form-urlencoded");
        EXPECT_EQ(s["body"], "grant_type=authorization_code&client_id=" + client_id +
                                 "&code=code%2B1&redirect_uri=http%3A%2F%2F127.0.0.1%3A" +
                                 iss.url().substr(17) +
                                 "%2Fdeviceauth%2Fcallback&code_verifier=ver%2F1");
    }
}

TEST_F(Signin, ExistingCredentialsAreRefusedWithoutForce) {
    put_auth(R"({"OPENAI_API_KEY":"sk-test"})");
    EXPECT_EQ(login({"--start"})["error"], "exists");
    EXPECT_EQ(iss.requests().size(), 0u);
    EXPECT_EQ(login({"--start", "--force"})["ok"], true);
}

// A forced re-login that ends without new tokens leaves the old file byte for byte.
TEST_F(Signin, AnEndedReloginKeepsTheOldFile) {
    const std::string old =
        "{\n  \"auth_mode\": \"chatgpt\",\n  \"tokens\": {\"access_token\": \"" +
        jwt({{"exp", 1900000000}}) + "\"}\n}";
    struct row {
        const char* what;
        json poll_fault;  // the token poll's answer; null: the person denies at the issuer
        bool cancel;      // cancelled instead of polled
        const char* error;
    };
    const row rows[] = {
        {"denied at the issuer", nullptr, false, "denied"},
        {"a bare refusal", {{"status", 400}, {"body", "{}"}}, false, "denied"},
        {"gone", {{"status", 410}, {"body", "{}"}}, false, "denied"},
        {"cancelled", nullptr, true, nullptr},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        put_auth(old);
        const std::string code = start({"--force"});
        if (r.poll_fault.is_object()) {
            iss.fault(token_path, r.poll_fault);
        } else if (!r.cancel) {
            iss.control("/test/deny", {{"user_code", code}});
        }
        const cgi::result end = login_run({r.cancel ? "--cancel" : "--poll"});
        const json a = answer_of(end);
        if (r.error != nullptr) {
            EXPECT_EQ(end.exit_code, 1);
            EXPECT_EQ(a["error"], r.error) << end.out;
            EXPECT_FALSE(a.value("detail", "").empty()) << end.out;
        } else {
            EXPECT_EQ(a, json::parse(R"({"ok":true,"state":"cancelled"})"));
        }
        EXPECT_FALSE(h.exists(marker()));
        EXPECT_EQ(h.read(auth()), old);
    }
}

// Every answer of the issuer is hostile until checked. Each bad answer ends in one JSON
// line with ok false, and neither a marker nor a credential file comes of it.
TEST_F(Signin, HostileUserCodeAnswersAreRefused) {
    struct row {
        const char* what;
        json answer;
        const char* error;
    };
    const std::string good = R"({"device_auth_id":"d","user_code":"U","interval":"5"})";
    const std::string big(300 * 1024, ' ');
    const row rows[] = {
        {"not found", {{"status", 404}, {"body", "{}"}}, "device_login_unavailable"},
        {"server error", {{"status", 500}, {"body", "{}"}}, "start_failed"},
        {"redirect", {{"status", 302}, {"body", "{}"}}, "start_failed"},
        {"html", {{"status", 200}, {"content_type", "text/html"}, {"body", good}}, "bad_answer"},
        {"no content type", {{"status", 200}, {"content_type", ""}, {"body", good}}, "bad_answer"},
        {"not json", {{"status", 200}, {"body", "<html>"}}, "bad_answer"},
        {"an array", {{"status", 200}, {"body", "[]"}}, "bad_answer"},
        {"no device id",
         {{"status", 200}, {"body", R"({"user_code":"U","interval":"5"})"}},
         "bad_answer"},
        {"device id a number",
         {{"status", 200}, {"body", R"({"device_auth_id":7,"user_code":"U"})"}},
         "bad_answer"},
        {"code with a space",
         {{"status", 200}, {"body", R"({"device_auth_id":"d","user_code":"A B"})"}},
         "bad_answer"},
        {"code with a line break",
         {{"status", 200}, {"body", R"({"device_auth_id":"d","user_code":"A\nB"})"}},
         "bad_answer"},
        {"deep nesting",
         {{"status", 200}, {"body", std::string(5000, '[') + std::string(5000, ']')}},
         "bad_answer"},
        {"too large", {{"status", 200}, {"body", "{\"pad\":\"" + big + "\"}"}}, "start_failed"},
        {"connection dropped", {{"drop", true}}, "start_failed"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        iss.fault(usercode_path, r.answer);
        const cgi::result res = login_run({"--start"});
        EXPECT_EQ(res.exit_code, 1);
        const json a = answer_of(res);
        ASSERT_TRUE(a.is_object()) << res.out;
        EXPECT_EQ(a["ok"], false);
        EXPECT_EQ(a["error"], r.error) << res.out;
        EXPECT_FALSE(a.value("detail", "").empty());
        EXPECT_TRUE(res.err.empty()) << res.err;
        EXPECT_FALSE(h.exists(marker()));
    }
}

TEST_F(Signin, TheIntervalIsTakenAsAStringOrANumber) {
    struct row {
        json interval;
        int want;
    };
    const row rows[] = {{"5", 5}, {7, 7},        {"abc", 5},  {"0", 5},
                        {-3, 5},  {"99999", 60}, {nullptr, 5}};
    json answer = {{"device_auth_id", "dev-42"}, {"user_code", "ABCD-EFGH"}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.interval.dump());
        answer["interval"] = r.interval;
        iss.fault(usercode_path, {{"status", 200}, {"body", answer.dump()}});
        EXPECT_EQ(login({"--start"})["interval"], r.want);
    }
    // An older service named the code otherwise.
    answer.erase("user_code");
    answer["usercode"] = "OLD-SERVER";
    iss.fault(usercode_path, {{"status", 200}, {"body", answer.dump()}});
    EXPECT_EQ(login({"--start"})["user_code"], "OLD-SERVER");
}

// A code longer than credvane can show whole would be one the person types in vain.
TEST_F(Signin, AUserCodeIsCarriedWholeOrRefused) {
    for (const std::size_t len : {63u, 64u}) {
        SCOPED_TRACE(len);
        h.remove(marker());
        const json answer = {
            {"device_auth_id", "d"}, {"user_code", std::string(len, 'C')}, {"interval", "5"}};
        iss.fault(usercode_path, {{"status", 200}, {"body", answer.dump()}});
        const cgi::result r = login_run({"--start"});
        if (len <= 63) {
            EXPECT_EQ(answer_of(r)["user_code"], std::string(len, 'C')) << r.out;
            EXPECT_EQ(login({"--status"})["pending"], true);
        } else {
            EXPECT_EQ(answer_of(r)["error"], "bad_answer") << r.out;
            EXPECT_FALSE(h.exists(marker()));
        }
    }
}

TEST_F(Signin, HostileTokenAnswersEndTheLoginAndWriteNothing) {
    const std::string good_id =
        jwt({{"https://api.openai.com/auth", {{"chatgpt_account_id", "acct-7"}}}});
    const std::string good_access = jwt({{"exp", 2000000000}});
    struct row {
        const char* what;
        json answer;
        const char* error;
    };
    auto body = [&](const std::string& id, const std::string& access, const json& rt) {
        return json{{"id_token", id}, {"access_token", access}, {"refresh_token", rt}}.dump();
    };
    const row rows[] = {
        {"refused", {{"status", 400}, {"body", R"({"error":"invalid_grant"})"}}, "exchange_failed"},
        {"empty signature",
         {{"status", 200},
          {"body", body(good_id, good_access.substr(0, good_access.rfind('.') + 1), "rt")}},
         "bad_answer"},
        {"two parts", {{"status", 200}, {"body", body(good_id, "abc.def", "rt")}}, "bad_answer"},
        {"payload not json",
         {{"status", 200}, {"body", body("YWJj.YWJj.YWJj", good_access, "rt")}},
         "bad_answer"},
        {"padding",
         {{"status", 200}, {"body", body(good_id, good_access + "=", "rt")}},
         "bad_answer"},
        {"refresh token missing",
         {{"status", 200}, {"body", body(good_id, good_access, nullptr)}},
         "bad_answer"},
        {"refresh token with a quote",
         {{"status", 200}, {"body", body(good_id, good_access, "a\"b c")}},
         "bad_answer"},
        {"text/plain",
         {{"status", 200},
          {"content_type", "text/plain"},
          {"body", body(good_id, good_access, "rt")}},
         "bad_answer"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        const std::string code = start();
        iss.control("/test/approve", {{"user_code", code}, {"code_verifier", "ver/1"}});
        iss.fault(oauth_path, r.answer);
        const cgi::result res = login_run({"--poll"});
        EXPECT_EQ(res.exit_code, 1) << res.out;
        EXPECT_EQ(answer_of(res)["error"], r.error) << res.out;
        EXPECT_FALSE(h.exists(auth()));
        EXPECT_FALSE(h.exists(marker()));
        EXPECT_EQ(res.out.find("ver/1"), std::string::npos);
    }
}

TEST_F(Signin, AnUnreachableIssuerLeavesTheLoginOpen) {
    ASSERT_FALSE(start().empty());
    // The marker remembers the issuer it started with; point it at a closed port.
    json m = json::parse(h.read(marker()), nullptr, false);
    m["issuer"] = closed_issuer;
    put(".claude/.login-pending/codex-default.json", m.dump());
    EXPECT_EQ(login({"--poll"}), json::parse(R"({"ok":true,"state":"pending","interval":5})"));
    EXPECT_TRUE(h.exists(marker()));

    h.remove(marker());
    h.env["CREDVANE_ISSUER"] = closed_issuer;
    const json a = login({"--start"});
    EXPECT_EQ(a["error"], "start_failed") << a.dump();
    EXPECT_NE(a.value("detail", "").find(refused_words), std::string::npos) << a.dump();
    EXPECT_FALSE(h.exists(marker()));
}

TEST_F(Signin, AnIssuerThatNeverAnswersLeavesTheLoginOpen) {
    // The run's time is two thirds of CREDVANE_CLI_TIMEOUT: the request gives up within it.
    h.env["CREDVANE_CLI_TIMEOUT"] = "3";
    start();
    iss.fault(token_path, {{"hang", true}});
    const json a = login({"--poll"});
    EXPECT_EQ(a.value("state", ""), "pending") << a.dump();
    EXPECT_TRUE(h.exists(marker()));
}

TEST_F(Signin, AnExpiredOrBrokenMarkerEndsTheLogin) {
    start();
    json m = json::parse(h.read(marker()), nullptr, false);
    m["expires_at"] = 1000;
    put(".claude/.login-pending/codex-default.json", m.dump());
    EXPECT_EQ(login({"--poll"})["error"], "expired");
    EXPECT_FALSE(h.exists(marker()));

    put(".claude/.login-pending/codex-default.json",
        R"({"device_auth_id":"d","issuer":"http://203.0.113.9","created":1})");
    EXPECT_EQ(login({"--poll"})["error"], "bad_marker");
    EXPECT_FALSE(h.exists(marker()));
    EXPECT_EQ(login({"--poll"})["error"], "no_pending");
    EXPECT_EQ(iss.count(token_path), 0u);
}

TEST_F(Signin, AnIssuerThatSaysTheCodeExpiredIsReportedAsExpired) {
    struct row {
        const char* what;
        std::string body;  // the token poll's 400; empty: the issuer's own code expires
        const char* error;
    };
    const row rows[] = {
        {"the issuer's own expiry", "", "expired"},
        {"an error object", R"({"error":{"code":"expired_token","message":"m"}})", "expired"},
        {"an error string", R"({"error":"expired_token"})", "expired"},
        {"denied", R"({"error":{"code":"access_denied"}})", "denied"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        const std::string code = start({"--force"});
        if (r.body.empty()) {
            iss.control("/test/expire", {{"user_code", code}});
        } else {
            iss.fault(token_path, {{"status", 400}, {"body", r.body}});
        }
        const json a = login({"--poll"});
        if (std::string(r.error) == "expired") {
            EXPECT_EQ(a, json::parse(R"({"ok":false,"error":"expired",)"
                                     R"("detail":"the code expired; get a new code"})"));
        } else {
            EXPECT_EQ(a["error"], r.error) << a.dump();
        }
        EXPECT_FALSE(h.exists(marker()));
    }
}

TEST_F(Signin, BadCommandLinesGetAUsageLine) {
    const std::vector<std::vector<std::string>> lines = {{},
                                                         {"--start", "--poll"},
                                                         {"--poll", "--force"},
                                                         {"--start", "--name", "../x"},
                                                         {"--status", "--name"},
                                                         {"--bogus"}};
    for (const auto& args : lines) {
        const cgi::result r = login_run(args);
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(answer_of(r)["error"], "usage") << r.out;
    }
    const cgi::result r = refresh_run({"--force"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(answer_of(r)["error"], "usage") << r.out;
}

TEST_F(Signin, ARefreshRenewsTheTokensAndKeepsTheRest) {
    sign_in();
    const json before = json::parse(h.read(auth()), nullptr, false);
    const json r = refresh_auth();
    ASSERT_EQ(r.value("state", ""), "refreshed") << r.dump();
    const json after = json::parse(h.read(auth()), nullptr, false);
    EXPECT_NE(after["tokens"]["refresh_token"], before["tokens"]["refresh_token"]);
    EXPECT_NE(after["tokens"]["access_token"], before["tokens"]["access_token"]);
    EXPECT_EQ(after["tokens"]["login_owner_id"], before["tokens"]["login_owner_id"]);
    EXPECT_EQ(after["tokens"]["account_id"], before["tokens"]["account_id"]);
    EXPECT_NE(after["last_refresh"], before["last_refresh"]);
    // The issuer took the refresh token the file held, and only once.
    const std::vector<json> refreshes = iss.requests(oauth_path);
    ASSERT_EQ(refreshes.size(), 2u);  // the sign-in's exchange, then the refresh
    EXPECT_EQ(json::parse(refreshes[1]["body"].get<std::string>(), nullptr, false)["refresh_token"],
              before["tokens"]["refresh_token"]);
}

TEST_F(Signin, RefreshKeepsEveryMemberItDoesNotChange) {
    const std::string old = file_with_unknowns(iss.url(), jwt({{"exp", 1800000000}}));
    put_auth(old);
    // The file's own issuer is used, not the configured one.
    h.env["CREDVANE_ISSUER"] = closed_issuer;
    const json tokens = {{"access_token", jwt({{"exp", 1900000000}})}, {"refresh_token", "rt-new"}};
    iss.fault(oauth_path, {{"status", 200}, {"body", tokens.dump()}});
    const cgi::result r = refresh_auth_run();
    EXPECT_EQ(answer_of(r),
              json::parse(R"({"ok":true,"state":"refreshed","expires_at":1900000000})"))
        << r.out;
    const std::vector<json> reqs = iss.requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0]["path"], oauth_path);
    EXPECT_EQ(
        json::parse(reqs[0]["body"].get<std::string>(), nullptr, false),
        json::parse(
            R"({"client_id":"app_custom","grant_type":"refresh_token","refresh_token":"rt-old"})"));

    json want = json::parse(old);
    want["tokens"]["access_token"] = tokens["access_token"];
    want["tokens"]["refresh_token"] = "rt-new";
    const std::string text = h.read(auth());
    const json got = json::parse(text, nullptr, false);
    ASSERT_TRUE(got.is_object()) << text;
    EXPECT_NE(got["last_refresh"], want["last_refresh"]);
    want["last_refresh"] = got["last_refresh"];
    EXPECT_EQ(text, want.dump(2))
        << "same members, same order, only tokens and last_refresh changed";
#ifndef _WIN32
    // On Windows a replacement keeps the old file's access rules (signin_test.cc there).
    expect_owner_only(auth());
#endif
    EXPECT_EQ(r.out.find("rt-"), std::string::npos);
}

TEST_F(Signin, HostileRefreshAnswersLeaveTheFileAsItWas) {
    sign_in();
    const std::string kept = h.read(auth());
    struct row {
        const char* what;
        json answer;
        const char* error;
    };
    const row rows[] = {
        {"refused",
         {{"status", 401}, {"body", R"({"error":{"code":"invalid_grant"}})"}},
         "refresh_refused"},
        {"bad gateway",
         {{"status", 502}, {"content_type", "text/html"}, {"body", "<h1>bad gateway</h1>"}},
         "refresh_failed"},
        {"busy", {{"status", 503}, {"body", "busy"}}, "refresh_failed"},
        {"not JSON",
         {{"status", 200}, {"content_type", "text/html"}, {"body", "<html>oops</html>"}},
         "bad_answer"},
        {"no access token", {{"status", 200}, {"body", R"({"refresh_token":"x"})"}}, "bad_answer"},
        {"an empty access token",
         {{"status", 200}, {"body", R"({"access_token":""})"}},
         "bad_answer"},
        {"access token not a JWT",
         {{"status", 200}, {"body", R"({"access_token":"opaque"})"}},
         "bad_answer"},
        {"not an object", {{"status", 200}, {"body", R"("token")"}}, "bad_answer"},
        {"connection dropped", {{"drop", true}}, "refresh_failed"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        iss.fault(oauth_path, r.answer);
        const cgi::result res = refresh_auth_run();
        EXPECT_EQ(res.exit_code, 1);
        EXPECT_EQ(answer_of(res)["error"], r.error) << res.out;
        EXPECT_EQ(h.read(auth()), kept);
    }
    // The file is still good for a refresh once the issuer answers well again.
    EXPECT_EQ(refresh_auth().value("state", ""), "refreshed");

    h.remove(auth());
    EXPECT_EQ(refresh_auth()["error"], "no_credentials");
    put_auth(R"({"OPENAI_API_KEY":"sk-x"})");
    EXPECT_EQ(refresh_auth()["error"], "no_refresh_token");
}

// Refresh tokens are single-use. When a running Codex agent used this one first, the
// issuer refuses ours; the agent's new tokens in the file are success, not an error.
TEST_F(Signin, AReusedRefreshTokenIsFineWhenAnotherProgramRefreshed) {
    sign_in();
    const std::string first = h.read(auth());
    // The other program: a refresh of a copy, with tokens that live longer.
    put("other.json", first);
    iss.control("/test/config", {{"token_lifetime", 7200}});
    ASSERT_EQ(answer_of(refresh_run({"--credentials-file", at_home("other.json"), "--force"}))
                  .value("state", ""),
              "refreshed");
    const std::string newer = h.read(at_home("other.json"));

    // Nobody wrote the file since: the refusal is ours.
    const cgi::result alone = refresh_auth_run();
    EXPECT_EQ(alone.exit_code, 1) << alone.out;
    EXPECT_EQ(answer_of(alone)["error"], "refresh_token_reused") << alone.out;
    EXPECT_EQ(h.read(auth()), first);

    // The other program writes its tokens while our request is at the issuer.
    iss.control("/test/hold", {{"path", oauth_path}});
    cgi::result ours;
    std::thread running([&] { ours = refresh_auth_run(); });
    iss.wait_for("held");
    put_auth(newer);
    iss.control("/test/release", {{"path", oauth_path}});
    running.join();
    EXPECT_EQ(ours.exit_code, 0) << ours.out;
    const json exp =
        claims_of(json::parse(newer)["tokens"]["access_token"].get<std::string>())["exp"];
    EXPECT_EQ(answer_of(ours)["expires_at"], exp) << ours.out;
    EXPECT_EQ(h.read(auth()), newer);
}

TEST_F(Signin, WithoutForceAFreshTokenIsLeftAlone) {
    put_auth(file_with_unknowns(iss.url(), jwt({{"exp", 4000000000LL}})));
    const std::string before = h.read(auth());
    EXPECT_EQ(answer_of(refresh_run({"--credentials-file", auth()})),
              json::parse(R"({"ok":true,"state":"fresh","expires_at":4000000000})"));
    EXPECT_EQ(iss.requests().size(), 0u);
    EXPECT_EQ(h.read(auth()), before);
}

// A busy lock costs one poll: the approved code is exchanged only once the locks are held.
TEST_F(Signin, ABusyLockDuringTheExchangeKeepsTheApproval) {
    const std::string code = start();
    iss.control("/test/approve", {{"user_code", code}});
    {
        h.folder(home_rel(".codex"));
        const auto other = held_lock(at_home(".codex/auth.lock"));
        make_poll_due();
        h.env["CREDVANE_CLI_TIMEOUT"] = "2";  // the run waits a little over a second for the lock
        const json r = login({"--poll"});
        h.env.erase("CREDVANE_CLI_TIMEOUT");
        EXPECT_EQ(r, json::parse(R"({"ok":true,"state":"pending","interval":5})")) << r.dump();
        EXPECT_EQ(iss.count(oauth_path), 0u);
        EXPECT_TRUE(h.exists(marker()));
    }
    make_poll_due();
    const json r = login({"--poll"});
    EXPECT_EQ(r, json::parse(R"({"ok":true,"state":"done"})")) << r.dump();
    EXPECT_EQ(json::parse(h.read(auth()), nullptr, false)["tokens"]["refresh_token"]
                  .get<std::string>()
                  .rfind("rt_", 0),
              0u);
}

TEST_F(Signin, LogoutRevokesTheRefreshTokenAndRemovesTheFile) {
    struct row {
        const char* what;
        json fault;  // null: the issuer revokes
        bool revoked;
    };
    const row rows[] = {
        {"revoked", nullptr, true},
        {"the issuer fails",
         {{"status", 500}, {"content_type", "text/plain"}, {"body", "down"}},
         false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        if (r.fault.is_object()) iss.fault(revoke_path, r.fault);
        const std::size_t before = iss.count(revoke_path);
        put_auth(login_file(iss.url(), jwt({{"exp", 1800000000}}), "rt-to-revoke"));
        const cgi::result out = login_run({"--logout"});
        const json a = answer_of(out);
        EXPECT_EQ(out.exit_code, 0) << out.out;
        EXPECT_EQ(a["state"], "logged_out") << out.out;
        EXPECT_EQ(a.contains("revoked"), !r.revoked) << out.out;
        const std::vector<json> revokes = iss.requests(revoke_path);
        ASSERT_EQ(revokes.size(), before + 1);
        EXPECT_EQ(json::parse(revokes.back()["body"].get<std::string>(), nullptr, false),
                  json::parse(
                      R"({"token":"rt-to-revoke","token_type_hint":"refresh_token","client_id":")" +
                      client_id + R"("})"));
        EXPECT_FALSE(h.exists(auth()));
        EXPECT_TRUE(h.exists(at_home(".codex/auth.lock")));
        EXPECT_TRUE(h.exists(at_home(".codex/auth.json.lock")));
        EXPECT_EQ(out.out.find("rt-to-revoke"), std::string::npos);
    }
    // A token is revoked only where it came from: a file naming an unusable issuer sends it
    // nowhere.
    const std::size_t revokes = iss.count(revoke_path);
    put_auth(login_file("http://203.0.113.9", jwt({{"exp", 1800000000}})));
    const json nowhere = login({"--logout"});
    EXPECT_EQ(nowhere["revoked"], false) << nowhere.dump();
    EXPECT_EQ(iss.count(revoke_path), revokes);
    EXPECT_FALSE(h.exists(auth()));
    // Nothing to do is done; a named account is its own file.
    EXPECT_EQ(login({"--logout"}), json::parse(R"({"ok":true,"state":"logged_out"})"));
    put(".codex/accounts/work.json", login_file(iss.url(), jwt({{"exp", 1800000000}})));
    put_auth(login_file(iss.url(), jwt({{"exp", 1800000000}})));
    EXPECT_EQ(login({"--logout", "--name", "work"})["state"], "logged_out");
    EXPECT_FALSE(h.exists(at_home(".codex/accounts/work.json")));
    EXPECT_TRUE(h.exists(auth()));
    // A lock another program holds keeps the file.
    h.env["CREDVANE_CLI_TIMEOUT"] = "2";
    const auto other = held_lock(at_home(".codex/auth.lock"));
    EXPECT_EQ(login({"--logout"})["error"], "locked");
    EXPECT_TRUE(h.exists(auth()));
}

TEST_F(Signin, AnIssuerThatDripsItsAnswerIsLeftWhenTheRunsTimeIsUp) {
    sign_in();
    const std::string kept = h.read(auth());
    // Two seconds for the run. Each drip sends a byte well within any per-packet timeout and
    // takes far longer in all than this test allows the run, so only a bound on the whole
    // request passes: a head of some 90 bytes at 250 ms, 1,000 bytes of body at 50 ms, and
    // 20 bytes of body whose chunk framing drips at 50 ms (some 1,000 bytes).
    h.env["CREDVANE_CLI_TIMEOUT"] = "3";
    struct drip {
        const char* what;
        json fault;
    };
    const drip drips[] = {
        {"the head drips", {{"drip_ms", 250}, {"drip_head", true}, {"body", std::string(20, ' ')}}},
        {"the body drips", {{"drip_ms", 50}, {"body", std::string(1000, ' ')}}},
        {"the chunk framing drips",
         {{"drip_ms", 50}, {"drip_chunks", true}, {"body", std::string(20, ' ')}}},
    };
    for (const drip& d : drips) {
        SCOPED_TRACE(d.what);
        json fault = d.fault;
        fault["status"] = 200;
        iss.fault(oauth_path, fault);
        const auto began = std::chrono::steady_clock::now();
        const json a = refresh_auth();
        const auto took = std::chrono::steady_clock::now() - began;
        EXPECT_EQ(a.value("error", ""), "refresh_failed") << a.dump();
        EXPECT_NE(a.value("detail", "").find(timeout_words), std::string::npos) << a.dump();
        // The run's two seconds, and the start of a program on a loaded machine.
        EXPECT_LT(took, std::chrono::seconds(12));
        EXPECT_EQ(h.read(auth()), kept);
    }
}

// The body of a JSON answer of credvane, parsed.
json cgi_answer(const cgi::result& r) {
    EXPECT_EQ(r.out.compare(0, cgi::json_head.size(), cgi::json_head), 0) << r.out;
    const std::size_t body = r.out.find("\r\n\r\n");
    if (body == std::string::npos) return json::value_t::discarded;
    return json::parse(r.out.substr(body + 4), nullptr, false);
}

TEST_F(Signin, CredvaneSignsInThroughItsOwnClis) {
    // credvane runs both programs as its CLIs and hands them CREDVANE_ISSUER.
    h.env["CODEX_LOGIN_BIN"] = login_exe();
    h.env["CODEX_REFRESH_BIN"] = refresh_exe();
    const json started = cgi_answer(h.run("action=start"));
    ASSERT_EQ(started.value("ok", false), true) << started.dump();
    EXPECT_EQ(started.value("verify_url", ""), iss.url() + "/codex/device");
    iss.control("/test/approve", {{"user_code", started.value("user_code", "")}});
    const json done = cgi_answer(h.run("action=poll"));
    EXPECT_EQ(done.value("state", ""), "done") << done.dump();
    EXPECT_EQ(done.value("logged_in", false), true) << done.dump();
    EXPECT_EQ(done.value("account_id", ""), "acct-standin-0001") << done.dump();
    // Tokens that live two hours from here on: credvane takes a refresh as done only when
    // the expiry moved later, and one within the same second as the login would not.
    iss.control("/test/config", {{"token_lifetime", 7200}});
    const json refreshed = cgi_answer(h.run("action=refresh"));
    EXPECT_EQ(refreshed.value("refreshed", false), true) << refreshed.dump();
    EXPECT_EQ(refreshed.value("logged_in", false), true) << refreshed.dump();
}

}  // namespace
}  // namespace signin_test

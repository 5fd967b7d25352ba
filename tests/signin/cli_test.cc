// cli_test.cc: credvane-login and credvane-refresh run as credvane runs them, against an
// issuer on 127.0.0.1 that answers as the test says, well or badly.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "helpers.h"
#include "responder.h"

namespace signin_test {
namespace {

const std::string usercode_path = "/api/accounts/deviceauth/usercode";
const std::string token_path = "/api/accounts/deviceauth/token";
const std::string oauth_path = "/oauth/token";
const std::string revoke_path = "/oauth/revoke";

reply ok_json(const json& body) {
    return reply{200, "application/json", body.dump()};
}

// A well-behaved issuer whose token poll says "pending" until approved is set.
struct issuer {
    std::atomic<bool> approved{false};
    std::atomic<int> poll_status{403};  // the answer while not approved
    json usercode = {{"device_auth_id", "dev-42"}, {"user_code", "ABCD-EFGH"}, {"interval", "5"}};
    json exchange;
    reply exchange_reply;
    bool custom_exchange = false;
    long long exp = 2000000000;

    issuer() {
        exchange = {{"id_token", jwt({{"https://api.openai.com/auth", {{"chatgpt_account_id", "acct-7"}}}})},
                    {"access_token", jwt({{"exp", exp}})},
                    {"refresh_token", "rt-fresh"}};
    }

    reply operator()(const seen& s) const {
        if (s.path == usercode_path) return ok_json(usercode);
        if (s.path == token_path) {
            if (!approved) return reply{poll_status, "application/json", "{}"};
            return ok_json({{"authorization_code", "code+1"}, {"code_challenge", "ch"}, {"code_verifier", "ver/1"}});
        }
        if (s.path == oauth_path) return custom_exchange ? exchange_reply : ok_json(exchange);
        if (s.path == revoke_path) return ok_json(json::object());
        return reply{404, "text/plain", "no"};
    }
};

class Signin : public ::testing::Test {
  protected:
    node n;
    issuer iss;
    responder server{[this](const seen& s) { return iss(s); }};

    void SetUp() override { n.env["CREDVANE_ISSUER"] = server.url(); }

    // Makes the next poll due at once instead of one interval later.
    void make_poll_due(const std::string& name = "default") {
        json m = json::parse(slurp(n.marker(name)));
        m["last_poll_ms"] = 1;
        put(n.marker(name), m.dump());
    }
};

TEST_F(Signin, DeviceLoginRoadWritesTheFileAsTheCodexCliDoes) {
    struct row {
        const char* what;
        std::vector<std::string> name_args;
        std::string marker_name;
        std::string codex_home;  // empty: the default ~/.codex
        std::string file;        // relative to root
    };
    const row rows[] = {
        {"default account", {}, "default", "", "home/.codex/auth.json"},
        {"named account", {"--name", "work"}, "work", "", "home/.codex/accounts/work.json"},
        {"CODEX_HOME holds the default file", {}, "default", "codexhome", "codexhome/auth.json"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        node fresh;
        fresh.env["CREDVANE_ISSUER"] = server.url();
        if (!r.codex_home.empty()) fresh.env["CODEX_HOME"] = (fresh.root / r.codex_home).string();
        iss.approved = false;
        const std::size_t polls_before = server.count(token_path);
        auto args = [&](std::vector<std::string> a) {
            a.insert(a.end(), r.name_args.begin(), r.name_args.end());
            return a;
        };

        const run_result start = fresh.login(args({"--start"}));
        ASSERT_EQ(start.code, 0) << start.out;
        EXPECT_EQ(start.answer(), json::parse(R"({"ok":true,"verify_url":")" + server.url() +
                                              R"(/codex/device","user_code":"ABCD-EFGH","interval":5,"expires_in":900})"));
        const auto marker = fresh.root / "home/.claude/.login-pending" / ("codex-" + r.marker_name + ".json");
        EXPECT_EQ(mode_of(marker), 0600u);
        const json m = json::parse(slurp(marker));
        EXPECT_GT(m["created"].get<long long>(), 1700000000);
        EXPECT_EQ(m["expires_at"].get<long long>() - m["created"].get<long long>(), 900);

        EXPECT_EQ(fresh.login(args({"--poll"})).answer(), json::parse(R"({"ok":true,"state":"pending","interval":5})"));
        EXPECT_EQ(server.count(token_path), polls_before + 1);
        // Within the interval a poll answers from the marker, without asking the issuer.
        EXPECT_EQ(fresh.login(args({"--poll"})).answer()["state"], "pending");
        EXPECT_EQ(server.count(token_path), polls_before + 1);
        EXPECT_EQ(fresh.login(args({"--status"})).answer(),
                  json::parse(R"({"ok":true,"logged_in":false,"has_refresh":false,"pending":true,"expires_at":0})"));

        iss.approved = true;
        json due = json::parse(slurp(marker));
        due["last_poll_ms"] = 1;
        put(marker, due.dump());
        const run_result done = fresh.login(args({"--poll"}));
        EXPECT_EQ(done.answer(), json::parse(R"({"ok":true,"state":"done"})")) << done.out;
        EXPECT_TRUE(done.err.empty()) << done.err;
        EXPECT_FALSE(std::filesystem::exists(marker));

        const auto file = fresh.root / r.file;
        EXPECT_EQ(mode_of(file), 0600u);
        const std::string text = slurp(file);
        const json f = json::parse(text);
        EXPECT_EQ(text, f.dump(2)) << "two-space pretty print, no final newline";
        std::vector<std::string> keys, token_keys;
        for (const auto& [k, v] : f.items()) keys.push_back(k);
        for (const auto& [k, v] : f["tokens"].items()) token_keys.push_back(k);
        EXPECT_EQ(keys, (std::vector<std::string>{"auth_mode", "OPENAI_API_KEY", "tokens", "last_refresh"}));
        EXPECT_EQ(token_keys, (std::vector<std::string>{"id_token", "access_token", "refresh_token",
                                                         "oauth_provenance", "login_owner_id", "account_id"}));
        EXPECT_EQ(f["tokens"]["access_token"], iss.exchange["access_token"]);
        EXPECT_EQ(f["tokens"]["account_id"], "acct-7");
        EXPECT_EQ(f["tokens"]["oauth_provenance"],
                  json::parse(R"({"issuer":")" + server.url() + R"(","client_id":"app_EMoamEEZ73f0CkXaXp7hrann"})"));
        EXPECT_EQ(f["tokens"]["login_owner_id"].get<std::string>().size(), 43u);
        EXPECT_EQ(f["last_refresh"].get<std::string>().size(), 30u);
        EXPECT_TRUE(std::filesystem::exists(file.parent_path() / "auth.lock"));
        EXPECT_TRUE(std::filesystem::exists(file.string() + ".lock"));

        EXPECT_EQ(fresh.login(args({"--status"})).answer(),
                  json::parse(R"({"ok":true,"logged_in":true,"has_refresh":true,"pending":false,"expires_at":2000000000})"));
    }
    // The exchange the real service expects, form-encoded.
    bool saw_exchange = false;
    for (const seen& s : server.requests()) {
        if (s.path != oauth_path) continue;
        saw_exchange = true;
        EXPECT_EQ(s.content_type, "application/x-www-form-urlencoded");
        EXPECT_EQ(s.body, "grant_type=authorization_code&client_id=app_EMoamEEZ73f0CkXaXp7hrann&code=code%2B1"
                          "&redirect_uri=" + std::string("http%3A%2F%2F127.0.0.1%3A") +
                              server.url().substr(17) + "%2Fdeviceauth%2Fcallback&code_verifier=ver%2F1");
    }
    EXPECT_TRUE(saw_exchange);
}

TEST_F(Signin, ExistingCredentialsAreRefusedWithoutForce) {
    put(n.auth(), R"({"OPENAI_API_KEY":"sk-test"})");
    EXPECT_EQ(n.login({"--start"}).answer()["error"], "exists");
    EXPECT_EQ(server.requests().size(), 0u);
    EXPECT_EQ(n.login({"--start", "--force"}).answer()["ok"], true);
}

// A forced re-login that ends without new tokens leaves the old file byte for byte.
TEST_F(Signin, AnEndedReloginKeepsTheOldFile) {
    const std::string old = "{\n  \"auth_mode\": \"chatgpt\",\n  \"tokens\": {\"access_token\": \"" +
                            jwt({{"exp", 1900000000}}) + "\"}\n}";
    struct row {
        const char* what;
        int poll_status;  // the token poll's answer; 0 = cancel instead of polling
        const char* error;
    };
    const row rows[] = {
        {"denied", 400, "denied"},
        {"gone", 410, "denied"},
        {"cancelled", 0, nullptr},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        put(n.auth(), old);
        ASSERT_EQ(n.login({"--start", "--force"}).code, 0);
        iss.poll_status = r.poll_status;
        const run_result end = n.login({r.poll_status ? "--poll" : "--cancel"});
        if (r.error != nullptr) {
            EXPECT_EQ(end.code, 1);
            EXPECT_EQ(end.answer()["error"], r.error);
            EXPECT_FALSE(end.answer()["detail"].get<std::string>().empty());
        } else {
            EXPECT_EQ(end.answer(), json::parse(R"({"ok":true,"state":"cancelled"})"));
        }
        EXPECT_FALSE(std::filesystem::exists(n.marker()));
        EXPECT_EQ(slurp(n.auth()), old);
    }
}

// Every answer of the issuer is hostile until checked. Each bad answer ends in one JSON
// line with ok false, and neither a marker nor a credential file comes of it.
TEST_F(Signin, HostileUserCodeAnswersAreRefused) {
    struct row {
        const char* what;
        reply answer;
        const char* error;
    };
    const std::string big(300 * 1024, ' ');
    const row rows[] = {
        {"not found", {404, "application/json", "{}"}, "device_login_unavailable"},
        {"server error", {500, "application/json", "{}"}, "start_failed"},
        {"redirect", {302, "application/json", "{}"}, "start_failed"},
        {"html", {200, "text/html", R"({"device_auth_id":"d","user_code":"U","interval":"5"})"}, "bad_answer"},
        {"no content type", {200, "", R"({"device_auth_id":"d","user_code":"U","interval":"5"})"}, "bad_answer"},
        {"not json", {200, "application/json", "<html>"}, "bad_answer"},
        {"an array", {200, "application/json", "[]"}, "bad_answer"},
        {"no device id", {200, "application/json", R"({"user_code":"U","interval":"5"})"}, "bad_answer"},
        {"device id a number", {200, "application/json", R"({"device_auth_id":7,"user_code":"U"})"}, "bad_answer"},
        {"code with a space", {200, "application/json", R"({"device_auth_id":"d","user_code":"A B"})"}, "bad_answer"},
        {"code with a line break", {200, "application/json", R"({"device_auth_id":"d","user_code":"A\nB"})"}, "bad_answer"},
        {"deep nesting", {200, "application/json", std::string(5000, '[') + std::string(5000, ']')}, "bad_answer"},
        {"too large", {200, "application/json", "{\"pad\":\"" + big + "\"}"}, "start_failed"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        responder bad([&](const seen&) { return r.answer; });
        n.env["CREDVANE_ISSUER"] = bad.url();
        const run_result res = n.login({"--start"});
        EXPECT_EQ(res.code, 1);
        const json a = res.answer();
        ASSERT_TRUE(a.is_object()) << res.out;
        EXPECT_EQ(a["ok"], false);
        EXPECT_EQ(a["error"], r.error);
        EXPECT_FALSE(a["detail"].get<std::string>().empty());
        EXPECT_TRUE(res.err.empty());
        EXPECT_FALSE(std::filesystem::exists(n.marker()));
    }
}

TEST_F(Signin, TheIntervalIsTakenAsAStringOrANumber) {
    struct row {
        json interval;
        int want;
    };
    const row rows[] = {{"5", 5}, {7, 7}, {"abc", 5}, {"0", 5}, {-3, 5}, {"99999", 60}, {nullptr, 5}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.interval.dump());
        iss.usercode["interval"] = r.interval;
        EXPECT_EQ(n.login({"--start"}).answer()["interval"], r.want);
    }
    iss.usercode.erase("user_code");
    iss.usercode["usercode"] = "OLD-SERVER";
    EXPECT_EQ(n.login({"--start"}).answer()["user_code"], "OLD-SERVER");
}

TEST_F(Signin, HostileTokenAnswersEndTheLoginAndWriteNothing) {
    const std::string good_id = iss.exchange["id_token"];
    const std::string good_access = iss.exchange["access_token"];
    struct row {
        const char* what;
        reply answer;
        const char* error;
    };
    auto body = [&](const std::string& id, const std::string& access, const json& rt) {
        return json{{"id_token", id}, {"access_token", access}, {"refresh_token", rt}}.dump();
    };
    const row rows[] = {
        {"refused", {400, "application/json", R"({"error":"invalid_grant"})"}, "exchange_failed"},
        {"empty signature", {200, "application/json", body(good_id, good_access.substr(0, good_access.rfind('.') + 1), "rt")}, "bad_answer"},
        {"two parts", {200, "application/json", body(good_id, "abc.def", "rt")}, "bad_answer"},
        {"payload not json", {200, "application/json", body("YWJj.YWJj.YWJj", good_access, "rt")}, "bad_answer"},
        {"padding", {200, "application/json", body(good_id, good_access + "=", "rt")}, "bad_answer"},
        {"refresh token missing", {200, "application/json", body(good_id, good_access, nullptr)}, "bad_answer"},
        {"refresh token with a quote", {200, "application/json", body(good_id, good_access, "a\"b c")}, "bad_answer"},
        {"text/plain", {200, "text/plain", body(good_id, good_access, "rt")}, "bad_answer"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        iss.custom_exchange = true;
        iss.exchange_reply = r.answer;
        iss.approved = false;
        ASSERT_EQ(n.login({"--start"}).code, 0);
        iss.approved = true;
        const run_result res = n.login({"--poll"});
        EXPECT_EQ(res.code, 1) << res.out;
        EXPECT_EQ(res.answer()["error"], r.error);
        EXPECT_FALSE(std::filesystem::exists(n.auth()));
        EXPECT_FALSE(std::filesystem::exists(n.marker()));
        EXPECT_EQ(res.out.find("ver/1"), std::string::npos);
    }
}

TEST_F(Signin, AnUnreachableIssuerLeavesTheLoginOpen) {
    ASSERT_EQ(n.login({"--start"}).code, 0);
    // The marker remembers the issuer it started with; point it at a closed port.
    json m = json::parse(slurp(n.marker()));
    m["issuer"] = "http://127.0.0.1:" + std::to_string(closed_port());
    put(n.marker(), m.dump());
    EXPECT_EQ(n.login({"--poll"}).answer(), json::parse(R"({"ok":true,"state":"pending","interval":5})"));
    EXPECT_TRUE(std::filesystem::exists(n.marker()));

    n.env["CREDVANE_ISSUER"] = "http://127.0.0.1:" + std::to_string(closed_port());
    const run_result start = n.login({"--start", "--force"});
    EXPECT_EQ(start.answer()["error"], "start_failed");
}

TEST_F(Signin, AnExpiredOrBrokenMarkerEndsTheLogin) {
    ASSERT_EQ(n.login({"--start"}).code, 0);
    json m = json::parse(slurp(n.marker()));
    m["expires_at"] = 1000;
    put(n.marker(), m.dump());
    EXPECT_EQ(n.login({"--poll"}).answer()["error"], "expired");
    EXPECT_FALSE(std::filesystem::exists(n.marker()));

    put(n.marker(), R"({"device_auth_id":"d","issuer":"http://203.0.113.9","created":1})");
    EXPECT_EQ(n.login({"--poll"}).answer()["error"], "bad_marker");
    EXPECT_FALSE(std::filesystem::exists(n.marker()));
    EXPECT_EQ(n.login({"--poll"}).answer()["error"], "no_pending");
    EXPECT_EQ(server.count(token_path), 0u);
}

TEST_F(Signin, BadCommandLinesGetAUsageLine) {
    const std::vector<std::vector<std::string>> lines = {
        {}, {"--start", "--poll"}, {"--poll", "--force"}, {"--start", "--name", "../x"}, {"--status", "--name"},
        {"--bogus"}};
    for (const auto& args : lines) {
        const run_result r = n.login(args);
        EXPECT_EQ(r.code, 2);
        EXPECT_EQ(r.answer()["error"], "usage");
    }
    const run_result r = n.refresh({"--force"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.answer()["error"], "usage");
}

// A file as a Codex CLI of another version may write it: members credvane does not know
// stay, in their places.
std::string file_with_unknowns(const std::string& issuer, const std::string& access) {
    json doc = {{"auth_mode", "chatgpt"},
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

TEST_F(Signin, RefreshKeepsEveryMemberItDoesNotChange) {
    const std::string old = file_with_unknowns(server.url(), jwt({{"exp", 1800000000}}));
    put(n.auth(), old);
    // The file's own issuer is used, not the configured one.
    n.env["CREDVANE_ISSUER"] = "http://127.0.0.1:" + std::to_string(closed_port());
    iss.exchange = {{"access_token", jwt({{"exp", 1900000000}})}, {"refresh_token", "rt-new"}};
    const run_result r = n.refresh({"--credentials-file", n.auth().string(), "--force"});
    EXPECT_EQ(r.answer(), json::parse(R"({"ok":true,"state":"refreshed","expires_at":1900000000})")) << r.out;
    const auto reqs = server.requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(json::parse(reqs[0].body),
              json::parse(R"({"client_id":"app_custom","grant_type":"refresh_token","refresh_token":"rt-old"})"));

    json want = json::parse(old);
    want["tokens"]["access_token"] = iss.exchange["access_token"];
    want["tokens"]["refresh_token"] = "rt-new";
    const std::string text = slurp(n.auth());
    json got = json::parse(text);
    EXPECT_NE(got["last_refresh"], want["last_refresh"]);
    want["last_refresh"] = got["last_refresh"];
    EXPECT_EQ(text, want.dump(2)) << "same members, same order, only tokens and last_refresh changed";
    EXPECT_EQ(mode_of(n.auth()), 0600u);
    EXPECT_EQ(r.out.find("rt-"), std::string::npos);
}

TEST_F(Signin, HostileRefreshAnswersLeaveTheFileAsItWas) {
    const std::string old = file_with_unknowns(server.url(), jwt({{"exp", 1800000000}}));
    struct row {
        const char* what;
        reply answer;
        const char* error;
    };
    const row rows[] = {
        {"refused", {401, "application/json", R"({"error":{"code":"invalid_grant"}})"}, "refresh_refused"},
        {"server error", {502, "text/html", "<h1>bad gateway</h1>"}, "refresh_failed"},
        {"no access token", {200, "application/json", R"({"refresh_token":"x"})"}, "bad_answer"},
        {"access token not a JWT", {200, "application/json", R"({"access_token":"opaque"})"}, "bad_answer"},
        {"not an object", {200, "application/json", R"("token")"}, "bad_answer"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        put(n.auth(), old);
        iss.custom_exchange = true;
        iss.exchange_reply = r.answer;
        const run_result res = n.refresh({"--credentials-file", n.auth().string(), "--force"});
        EXPECT_EQ(res.code, 1);
        EXPECT_EQ(res.answer()["error"], r.error) << res.out;
        EXPECT_EQ(slurp(n.auth()), old);
    }
    std::filesystem::remove(n.auth());
    EXPECT_EQ(n.refresh({"--credentials-file", n.auth().string(), "--force"}).answer()["error"], "no_credentials");
    put(n.auth(), R"({"OPENAI_API_KEY":"sk-x"})");
    EXPECT_EQ(n.refresh({"--credentials-file", n.auth().string(), "--force"}).answer()["error"], "no_refresh_token");
}

// Refresh tokens are single-use. When a running Codex agent used this one first, the
// issuer refuses ours; the agent's new tokens in the file are success, not an error.
TEST_F(Signin, AReusedRefreshTokenIsFineWhenAnotherProgramRefreshed) {
    const std::string old = file_with_unknowns(server.url(), jwt({{"exp", 1800000000}}));
    for (const bool other_wrote : {true, false}) {
        SCOPED_TRACE(other_wrote ? "the other program wrote newer tokens" : "nobody did");
        put(n.auth(), old);
        const std::string newer = file_with_unknowns(server.url(), jwt({{"exp", 1850000000}}));
        responder reused([&](const seen&) {
            if (other_wrote) put(n.auth(), newer);
            return reply{401, "application/json", R"({"error":{"code":"refresh_token_reused"}})"};
        });
        json doc = json::parse(old);
        doc["tokens"]["oauth_provenance"]["issuer"] = reused.url();
        put(n.auth(), doc.dump(2));
        if (other_wrote) {
            const std::string other = json::parse(newer).dump(2);
            const run_result r = n.refresh({"--credentials-file", n.auth().string(), "--force"});
            EXPECT_EQ(r.code, 0) << r.out;
            EXPECT_EQ(r.answer()["expires_at"], 1850000000);
            EXPECT_EQ(slurp(n.auth()), other);
        } else {
            const run_result r = n.refresh({"--credentials-file", n.auth().string(), "--force"});
            EXPECT_EQ(r.code, 1);
            EXPECT_EQ(r.answer()["error"], "refresh_token_reused");
        }
    }
}

TEST_F(Signin, WithoutForceAFreshTokenIsLeftAlone) {
    put(n.auth(), file_with_unknowns(server.url(), jwt({{"exp", 4000000000LL}})));
    const std::string before = slurp(n.auth());
    EXPECT_EQ(n.refresh({"--credentials-file", n.auth().string()}).answer(),
              json::parse(R"({"ok":true,"state":"fresh","expires_at":4000000000})"));
    EXPECT_EQ(server.requests().size(), 0u);
    EXPECT_EQ(slurp(n.auth()), before);
}

// --- Holding tokens safely ---

// A lock the test holds on a file, as another program would.
struct held_lock {
    int fd;
    explicit held_lock(const std::filesystem::path& p) : fd(-1) {
        std::filesystem::create_directories(p.parent_path());
        fd = ::open(p.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    }
    ~held_lock() { ::close(fd); }
};

// A file of up to 3 KiB may be written, as on a nearly full disk; a larger write fails
// (the signal that would end the program is ignored, so the write itself reports it).
run_result with_small_disk(const node& n, const std::string& program,
                           std::vector<std::string> args) {
    std::vector<std::string> sh = {"-c", "trap '' XFSZ; ulimit -f 6; exec \"$0\" \"$@\"", program};
    sh.insert(sh.end(), args.begin(), args.end());
    return n.run("/bin/sh", sh);
}

std::string login_file(const std::string& issuer, const std::string& access,
                       const std::string& rt = "rt-old") {
    json doc = {
        {"auth_mode", "chatgpt"},
        {"OPENAI_API_KEY", nullptr},
        {"tokens",
         {{"id_token", jwt({{"sub", "u"}})},
          {"access_token", access},
          {"refresh_token", rt},
          {"oauth_provenance", {{"issuer", issuer}, {"client_id", "app_EMoamEEZ73f0CkXaXp7hrann"}}},
          {"login_owner_id", "owner"},
          {"account_id", "acct-7"}}},
        {"last_refresh", "2026-01-01T00:00:00.000000000Z"}};
    return doc.dump(2);
}

// The refresh token is single-use: when the new tokens would have nowhere to go, it is not sent.
TEST_F(Signin, RefreshSendsNoTokenItCouldNotWriteTheAnswerOf) {
    const std::string old = login_file(server.url(), jwt({{"exp", 1800000000}}));
    put(n.auth(), old);
    // The answer is larger than the disk takes; the old file is not.
    iss.exchange = {{"access_token", jwt({{"exp", 1900000000}, {"pad", std::string(6000, 'x')}})},
                    {"refresh_token", "rt-new"}};
    const run_result r = with_small_disk(n, CREDVANE_REFRESH_EXE,
                                         {"--credentials-file", n.auth().string(), "--force"});
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_EQ(r.answer()["error"], "write_failed") << r.out;
    EXPECT_EQ(server.count(oauth_path), 0u)
        << "the token was spent on an answer that could not be kept";
    EXPECT_EQ(slurp(n.auth()), old);
    for (const auto& e : std::filesystem::directory_iterator(n.auth().parent_path())) {
        EXPECT_EQ(e.path().filename().string().rfind(".auth-", 0), std::string::npos) << e.path();
    }
}

// A busy lock costs one poll: the approved code is exchanged only once the locks are held.
TEST_F(Signin, ABusyLockDuringTheExchangeKeepsTheApproval) {
    ASSERT_EQ(n.login({"--start"}).code, 0);
    iss.approved = true;
    {
        const held_lock other(n.auth().parent_path() / "auth.lock");
        make_poll_due();
        n.env["CREDVANE_CLI_TIMEOUT"] = "2";  // the run waits a little over a second for the lock
        const run_result r = n.login({"--poll"});
        n.env.erase("CREDVANE_CLI_TIMEOUT");
        EXPECT_EQ(r.answer(), json::parse(R"({"ok":true,"state":"pending","interval":5})"))
            << r.out;
        EXPECT_EQ(server.count(oauth_path), 0u);
        EXPECT_TRUE(std::filesystem::exists(n.marker()));
    }
    make_poll_due();
    const run_result r = n.login({"--poll"});
    EXPECT_EQ(r.answer(), json::parse(R"({"ok":true,"state":"done"})")) << r.out;
    EXPECT_EQ(json::parse(slurp(n.auth()))["tokens"]["refresh_token"], "rt-fresh");
}

// Plain http goes to the loopback only, and never through a proxy, whatever variable names one.
TEST_F(Signin, LoopbackTrafficTakesNoProxy) {
    responder proxy([](const seen&) { return reply{502, "text/plain", "proxied"}; });
    for (const char* var : {"http_proxy", "all_proxy", "ALL_PROXY", "HTTPS_PROXY", "https_proxy"}) {
        n.env[var] = proxy.url();
    }
    ASSERT_EQ(n.login({"--start"}).code, 0);
    iss.approved = true;
    make_poll_due();
    EXPECT_EQ(n.login({"--poll"}).answer()["state"], "done");
    EXPECT_EQ(proxy.requests().size(), 0u) << "the code and the tokens went to the proxy";
}

// A folder someone else may change is not written into, as ssh refuses its own files.
TEST_F(Signin, FoldersOthersMayChangeAreRefused) {
    struct row {
        const char* what;
        std::string folder;  // relative to home
        unsigned mode;
        bool foreign_owner;
        bool refused;
    };
    const row rows[] = {
        {"codex folder writable by all", ".codex", 0777, false, true},
        {"codex folder writable by the group", ".codex", 0770, false, true},
        {"codex folder with the sticky bit", ".codex", 01777, false, false},
        {"codex folder of another user", ".codex", 0700, true, true},
        {"pending folder writable by all", ".claude/.login-pending", 0777, false, true},
        {"private folders", ".codex", 0700, false, false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        node fresh;
        fresh.env["CREDVANE_ISSUER"] = server.url();
        const auto dir = fresh.root / "home" / r.folder;
        std::filesystem::create_directories(dir);
        ASSERT_EQ(::chmod(dir.c_str(), r.mode), 0);
        // Run as root, the test can hand the folder to nobody; otherwise that row is skipped.
        if (r.foreign_owner && ::chown(dir.c_str(), 65534, 65534) != 0) continue;
        const run_result start = fresh.login({"--start"});
        if (r.refused) {
            EXPECT_EQ(start.code, 1) << start.out;
            EXPECT_EQ(start.answer()["error"], "write_failed") << start.out;
            EXPECT_NE(start.answer()["detail"].get<std::string>().find(dir.string()),
                      std::string::npos);
            EXPECT_FALSE(std::filesystem::exists(fresh.marker()));
        } else {
            EXPECT_EQ(start.code, 0) << start.out;
        }
        if (r.folder == ".codex") {
            fresh.env["CREDVANE_ISSUER"] = server.url();
            put(fresh.auth(), login_file(server.url(), jwt({{"exp", 1800000000}})));
            ::chmod(dir.c_str(), r.mode);  // put may not change it, but be sure
            const std::size_t before = server.count(oauth_path);
            const run_result ref =
                fresh.refresh({"--credentials-file", fresh.auth().string(), "--force"});
            EXPECT_EQ(ref.answer()["error"] == "write_failed", r.refused) << ref.out;
            if (r.refused) {
                EXPECT_EQ(server.count(oauth_path), before);
            }
        }
    }
}

// A home the program may not make the pending folder in is named, with the system's
// reason, before the issuer hands out a code that could not be kept.
TEST_F(Signin, AHomeThatCannotBeWrittenIsNamedBeforeACodeIsAsked) {
    if (::geteuid() == 0) GTEST_SKIP() << "root may write any folder whatever its mode";
    const auto home = n.root / "home";
    std::filesystem::create_directories(home);
    ASSERT_EQ(::chmod(home.c_str(), 0500), 0);
    const run_result start = n.login({"--start"});
    ::chmod(home.c_str(), 0700);
    EXPECT_EQ(start.code, 1) << start.out;
    EXPECT_EQ(start.answer()["error"], "marker_failed") << start.out;
    EXPECT_EQ(start.answer()["detail"], "could not write the pending-login marker " +
                                            n.marker().string() + ": " + home.string() +
                                            " cannot be written: Permission denied");
    EXPECT_EQ(server.count(usercode_path), 0u);
}

// A code longer than credvane can show whole would be one the person types in vain.
TEST_F(Signin, AUserCodeIsCarriedWholeOrRefused) {
    for (const std::size_t len : {63u, 64u}) {
        SCOPED_TRACE(len);
        std::filesystem::remove(n.marker());
        iss.usercode["user_code"] = std::string(len, 'C');
        const run_result r = n.login({"--start"});
        if (len <= 63) {
            EXPECT_EQ(r.answer()["user_code"], std::string(len, 'C')) << r.out;
            EXPECT_EQ(n.login({"--status"}).answer()["pending"], true);
        } else {
            EXPECT_EQ(r.answer()["error"], "bad_answer") << r.out;
            EXPECT_FALSE(std::filesystem::exists(n.marker()));
        }
    }
}

// As the Codex CLI: a linked credential file is written through the link; a hard-linked one
// is refused, before any token is spent.
TEST_F(Signin, LinkedCredentialFilesAreWrittenAsTheCodexCliWritesThem) {
    const std::string old = login_file(server.url(), jwt({{"exp", 1800000000}}));
    const auto target = n.root / "elsewhere/auth.json";
    put(target, old);
    std::filesystem::create_directories(n.auth().parent_path());
    std::filesystem::create_symlink("../../elsewhere/auth.json", n.auth());
    iss.exchange = {{"access_token", jwt({{"exp", 1900000000}})}, {"refresh_token", "rt-new"}};
    const run_result r = n.refresh({"--credentials-file", n.auth().string(), "--force"});
    EXPECT_EQ(r.answer()["state"], "refreshed") << r.out;
    EXPECT_TRUE(std::filesystem::is_symlink(n.auth()));
    EXPECT_EQ(json::parse(slurp(target))["tokens"]["refresh_token"], "rt-new");
    EXPECT_EQ(mode_of(target), 0600u);

    std::filesystem::remove(n.auth());
    put(target, old);
    std::filesystem::create_hard_link(target, n.auth());
    const std::size_t before = server.count(oauth_path);
    const run_result hard = n.refresh({"--credentials-file", n.auth().string(), "--force"});
    EXPECT_EQ(hard.answer()["error"], "write_failed") << hard.out;
    EXPECT_EQ(server.count(oauth_path), before);
    EXPECT_EQ(slurp(target), old);
}

TEST_F(Signin, AnIssuerThatSaysTheCodeExpiredIsReportedAsExpired) {
    const std::string bodies[] = {R"({"error":{"code":"expired_token","message":"m"}})",
                                  R"({"error":"expired_token"})"};
    for (const std::string& body : bodies) {
        SCOPED_TRACE(body);
        responder ending([&](const seen& s) {
            if (s.path == usercode_path) return ok_json(iss.usercode);
            return reply{400, "application/json", body};
        });
        n.env["CREDVANE_ISSUER"] = ending.url();
        ASSERT_EQ(n.login({"--start", "--force"}).code, 0);
        const run_result r = n.login({"--poll"});
        EXPECT_EQ(
            r.answer(),
            json::parse(
                R"({"ok":false,"error":"expired","detail":"the code expired; get a new code"})"))
            << r.out;
        EXPECT_FALSE(std::filesystem::exists(n.marker()));
    }
    responder denying([&](const seen& s) {
        if (s.path == usercode_path) return ok_json(iss.usercode);
        return reply{400, "application/json", R"({"error":{"code":"access_denied"}})"};
    });
    n.env["CREDVANE_ISSUER"] = denying.url();
    ASSERT_EQ(n.login({"--start", "--force"}).code, 0);
    EXPECT_EQ(n.login({"--poll"}).answer()["error"], "denied");
}

TEST_F(Signin, LogoutRevokesTheRefreshTokenAndRemovesTheFile) {
    struct row {
        const char* what;
        reply revoke;
        bool revoked;
    };
    const row rows[] = {
        {"revoked", {200, "application/json", "{}"}, true},
        {"the issuer fails", {500, "text/plain", "down"}, false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        responder revoker([&](const seen&) { return r.revoke; });
        put(n.auth(), login_file(revoker.url(), jwt({{"exp", 1800000000}}), "rt-to-revoke"));
        const run_result out = n.login({"--logout"});
        EXPECT_EQ(out.code, 0) << out.out;
        EXPECT_EQ(out.answer()["state"], "logged_out") << out.out;
        EXPECT_EQ(out.answer().contains("revoked"), !r.revoked) << out.out;
        ASSERT_EQ(revoker.requests().size(), 1u);
        EXPECT_EQ(revoker.requests()[0].path, revoke_path);
        EXPECT_EQ(
            json::parse(revoker.requests()[0].body),
            json::parse(
                R"({"token":"rt-to-revoke","token_type_hint":"refresh_token","client_id":"app_EMoamEEZ73f0CkXaXp7hrann"})"));
        EXPECT_FALSE(std::filesystem::exists(n.auth()));
        EXPECT_TRUE(std::filesystem::exists(n.auth().parent_path() / "auth.lock"));
        EXPECT_TRUE(std::filesystem::exists(n.auth().parent_path() / "auth.json.lock"));
        EXPECT_EQ(out.out.find("rt-to-revoke"), std::string::npos);
    }
    // A token is revoked only where it came from: a file naming an unusable issuer sends it
    // nowhere.
    put(n.auth(), login_file("http://203.0.113.9", jwt({{"exp", 1800000000}})));
    const run_result nowhere = n.login({"--logout"});
    EXPECT_EQ(nowhere.answer()["revoked"], false) << nowhere.out;
    EXPECT_EQ(server.count(revoke_path), 0u);
    EXPECT_FALSE(std::filesystem::exists(n.auth()));
    // Nothing to do is done; a named account is its own file.
    EXPECT_EQ(n.login({"--logout"}).answer(), json::parse(R"({"ok":true,"state":"logged_out"})"));
    const auto work = n.root / "home/.codex/accounts/work.json";
    put(work, login_file(server.url(), jwt({{"exp", 1800000000}})));
    put(n.auth(), login_file(server.url(), jwt({{"exp", 1800000000}})));
    EXPECT_EQ(n.login({"--logout", "--name", "work"}).answer()["state"], "logged_out");
    EXPECT_FALSE(std::filesystem::exists(work));
    EXPECT_TRUE(std::filesystem::exists(n.auth()));
    // A lock another program holds keeps the file.
    n.env["CREDVANE_CLI_TIMEOUT"] = "2";
    const held_lock other(n.auth().parent_path() / "auth.lock");
    EXPECT_EQ(n.login({"--logout"}).answer()["error"], "locked");
    EXPECT_TRUE(std::filesystem::exists(n.auth()));
}

// Whether the process behind a /proc folder is a child of this test process: the tests run
// side by side, and another test's credvane-login may be just starting.
bool is_my_child(const std::filesystem::path& proc) {
    std::ifstream in(proc / "stat");
    std::string stat;
    std::getline(in, stat);
    // "pid (comm) state ppid ...": comm may hold blanks and parentheses of its own.
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream rest(stat.substr(close + 1));
    std::string state;
    long ppid = 0;
    rest >> state >> ppid;
    return ppid == static_cast<long>(::getpid());
}

// The core-file limit of every credvane-login this test runs now, as the system reports it.
std::vector<std::string> core_limits_of_running_logins() {
    std::vector<std::string> limits;
    std::error_code ec;
    const auto exe = std::filesystem::canonical(CREDVANE_LOGIN_EXE, ec);
    for (const auto& e : std::filesystem::directory_iterator("/proc", ec)) {
        std::error_code ignored;
        if (std::filesystem::read_symlink(e.path() / "exe", ignored) != exe) continue;
        if (!is_my_child(e.path())) continue;
        std::ifstream in(e.path() / "limits");
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("Max core file size", 0) == 0) limits.push_back(line);
        }
    }
    return limits;
}

// A program that holds tokens leaves no core file behind when it crashes.
TEST_F(Signin, TheLoginProgramAllowsNoCoreFile) {
    std::vector<std::string> seen_limits;
    responder watching([&](const seen& s) {
        // Asked while the program waits for this very answer.
        if (s.path == usercode_path) seen_limits = core_limits_of_running_logins();
        return iss(s);
    });
    n.env["CREDVANE_ISSUER"] = watching.url();
    ASSERT_EQ(n.login({"--start"}).code, 0);
    ASSERT_FALSE(seen_limits.empty()) << "the running program was not found";
    for (const std::string& line : seen_limits) {
        std::istringstream words(line.substr(std::string("Max core file size").size()));
        std::string soft, hard;
        words >> soft >> hard;
        EXPECT_EQ(soft, "0") << line;
        EXPECT_EQ(hard, "0") << line;
    }
}

// An https server on 127.0.0.1 with a certificate nobody trusts: enough for a TLS handshake
// to begin, and so for a key log to be written, before the certificate is refused.
class tls_server {
  public:
    explicit tls_server(const std::filesystem::path& dir) {
        const std::string key = (dir / "key.pem").string(), cert = (dir / "cert.pem").string();
        const std::string make =
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout '" +
            key + "' -out '" + cert + "' -subj /CN=localhost -days 1 >/dev/null 2>&1";
        if (std::system(make.c_str()) != 0) return;
        port = closed_port();
        int out[2];
        if (::pipe(out) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_addclose(&fa, out[0]);
        const std::string accept = "127.0.0.1:" + std::to_string(port);
        std::vector<std::string> args = {"openssl", "s_server", "-accept", accept, "-cert",
                                         cert,      "-key",     key,       "-www"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int rc = posix_spawnp(&pid_, "openssl", &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        if (rc != 0) {
            ::close(out[0]);
            pid_ = -1;
            return;
        }
        // It says ACCEPT once it listens.
        FILE* f = ::fdopen(out[0], "r");
        char line[256];
        while (std::fgets(line, sizeof line, f) != nullptr) {
            if (std::string_view(line).starts_with("ACCEPT")) {
                ready = true;
                break;
            }
        }
        std::fclose(f);
    }
    ~tls_server() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    bool ready = false;
    int port = 0;

  private:
    pid_t pid_ = -1;
};

// TLS session secrets never reach a key log file, whatever the environment says.
TEST_F(Signin, NoKeyLogIsWritten) {
    const tls_server tls(n.root);
    if (!tls.ready) GTEST_SKIP() << "openssl s_server could not be started";
    const auto keys = n.root / "keys.log";
    n.env["SSLKEYLOGFILE"] = keys.string();
    n.env["CREDVANE_ISSUER"] = "https://127.0.0.1:" + std::to_string(tls.port);
    const run_result r = n.login({"--start"});
    EXPECT_EQ(r.answer()["error"], "start_failed") << r.out;  // the certificate is not trusted
    EXPECT_FALSE(std::filesystem::exists(keys)) << slurp(keys);
    put(n.auth(), login_file(n.env["CREDVANE_ISSUER"], jwt({{"exp", 1800000000}})));
    EXPECT_EQ(n.refresh({"--credentials-file", n.auth().string(), "--force"}).answer()["error"],
              "refresh_failed");
    EXPECT_FALSE(std::filesystem::exists(keys)) << slurp(keys);
}

// An operator's own certificate authority is named to both programs in one variable.
TEST_F(Signin, ACertificateAuthorityFileIsHonoured) {
    const tls_server tls(n.root);
    if (!tls.ready) GTEST_SKIP() << "openssl s_server could not be started";
    n.env["CREDVANE_ISSUER"] = "https://localhost:" + std::to_string(tls.port);
    const run_result untrusted = n.login({"--start"});
    EXPECT_EQ(untrusted.answer()["error"], "start_failed") << untrusted.out;
    EXPECT_NE(untrusted.out.find("certificate"), std::string::npos) << untrusted.out;
    n.env["CREDVANE_CA_FILE"] = (n.root / "cert.pem").string();
    // The test server completes the handshake but never answers a POST: the run ends when
    // its time is up, and not on the certificate.
    n.env["CREDVANE_CLI_TIMEOUT"] = "2";
    const run_result trusted = n.login({"--start"});
    EXPECT_EQ(trusted.answer()["error"], "start_failed") << trusted.out;
    EXPECT_EQ(trusted.out.find("certificate"), std::string::npos) << trusted.out;
}

}  // namespace
}  // namespace signin_test

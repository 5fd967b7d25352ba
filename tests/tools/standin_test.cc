// standin_test.cc: the stand-in login, refresh and verification-page tools, run as built.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "store/login_status.h"
#include "platform/platform.h"
#include "store/creds.h"
#include "store/json.h"

namespace {

namespace fs = std::filesystem;
using credvane::login_status;

struct run_result {
    std::string out;
    int exit_code = -1;
};

// Runs a shell command line and captures its standard output and exit status.
run_result sh(const std::string& line) {
    run_result r;
    FILE* p = ::popen(line.c_str(), "r");
    if (p == nullptr) return r;
    std::array<char, 4096> chunk{};
    std::size_t n = 0;
    while ((n = std::fread(chunk.data(), 1, chunk.size(), p)) > 0) r.out.append(chunk.data(), n);
    const int st = ::pclose(p);
    r.exit_code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

run_result tool(const std::string& name, const std::string& args) {
    return sh(std::string(CREDVANE_TOOLS_DIR) + "/" + name + " " + args);
}
run_result login(const std::string& args) {
    return tool("standin-login", args);
}

std::string str_field(const std::string& text, const char* key) {
    std::array<char, 1024> out{};
    credvane::json_str_field(text.c_str(), text.c_str() + text.size(), key, out);
    return out.data();
}
std::int64_t num_field(const std::string& text, const char* key) {
    return credvane::json_num_field(text.c_str(), text.c_str() + text.size(), key);
}

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
void spit(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

login_status scan(const fs::path& p) {
    login_status st{};
    const std::string text = slurp(p);
    credvane::scan_creds(text.c_str(), st, nullptr);
    return st;
}

// Every test runs in its own home directory with no path overrides and no knobs.
class Standin : public ::testing::Test {
  public:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "standin-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        home_ = tmpl;
        ::setenv("HOME", home_.c_str(), 1);
        for (const char* v : {"USERPROFILE", "HOMEPATH", "CODEX_CREDS_PATH", "CODEX_ACCOUNTS_DIR",
                              "CODEX_PENDING_DIR", "STANDIN_VERIFY_URL", "STANDIN_CODE_LIFETIME",
                              "STANDIN_INTERVAL", "STANDIN_APPROVE_AFTER"}) {
            ::unsetenv(v);
        }
    }
    void TearDown() override { fs::remove_all(home_); }

    fs::path creds() const { return home_ / ".codex" / "auth.json"; }
    fs::path marker(const std::string& account = "default") const {
        return home_ / ".claude" / ".login-pending" / ("codex-" + account + ".json");
    }
    // Opens a flow for the default account and returns its user code.
    std::string start() {
        const run_result r = login("--start");
        EXPECT_EQ(r.exit_code, 0) << r.out;
        return str_field(r.out, "user_code");
    }

    fs::path home_;
};

TEST_F(Standin, WholeRoadFromStartToSignedIn) {
    EXPECT_EQ(login("--status").out,
              "{\"ok\":true,\"logged_in\":false,\"has_refresh\":false,\"pending\":false}\n");

    const std::int64_t t0 = credvane::platform::now();
    const run_result started = login("--start");
    ASSERT_EQ(started.exit_code, 0);
    const std::string code = str_field(started.out, "user_code");
    EXPECT_TRUE(std::regex_match(code, std::regex("[A-HJ-NP-Z2-9]{4}-[A-HJ-NP-Z2-9]{4}"))) << code;
    EXPECT_EQ(started.out,
              "{\"ok\":true,\"verify_url\":\"http://127.0.0.1:8088/device?code=" + code +
                  "\",\"user_code\":\"" + code + "\",\"interval\":5,\"expires_in\":900}\n");
    const std::string m = slurp(marker());
    EXPECT_GE(num_field(m, "created"), t0);
    EXPECT_EQ(str_field(m, "user_code"), code);

    EXPECT_EQ(login("--status").out,
              "{\"ok\":true,\"logged_in\":false,\"has_refresh\":false,\"pending\":true}\n");
    EXPECT_EQ(login("--poll").out, "{\"ok\":true,\"state\":\"pending\",\"interval\":5}\n");
    EXPECT_EQ(login("--approve " + code).out,
              "{\"ok\":true,\"state\":\"approved\",\"account\":\"default\"}\n");
    EXPECT_EQ(login("--poll").out, "{\"ok\":true,\"state\":\"done\"}\n");
    const std::int64_t t1 = credvane::platform::now();

    EXPECT_FALSE(fs::exists(marker()));
    const login_status st = scan(creds());
    EXPECT_EQ(st.logged_in, 1);
    EXPECT_EQ(st.has_refresh, 1);
    EXPECT_FALSE(st.account_id.empty());
    EXPECT_GE(st.expires_at, t0 + 3600);
    EXPECT_LE(st.expires_at, t1 + 3600);
    EXPECT_GE(st.last_refresh, t0);
    EXPECT_LE(st.last_refresh, t1);
    EXPECT_EQ(fs::status(creds()).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    EXPECT_EQ(login("--status").out,
              "{\"ok\":true,\"logged_in\":true,\"has_refresh\":true,\"pending\":false,"
              "\"expires_at\":" +
                  std::to_string(st.expires_at) + "}\n");
    const run_result again = login("--start");
    EXPECT_EQ(again.exit_code, 1);
    EXPECT_EQ(str_field(again.out, "error"), "exists");
    EXPECT_EQ(login("--start --force").exit_code, 0);
}

// A flow that ends without a login loses its marker at once (so no status counts it as
// pending), its next poll tells why, and the poll after that finds no flow.
TEST_F(Standin, EndedFlowsAreNeverPending) {
    struct row {
        const char* name;
        void (*end)(Standin&, const std::string& code);
        const char* poll_error;
    };
    const row rows[] = {
        {"denied", [](Standin&, const std::string& code) { login("--deny " + code); },
         "access_denied"},
        {"expired",
         [](Standin& t, const std::string& code) {
             const std::int64_t now = credvane::platform::now();
             spit(t.marker(), "{\"created\":" + std::to_string(now - 100) +
                                  ",\"expires_at\":" + std::to_string(now) +
                                  ",\"interval\":5,\"user_code\":\"" + code + "\"}");
         },
         "expired_token"},
        {"cancelled", [](Standin&, const std::string&) { login("--cancel"); }, "no_flow"},
    };
    for (const row& r : rows) {
        const std::string code = start();
        r.end(*this, code);
        EXPECT_EQ(str_field(login("--status").out, "pending"), "false") << r.name;
        EXPECT_FALSE(fs::exists(marker())) << r.name;
        const run_result poll = login("--poll");
        EXPECT_EQ(poll.exit_code, 1) << r.name;
        EXPECT_EQ(str_field(poll.out, "error"), r.poll_error) << r.name;
        EXPECT_EQ(str_field(login("--poll").out, "error"), "no_flow") << r.name;
        EXPECT_EQ(str_field(login("--approve " + code).out, "error"), "unknown_code") << r.name;
    }
}

TEST_F(Standin, NamedAccountFollowsPathOverridesAndKnobs) {
    ::setenv("CODEX_ACCOUNTS_DIR", (home_ / "a" / "b").c_str(), 1);
    ::setenv("CODEX_PENDING_DIR", (home_ / "p").c_str(), 1);
    ::setenv("STANDIN_VERIFY_URL", "http://h/v?x=1", 1);
    ::setenv("STANDIN_INTERVAL", "2", 1);
    const run_result started = login("--start --name work");
    EXPECT_EQ(str_field(started.out, "verify_url"),
              "http://h/v?x=1&code=" + str_field(started.out, "user_code"));
    EXPECT_EQ(num_field(started.out, "interval"), 2);
    EXPECT_TRUE(fs::exists(home_ / "p" / "codex-work.json"));
    EXPECT_EQ(login("--poll --name work").out,
              "{\"ok\":true,\"state\":\"pending\",\"interval\":2}\n");

    ::setenv("STANDIN_APPROVE_AFTER", "0", 1);
    EXPECT_EQ(login("--poll --name work").out, "{\"ok\":true,\"state\":\"done\"}\n");
    EXPECT_EQ(scan(home_ / "a" / "b" / "work.json").logged_in, 1);
    EXPECT_FALSE(fs::exists(creds()));
    EXPECT_FALSE(fs::exists(home_ / "p" / "codex-work.json"));
    EXPECT_EQ(str_field(login("--status").out, "logged_in"), "false");
}

TEST_F(Standin, BadCommandLinesAreRefused) {
    const struct {
        const char* args;
        const char* error;
    } rows[] = {
        {"", "usage"},
        {"--poll --force", "usage"},
        {"--status --poll", "usage"},
        {"--status --name", "usage"},
        {"--status --name ../x", "bad_name"},
        {"--approve '<b>'", "bad_code"},
    };
    for (const auto& r : rows) {
        const run_result res = login(r.args);
        EXPECT_EQ(res.exit_code, 2) << r.args;
        EXPECT_EQ(str_field(res.out, "error"), r.error) << r.args;
    }
}

// The new expiry is one hour past the later of now and the old expiry; every other member
// of the file stays byte for byte.
TEST_F(Standin, RefreshAlwaysMovesTheExpiryAndKeepsTheRest) {
    auto b64 = [](const std::string& s) {
        std::string out;
        static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
        unsigned acc = 0;
        int bits = 0;
        for (const unsigned char c : s) {
            acc = (acc << 8) | c;
            for (bits += 8; bits >= 6;) out += a[(acc >> (bits -= 6)) & 63];
            acc &= (1u << bits) - 1;
        }
        if (bits > 0) out += a[(acc << (6 - bits)) & 63];
        return out;
    };
    const std::int64_t now = credvane::platform::now();
    for (const std::int64_t old_exp : {now - 100000, now + 100000}) {
        const std::string head =
            "{\n  \"OPENAI_API_KEY\": \"sk-keep\",\n  \"tokens\": {\n    \"access_token\": ";
        const std::string tail =
            ",\n    \"refresh_token\": \"rt-keep\",\n    \"account_id\": \"acct-keep\"\n  },\n"
            "  \"last_refresh\": \"2020-01-01T00:00:00Z\"\n}\n";
        const std::string token =
            "\"h." + b64("{\"exp\":" + std::to_string(old_exp) + "}") + ".s\"";
        spit(creds(), head + token + tail);

        const run_result r =
            tool("standin-refresh", "--credentials-file '" + creds().string() + "' --force");
        EXPECT_EQ(r.exit_code, 0) << r.out;
        const login_status st = scan(creds());
        const std::int64_t base = old_exp > now ? old_exp : now;
        EXPECT_GE(st.expires_at, base + 3600);
        EXPECT_LE(st.expires_at, base + 3600 + 5);
        EXPECT_EQ(r.out, "{\"ok\":true,\"expires_at\":" + std::to_string(st.expires_at) + "}\n");
        EXPECT_GE(st.last_refresh, now);

        const std::string after = slurp(creds());
        EXPECT_EQ(after.substr(0, head.size()), head);
        const std::string rest = after.substr(after.find(',', head.size()));
        EXPECT_EQ(rest.substr(0, rest.find("\"last_refresh\"")),
                  tail.substr(0, tail.find("\"last_refresh\"")));
        EXPECT_EQ(std::distance(fs::directory_iterator(creds().parent_path()), {}), 1)
            << "a temporary file was left behind";
    }
}

TEST_F(Standin, RefreshRefusesWhatItCannotRenew) {
    const struct {
        const char* name;
        const char* content;  // null: no file at all
        const char* error;
    } rows[] = {
        {"missing file", nullptr, "no_credentials"},
        {"empty token", R"({"tokens":{"access_token":"","refresh_token":"r"}})", "no_credentials"},
        {"no refresh token", R"({"tokens":{"access_token":"a.b.c"}})", "no_refresh_token"},
    };
    for (const auto& r : rows) {
        fs::remove(creds());
        if (r.content != nullptr) spit(creds(), r.content);
        const run_result res =
            tool("standin-refresh", "--credentials-file '" + creds().string() + "' --force");
        EXPECT_EQ(res.exit_code, 1) << r.name;
        EXPECT_EQ(str_field(res.out, "error"), r.error) << r.name;
        if (r.content != nullptr) {
            EXPECT_EQ(slurp(creds()), r.content) << r.name;  // a refused file stays as it was
        }
    }
}

run_result device(const std::string& method, const std::string& query,
                  const std::string& body = "") {
    return sh("printf '%s' '" + body + "' | REQUEST_METHOD=" + method + " QUERY_STRING='" + query +
              "' CONTENT_LENGTH=" + std::to_string(body.size()) + " " + CREDVANE_TOOLS_DIR +
              "/standin-device");
}

TEST_F(Standin, VerificationPageApprovesAndNeverEchoesInput) {
    const std::string code = start();
    std::string lower = code;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));

    const run_result page = device("GET", "code=" + lower);
    EXPECT_EQ(page.out.rfind("Status: 200 OK\r\n", 0), 0u);
    EXPECT_NE(page.out.find("<input type=\"hidden\" name=\"code\" value=\"" + code + "\">"),
              std::string::npos);

    const struct {
        const char* query;
        const char* status;
    } refused[] = {
        {"code=%3Cscript%3Ealert(1)%3C/script%3E", "Status: 400 Bad Request"},
        {"code=ZZZZ-ZZZZ", "Status: 404 Not Found"},
        {"action=%3Cimg%3E&code=ZZZZ", "Status: 404 Not Found"},
    };
    for (const auto& r : refused) {
        const run_result res = device("GET", r.query);
        EXPECT_EQ(res.out.rfind(r.status, 0), 0u) << r.query;
        EXPECT_EQ(res.out.find("<script"), std::string::npos) << r.query;
        EXPECT_EQ(res.out.find("<img"), std::string::npos) << r.query;
    }

    // A GET decides nothing, whatever it names: any page can make a browser send one.
    for (const std::string& q : {"action=approve&code=" + code, "code=" + code + "&action=deny"}) {
        const run_result shown = device("GET", q);
        EXPECT_NE(shown.out.find("<h1>Approve sign-in</h1>"), std::string::npos) << q;
        EXPECT_EQ(str_field(login("--poll").out, "state"), "pending") << q;
    }
    // Nor does a POST whose body names no action, even with one in the link.
    EXPECT_NE(device("POST", "action=approve&code=" + code, "code=" + code)
                  .out.find("<h1>Approve sign-in</h1>"),
              std::string::npos);

    const run_result approved = device("POST", "code=" + code, "code=" + code + "&action=approve");
    EXPECT_EQ(approved.out.rfind("Status: 200 OK\r\n", 0), 0u);
    EXPECT_EQ(login("--poll").out, "{\"ok\":true,\"state\":\"done\"}\n");

    const std::string second = login("--start --force").out;
    device("POST", "", "action=deny&code=" + str_field(second, "user_code"));
    EXPECT_EQ(str_field(login("--poll").out, "error"), "access_denied");
}

}  // namespace

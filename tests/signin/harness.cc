// harness.cc: the parts of the sign-in harness that are the same on every platform.
#include "tests/signin/harness.h"

#include <cstring>

#include "signin/http.h"

namespace signin_test {

namespace {

using cgi::b64url;

// A long poll of the issuer (wait_for) may take this long on a loaded machine.
constexpr int control_timeout_ms = 120000;

std::string from_b64url(const std::string& in) {
    std::string out;
    unsigned acc = 0;
    int bits = 0;
    for (const char c : in) {
        const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
        const char* at = std::strchr(digits, c);
        if (c == '\0' || at == nullptr) return {};
        acc = (acc << 6) | static_cast<unsigned>(at - digits);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((acc >> bits) & 0xff));
        }
    }
    return out;
}

}  // namespace

json claims_of(const std::string& token) {
    const std::size_t a = token.find('.');
    const std::size_t b = token.find('.', a + 1);
    if (a == std::string::npos || b == std::string::npos) return json::value_t::discarded;
    return json::parse(from_b64url(token.substr(a + 1, b - a - 1)), nullptr, false);
}

std::string jwt(const json& claims) {
    return b64url(R"({"alg":"RS256","typ":"JWT"})") + "." + b64url(claims.dump()) + "." +
           b64url("signature");
}

json answer_of(const cgi::result& r) {
    EXPECT_TRUE(r.err.empty()) << "the programs write nothing but their answer: " << r.err;
    if (r.out.empty() || r.out.back() != '\n' || r.out.find('\n') != r.out.size() - 1) {
        return json::value_t::discarded;
    }
    return json::parse(r.out, nullptr, false);
}

json stand_in_issuer::control(const std::string& path, const json& body) const {
    const std::string text = body.dump();
    const std::string url = url_ + path;
    credvane::http::request r;
    r.url = url;
    r.content_type = "application/json";
    r.body = text;
    r.timeout_ms = control_timeout_ms;
    r.max_answer = 4 * 1024 * 1024;
    const credvane::http::answer a = client_->post(r);
    EXPECT_EQ(a.how, credvane::http::outcome::answered) << path << ": " << a.error;
    EXPECT_EQ(a.status, 200) << path << ": " << a.body;
    return json::parse(a.body, nullptr, false);
}

void stand_in_issuer::fault(const std::string& path, json answer) const {
    answer["path"] = path;
    control("/test/fault", answer);
}

std::vector<json> stand_in_issuer::requests(const std::string& path) const {
    const json all = control("/test/requests");
    std::vector<json> out;
    if (!all.is_object() || !all["requests"].is_array()) {
        ADD_FAILURE() << "no list of requests: " << all.dump();
        return out;
    }
    for (const json& r : all["requests"]) {
        if (path.empty() || r["path"] == path) out.push_back(r);
    }
    return out;
}

void stand_in_issuer::wait_for(const std::string& event, int count) const {
    const json a = control("/test/wait", {{"event", event}, {"count", count}, {"timeout", 100}});
    EXPECT_EQ(a.value("event", ""), event) << a.dump();
}

void Signin::SetUp() {
    ASSERT_EQ(iss.url().rfind("http://127.0.0.1:", 0), 0u) << "no stand-in issuer";
    home_ = home_name();
    h.home = h.path(home_);
    h.folder(home_);
    prepare_host(h);
    h.env["CREDVANE_ISSUER"] = iss.url();
}

void Signin::make_poll_due(const std::string& name) {
    json m = json::parse(h.read(marker(name)), nullptr, false);
    ASSERT_TRUE(m.is_object()) << h.read(marker(name));
    m["last_poll_ms"] = 1;
    put(".claude/.login-pending/codex-" + name + ".json", m.dump());
}

std::string Signin::start(const std::vector<std::string>& extra) {
    std::vector<std::string> args{"--start"};
    args.insert(args.end(), extra.begin(), extra.end());
    const json a = login(args);
    EXPECT_EQ(a.value("ok", false), true) << a.dump();
    EXPECT_EQ(a.value("verify_url", ""), iss.url() + "/codex/device");
    EXPECT_TRUE(a.contains("interval") && a["interval"].is_number_integer()) << a.dump();
    return a.value("user_code", "");
}

void Signin::sign_in() {
    const std::string code = start();
    ASSERT_FALSE(code.empty());
    EXPECT_EQ(login({"--poll"}).value("state", ""), "pending");
    iss.control("/test/approve", {{"user_code", code}});
    make_poll_due();
    const json done = login({"--poll"});
    ASSERT_EQ(done.value("state", ""), "done") << done.dump();
}

std::string login_file(const std::string& url, const std::string& access,
                       const std::string& refresh_token) {
    const json doc = {{"auth_mode", "chatgpt"},
                      {"OPENAI_API_KEY", nullptr},
                      {"tokens",
                       {{"id_token", jwt({{"sub", "u"}})},
                        {"access_token", access},
                        {"refresh_token", refresh_token},
                        {"oauth_provenance", {{"issuer", url}, {"client_id", client_id}}},
                        {"login_owner_id", "owner"},
                        {"account_id", "acct-7"}}},
                      {"last_refresh", "2026-01-01T00:00:00.000000000Z"}};
    return doc.dump(2);
}

}  // namespace signin_test

// harness.h: credvane-login and credvane-refresh run as credvane runs them, against the
// stand-in issuer (tools/issuer/issuer.js) and its test controls. One interface for both
// builds, over the CGI harness's host: harness_posix.cc starts an issuer for each test,
// harness_win32.cc (built with mingw-w64 and run under wine) takes the one tests/wine/run.sh
// started for the suite and resets it, so a case written once runs on both platforms.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/cgi/harness.h"

namespace credvane::http {
class client;
}

namespace signin_test {

using json = nlohmann::ordered_json;

inline const std::string usercode_path = "/api/accounts/deviceauth/usercode";
inline const std::string token_path = "/api/accounts/deviceauth/token";
inline const std::string oauth_path = "/oauth/token";
inline const std::string revoke_path = "/oauth/revoke";
inline const std::string client_id = "app_EMoamEEZ73f0CkXaXp7hrann";

// A JWT with the given claims and a non-empty signature, and the claims of one.
std::string jwt(const json& claims);
json claims_of(const std::string& token);

// The one JSON line a program printed; discarded when it printed anything else. A program
// that wrote to its stderr fails the test.
json answer_of(const cgi::result& r);

// The built sign-in programs.
std::string login_exe();
std::string refresh_exe();

// How the platform's HTTP client words a request that ran out of time, and one that found
// nothing listening.
extern const char* const timeout_words;
extern const char* const refused_words;

// An issuer URL where nothing listens.
inline const std::string closed_issuer = "http://127.0.0.1:1";

// The stand-in issuer for one test, with nothing left over from another: no fault, no hold,
// no recorded call, its settings as it started (a poll interval of 5 s, tokens for an hour).
class stand_in_issuer {
  public:
    stand_in_issuer();
    ~stand_in_issuer();
    stand_in_issuer(const stand_in_issuer&) = delete;
    stand_in_issuer& operator=(const stand_in_issuer&) = delete;

    const std::string& url() const { return url_; }
    // One test control; its JSON answer, which must come with status 200.
    json control(const std::string& path, const json& body = json::object()) const;
    // The next call to path gets this answer instead (see issuer.js: status, body,
    // content_type, hang, drop, drip_ms, ...).
    void fault(const std::string& path, json answer) const;
    // The service calls received so far, oldest first: {method, path, content_type, body}.
    std::vector<json> requests(const std::string& path = {}) const;
    std::size_t count(const std::string& path) const { return requests(path).size(); }
    // Returns once event has happened count times since the test began.
    void wait_for(const std::string& event, int count = 1) const;

  private:
    std::string url_;
    std::intptr_t process_ = -1;  // the issuer this object started, if any
    std::unique_ptr<credvane::http::client> client_;
};

// The platform's part of the fixture: where the home is (a name under the host's root, with
// '/'), and the variables that name it.
std::string home_name();
void prepare_host(cgi::host& h);

// That only the file's owner may read or change it: mode 0600 on POSIX, a DACL that lets in
// nobody else on Windows.
void expect_owner_only(const std::string& path);

#ifdef _WIN32
// A file's DACL in SDDL, and this process's user as a SID string.
std::string dacl_of(const std::string& path);
std::string my_sid();
#endif

class Signin : public ::testing::Test {
  protected:
    cgi::host h;
    stand_in_issuer iss;

    void SetUp() override;

    // A path under the home ('/' between names), and the same under the host's root for
    // host::write.
    std::string at_home(const std::string& rel) const { return h.path(home_rel(rel)); }
    std::string home_rel(const std::string& rel) const { return home_ + "/" + rel; }
    std::string auth() const { return at_home(".codex/auth.json"); }
    std::string marker(const std::string& name = "default") const {
        return at_home(".claude/.login-pending/codex-" + name + ".json");
    }
    // Writes a file under the home, folders made as needed.
    void put(const std::string& rel, const std::string& text) { h.write(home_rel(rel), text); }
    void put_auth(const std::string& text) { put(".codex/auth.json", text); }

    cgi::result login_run(const std::vector<std::string>& args) const {
        return h.exec(login_exe(), args);
    }
    cgi::result refresh_run(const std::vector<std::string>& args) const {
        return h.exec(refresh_exe(), args);
    }
    json login(const std::vector<std::string>& args) const { return answer_of(login_run(args)); }
    // A forced refresh of the default credential file.
    cgi::result refresh_auth_run() const {
        return refresh_run({"--credentials-file", auth(), "--force"});
    }
    json refresh_auth() const { return answer_of(refresh_auth_run()); }

    // Makes the next poll due at once instead of one interval later.
    void make_poll_due(const std::string& name = "default");
    // Starts a login and gives its user code; the start must succeed.
    std::string start(const std::vector<std::string>& extra = {});
    // A whole device login: start, one pending poll, approval, the poll that writes.
    void sign_in();

  private:
    std::string home_;
};

// A credential file as the login program writes it, for the issuer at url.
std::string login_file(const std::string& url, const std::string& access,
                       const std::string& refresh_token = "rt-old");

}  // namespace signin_test

// child_env_test.cc: which variables a CLI keeps, by name, by value and by name case.
#include <gtest/gtest.h>

#include <string>

#include "platform/child_env.h"

namespace credvane::platform {
namespace {

TEST(ChildEnv, Table) {
    struct row {
        std::string name;
        std::string value;
        std::string password;
        bool exact;  // kept with exact names (POSIX)
        bool fold;   // kept with folded names (Windows)
    };
    const row rows[] = {
        // The request's variables, standard and hosts' own, whatever the password.
        {"QUERY_STRING", "action=status", "", false, false},
        {"REQUEST_URI", "/cgi-bin/credvane?pwd=s3cret", "", false, false},
        {"REDIRECT_QUERY_STRING", "pwd=s3cret", "", false, false},
        {"REDIRECT_STATUS", "200", "", false, false},
        {"HTTP_X_BOT_PASSWORD", "s3cret", "", false, false},
        {"HTTP_PROXY", "http://attacker.invalid", "", false, false},
        {"BOT_PASSWORD", "s3cret", "", false, false},
        {"REMOTE_ADDR", "127.0.0.1", "", false, false},
        {"CONTENT_TYPE", "text/plain", "", false, false},
        {"SERVER_NAME", "node", "", false, false},
        {"SCRIPT_FILENAME", "/srv/cgi/credvane", "", false, false},
        {"DOCUMENT_ROOT", "/srv/www", "", false, false},
        {"DOCUMENT_URI", "/cgi-bin/credvane", "", false, false},
        {"CONTEXT_DOCUMENT_ROOT", "/srv/cgi", "", false, false},
        {"SSL_CLIENT_S_DN", "CN=x", "", false, false},
        {"HTTPS", "on", "", false, false},
        {"UNIQUE_ID", "abc", "", false, false},
        {"FCGI_ROLE", "RESPONDER", "", false, false},
        {"AUTHENTICATE_UID", "alice", "", false, false},
        // Names differ only in case: one variable on Windows, another one on POSIX.
        {"http_x_bot_password", "s3cret", "", true, false},
        {"Query_String", "pwd=x", "", true, false},
        {"bot_password", "x", "", true, false},
        // The node's own variables.
        {"PATH", "/usr/bin:/bin", "", true, true},
        {"HOME", "/home/node", "", true, true},
        {"CODEX_LOGIN_BIN", "/opt/login", "", true, true},
        {"LANG", "C.UTF-8", "", true, true},
        {"LC_ALL", "C", "", true, true},
        {"TMPDIR", "/tmp", "", true, true},
        {"https_proxy", "http://proxy:3128", "", true, true},
        {"HTTPS_PROXY", "http://proxy:3128", "", true, true},
        {"NO_PROXY", "localhost", "", true, true},
        {"HTTPS_PROXY_SETTING", "x", "", true, true},
        {"SERVERLESS", "1", "", true, true},
        // The last net: the password itself, or in query form, under any name.
        {"X_ORIGINAL_URI", "/credvane?action=status&pwd=s3cret", "s3cret", false, false},
        {"MY_SECRET", "s3cret", "s3cret", false, false},
        {"X_ORIGINAL_URI", "/credvane?action=status&pwd=other", "s3cret", true, true},
        {"X_ORIGINAL_URI", "/credvane?action=status&pwd=s3cret", "", true, true},
        // Merely containing a (short) password elsewhere is no reason.
        {"PATH", "/usr/bin:/bin", "bin", true, true},
        {"NOTE", "xs3cretx", "s3cret", true, true},
        {"EMPTY", "", "s3cret", true, true},
    };
    for (const row& r : rows) {
        EXPECT_EQ(child_keeps(r.name, r.value, r.password, name_case::exact), r.exact)
            << r.name << "=" << r.value;
        EXPECT_EQ(child_keeps(r.name, r.value, r.password, name_case::fold), r.fold)
            << r.name << "=" << r.value;
    }
}

}  // namespace
}  // namespace credvane::platform

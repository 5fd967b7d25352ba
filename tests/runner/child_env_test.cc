// child_env_test.cc: which variables a CLI keeps, by name, by value and by name case.
#include <gtest/gtest.h>

#include <string>

#include "runner/child_env.h"

namespace credvane {
namespace {

TEST(ChildEnv, Table) {
    struct row {
        std::string name;
        std::string value;
        std::string password;
        std::string listed;  // CREDVANE_CLI_ENV
        bool exact;          // kept with exact names (POSIX)
        bool fold;           // kept with folded names (Windows)
    };
    const std::string ops = "STANDIN_INTERVAL, SSL_CERT_FILE\tX_NOTE";
    const row rows[] = {
        // The request's variables, standard and hosts' own, whatever the password.
        {"QUERY_STRING", "action=status", "", "", false, false},
        {"REQUEST_URI", "/cgi-bin/credvane?pwd=s3cret", "", "", false, false},
        {"REDIRECT_QUERY_STRING", "pwd=s3cret", "", "", false, false},
        {"REDIRECT_STATUS", "200", "", "", false, false},
        {"HTTP_X_BOT_PASSWORD", "s3cret", "", "", false, false},
        {"HTTP_PROXY", "http://attacker.invalid", "", "", false, false},
        {"BOT_PASSWORD", "s3cret", "", "", false, false},
        {"REMOTE_ADDR", "127.0.0.1", "", "", false, false},
        {"CONTENT_TYPE", "text/plain", "", "", false, false},
        {"SERVER_NAME", "node", "", "", false, false},
        {"SCRIPT_FILENAME", "/srv/cgi/credvane", "", "", false, false},
        {"DOCUMENT_ROOT", "/srv/www", "", "", false, false},
        {"DOCUMENT_URI", "/cgi-bin/credvane", "", "", false, false},
        {"CONTEXT_DOCUMENT_ROOT", "/srv/cgi", "", "", false, false},
        {"SSL_CLIENT_S_DN", "CN=x", "", "", false, false},
        {"HTTPS", "on", "", "", false, false},
        {"UNIQUE_ID", "abc", "", "", false, false},
        {"FCGI_ROLE", "RESPONDER", "", "", false, false},
        {"AUTHENTICATE_UID", "alice", "", "", false, false},
        {"http_x_bot_password", "s3cret", "", "", false, false},
        {"Query_String", "pwd=x", "", "", false, false},
        // Whatever a host adds under a name nobody foresaw stays out.
        {"X_ORIGINAL_URI", "/credvane?action=status", "", "", false, false},
        {"X_AUTH", "Bearer%20s3cret", "", "", false, false},
        {"SERVERLESS", "1", "", "", false, false},
        {"HTTPS_PROXY_SETTING", "x", "", "", false, false},
        {"http_proxy", "http://proxy:3128", "", "", false, false},
        {"ALL_PROXY", "http://proxy:3128", "", "", false, false},
        // TLS session secrets in a file, even when an operator lists the name.
        {"SSLKEYLOGFILE", "/tmp/keys", "", "SSLKEYLOGFILE", false, false},
        {"SslKeyLogFile", "/tmp/keys", "", "SslKeyLogFile", false, false},
        // What a CLI needs of the node, in the case each system writes it.
        {"PATH", "/usr/bin:/bin", "", "", true, true},
        {"Path", "C:\\Windows", "", "", false, true},
        {"HOME", "/home/node", "", "", true, true},
        {"USER", "node", "", "", true, true},
        {"LOGNAME", "node", "", "", true, true},
        {"TZ", "UTC", "", "", true, true},
        {"CODEX_LOGIN_BIN", "/opt/login", "", "", true, true},
        {"CODEX_HOME", "/srv/codex", "", "", true, true},
        {"CREDVANE_CLI_TIMEOUT", "30", "", "", true, true},
        {"LANG", "C.UTF-8", "", "", true, true},
        {"LC_ALL", "C", "", "", true, true},
        {"TMPDIR", "/tmp", "", "", true, true},
        {"https_proxy", "http://proxy:3128", "", "", true, true},
        {"HTTPS_PROXY", "http://proxy:3128", "", "", true, true},
        {"no_proxy", "localhost", "", "", true, true},
        {"NO_PROXY", "localhost", "", "", true, true},
        {"SystemRoot", "C:\\Windows", "", "", true, true},
        {"SYSTEMROOT", "C:\\Windows", "", "", false, true},
        {"ComSpec", "C:\\Windows\\system32\\cmd.exe", "", "", true, true},
        {"LOCALAPPDATA", "C:\\Users\\op\\AppData\\Local", "", "", true, true},
        {"=C:", "C:\\srv", "", "", false, true},
        {"=", "x", "", "", false, false},
        {"", "x", "", "", false, false},
        // What the operator lists, compared whole, in the system's case; never a request's.
        {"STANDIN_INTERVAL", "1", "", ops, true, true},
        {"standin_interval", "1", "", ops, false, true},
        {"SSL_CERT_FILE", "/etc/ssl/ca.pem", "", ops, true, true},
        {"X_NOTE", "n", "", ops, true, true},
        {"STANDIN", "1", "", ops, false, false},
        {"STANDIN_INTERVAL_X", "1", "", ops, false, false},
        {"HTTP_PROXY", "http://attacker.invalid", "", "HTTP_PROXY", false, false},
        {"http_proxy", "http://proxy:3128", "", "http_proxy", false, false},
        {"HTTP_X_BOT_PASSWORD", "s3cret", "", "HTTP_X_BOT_PASSWORD", false, false},
        {"BOT_PASSWORD", "s3cret", "", "BOT_PASSWORD", false, false},
        {"bot_password", "s3cret", "", "bot_password", false, false},
        {"QUERY_STRING", "x", "", "QUERY_STRING,REQUEST_URI", false, false},
        {"X_ORIGINAL_URI", "/credvane?action=status&pwd=other", "s3cret", "X_ORIGINAL_URI", true,
         true},
        // The last net: a copy of the password under any kept name, raw, percent-encoded
        // (either case of hex digits, "+" for a space) or after "Bearer ".
        {"X_ORIGINAL_URI", "/credvane?action=status&pwd=s3cret", "s3cret", "X_ORIGINAL_URI", false,
         false},
        {"CODEX_NOTE", "s3cret", "s3cret", "", false, false},
        {"CODEX_NOTE", "/credvane?pwd=p%40ss%20w%3Ard&action=poll", "p@ss w:rd", "", false, false},
        {"CODEX_NOTE", "/credvane?pwd=p%40ss+w%3ard", "p@ss w:rd", "", false, false},
        {"CODEX_NOTE", "/credvane?pwd=p%40ss+w%3ard", "p@ss+w:rd", "", true, true},
        {"CODEX_NOTE", "/credvane?pwd=p@ss+w:rd", "p@ss+w:rd", "", false, false},
        {"CODEX_NOTE", "%73%33%63%72%65%74", "s3cret", "", false, false},
        {"CODEX_NOTE", "Bearer s3cret", "s3cret", "", false, false},
        {"CODEX_NOTE", "bearer \t s3cret", "s3cret", "", false, false},
        {"CODEX_NOTE", "Bearer p%40ss", "p@ss", "", false, false},
        {"CODEX_NOTE", "Basic czNjcmV0", "s3cret", "", true, true},
        {"CODEX_NOTE", "Bearers3cret", "s3cret", "", true, true},
        {"CODEX_NOTE", "/credvane?pwd=%7", "s3cret", "", true, true},
        {"CODEX_NOTE", "/credvane?pwd=other", "s3cret", "", true, true},
        {"CODEX_NOTE", "/credvane?pwd=s3cret", "", "", true, true},
        // Merely containing a (short) password elsewhere is no reason.
        {"PATH", "/usr/bin:/bin", "bin", "", true, true},
        {"CODEX_NOTE", "xs3cretx", "s3cret", "", true, true},
        {"CODEX_NOTE", "", "s3cret", "", true, true},
    };
    for (const row& r : rows) {
        EXPECT_EQ(child_keeps(r.name, r.value, r.password, name_case::exact, r.listed), r.exact)
            << r.name << "=" << r.value << " listed " << r.listed;
        EXPECT_EQ(child_keeps(r.name, r.value, r.password, name_case::fold, r.listed), r.fold)
            << r.name << "=" << r.value << " listed " << r.listed;
    }
}

}  // namespace
}  // namespace credvane

// locked_page_test.cc: a person's browser that opens a node with a password, without it, gets
// the page (which asks for the password and holds no node data); everything else gets the
// fixed 401 answer.
#include <gtest/gtest.h>

#include <string>

#include "tests/cgi/harness.h"

namespace {

const std::string page_head =
    "Status: 401 Unauthorized\r\n"
    "WWW-Authenticate: Bearer realm=\"credvane\"\r\n"
    "Content-Type: text/html; charset=utf-8\r\n";

const char* const browser_accept =
    "text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,*/*;q=0.8";

TEST(LockedPage, OnlyANavigationWithoutThePasswordGetsThePage) {
    struct row {
        const char* name;
        const char* dest;    // Sec-Fetch-Dest, or null
        const char* accept;  // Accept, or null
        std::string query;
        bool page;
    };
    const row rows[] = {
        {"address typed in", "document", browser_accept, "", true},
        {"plain HTTP, no Fetch Metadata", nullptr, browser_accept, "", true},
        {"a wrong pwd in the address", "document", browser_accept, "pwd=wrong", true},
        {"an action opened as a page", "document", browser_accept, "action=status", true},
        {"a framed panel", "iframe", browser_accept, "", true},
        {"the panel's own call", "empty", "*/*", "action=status", false},
        {"an image of another page", "image", "image/webp,*/*", "action=start", false},
        {"curl", nullptr, "*/*", "", false},
        {"no headers at all", nullptr, nullptr, "", false},
        {"a script asking for JSON", nullptr, "application/json", "action=status", false},
    };
    for (const row& r : rows) {
        cgi::host h;
        h.env["BOT_PASSWORD"] = "s3cret";
        h.write("home/.codex/auth.json", "{\"tokens\":{\"access_token\":\"secret-token-xyz\"}}");
        cgi::stand_in login;
        login.other = {"{}\n", 0};
        const std::string cli = h.cli("login", login);
        h.env["CODEX_LOGIN_BIN"] = cli;
        if (r.dest) h.env["HTTP_SEC_FETCH_DEST"] = r.dest;
        if (r.accept) h.env["HTTP_ACCEPT"] = r.accept;
        const cgi::result res = h.run(r.query);
        EXPECT_EQ(res.exit_code, 0) << r.name;
        EXPECT_EQ(h.argv_of(cli), "") << r.name;
        if (!r.page) {
            EXPECT_EQ(res.out, cgi::unauthorized) << r.name;
            continue;
        }
        EXPECT_EQ(res.out.rfind(page_head, 0), 0u) << r.name << "\n" << res.out.substr(0, 300);
        // The same constant page as an authorised request gets: no node data in it.
        cgi::host open_node;
        const std::string page = open_node.run("").out;
        EXPECT_EQ(res.out.substr(res.out.find("\r\n\r\n")), page.substr(page.find("\r\n\r\n")))
            << r.name;
        EXPECT_EQ(res.out.find("auth.json"), std::string::npos) << r.name;
        EXPECT_EQ(res.out.find("secret-token"), std::string::npos) << r.name;
    }
}

// With the right password a navigation gets the page as before, with no Status line.
TEST(LockedPage, TheRightPasswordGetsThePageAsEver) {
    cgi::host h;
    h.env["BOT_PASSWORD"] = "s3cret";
    h.env["HTTP_SEC_FETCH_DEST"] = "document";
    h.env["HTTP_ACCEPT"] = browser_accept;
    h.env["HTTP_X_BOT_PASSWORD"] = "s3cret";
    EXPECT_EQ(h.run("").out.rfind("Content-Type: text/html; charset=utf-8\r\n", 0), 0u);
    h.env.erase("HTTP_X_BOT_PASSWORD");
    EXPECT_EQ(h.run("pwd=s3cret").out.rfind("Content-Type: text/html; charset=utf-8\r\n", 0), 0u);
}

}  // namespace

// status_test.cc: the status answer, end to end from files and a stand-in login CLI.
#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <string>
#include <utility>

#include "tests/cgi/harness.h"

namespace {

// Remaining times depend on the clock; tests pin them by replacing the figure.
std::string pin_remaining(const std::string& s) {
    return std::regex_replace(s, std::regex("\"expires_in_sec\":-?[0-9]+"), "\"expires_in_sec\":R");
}

// The first integer after "key": in s, or a sentinel when the key is missing.
long long field(const std::string& s, const std::string& key) {
    std::smatch m;
    if (!std::regex_search(s, m, std::regex("\"" + key + "\":(-?[0-9]+)"))) return -999999;
    return std::stoll(m[1].str());
}

std::string status_body(const std::string& fields) {
    return cgi::json_head + "{\"ok\":true,\"state\":\"done\"," + fields + "}\n";
}

TEST(Status, NoCredentialsNoCliWholeAnswer) {
    cgi::host h;
    const cgi::result res = h.run("action=status");
    EXPECT_EQ(res.exit_code, 0);
    EXPECT_EQ(res.err, "");
    EXPECT_EQ(res.out, status_body(cgi::status_members(
                           {{"credentials_path", cgi::json_string(h.path("home/.codex/auth.json"))},
                            {"cli_error", "\"the login CLI is not on this node\""}})));
}

// Windows matches an account file's extension without regard to case.
#ifdef _WIN32
const char* const plain_account = "A";
const char* const plain_account_file = "A.JSON";
#else
const char* const plain_account = "a";
const char* const plain_account_file = "a.json";
#endif

TEST(Status, CredentialFileCliProfileMarkerAndAccounts) {
    cgi::host h;
    const long long now = static_cast<long long>(std::time(nullptr));
    const long long exp = now + 3600;
    // Files as an editor on Windows leaves them: CR LF line ends.
    h.write("home/.codex/auth.json",
            "{\"OPENAI_API_KEY\":null,\"tokens\":{\"access_token\":\"" + cgi::jwt_with_exp(exp) +
                "\",\"refresh_token\":\"r\",\"account_id\":\"acc-\\\"1\\\"\"},"
                "\"last_refresh\":\"2024-05-01T12:00:00Z\"}\r\n");
    h.write("home/.claude/quenlo-env/codex.txt", "X=1\nCODEX_ACCOUNT=work\r\nCODEX_ACCOUNT=late\n");
    h.write("home/.claude/.login-pending/codex-default.json",
            "{\"created\":" + std::to_string(now - 30) + "}");
    h.write("home/.codex/accounts/b.json",
            "{\"tokens\":{\"access_token\":\"" + cgi::jwt_with_exp(now - 10) + "\"}}");
    h.write(std::string("home/.codex/accounts/") + plain_account_file,
            "{\"access_token\":\"plain\",\"refresh_token\":\"r\"}");
    h.write("home/.codex/accounts/c.jsonl", "{}");
    h.write("home/.codex/accounts/.json", "{}");
    h.write("home/.codex/accounts/bad name.json", "{}");
    h.write("home/.codex/accounts/x.json/inner", "");
    h.write("home/.codex/accounts/notes.txt", "");
    // The CLI's later expiry in milliseconds wins; its account is ignored (profile wins).
    cgi::stand_in cli;
    cli.other.out = "log line\n{\"ok\":false,\"error\":\"slow\",\"expires_at\":" +
                    std::to_string((exp + 60) * 1000) +
                    ",\"account\":\"cli\",\"pending\":false}\n\n";
    h.env["CODEX_LOGIN_BIN"] = h.cli("cli", cli);
    const cgi::result res = h.run("action=status");
    // The age may grow by as long as the run took: a loaded machine is slow, not wrong.
    const long long took = static_cast<long long>(std::time(nullptr)) - now;
    EXPECT_EQ(res.exit_code, 0);
    EXPECT_EQ(res.err, "");
    const long long age = field(res.out, "pending_age_sec");
    EXPECT_TRUE(age >= 30 && age <= 31 + took) << age;
    const std::string pinned = std::regex_replace(
        pin_remaining(res.out), std::regex("\"pending_age_sec\":[0-9]+"), "\"pending_age_sec\":A");
    EXPECT_EQ(
        pinned,
        status_body(cgi::status_members({
            {"logged_in", "true"},
            {"expires_at", std::to_string(exp + 60)},
            {"expires_in_sec", "R"},
            {"has_refresh", "true"},
            {"account", "\"work\""},
            {"pending", "true"},
            {"pending_age_sec", "A"},
            {"last_refresh", "1714564800"},
            {"account_id", "\"acc-\\\"1\\\"\""},
            {"cli_present", "true"},
            {"credentials_path", cgi::json_string(h.path("home/.codex/auth.json"))},
            {"profile", "\"codex\""},
            {"profile_exists", "true"},
            {"named_accounts", "true"},
            {"cli_error", "\"slow\""},
            {"accounts", "[{\"name\":\"" + std::string(plain_account) +
                             "\",\"logged_in\":true,\"has_refresh\":true,\"expires_at\":0,"
                             "\"expires_in_sec\":R,\"expired\":false},"
                             "{\"name\":\"b\",\"logged_in\":true,\"has_refresh\":false,"
                             "\"expires_at\":" +
                             std::to_string(now - 10) + ",\"expires_in_sec\":R,\"expired\":true}]"},
            {"file_problem", "\"no id_token\""},
        })));
}

// A credential file the Codex CLI would refuse still counts as a login, and the answer
// says why the CLI refuses it; a file the CLI reads has no problem.
TEST(Status, FileProblemNamesWhatTheCliRefuses) {
    const std::string jwt = cgi::jwt_with_exp(4102444800);
    const std::pair<std::string, std::string> rows[] = {
        {"{\"tokens\":{\"id_token\":\"" + jwt + "\",\"access_token\":\"" + jwt +
             "\",\"refresh_token\":\"r\"}}",
         ""},
        {"{\"auth_mode\":\"apikey\",\"OPENAI_API_KEY\":\"sk-1\"}", ""},
        {"{\"tokens\":{\"access_token\":\"" + jwt + "\"}}", "no id_token"},
        {"{\"tokens\":{\"id_token\":\"opaque\",\"access_token\":\"" + jwt + "\"}}",
         "id_token is not a JWT"},
        {"{\"tokens\":{\"id_token\":\"" + jwt + "\",\"access_token\":\"" + jwt + "\"}}",
         "no refresh_token"},
    };
    for (const auto& [file, want] : rows) {
        cgi::host h;
        h.write("home/.codex/auth.json", file);
        const cgi::result res = h.run("action=status");
        EXPECT_EQ(res.exit_code, 0);
        EXPECT_EQ(cgi::member_text(res.out, "file_problem"), cgi::json_string(want)) << file << "\n"
                                                                                     << res.out;
    }
}

TEST(Status, AccountChoice) {
    struct row {
        std::string query;
        std::string codex_account;
        std::string file;  // credential file expected, relative to the home, with '/'
    };
    const row rows[] = {
        {"action=status&account=work", "", ".codex/accounts/work.json"},
        {"action=status&account=.hidden", "", ".codex/auth.json"},
        {"action=status&account=a/b", "home", ".codex/accounts/home.json"},
        {"action=status&account=", "home", ".codex/accounts/home.json"},
        {"action=status&account=" + std::string(65, 'a'), "", ".codex/auth.json"},
        {"action=status", "bad name", ".codex/auth.json"},
        {"action=status&account=w%20x", "", ".codex/auth.json"},
    };
    for (const row& r : rows) {
        cgi::host h;
        if (!r.codex_account.empty()) h.env["CODEX_ACCOUNT"] = r.codex_account;
        const cgi::result res = h.run(r.query);
        const std::string want =
            "\"credentials_path\":\"" + cgi::json_text(h.path("home/" + r.file)) + "\"";
        EXPECT_NE(res.out.find(want), std::string::npos) << r.query << "\n" << res.out;
    }
}

TEST(Status, MarkerAgeDecidesPending) {
    struct row {
        long long age;  // seconds before now; negative: in the future
        const char* pending;
    };
    // Rows stay minutes from the 900-second edge, so a slow run cannot carry one across it.
    const row rows[] = {{0, "true"}, {600, "true"}, {901, "false"}, {-600, "false"}};
    for (const row& r : rows) {
        cgi::host h;
        const long long now = static_cast<long long>(std::time(nullptr));
        h.write("home/.claude/.login-pending/codex-work.json",
                "{\"created\":\"" + std::to_string(now - r.age) + "\"}");
        const std::string out = h.run("action=status&account=work").out;
        const long long took = static_cast<long long>(std::time(nullptr)) - now;
        EXPECT_NE(out.find(std::string("\"pending\":") + r.pending), std::string::npos) << r.age;
        const long long age = field(out, "pending_age_sec");
        EXPECT_TRUE(age >= r.age && age <= r.age + 1 + took) << r.age << out;
    }
}

// A CLI that is not there, or that its shell could not find, is reported as missing; one
// that ran and failed is present, and one that ran and printed no answer is present and said
// to be useless. A configured program is named, since that is what the operator must look at.
// The actions that need it say so instead of failing on it.
TEST(Status, AMissingCliIsReportedAsMissing) {
    struct row {
        std::string bin;  // "-": CODEX_LOGIN_BIN not set
        std::string error;
    };
    cgi::host h;
    cgi::stand_in gone;
    gone.other = {"{\"logged_in\":true}\n", 127};
    cgi::stand_in fails;
    fails.other = {"{\"logged_in\":true}\n", 1};
    cgi::stand_in garbage;
    garbage.other = {"Usage: something else\n", 0};
    const std::string missing = "the login CLI is not on this node";
    const auto configured = [&](const std::string& bin) {
        return missing + " (CODEX_LOGIN_BIN is " + bin + ")";
    };
    const std::string nowhere = h.path("no such folder/login");
    const std::string exit127 = h.cli("exit127", gone);
    const std::string printer = h.cli("garbage", garbage);
    const row rows[] = {
        {"-", missing},
        {"", missing},
        {"credvane-no-such-cli", configured("credvane-no-such-cli")},
        {nowhere, configured(nowhere)},
        {exit127, configured(exit127)},
        {h.cli("exit1", fails), ""},
        {printer, "the login CLI printed no JSON line (" + printer + ")"},
    };
    for (const row& r : rows) {
        if (r.bin == "-") {
            h.env.erase("CODEX_LOGIN_BIN");
        } else {
            h.env["CODEX_LOGIN_BIN"] = r.bin;
        }
        const cgi::result res = h.run("action=status");
        EXPECT_NE(res.out.find("\"cli_error\":\"" + cgi::json_text(r.error) + "\""),
                  std::string::npos)
            << r.bin << res.out;
        const bool present = r.error.empty() || r.error.starts_with("the login CLI printed");
        EXPECT_NE(res.out.find(present ? "\"cli_present\":true," : "\"cli_present\":false,"),
                  std::string::npos)
            << r.bin << res.out;
        EXPECT_EQ(res.err, "") << r.bin;
    }
    h.env.erase("CODEX_LOGIN_BIN");
    EXPECT_EQ(h.run("action=start").out,
              cgi::status_head("200 OK") +
                  "{\"ok\":false,\"error\":\"cli_unavailable\",\"detail\":\"quenlo-codex-login is "
                  "not on this node; install QUENLO CODE or set CODEX_LOGIN_BIN\"}\n");
}

}  // namespace

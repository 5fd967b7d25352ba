// cgi_test.cc: what only Windows shows of credvane.exe end to end: text outside the ANSI code
// page, Windows paths, CLIs run through cmd.exe or started directly, and job objects.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <regex>
#include <sstream>

#include "tests/cgi/harness.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

// The status fields with the empty state of the default account but for these members.
std::string status_fields(const std::string& credentials_path, const std::string& cli_present,
                          const std::string& cli_error) {
    return cgi::status_members({{"credentials_path", cgi::json_string(credentials_path)},
                                {"cli_present", cli_present},
                                {"cli_error", "\"" + cli_error + "\""}});
}

std::string credentials_path_of(const std::string& out) {
    std::smatch m;
    if (!std::regex_search(out, m, std::regex("\"credentials_path\":\"((?:[^\"\\\\]|\\\\.)*)\""))) {
        return "(none)";
    }
    return m[1].str();
}

// A node password outside the ANSI code page is compared whole: the "A" functions turn it
// into question marks, which "?pwd=????" would match. A password that has no UTF-8 form
// (a lone surrogate) matches nothing, and above all it is never read as no password.
TEST(Unicode, TheNodePasswordIsComparedInUtf8) {
    const std::string pw = "\u5bc6\u7801\u5bc6\u7801";
    struct row {
        bool raw_password;  // BOT_PASSWORD a lone surrogate instead of pw
        std::string header;
        bool raw_header;  // the header a lone surrogate
        std::string query;
        bool passes;
    };
    const row rows[] = {
        {false, "", false, "action=status&pwd=????", false},
        {false, "????", false, "action=status", false},
        {false, "\u5bc6\u7801\u5bc6", false, "action=status", false},
        {false, pw, false, "action=status", true},
        {false, "", false, "action=status&pwd=" + pw, true},
        {true, "", false, "action=status", false},
        {true, "?", false, "action=status&pwd=?", false},
        {true, "\xef\xbf\xbd", false, "action=status&pwd=\xef\xbf\xbd", false},
        {true, "", true, "action=status", false},
    };
    for (const row& r : rows) {
        cgi::host h;
        if (r.raw_password) {
            h.raw_env["BOT_PASSWORD"] = L"\xD800";
        } else {
            h.env["BOT_PASSWORD"] = pw;
        }
        if (r.raw_header) h.raw_env["HTTP_X_BOT_PASSWORD"] = L"\xD800";
        if (!r.header.empty()) h.env["HTTP_X_BOT_PASSWORD"] = r.header;
        const cgi::result res = h.run(r.query);
        EXPECT_EQ(res.exit_code, 0);
        if (r.passes) {
            EXPECT_TRUE(cgi::is_status_answer(res.out)) << r.header << " " << r.query << res.out;
        } else {
            EXPECT_EQ(res.out, cgi::unauthorized) << r.header << " " << r.query;
        }
    }
}

// A home outside the ANSI code page (and one beyond MAX_PATH) is found, its credential
// file read and its path reported in UTF-8; an account file whose name is not a valid
// account name is left out of the list.
TEST(Unicode, AHomeOutsideTheCodePageIsReadAndReportedInUtf8) {
    const long long exp = static_cast<long long>(std::time(nullptr)) + 3600;
    const std::string creds = "{\"tokens\":{\"access_token\":\"" + cgi::jwt_with_exp(exp) +
                              "\",\"refresh_token\":\"r\"}}";
    std::string long_home = "long";
    for (int i = 0; i < 7; ++i) long_home += "\\" + std::string(50, static_cast<char>('a' + i));
    for (const std::string& rel : {std::string("\u0141ukasz \u4e2d"), long_home}) {
        cgi::host h;
        const std::string home = h.root + "\\" + rel;
        h.write(rel + "\\.codex\\auth.json", creds);
        h.write(rel + "\\.codex\\accounts\\ok.json", "{\"access_token\":\"plain\"}");
        h.write(rel + "\\.codex\\accounts\\\u017c\u00f3\u0142w.json", "{\"access_token\":\"x\"}");
        h.env["USERPROFILE"] = home;
        const cgi::result res = h.run("action=status");
        EXPECT_EQ(credentials_path_of(res.out), cgi::json_text(home + "\\.codex\\auth.json"));
        EXPECT_NE(res.out.find("\"logged_in\":true,\"expires_at\":" + std::to_string(exp)),
                  std::string::npos)
            << res.out;
        EXPECT_NE(res.out.find("\"accounts\":[{\"name\":\"ok\",\"logged_in\":true,"),
                  std::string::npos)
            << res.out;
        EXPECT_EQ(res.out.find("\u017c"), std::string::npos) << res.out;
    }
}

TEST(Unicode, ACliInAFolderOutsideTheCodePageRuns) {
    cgi::host h;
    h.env["CODEX_LOGIN_BIN"] = h.write("\u0141ukasz \u4e2d\\login.cmd",
                                       "@echo off\r\necho {\"ok\":true,\"logged_in\":true}\r\n");
    const cgi::result res = h.run("action=status");
    EXPECT_NE(res.out.find("\"cli_present\":true,"), std::string::npos) << res.out;
    EXPECT_NE(res.out.find("\"cli_error\":\"\""), std::string::npos) << res.out;
    EXPECT_NE(res.out.find("\"logged_in\":true"), std::string::npos) << res.out;
}

TEST(Status, HomeAndOverridesGiveBackslashPaths) {
    struct row {
        std::map<std::string, std::string> env;  // "-" as a value: the variable is removed
        std::string query;
        std::string path;  // credentials_path, before JSON escaping
    };
    const row rows[] = {
        {{{"USERPROFILE", ""}, {"HOME", "C:\\Users\\ops"}},
         "",
         "C:\\Users\\ops\\.codex\\auth.json"},
        {{{"USERPROFILE", std::string(600, 'u')}, {"HOME", "C:\\h"}},
         "",
         "C:\\h\\.codex\\auth.json"},
        {{{"USERPROFILE", "-"}, {"HOMEPATH", "\\Users\\op"}}, "", "\\Users\\op\\.codex\\auth.json"},
        {{{"USERPROFILE", "-"}}, "", ".codex\\auth.json"},
        {{{"USERPROFILE", "C:\\Users\\ops"}},
         "&account=work",
         "C:\\Users\\ops\\.codex\\accounts\\work.json"},
        {{{"CODEX_CREDS_PATH", "D:\\keys\\auth.json"}}, "", "D:\\keys\\auth.json"},
        {{{"CODEX_CREDS_PATH", "D:\\keys\\auth.json"}},
         "&account=work",
         "D:\\keys\\accounts\\work.json"},
        // The backslash decides where a mixed path is cut.
        {{{"CODEX_CREDS_PATH", "D:\\keys/codex/auth.json"}},
         "&account=work",
         "D:\\accounts\\work.json"},
        {{{"CODEX_CREDS_PATH", "D:/keys/auth.json"}},
         "&account=work",
         "D:/keys/accounts\\work.json"},
        {{{"CODEX_ACCOUNTS_DIR", "E:\\accts"}}, "&account=work", "E:\\accts\\work.json"},
    };
    for (const row& r : rows) {
        cgi::host h;
        for (const auto& [k, v] : r.env) {
            if (v == "-") {
                h.env.erase(k);
            } else {
                h.env[k] = v;
            }
        }
        const cgi::result res = h.run("action=status" + r.query);
        EXPECT_EQ(credentials_path_of(res.out), cgi::json_text(r.path)) << r.path;
    }
}

// Writes one line per run, each argument without its quotes in brackets.
const char* record_argv = "echo [%~1][%~2][%~3][%~4]>>\"%~dp0%~n0.argv\"\n";

TEST(Cli, EveryActionPassesItsArgumentsThroughCmd) {
    cgi::host h;
    const long long now = static_cast<long long>(std::time(nullptr));
    const std::string creds =
        h.write("home\\.codex\\auth.json",
                "{\"tokens\":{\"access_token\":\"" + cgi::jwt_with_exp(now + 60) + "\"}}");
    h.write("bin\\fresh.json",
            "{\"tokens\":{\"access_token\":\"" + cgi::jwt_with_exp(now + 7200) + "\"}}");
    h.env["CODEX_LOGIN_BIN"] = h.script(
        "login cli",
        std::string(record_argv) +
            "if \"%~1\"==\"--status\" echo {\"ok\":true}\n"
            "if \"%~1\"==\"--start\" echo {\"ok\":true,\"verify_url\":\"https://example.invalid/"
            "device\",\"user_code\":\"ABCD-1234\",\"interval\":3,\"expires_in\":600}\n"
            "if \"%~1\"==\"--poll\" echo {\"ok\":true,\"state\":\"pending\",\"interval\":4}\n"
            "if \"%~1\"==\"--cancel\" echo {\"ok\":true}\n");
    // The refresh stand-in rewrites the file it is given with a later expiry.
    h.env["CODEX_REFRESH_BIN"] =
        h.script("refresh cli",
                 std::string(record_argv) + "copy /y \"%~dp0fresh.json\" \"%~2\" >NUL\necho {}\n");

    const cgi::result start = h.run("action=start&force=1&account=work");
    EXPECT_EQ(start.out, cgi::json_head +
                             "{\"ok\":true,\"flow\":\"device_code\",\"verify_url\":\"https://"
                             "example.invalid/device\",\"user_code\":\"ABCD-1234\",\"expires_in\":"
                             "600,\"interval\":3,\"pending\":true,\"provider\":\"codex\"}\n");
    const cgi::result poll = h.run("action=poll&account=work");
    EXPECT_EQ(
        poll.out,
        cgi::json_head + "{\"ok\":true,\"state\":\"pending\",\"interval\":4,\"pending\":true}\n");
    const cgi::result cancel = h.run("action=cancel");
    EXPECT_EQ(cancel.out.rfind(cgi::json_head + "{\"ok\":true,\"state\":\"cancelled\","
                                                "\"logged_in\":true,",
                               0),
              0u)
        << cancel.out;
    const cgi::result refresh = h.run("action=refresh");
    EXPECT_EQ(refresh.out.rfind(cgi::json_head + "{\"ok\":true,\"refreshed\":true,", 0), 0u)
        << refresh.out;
    EXPECT_NE(refresh.out.find("\"expires_at\":" + std::to_string(now + 7200)), std::string::npos);
    for (const cgi::result* r : {&start, &poll, &cancel, &refresh}) {
        EXPECT_EQ(r->exit_code, 0);
        EXPECT_EQ(r->err, "");
    }

    EXPECT_EQ(h.read(h.root + "\\bin\\login cli.argv"),
              "[--status][--name][work][]\r\n[--start][--force][--name][work]\r\n"
              "[--status][--name][work][]\r\n[--poll][--name][work][]\r\n"
              "[--status][--name][work][]\r\n"
              "[--status][][][]\r\n[--cancel][][][]\r\n[--status][][][]\r\n"
              "[--status][][][]\r\n[--status][][][]\r\n");
    EXPECT_EQ(h.read(h.root + "\\bin\\refresh cli.argv"),
              "[--credentials-file][" + creds + "][--force][]\r\n");
}

// The missing CLIs that every platform has are shared cases; these are paths that cmd.exe
// would refuse before it looked for the file.
TEST(Cli, AMissingCliIsReportedAsMissing) {
    cgi::host h;
    // Real cmd.exe answers 3 and 123 for these, not 9009: they are resolved first.
    for (const std::string& bin : {h.root + "\\no such folder\\login.exe",
                                   h.root + "\\bin\\bad|name.cmd", h.root + "\\bin\\what?.cmd"}) {
        h.env["CODEX_LOGIN_BIN"] = bin;
        const cgi::result res = h.run("action=status");
        EXPECT_NE(res.out.find("\"cli_present\":false,"), std::string::npos) << bin << res.out;
        // The configured program is named, since that is what the operator must look at.
        EXPECT_NE(res.out.find("\"cli_error\":\"the login CLI is not on this node "
                               "(CODEX_LOGIN_BIN is " +
                               cgi::json_text(bin) + ")\""),
                  std::string::npos)
            << bin << res.out;
        EXPECT_EQ(res.err, "") << bin;
    }
}

}  // namespace

TEST(Cli, AHelperTheCliLeavesRunningDoesNotHoldTheAnswerBack) {
    cgi::host h;
    // The helper blocks until the test lets it go; the CLI ends once the helper is up. A run
    // that waited for the helper would wait until the helper's own bound (minutes, never
    // reached by a sound run) and find its mark: the CLI's timeout is out of the way.
    cgi::held_helper helper;
    const std::string mark = h.root + "\\helper done";
    h.env["CREDVANE_CLI_TIMEOUT"] = "3600";
    h.env["CODEX_LOGIN_BIN"] =
        h.script("login", "start \"\" /b " + helper.hold_command(mark) + " >NUL\n" +
                              helper.up_command() + "\necho {}\n");
    const cgi::result res = h.run("action=status");
    EXPECT_TRUE(cgi::is_status_answer(res.out)) << res.out;
    // The host saw the end of the answer before the helper was let go: it held no handle
    // to the host's pipe.
    EXPECT_TRUE(helper.came_up());
    EXPECT_FALSE(h.exists(mark));
}

// The host ends credvane on its own timeout without warning: the CLI and everything it
// started end with it, as the job dies with credvane's handle to it.
TEST(Cli, KillingCredvaneEndsTheCliAndWhatItStarted) {
    cgi::host h;
    const std::string pid_file = h.root + "\\held.pid";
    h.env["CREDVANE_CLI_TIMEOUT"] = "3600";
    h.env["CODEX_LOGIN_BIN"] = h.script(
        "login", "\"" + cgi::exe_dir() + "wine_helper.exe\" hold \"" + pid_file + "\"\necho {}\n");
    cgi::running credvane = h.start("action=status");
    ASSERT_TRUE(cgi::wait_for_file(pid_file, 120000)) << "the CLI's child never started";
    const HANDLE child = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE,
                                     static_cast<DWORD>(std::stoul(h.read(pid_file))));
    ASSERT_NE(child, nullptr);
    TerminateProcess(credvane.process, 1);
    WaitForSingleObject(credvane.process, INFINITE);
    const DWORD gone = WaitForSingleObject(child, 60000);
    if (gone != WAIT_OBJECT_0) TerminateProcess(child, 1);
    CloseHandle(child);
    EXPECT_EQ(gone, static_cast<DWORD>(WAIT_OBJECT_0)) << "the CLI's child outlived credvane";
}

// Copies the helper executable to rel under the host's root, as a login CLI that records
// its arguments in <path>.argv; the copy's path.
std::string helper_cli(cgi::host& h, const std::string& rel) {
    const std::string to = h.write(rel, "");
    EXPECT_TRUE(CopyFileW(cgi::widen(cgi::exe_dir() + "wine_helper.exe").c_str(),
                          cgi::widen(to).c_str(), FALSE));
    return to;
}

// cmd.exe looks in the working folder before PATH; credvane never does, so a CLI planted
// in the CGI's working folder (the host's choice) is neither run nor believed.
TEST(Cli, ACliPlantedInTheWorkingFolderIsNotRun) {
    cgi::host h;  // credvane runs in h.root
    const std::string mark = h.root + "\\planted ran";
    h.write("quenlo-codex-login.cmd",
            "@echo.>\"" + mark + "\"\r\n@echo {\"ok\":true,\"logged_in\":true}\r\n");
    for (const std::string& path : {h.env["PATH"], ".;" + h.env["PATH"]}) {
        h.env["PATH"] = path;
        const cgi::result res = h.run("action=status");
        EXPECT_NE(res.out.find("\"cli_present\":false,"), std::string::npos) << path << res.out;
        EXPECT_FALSE(h.exists(mark)) << path;
    }
}

// A bare name is found on PATH with PATHEXT, as a script and as an executable; the
// executable starts directly and receives the arguments as the runner wrote them.
TEST(Cli, ABareNameIsFoundOnPath) {
    cgi::host h;
    h.write("on path\\credvane-path-cmd.cmd",
            "@echo off\r\necho [%~1][%~2][%~3]>>\"%~dp0cmd.argv\"\r\necho {\"ok\":true}\r\n");
    const std::string exe = helper_cli(h, "on path\\credvane-path-exe.exe");
    h.env["PATH"] = h.root + "\\on path;" + h.env["PATH"];
    for (const char* bin : {"credvane-path-cmd", "credvane-path-exe"}) {
        h.env["CODEX_LOGIN_BIN"] = bin;
        const cgi::result res = h.run("action=status&account=work");
        EXPECT_NE(res.out.find("\"cli_present\":true,"), std::string::npos) << bin << res.out;
        EXPECT_NE(res.out.find("\"cli_error\":\"\""), std::string::npos) << bin << res.out;
    }
    EXPECT_EQ(h.read(h.root + "\\on path\\cmd.argv"), "[--status][--name][work]\r\n");
    EXPECT_EQ(h.read(exe + ".argv"), "[--status][--name][work]\n");
}

// A path reaches the CLI as the operator wrote it: "%SystemRoot%" in a folder name is that
// folder, for an executable, which starts without cmd.exe. A script, which cmd.exe would
// run altered, is refused instead.
TEST(Cli, APercentInThePathNamesThatFolder) {
    cgi::host h;
    const long long now = static_cast<long long>(std::time(nullptr));
    const std::string creds = "{\"tokens\":{\"access_token\":\"" + cgi::jwt_with_exp(now + 60) +
                              "\",\"refresh_token\":\"r\"}}";
    const std::string auth = h.write("keys\\%SystemRoot%\\auth.json", creds);
    h.env["CODEX_CREDS_PATH"] = auth;
    h.env["CODEX_LOGIN_BIN"] = helper_cli(h, "tools\\%SystemRoot%\\login.exe");
    h.env["CODEX_REFRESH_BIN"] = helper_cli(h, "tools\\%SystemRoot%\\refresh.exe");
    const cgi::result status = h.run("action=status");
    EXPECT_NE(status.out.find("\"cli_present\":true,"), std::string::npos) << status.out;
    EXPECT_EQ(h.read(h.env["CODEX_LOGIN_BIN"] + ".argv"), "[--status]\n");
    h.run("action=refresh");
    EXPECT_EQ(h.read(h.env["CODEX_REFRESH_BIN"] + ".argv"),
              "[--credentials-file][" + auth + "][--force]\n");

    // The same credential path handed to a refresh script would be expanded: refused.
    const std::string mark = h.root + "\\script ran";
    h.env["CODEX_REFRESH_BIN"] = h.script("refresh", "echo.>\"" + mark + "\"\necho {}\n");
    const cgi::result refused = h.run("action=refresh");
    EXPECT_EQ(refused.out,
              cgi::status_head("200 OK") +
                  "{\"ok\":false,\"error\":\"cli_unavailable\",\"detail\":\"the refresh CLI is a "
                  "cmd.exe script and its path or arguments hold characters that cmd.exe would "
                  "alter (\\\", %, a line break, or a final \\\\); nothing was run\"}\n");
    EXPECT_FALSE(h.exists(mark));
}

// A login script whose path cmd.exe would expand is refused as such, not as missing: every
// action that needs it says why nothing ran, and nothing did.
TEST(Cli, ALoginScriptCmdWouldAlterIsRefusedNotMissing) {
    cgi::host h;
    const std::string mark = h.root + "\\script ran";
    h.env["CODEX_LOGIN_BIN"] =
        h.write("tools\\50%\\login.cmd", "@echo.>\"" + mark + "\"\r\n@echo {\"ok\":true}\r\n");
    const std::string detail =
        "the login CLI is a cmd.exe script and its path or arguments hold characters that "
        "cmd.exe would alter (\\\", %, a line break, or a final \\\\); nothing was run";
    const std::string unavailable = cgi::status_head("200 OK") +
                                    "{\"ok\":false,\"error\":\"cli_unavailable\",\"detail\":\"" +
                                    detail + "\"}\n";
    const cgi::result status = h.run("action=status");
    EXPECT_EQ(status.out, cgi::json_head + "{\"ok\":true,\"state\":\"done\"," +
                              status_fields(h.home + "\\.codex\\auth.json", "false", detail) +
                              "}\n");
    EXPECT_EQ(h.run("action=start").out, unavailable);
    EXPECT_EQ(h.run("action=start&force=1&account=work").out, unavailable);
    EXPECT_EQ(h.run("action=poll").out, unavailable);
    // Cancel answers as for any CLI that cannot run: the flow is cancelled, the CLI absent.
    EXPECT_EQ(
        h.run("action=cancel").out,
        cgi::json_head +
            "{\"ok\":true,\"state\":\"cancelled\",\"pending\":false,\"cli_present\":false}\n");
    EXPECT_FALSE(h.exists(mark));
}

// A credential path outside the code page reaches an executable CLI intact.
TEST(Cli, ACredentialPathOutsideTheCodePageReachesTheCli) {
    cgi::host h;
    const long long now = static_cast<long long>(std::time(nullptr));
    const std::string auth =
        h.write("\u0141ukasz \u4e2d\\.codex\\auth.json",
                "{\"tokens\":{\"access_token\":\"" + cgi::jwt_with_exp(now + 60) + "\"}}");
    h.env["USERPROFILE"] = h.root + "\\\u0141ukasz \u4e2d";
    h.env["CODEX_REFRESH_BIN"] = helper_cli(h, "bin\\refresh.exe");
    h.run("action=refresh");
    EXPECT_EQ(h.read(h.env["CODEX_REFRESH_BIN"] + ".argv"),
              "[--credentials-file][" + auth + "][--force]\n");
}

// Windows requires the block a process is handed to be sorted by name without case, by
// code unit of the upper case, whatever the locale ("_" comes after the letters, unlike
// in a lower-case sort); a CLI gets its block so even from a host that sent it unsorted.
TEST(Cli, TheCliEnvironmentIsSortedAsWindowsRequires) {
    cgi::host h;
    h.unsorted_env = true;
    const std::vector<std::string> sorted = {"cv-z", "CVZ",      "cv_a",    "CV_B",
                                             "CV__", "CV\u00e9", "CV\u0141"};
    std::string listed;
    for (const std::string& name : sorted) {
        h.env[name] = "1";
        listed += name + " ";
    }
    h.env["CREDVANE_CLI_ENV"] = listed;  // a CLI gets them only when listed
    h.env["CODEX_LOGIN_BIN"] = helper_cli(h, "bin\\login.exe");
    const cgi::result res = h.run("action=status");
    ASSERT_NE(res.out.find("\"cli_present\":true,"), std::string::npos) << res.out;
    std::vector<std::string> ours;
    std::istringstream lines(h.read(h.env["CODEX_LOGIN_BIN"] + ".env"));
    for (std::string line; std::getline(lines, line);) {
        if (std::find(sorted.begin(), sorted.end(), line) != sorted.end()) ours.push_back(line);
    }
    // Only the test's own names: wine adds its WINE* variables to every block it starts a
    // process with, after the rest.
    EXPECT_EQ(ours, sorted);
}

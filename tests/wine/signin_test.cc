// signin_test.cc: credvane-login.exe and credvane-refresh.exe as credvane runs them on
// Windows, against the stand-in issuer (node, outside wine, on 127.0.0.1: run.sh starts it
// and names it in CREDVANE_TEST_ISSUER), and the file services they stand on.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <aclapi.h>
#include <sddl.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/files.h"
#include "platform/platform.h"
#include "platform/win32_testing.h"
#include "signin/authfile.h"
#include "signin/http.h"
#include "store/creds.h"
#include "store/login_status.h"
#include "tests/cgi/harness.h"

namespace {

using json = nlohmann::ordered_json;

std::string issuer_url() {
    const char* v = std::getenv("CREDVANE_TEST_ISSUER");
    return v != nullptr ? v : "";
}

// A test control of the stand-in issuer; its JSON answer.
json control(const std::string& path, const json& body) {
    credvane::http::client c;
    const std::string text = body.dump();
    const std::string url = issuer_url() + path;
    credvane::http::request r;
    r.url = url;
    r.content_type = "application/json";
    r.body = text;
    const credvane::http::answer a = c.post(r);
    EXPECT_EQ(a.how, credvane::http::outcome::answered) << path << ": " << a.error;
    EXPECT_EQ(a.status, 200) << path << ": " << a.body;
    return json::parse(a.body, nullptr, false);
}

// The one JSON line a CLI printed.
json answer_of(const cgi::result& r) {
    EXPECT_TRUE(r.err.empty()) << r.err;
    if (r.out.empty() || r.out.back() != '\n' || r.out.find('\n') != r.out.size() - 1) {
        ADD_FAILURE() << "not one line: " << r.out;
        return json::value_t::discarded;
    }
    return json::parse(r.out, nullptr, false);
}

std::wstring wide(const std::string& s) {
    return cgi::widen(s);
}

std::size_t entries_in(const std::string& dir) {
    std::size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(std::filesystem::path(wide(dir)))) {
        (void)e;
        ++n;
    }
    return n;
}

class SigninFiles : public ::testing::Test {
  protected:
    cgi::host h;
    std::string dir() const { return h.path("codex home"); }
    std::string file() const { return dir() + "\\auth.json"; }
};

// Whether this system renames over a file by handle with POSIX semantics (Windows 10 1607
// and later, on NTFS). wine 8 does not: there the replacement falls back to MoveFileExW.
bool posix_rename_supported(const std::string& dir) {
    const std::wstring from = wide(dir + "\\probe-from");
    const std::wstring to = wide(dir + "\\probe-to");
    HANDLE f = CreateFileW(from.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    const std::size_t bytes = to.size() * sizeof(wchar_t);
    const std::size_t size = offsetof(FILE_RENAME_INFO, FileName) + bytes + sizeof(wchar_t);
    const auto buffer = std::make_unique<unsigned char[]>(size);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.get());
    info->Flags = FILE_RENAME_FLAG_POSIX_SEMANTICS | FILE_RENAME_FLAG_REPLACE_IF_EXISTS;
    info->FileNameLength = static_cast<DWORD>(bytes);
    std::memcpy(info->FileName, to.c_str(), bytes + sizeof(wchar_t));
    const bool ok = SetFileInformationByHandle(f, static_cast<FILE_INFO_BY_HANDLE_CLASS>(22), info,
                                               static_cast<DWORD>(size)) != FALSE;
    CloseHandle(f);
    DeleteFileW(from.c_str());
    DeleteFileW(to.c_str());
    return ok;
}

TEST_F(SigninFiles, AReplacementWhileAReaderHasTheFileOpen) {
    ASSERT_TRUE(credvane::authfile::write(file(), "first"));
    const bool posix = posix_rename_supported(dir());
    // A reader as the Codex CLI and credvane open it: every kind of sharing.
    HANDLE reader = CreateFileW(wide(file()).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    const bool replaced = credvane::authfile::write(file(), "second, longer");
    char buf[32] = {};
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(reader, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "first") << "the reader keeps the bytes it opened";
    CloseHandle(reader);
    if (posix) {
        // As rename on POSIX: the new file takes the name at once.
        EXPECT_TRUE(replaced);
        EXPECT_EQ(h.read(file()), "second, longer");
    } else {
        // The older rename cannot replace an open file: the write fails whole, after its
        // brief retries, and the old file stays.
        EXPECT_FALSE(replaced);
        EXPECT_EQ(h.read(file()), "first");
    }
    EXPECT_EQ(entries_in(dir()), 1u) << "no temporary file stays";
}

TEST_F(SigninFiles, AFileHeldWithoutDeleteSharingStaysAsItWas) {
    ASSERT_TRUE(credvane::authfile::write(file(), "kept"));
    // A program that opened the file without delete sharing: no replacement can happen
    // until it lets go, and none is half done.
    HANDLE holder = CreateFileW(wide(file()).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(credvane::authfile::write(file(), "lost"));
    CloseHandle(holder);
    EXPECT_EQ(h.read(file()), "kept");
    EXPECT_EQ(entries_in(dir()), 1u) << "the temporary file is removed";
    EXPECT_TRUE(credvane::authfile::write(file(), "after"));
    EXPECT_EQ(h.read(file()), "after");
}

TEST_F(SigninFiles, LocksExcludeEachOtherInTheCliOrder) {
    std::optional<credvane::authfile::locks> first;
    first.emplace(file(), credvane::platform::monotonic_ms() + 1000);
    ASSERT_TRUE(first->held());
    EXPECT_TRUE(h.exists(dir() + "\\auth.lock"));
    EXPECT_TRUE(h.exists(dir() + "\\auth.json.lock"));
    const credvane::authfile::locks second(file(), credvane::platform::monotonic_ms() + 50);
    EXPECT_FALSE(second.held());
    EXPECT_FALSE(credvane::platform::file_lock::acquire((dir() + "\\auth.json.lock").c_str(),
                                                        credvane::platform::monotonic_ms())
                     .held());
    first.reset();
    const credvane::authfile::locks third(file(), credvane::platform::monotonic_ms() + 1000);
    EXPECT_TRUE(third.held());
}

TEST(SigninRandom, OwnerIdsAreRandomBase64Url) {
    const std::string a = credvane::authfile::new_login_owner_id();
    const std::string b = credvane::authfile::new_login_owner_id();
    EXPECT_EQ(a.size(), 43u);
    EXPECT_NE(a, b);
    EXPECT_EQ(a.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::string::npos);
}

class SigninRoad : public ::testing::Test {
  protected:
    cgi::host h;

    void SetUp() override {
        ASSERT_FALSE(issuer_url().empty()) << "CREDVANE_TEST_ISSUER is not set: run this suite through tests/wine/run.sh";
        h.env["CREDVANE_ISSUER"] = issuer_url();
        // A home named in three scripts, none of them in any ANSI code page together: the
        // credential path reaches the refresh CLI on its command line and must arrive whole.
        h.home = h.root + "\\h\xc3\xb4me \xe6\x97\xa5\xe6\x9c\xac \xd0\xb4\xd0\xbe\xd0\xbc";
        std::filesystem::create_directories(std::filesystem::path(wide(h.home)));
        h.env["USERPROFILE"] = h.home;
    }

    std::string auth() const { return h.home + "\\.codex\\auth.json"; }
    std::string marker() const { return h.home + "\\.claude\\.login-pending\\codex-default.json"; }

    json login(const std::vector<std::string>& args) const {
        return answer_of(h.exec(cgi::exe_dir() + "credvane-login.exe", args));
    }
    json refresh() const {
        return answer_of(h.exec(cgi::exe_dir() + "credvane-refresh.exe", {"--credentials-file", auth(), "--force"}));
    }
    // Makes the next poll due at once instead of one interval later.
    void make_poll_due() {
        json m = json::parse(h.read(marker()), nullptr, false);
        ASSERT_TRUE(m.is_object());
        m["last_poll_ms"] = 1;
        ASSERT_TRUE(credvane::platform::replace_file(marker().c_str(), ".t-", m.dump()));
    }
    // A started login's user code.
    std::string start(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args{"--start"};
        args.insert(args.end(), extra.begin(), extra.end());
        const json a = login(args);
        EXPECT_EQ(a.value("ok", false), true) << a.dump();
        EXPECT_EQ(a.value("verify_url", ""), issuer_url() + "/codex/device");
        EXPECT_TRUE(a["interval"].is_number_integer());
        return a.value("user_code", "");
    }
    // A whole device login: start, one pending poll, approval, the poll that writes.
    void sign_in() {
        const std::string code = start();
        ASSERT_FALSE(code.empty());
        EXPECT_EQ(login({"--poll"}).value("state", ""), "pending");
        control("/test/approve", {{"user_code", code}});
        make_poll_due();
        const json done = login({"--poll"});
        ASSERT_EQ(done.value("state", ""), "done") << done.dump();
    }
};

TEST_F(SigninRoad, ADeviceLoginWritesTheFileAsTheCodexCliDoes) {
    sign_in();
    EXPECT_FALSE(h.exists(marker()));
    const std::string text = h.read(auth());
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.back(), '\n');
    const json doc = json::parse(text, nullptr, false);
    ASSERT_TRUE(doc.is_object()) << text;
    EXPECT_EQ(doc["auth_mode"], "chatgpt");
    EXPECT_TRUE(doc["OPENAI_API_KEY"].is_null());
    const json& t = doc["tokens"];
    EXPECT_EQ(t["oauth_provenance"]["issuer"], issuer_url());
    EXPECT_EQ(t["account_id"], "acct-standin-0001");
    EXPECT_EQ(t["login_owner_id"].get<std::string>().size(), 43u);
    EXPECT_EQ(doc["last_refresh"].get<std::string>().size(), 30u);
    EXPECT_EQ(text, credvane::authfile::format(doc)) << "two-space indent, the CLI's member order";
    const json st = login({"--status"});
    EXPECT_EQ(st["logged_in"], true);
    EXPECT_EQ(st["has_refresh"], true);
    EXPECT_EQ(st["pending"], false);
}

TEST_F(SigninRoad, ARefreshRenewsTheTokensAndKeepsTheRest) {
    sign_in();
    const json before = json::parse(h.read(auth()), nullptr, false);
    const json r = refresh();
    ASSERT_EQ(r.value("state", ""), "refreshed") << r.dump();
    const json after = json::parse(h.read(auth()), nullptr, false);
    EXPECT_NE(after["tokens"]["refresh_token"], before["tokens"]["refresh_token"]);
    EXPECT_NE(after["tokens"]["access_token"], before["tokens"]["access_token"]);
    EXPECT_EQ(after["tokens"]["login_owner_id"], before["tokens"]["login_owner_id"]);
    EXPECT_EQ(after["tokens"]["account_id"], before["tokens"]["account_id"]);
    EXPECT_NE(after["last_refresh"], before["last_refresh"]);
}

TEST_F(SigninRoad, RefusedOrGarbledIssuerAnswersLeaveTheFileAsItWas) {
    sign_in();
    const std::string kept = h.read(auth());
    struct row {
        const char* what;
        json fault;
        const char* error;
    };
    const row rows[] = {
        {"not JSON", {{"status", 200}, {"content_type", "text/html"}, {"body", "<html>oops</html>"}}, "bad_answer"},
        {"JSON without tokens", {{"status", 200}, {"body", json{{"access_token", ""}}}}, "bad_answer"},
        {"refused", {{"status", 401}, {"body", json{{"error", {{"code", "invalid_grant"}}}}}}, "refresh_refused"},
        {"broken service", {{"status", 503}, {"body", "busy"}}, "refresh_failed"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        json fault = r.fault;
        fault["path"] = "/oauth/token";
        control("/test/fault", fault);
        const json a = refresh();
        EXPECT_EQ(a.value("ok", true), false) << a.dump();
        EXPECT_EQ(a.value("error", ""), r.error) << a.dump();
        EXPECT_EQ(h.read(auth()), kept);
    }
    // The file is still good for a refresh once the issuer answers well again.
    EXPECT_EQ(refresh().value("state", ""), "refreshed");
}

TEST_F(SigninRoad, ADeniedReloginKeepsTheOldFile) {
    sign_in();
    const std::string kept = h.read(auth());
    EXPECT_EQ(login({"--start"}).value("error", ""), "exists");
    const std::string code = start({"--force"});
    control("/test/deny", {{"user_code", code}});
    const json a = login({"--poll"});
    EXPECT_EQ(a.value("error", ""), "denied") << a.dump();
    EXPECT_FALSE(h.exists(marker()));
    EXPECT_EQ(h.read(auth()), kept);
}

TEST_F(SigninRoad, AnIssuerThatNeverAnswersLeavesTheLoginOpen) {
    // The run's time is two thirds of CREDVANE_CLI_TIMEOUT: the request gives up within it.
    h.env["CREDVANE_CLI_TIMEOUT"] = "3";
    start();
    control("/test/fault", {{"path", "/api/accounts/deviceauth/token"}, {"hang", true}});
    const json a = login({"--poll"});
    EXPECT_EQ(a.value("state", ""), "pending") << a.dump();
    EXPECT_TRUE(h.exists(marker()));
}

TEST_F(SigninRoad, AnUnreachableIssuerIsAClearError) {
    h.env["CREDVANE_ISSUER"] = "http://127.0.0.1:1";
    const json a = login({"--start"});
    EXPECT_EQ(a.value("error", ""), "start_failed") << a.dump();
    EXPECT_NE(a.value("detail", "").find("could not connect"), std::string::npos) << a.dump();
    EXPECT_FALSE(h.exists(marker()));
}

TEST(SigninTls, AnIssuerWhoseCertificateIsNotTrustedIsRefused) {
    const char* url = std::getenv("CREDVANE_TEST_UNTRUSTED_ISSUER");
    ASSERT_NE(url, nullptr) << "CREDVANE_TEST_UNTRUSTED_ISSUER is not set: run this suite through tests/wine/run.sh";
    cgi::host h;
    h.env["CREDVANE_ISSUER"] = url;
    const json a = answer_of(h.exec(cgi::exe_dir() + "credvane-login.exe", {"--start"}));
    EXPECT_EQ(a.value("error", ""), "start_failed") << a.dump();
    EXPECT_NE(a.value("detail", "").find("not trusted"), std::string::npos) << a.dump();
    EXPECT_FALSE(h.exists(h.home + "\\.claude\\.login-pending\\codex-default.json"));
}

// The body of a JSON answer of credvane.exe, parsed.
json cgi_answer(const cgi::result& r) {
    const std::size_t body = r.out.find("\r\n\r\n");
    EXPECT_EQ(r.out.compare(0, cgi::json_head.size(), cgi::json_head), 0) << r.out;
    if (body == std::string::npos) return json::value_t::discarded;
    return json::parse(r.out.substr(body + 4), nullptr, false);
}

TEST_F(SigninRoad, CredvaneSignsInThroughItsOwnClis) {
    // credvane.exe runs both programs as its CLIs and hands them CREDVANE_ISSUER.
    h.env["CODEX_LOGIN_BIN"] = cgi::exe_dir() + "credvane-login.exe";
    h.env["CODEX_REFRESH_BIN"] = cgi::exe_dir() + "credvane-refresh.exe";
    const json started = cgi_answer(h.run("action=start"));
    ASSERT_EQ(started.value("ok", false), true) << started.dump();
    EXPECT_EQ(started.value("verify_url", ""), issuer_url() + "/codex/device");
    control("/test/approve", {{"user_code", started.value("user_code", "")}});
    const json done = cgi_answer(h.run("action=poll"));
    EXPECT_EQ(done.value("state", ""), "done") << done.dump();
    EXPECT_EQ(done.value("logged_in", false), true) << done.dump();
    EXPECT_EQ(done.value("account_id", ""), "acct-standin-0001") << done.dump();
    // Tokens that live two hours from here on: credvane takes a refresh as done only when
    // the expiry moved later, and one within the same second as the login would not.
    control("/test/config", {{"token_lifetime", 7200}});
    const json refreshed = cgi_answer(h.run("action=refresh"));
    control("/test/config", {{"token_lifetime", 3600}});
    EXPECT_EQ(refreshed.value("refreshed", false), true) << refreshed.dump();
    EXPECT_EQ(refreshed.value("logged_in", false), true) << refreshed.dump();
}

// ---- Readers and the Codex CLI's write -----------------------------------------------------

// A writer as the Codex CLI is on Windows: the whole range of auth.lock, exclusively, then a
// plain MoveFileExW over auth.json, tried once.
struct codex_writer {
    HANDLE lock = INVALID_HANDLE_VALUE;
    std::wstring dir;
    bool moved = false;
    DWORD move_error = 0;

    bool take(bool wait) {
        lock = CreateFileW((dir + L"\\auth.lock").c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (lock == INVALID_HANDLE_VALUE) return false;
        OVERLAPPED at{};
        const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
        if (LockFileEx(lock, flags, 0, MAXDWORD, MAXDWORD, &at)) return true;
        CloseHandle(lock);
        lock = INVALID_HANDLE_VALUE;
        return false;
    }
    void write(const std::string& text) {
        const std::wstring temp = dir + L"\\.auth-codex";
        HANDLE f = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD n = 0;
        WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &n, nullptr);
        CloseHandle(f);
        moved = MoveFileExW(temp.c_str(), (dir + L"\\auth.json").c_str(),
                            MOVEFILE_REPLACE_EXISTING) != FALSE;
        move_error = moved ? 0 : GetLastError();
    }
    void release() {
        if (lock == INVALID_HANDLE_VALUE) return;
        OVERLAPPED at{};
        UnlockFileEx(lock, 0, MAXDWORD, MAXDWORD, &at);
        CloseHandle(lock);
        lock = INVALID_HANDLE_VALUE;
    }
    ~codex_writer() { release(); }
};

codex_writer* waiting_writer = nullptr;
int reader_waits = 0;

// Called while a reader waits for auth.lock: the writer does its write and lets go.
void writer_finishes() {
    ++reader_waits;
    if (waiting_writer != nullptr && waiting_writer->lock != INVALID_HANDLE_VALUE) {
        waiting_writer->write(R"({"OPENAI_API_KEY":null,"tokens":{"access_token":"new"}})");
        waiting_writer->release();
    }
}

TEST_F(SigninFiles, TheStatusReadWaitsForTheCodexCliWriteInsteadOfBreakingIt) {
    ASSERT_TRUE(credvane::authfile::write(file(), R"({"OPENAI_API_KEY":"sk-old"})"));
    codex_writer writer;
    writer.dir = wide(dir());
    ASSERT_TRUE(writer.take(true));
    waiting_writer = &writer;
    reader_waits = 0;
    credvane::platform::win32_testing::set_read_lock_wait_hook(writer_finishes);
    credvane::login_status st{};
    const bool read = credvane::scan_creds_file(file().c_str(), st);
    credvane::platform::win32_testing::set_read_lock_wait_hook(nullptr);
    waiting_writer = nullptr;
    ASSERT_TRUE(read);
    EXPECT_GT(reader_waits, 0) << "the read did not wait for the writer's lock";
    EXPECT_TRUE(writer.moved) << "the writer's replace failed: error " << writer.move_error;
    EXPECT_EQ(st.api_key_present, 0) << "the read took the old file";
}

TEST_F(SigninFiles, AReaderKeepsTheCodexCliOutOnlyWhileItReads) {
    ASSERT_TRUE(credvane::authfile::write(file(), "{}"));
    codex_writer writer;
    writer.dir = wide(dir());
    {
        const credvane::platform::credential_read_lock reading(file().c_str());
        ASSERT_TRUE(reading.held());
        // Readers share it; a writer (the Codex CLI's whole range, or our own first byte)
        // waits until the reader is done.
        const credvane::platform::credential_read_lock other(file().c_str());
        EXPECT_TRUE(other.held());
        EXPECT_FALSE(writer.take(false));
        EXPECT_FALSE(credvane::platform::file_lock::acquire((dir() + "\\auth.lock").c_str(),
                                                            credvane::platform::monotonic_ms())
                         .held());
    }
    EXPECT_TRUE(writer.take(false));
    writer.release();
    // A named account file's readers lock the same file beside it.
    const credvane::platform::credential_read_lock named((dir() + "\\work.json").c_str());
    EXPECT_TRUE(named.held());
    EXPECT_FALSE(writer.take(false));
}

TEST_F(SigninFiles, AWriterThatHoldsItsLockLongIsWaitedForOnlyBriefly) {
    ASSERT_TRUE(credvane::authfile::write(file(), R"({"OPENAI_API_KEY":"sk-kept"})"));
    // A sign-in program holds the lock through its request to the issuer: the status read
    // goes on without the lock rather than waiting as long.
    const credvane::authfile::locks held(file(), credvane::platform::monotonic_ms() + 1000);
    ASSERT_TRUE(held.held());
    credvane::login_status st{};
    ASSERT_TRUE(credvane::scan_creds_file(file().c_str(), st));
    EXPECT_EQ(st.api_key_present, 1);
}

// ---- The access rules of a written file ----------------------------------------------------

// The DACL of a file in SDDL, with whether it is protected from inheritance.
std::string dacl_of(const std::string& path) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetNamedSecurityInfoW(wide(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, nullptr, nullptr, &sd) != ERROR_SUCCESS) {
        return "(unreadable)";
    }
    LPWSTR text = nullptr;
    std::string out = "(no text)";
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(
            sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
        out = cgi::narrow(text);
        LocalFree(text);
    }
    LocalFree(sd);
    return out;
}

std::string my_sid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
    std::string out;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    if (GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
        LPWSTR text = nullptr;
        if (ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
            out = cgi::narrow(text);
            LocalFree(text);
        }
    }
    CloseHandle(token);
    return out;
}

bool set_dacl(const std::string& path, const std::string& sddl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(wide(sddl).c_str(), SDDL_REVISION_1,
                                                              &sd, nullptr)) {
        return false;
    }
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
    std::wstring w = wide(path);
    const bool ok =
        SetNamedSecurityInfoW(w.data(), SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
    LocalFree(sd);
    return ok;
}

// Whether this system keeps a file's DACL as it is given. wine keeps it only where the file
// system holds extended attributes; elsewhere it maps a DACL to mode bits and back.
bool dacls_kept_whole(const std::string& dir, const std::string& sid) {
    const std::string probe = dir + "\\dacl-probe";
    HANDLE f = CreateFileW(wide(probe).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    CloseHandle(f);
    const std::string given = "D:P(A;;FA;;;" + sid + ")";
    const bool kept = set_dacl(probe, given) && dacl_of(probe) == given;
    DeleteFileW(wide(probe).c_str());
    return kept;
}

TEST_F(SigninFiles, ANewFileIsItsOwnersOnly) {
    const std::string sid = my_sid();
    ASSERT_FALSE(sid.empty());
    ASSERT_TRUE(credvane::platform::make_private_dirs(dir().c_str()));
    const bool whole = dacls_kept_whole(dir(), sid);
    for (const std::string& path : {file(), dir() + "\\marker.json"}) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(credvane::platform::replace_file(path.c_str(), ".t-", "{}"));
        const std::string dacl = dacl_of(path);
        // Nobody else: not everyone, not the machine's users, not every signed-in user.
        for (const char* other : {";;;WD)", ";;;BU)", ";;;AU)"}) {
            EXPECT_EQ(dacl.find(other), std::string::npos) << dacl;
        }
        EXPECT_NE(dacl.find(";;;" + sid + ")"), std::string::npos) << dacl;
        // Where the system keeps a DACL whole: protected from the folder's rules, one entry
        // giving this user full access.
        if (whole) {
            EXPECT_EQ(dacl, "D:P(A;;FA;;;" + sid + ")");
        }
    }
}

TEST_F(SigninFiles, AReplacementKeepsTheRulesTheOldFileWasGiven) {
    const std::string sid = my_sid();
    ASSERT_FALSE(sid.empty());
    ASSERT_TRUE(credvane::authfile::write(file(), "{}"));
    // Narrowed by hand: this user may read and write, SYSTEM may read, nobody else anything.
    const std::string narrowed = "D:P(A;;FR;;;SY)(A;;FRFW;;;" + sid + ")";
    ASSERT_TRUE(set_dacl(file(), narrowed));
    const std::string before = dacl_of(file());
    ASSERT_NE(before, "(unreadable)");
    ASSERT_TRUE(credvane::authfile::write(file(), R"({"a":1})"));
    EXPECT_EQ(h.read(file()), R"({"a":1})");
    EXPECT_EQ(dacl_of(file()), before);
}

// ---- Links -------------------------------------------------------------------------------

TEST_F(SigninFiles, AHardLinkedFileIsRefusedAndLeftAsItWas) {
    ASSERT_TRUE(credvane::authfile::write(file(), "linked"));
    const std::string other = h.path("elsewhere.json");
    ASSERT_TRUE(CreateHardLinkW(wide(other).c_str(), wide(file()).c_str(), nullptr));
    // Replacing it would split the two names silently; the Codex CLI refuses it too.
    EXPECT_FALSE(credvane::authfile::write(file(), "split"));
    EXPECT_EQ(h.read(file()), "linked");
    EXPECT_EQ(h.read(other), "linked");
    EXPECT_EQ(entries_in(dir()), 1u) << "no temporary file stays";
}

TEST_F(SigninFiles, ASymbolicLinkIsWrittenThroughToItsTarget) {
    const std::string target_dir = h.folder("real place");
    const std::string target = target_dir + "\\auth.json";
    ASSERT_TRUE(credvane::authfile::write(target, "old"));
    ASSERT_TRUE(credvane::platform::make_private_dirs(dir().c_str()));
    if (!CreateSymbolicLinkW(wide(file()).c_str(), wide(target).c_str(), 0)) {
        GTEST_SKIP() << "this system makes no symbolic link (error " << GetLastError() << ")";
    }
    if (!h.exists(file()) || h.read(file()) != "old") {
        // wine 8 makes the link but does not follow it.
        GTEST_SKIP() << "this system's symbolic links do not lead to their target";
    }
    ASSERT_TRUE(credvane::authfile::write(file(), "new"));
    EXPECT_EQ(h.read(target), "new") << "the target is written";
    const DWORD attrs = GetFileAttributesW(wide(file()).c_str());
    ASSERT_NE(attrs, INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(attrs & FILE_ATTRIBUTE_REPARSE_POINT, 0u) << "the link stays a link";
    EXPECT_EQ(h.read(file()), "new");
}

// ---- The issuer's time ---------------------------------------------------------------------

TEST_F(SigninRoad, AnIssuerThatDripsItsAnswerIsLeftWhenTheRunsTimeIsUp) {
    sign_in();
    const std::string kept = h.read(auth());
    // Two seconds for the run; an answer of 1,000 bytes, one every 50 ms, takes 50.
    h.env["CREDVANE_CLI_TIMEOUT"] = "3";
    const std::string body(1000, ' ');
    for (const bool head : {true, false}) {
        SCOPED_TRACE(head ? "the head drips" : "the body drips");
        control("/test/fault", {{"path", "/oauth/token"},
                                {"status", 200},
                                {"body", body},
                                {"drip_ms", 50},
                                {"drip_head", head}});
        const ULONGLONG start = GetTickCount64();
        const json a = refresh();
        const ULONGLONG took = GetTickCount64() - start;
        EXPECT_EQ(a.value("error", ""), "refresh_failed") << a.dump();
        EXPECT_NE(a.value("detail", "").find("in time"), std::string::npos) << a.dump();
        // The run's two seconds, and the start of a program under wine on a loaded machine.
        EXPECT_LT(took, 12000u);
        EXPECT_EQ(h.read(auth()), kept);
    }
}

TEST_F(SigninRoad, AProxysDemandForASignInIsNotTakenForTheIssuersRefusal) {
    sign_in();
    const std::string kept = h.read(auth());
    // What an https request through a proxy that wants credentials gets back.
    control("/test/fault",
            {{"path", "/oauth/token"}, {"status", 407}, {"body", "proxy sign-in needed"}});
    const json a = refresh();
    EXPECT_EQ(a.value("error", ""), "refresh_failed") << a.dump();
    EXPECT_NE(a.value("detail", "").find("proxy asked for a sign-in (407)"), std::string::npos)
        << a.dump();
    EXPECT_EQ(h.read(auth()), kept);
}

}  // namespace

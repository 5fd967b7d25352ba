// signin_test.cc: what only Windows shows of credvane-login.exe and credvane-refresh.exe
// and the file services they stand on: sharing, locks, access rules and links of the
// credential file, WinHTTP's certificate and proxy answers. The cases both platforms share
// are in tests/signin/cases_test.cc, built into this suite too.
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
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/platform.h"
#include "platform/win32_testing.h"
#include "signin/authfile.h"
#include "signin/http.h"
#include "store/creds.h"
#include "store/login_status.h"
#include "tests/cgi/harness.h"
#include "tests/signin/harness.h"

namespace signin_test {
namespace {

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
    HANDLE f = CreateFileW(from.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
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
    EXPECT_EQ(
        a.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
        std::string::npos);
}

TEST(SigninTls, AnIssuerWhoseCertificateIsNotTrustedIsRefused) {
    const char* url = std::getenv("CREDVANE_TEST_UNTRUSTED_ISSUER");
    ASSERT_NE(url, nullptr)
        << "CREDVANE_TEST_UNTRUSTED_ISSUER is not set: run this suite through tests/wine/run.sh";
    cgi::host h;
    h.env["CREDVANE_ISSUER"] = url;
    const json a = answer_of(h.exec(cgi::exe_dir() + "credvane-login.exe", {"--start"}));
    EXPECT_EQ(a.value("error", ""), "start_failed") << a.dump();
    EXPECT_NE(a.value("detail", "").find("not trusted"), std::string::npos) << a.dump();
    EXPECT_FALSE(h.exists(h.home + "\\.claude\\.login-pending\\codex-default.json"));
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

// ---- Libraries ---------------------------------------------------------------------------

// Windows looks for a DLL in a program's own folder before System32; wine prefers its own
// builtin DLL unless its registry says to look for a native one first, as Windows does. Every
// process of the prefix reads that setting at its start; it holds while this object lives.
class native_dlls_first {
  public:
    explicit native_dlls_first(std::initializer_list<const wchar_t*> names) : names_(names) {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        if (ntdll == nullptr || GetProcAddress(ntdll, "wine_get_version") == nullptr) return;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\DllOverrides", 0, nullptr, 0,
                            KEY_SET_VALUE, nullptr, &key_, nullptr) != ERROR_SUCCESS) {
            key_ = nullptr;
            return;
        }
        static const wchar_t order[] = L"native,builtin";
        for (const wchar_t* name : names_) {
            RegSetValueExW(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(order),
                           sizeof order);
        }
    }
    ~native_dlls_first() {
        if (key_ == nullptr) return;
        for (const wchar_t* name : names_) RegDeleteValueW(key_, name);
        RegCloseKey(key_);
    }
    native_dlls_first(const native_dlls_first&) = delete;
    native_dlls_first& operator=(const native_dlls_first&) = delete;

  private:
    std::vector<const wchar_t*> names_;
    HKEY key_ = nullptr;
};

// A DLL named like a system library the programs use, planted beside them by an account that
// may write there, is never loaded: all three programs take their libraries from System32.
TEST_F(Signin, ADllPlantedBesideTheProgramsIsNotLoaded) {
    const std::string dir = h.folder("planted bin");
    for (const char* exe : {"credvane.exe", "credvane-login.exe", "credvane-refresh.exe"}) {
        ASSERT_TRUE(
            CopyFileW(wide(cgi::exe_dir() + exe).c_str(), wide(dir + "\\" + exe).c_str(), FALSE));
    }
    const std::string planted[] = {"bcrypt.dll", "winhttp.dll"};
    for (const std::string& dll : planted) {
        ASSERT_TRUE(CopyFileW(wide(cgi::exe_dir() + "credvane_planted.dll").c_str(),
                              wide(dir + "\\" + dll).c_str(), FALSE));
    }
    const native_dlls_first as_windows({L"bcrypt", L"winhttp"});
    h.env["CODEX_LOGIN_BIN"] = dir + "\\credvane-login.exe";
    h.env["CODEX_REFRESH_BIN"] = dir + "\\credvane-refresh.exe";
    // credvane runs each program (a random pipe name); they call the issuer and take random
    // bytes for their locks.
    const auto run = [&](const std::string& query) {
        h.env["QUERY_STRING"] = query;
        const cgi::result r = h.exec(dir + "\\credvane.exe", {});
        const std::size_t body = r.out.find("\r\n\r\n");
        const json a = body == std::string::npos
                           ? json()
                           : json::parse(r.out.substr(body + 4), nullptr, false);
        return a.is_object() ? a : json::object();
    };
    const auto none_loaded = [&] {
        for (const std::string& dll : planted)
            EXPECT_FALSE(h.exists(dir + "\\" + dll + ".loaded")) << dll << " was loaded";
    };
    const json started = run("action=start");
    none_loaded();
    ASSERT_EQ(started.value("ok", false), true) << started.dump();
    iss.control("/test/approve", {{"user_code", started.value("user_code", "")}});
    EXPECT_EQ(run("action=poll").value("state", ""), "done");
    iss.control("/test/config", {{"token_lifetime", 7200}});
    EXPECT_EQ(run("action=refresh").value("refreshed", false), true);
    none_loaded();
}

// ---- WinHTTP's answers ------------------------------------------------------------------

TEST_F(Signin, AProxysDemandForASignInIsNotTakenForTheIssuersRefusal) {
    sign_in();
    const std::string kept = h.read(auth());
    // What an https request through a proxy that wants credentials gets back.
    iss.fault(oauth_path, {{"status", 407}, {"body", "proxy sign-in needed"}});
    const json a = refresh_auth();
    EXPECT_EQ(a.value("error", ""), "refresh_failed") << a.dump();
    EXPECT_NE(a.value("detail", "").find("proxy asked for a sign-in (407)"), std::string::npos)
        << a.dump();
    EXPECT_EQ(h.read(auth()), kept);
}

}  // namespace
}  // namespace signin_test

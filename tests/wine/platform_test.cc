// platform_test.cc: the Windows platform layer on its own, run under wine.
#include "platform/platform.h"
#include "platform/files.h"

#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h, whose types it uses.
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32_security.h"
#include "platform/win32_testing.h"
#include "tests/cgi/harness.h"

namespace {

namespace platform = credvane::platform;

std::string quoted(const char* text, std::size_t cap) {
    std::vector<char> out(cap, '#');
    platform::shell_quote_into(text, out);
    return out.data();
}

TEST(ShellQuote, DoubleQuotesAndTheCutsOfTheCapacity) {
    const std::string long_name(600, 'n');
    struct row {
        const char* text;
        std::size_t cap;
        std::string want;
    };
    const row rows[] = {
        {"C:\\Program Files\\login.cmd", 64, "\"C:\\Program Files\\login.cmd\""},
        {nullptr, 8, "\"\""},
        {"", 3, "\"\""},
        {"abc", 3, "\"\""},
        {"abc", 5, "\"ab\""},
        {"say \"hi\"", 64, "\"say \\\"hi\\\"\""},
        // An escaped quote goes in whole or not at all.
        {"a\"b", 5, "\"a\""},
        {"a\"b", 6, "\"a\\\"\""},
        // Nothing but the quote is escaped: cmd.exe metacharacters stay as they are.
        {"50% & <x> | ^y", 64, "\"50% & <x> | ^y\""},
        {long_name.c_str(), 512, "\"" + std::string(509, 'n') + "\""},
    };
    for (const row& r : rows) {
        EXPECT_EQ(quoted(r.text, r.cap), r.want) << (r.text ? r.text : "(null)") << " " << r.cap;
    }
}

// Sets a variable for one test and takes it away afterwards.
struct scoped_env {
    const char* name;
    scoped_env(const char* n, const std::string& value) : name(n) {
        SetEnvironmentVariableA(n, value.c_str());
    }
    ~scoped_env() { SetEnvironmentVariableA(name, nullptr); }
};

TEST(HomeEnv, OnlyAWholeNonEmptyValueCounts) {
    struct row {
        std::string value;
        bool set;
        bool usable;
    };
    const row rows[] = {
        {"C:\\Users\\ops", true, true},
        {std::string(511, 'h'), true, true},
        {std::string(512, 'h'), true, false},  // needs 513 bytes: the API reports the size
        {"", true, false},
        {"", false, false},
    };
    for (const row& r : rows) {
        SetEnvironmentVariableA("CREDVANE_TEST_HOME", nullptr);
        if (r.set) SetEnvironmentVariableA("CREDVANE_TEST_HOME", r.value.c_str());
        std::array<char, 512> out{};
        out.fill('#');
        EXPECT_EQ(platform::home_env("CREDVANE_TEST_HOME", out), r.usable) << r.value.size();
        if (r.usable) {
            EXPECT_EQ(std::string(out.data()), r.value);
        }
    }
    SetEnvironmentVariableA("CREDVANE_TEST_HOME", nullptr);
}

// Every value reaches credvane in UTF-8, whatever the ANSI code page holds; a value with
// no UTF-8 form (a lone surrogate) is no value, but a node password of that kind can
// never be matched rather than letting everyone in.
TEST(Env, ValuesArriveInUtf8AndOnlyWholeOnes) {
    struct row {
        const wchar_t* name;
        const wchar_t* value;  // null: not defined
        const char* want;      // null: env answers null
    };
    const row rows[] = {
        {L"CREDVANE_TEST_V", L"\u5bc6\u7801\u5bc6\u7801", "\u5bc6\u7801\u5bc6\u7801"},
        {L"CREDVANE_TEST_V", L"C:\\Users\\\u0141ukasz \u4e2d", "C:\\Users\\\u0141ukasz \u4e2d"},
        {L"CREDVANE_TEST_V", L"\U0001F600", "\U0001F600"},
        {L"CREDVANE_TEST_V", L"", ""},
        {L"CREDVANE_TEST_V", nullptr, nullptr},
        {L"CREDVANE_TEST_V", L"a\xD800z", nullptr},
        {L"CREDVANE_TEST_V", L"\xDC00", nullptr},
        {L"BOT_PASSWORD", L"\xD800\xD800\xD800\xD800", "\xff"},
        {L"bot_password", L"\xD800", "\xff"},
        {L"BOT_PASSWORD", L"\u5bc6", "\u5bc6"},
    };
    for (const row& r : rows) {
        SetEnvironmentVariableW(r.name, r.value);
        const std::string name = cgi::narrow(r.name);
        const char* got = platform::env(name.c_str());
        if (r.want == nullptr) {
            EXPECT_EQ(got, nullptr) << name;
        } else {
            ASSERT_NE(got, nullptr) << name;
            EXPECT_EQ(std::string(got), r.want) << name;
        }
        SetEnvironmentVariableW(r.name, nullptr);
    }
    EXPECT_EQ(platform::env("CREDVANE_TEST_V"), nullptr);
}

TEST(Env, AValueHandedOutStaysValidWhenTheVariableChanges) {
    SetEnvironmentVariableW(L"CREDVANE_TEST_V", L"first");
    const char* first = platform::env("CREDVANE_TEST_V");
    SetEnvironmentVariableW(L"CREDVANE_TEST_V", L"second");
    const char* second = platform::env("CREDVANE_TEST_V");
    SetEnvironmentVariableW(L"CREDVANE_TEST_V", nullptr);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_STREQ(first, "first");
    EXPECT_STREQ(second, "second");
}

TEST(HomeEnv, TheUtf8FormMustFitWhole) {
    const std::wstring fits(170, L'\u4e2d');      // 510 bytes in UTF-8, 511 with the terminator
    const std::wstring too_long(171, L'\u4e2d');  // 513 bytes
    struct row {
        std::wstring value;
        bool usable;
    };
    const row rows[] = {{fits, true}, {too_long, false}, {L"C:\\\xD800", false}};
    for (const row& r : rows) {
        SetEnvironmentVariableW(L"CREDVANE_TEST_HOME", r.value.c_str());
        std::array<char, 512> out{};
        EXPECT_EQ(platform::home_env("CREDVANE_TEST_HOME", out), r.usable) << r.value.size();
        if (r.usable) {
            EXPECT_EQ(std::string(out.data()), cgi::narrow(r.value));
        }
    }
    SetEnvironmentVariableW(L"CREDVANE_TEST_HOME", nullptr);
}

class Files : public ::testing::Test {
  protected:
    cgi::host h;
};

// The accounts listing: one entry at a time in the system's order, the folder flag from
// the search itself, and no more entries read than the bound. The search pattern also
// matches 8.3 short names, so only names that themselves end in ".json" may come.
TEST_F(Files, JsonDirGivesEntriesWithinTheBound) {
    for (const char* name :
         {"b.json", "a.json", "C.JSON", ".json", "notes.txt", "d.jsonl", "e.json.bak", "f.jso"}) {
        h.write(std::string("accts\\") + name, "{}");
    }
    std::filesystem::create_directories(h.root + "\\accts\\x.json");
    std::vector<std::string> got;
    platform::json_dir listing((h.root + "\\accts").c_str(), 1000);
    while (const char* name = listing.next())
        got.push_back(name + std::string(listing.is_dir() ? "/" : ""));
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{".json", "C.JSON", "a.json", "b.json", "x.json/"}));

    for (int i = 0; i < 100; ++i) h.write("many\\f" + std::to_string(i) + ".json", "{}");
    platform::json_dir bounded((h.root + "\\many").c_str(), 60);
    std::size_t n = 0;
    while (bounded.next() != nullptr) ++n;
    EXPECT_EQ(n, 60u);
    EXPECT_EQ(bounded.next(), nullptr);
    platform::json_dir none((h.root + "\\none").c_str(), 1000);
    EXPECT_EQ(none.next(), nullptr);
}

// A file is read in pieces from its start to the size it had when opened.
TEST_F(Files, RegularFileReadsInPieces) {
    std::string content;
    for (int i = 0; content.size() < 200000; ++i) content += std::to_string(i) + ",";
    const std::string file = h.write("big.json", content);
    platform::regular_file f(file.c_str(), content.size());
    ASSERT_TRUE(f.is_open());
    std::string got;
    std::vector<char> piece(65536);
    for (;;) {
        const std::optional<std::size_t> n = f.read(piece);
        ASSERT_TRUE(n);
        if (*n == 0) break;
        got.append(piece.data(), *n);
    }
    EXPECT_EQ(got, content);
    EXPECT_FALSE(platform::regular_file(file.c_str(), content.size() - 1).is_open());
    EXPECT_FALSE(platform::regular_file("NUL", 64).is_open());
}

TEST_F(Files, OnlyADiskFileIsReadAndNothingBlocks) {
    const std::string file = h.write("f.json", "{\"a\":1}\r\n");
    EXPECT_EQ(platform::read_regular_file(file.c_str(), 64), "{\"a\":1}\r\n");
    EXPECT_EQ(platform::read_regular_file(file.c_str(), 9), "{\"a\":1}\r\n");
    EXPECT_FALSE(platform::read_regular_file(file.c_str(), 8));
    EXPECT_EQ(platform::read_regular_file(h.write("empty", "").c_str(), 8), "");
    // A pipe whose writer never writes, and the console: reading either would hang.
    const char* pipe_name = "\\\\.\\pipe\\credvane-read-test";
    const HANDLE server = CreateNamedPipeA(pipe_name, PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE, 1, 4096,
                                           4096, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    for (const std::string& path : {h.root, h.root + "\\missing", std::string("NUL"),
                                    std::string("CON"), std::string(pipe_name), std::string()}) {
        EXPECT_FALSE(platform::read_regular_file(path.c_str(), 1 << 20)) << path;
    }
    CloseHandle(server);
}

TEST_F(Files, NonDirectoryTest) {
    const std::string file = h.write("f", "x");
    EXPECT_TRUE(platform::is_non_directory(file.c_str()));
    EXPECT_FALSE(platform::is_non_directory(h.root.c_str()));
    EXPECT_FALSE(platform::is_non_directory((h.root + "\\missing").c_str()));
    EXPECT_FALSE(platform::is_non_directory(""));
    EXPECT_TRUE(platform::remove_file(file.c_str()));
    EXPECT_FALSE(platform::is_non_directory(file.c_str()));
    EXPECT_FALSE(platform::remove_file(file.c_str()));
}

// Whether a file could be made in a folder is found by trying, or for the self-check by the
// rights alone: either leaves nothing behind, a folder yet to be made is judged by its
// parent, and a file in the way is named.
TEST_F(Files, FolderWriteProblemTriesAndLeavesNothing) {
    for (auto* judge : {&platform::folder_write_problem, &platform::folder_write_access}) {
        const std::string dir = h.root + "\\probe";
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        EXPECT_EQ(judge(dir.c_str()), "");
        EXPECT_EQ(judge((dir + "\\not\\yet\\").c_str()), "");
        EXPECT_TRUE(std::filesystem::is_empty(dir));
        const std::string file = h.write("probe\\plain", "x");
        EXPECT_EQ(judge((file + "\\below").c_str()), file + " is not a folder");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
    }
}

// The self-check names the user it runs as by its account and SID, and a folder's owner.
TEST_F(Files, TheUserAndAFoldersOwnerAreNamed) {
    const platform::user_facts me = platform::current_user();
    EXPECT_FALSE(me.name.empty());
    EXPECT_EQ(me.id.rfind("S-1-", 0), 0u) << me.id;
    EXPECT_FALSE(me.superuser);
    const auto owner = platform::owner_of(h.root.c_str());
    ASSERT_TRUE(owner.has_value());
    EXPECT_FALSE(owner->owner.empty());
    EXPECT_FALSE(platform::owner_of((h.root + "\\missing").c_str()).has_value());
}

// ---- Who may change a credential folder --------------------------------------------------

struct local_sd {
    PSECURITY_DESCRIPTOR sd = nullptr;
    explicit local_sd(const std::wstring& sddl) {
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                  &sd, nullptr)) {
            sd = nullptr;
        }
    }
    ~local_sd() { LocalFree(sd); }
    local_sd(const local_sd&) = delete;
    local_sd& operator=(const local_sd&) = delete;
};

// The judgement alone, over descriptors as SDDL: a folder is fine when it belongs to its
// user, LocalSystem or the administrators and nobody else may add or delete files in it or
// change its rules or owner.
TEST(FolderRules, OnlyTheUserSystemAndAdministratorsMayChangeIt) {
    const std::wstring me = L"S-1-5-21-1111-2222-3333-1001";
    const std::wstring pool = L"S-1-5-82-1000-2000-3000-4000-5000";  // an IIS pool identity
    const std::wstring other = L"S-1-5-21-1111-2222-3333-1002";
    const std::string own = "";
    const std::string foreign = "belongs to another user";
    const std::string open =
        "may be changed by other users (its access rules let another "
        "account add or delete files in it, or change its rules or owner)";
    const std::string everyone = "may be changed by everyone (it has no access rules)";
    struct row {
        std::wstring user;
        std::wstring sddl;
        std::string want;
    };
    const std::wstring mine = L"D:P(A;OICI;FA;;;" + me + L")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    const row rows[] = {
        // As make_private_dirs makes it, owned by each trusted owner.
        {me, L"O:" + me + mine, own},
        {me, L"O:SY" + mine, own},
        {me, L"O:BA" + mine, own},
        {me, L"O:" + other + mine, foreign},
        {me, mine, foreign},  // no owner named
        {me, L"O:" + me, everyone},
        // A folder made under C:\ inherits modify for every signed-in user.
        {me,
         L"O:" + me +
             L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
             L"(A;OICIID;0x1301bf;;;AU)",
         open},
        // C:\ itself passes that on only (inherit-only), and reading is no change.
        {me, L"O:" + me + mine + L"(A;OICIIO;SDGXGWGR;;;AU)(A;OICI;FR;;;BU)", own},
        // Each right that changes a folder, to everyone or to another account.
        {me, L"O:" + me + mine + L"(A;;0x2;;;WD)", open},               // add a file
        {me, L"O:" + me + mine + L"(A;;0x4;;;WD)", open},               // add a folder
        {me, L"O:" + me + mine + L"(A;;0x40;;;" + other + L")", open},  // delete a child
        {me, L"O:" + me + mine + L"(A;;WD;;;AU)", open},                // change its rules
        {me, L"O:" + me + mine + L"(A;;WO;;;AU)", open},                // take it over
        {me, L"O:" + me + mine + L"(A;;GW;;;WD)", open},                // generic write, mapped
        {me, L"O:" + me + mine + L"(A;;GA;;;BU)", open},
        // A denial grants nothing, whatever its place.
        {me, L"O:" + me + L"D:P(D;;FA;;;WD)(A;;FA;;;" + me + L")", own},
        // CREATOR OWNER and OWNER RIGHTS stand for the owner.
        {me, L"O:" + me + mine + L"(A;;FA;;;CO)(A;;FA;;;OW)", own},
        // The IIS recipe: the pool modifies its home, the administrators own it.
        {pool, L"O:BAD:P(A;OICI;0x1301bf;;;" + pool + L")(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)", own},
        // Two accounts that each run credvane in one home could change each other's tokens.
        {pool,
         L"O:BAD:P(A;OICI;0x1301bf;;;" + pool + L")(A;OICI;0x1301bf;;;" + other +
             L")(A;OICI;FA;;;BA)",
         open},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::string(r.sddl.begin(), r.sddl.end()));
        const local_sd sd(r.sddl);
        ASSERT_NE(sd.sd, nullptr);
        PSID user = nullptr;
        ASSERT_TRUE(ConvertStringSidToSidW(r.user.c_str(), &user));
        EXPECT_EQ(platform::win32::folder_rules_problem(sd.sd, user), r.want);
        LocalFree(user);
    }
    // A null DACL, built by hand (wine's SDDL parser reads "D:NO_ACCESS_CONTROL" as an empty
    // DACL, which lets nobody in): everyone may do anything.
    PSID user = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(me.c_str(), &user));
    SECURITY_DESCRIPTOR null_dacl{};
    ASSERT_TRUE(InitializeSecurityDescriptor(&null_dacl, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorOwner(&null_dacl, user, FALSE));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&null_dacl, TRUE, nullptr, FALSE));
    EXPECT_EQ(platform::win32::folder_rules_problem(&null_dacl, user), everyone);
    LocalFree(user);
}

// The same judgement over a real folder, as the sign-in programs ask before anything is sent.
TEST_F(Files, AFolderOthersMayWriteIsRefused) {
    const std::string dir = h.root + "\\creds";
    ASSERT_TRUE(platform::make_private_dirs(dir.c_str()));
    EXPECT_EQ(platform::unsafe_folder(dir.c_str()), "");
    EXPECT_EQ(platform::unsafe_folder((dir + "\\not yet").c_str()), "");
    const std::string file = h.write("creds\\auth.json", "{}");
    EXPECT_EQ(platform::unsafe_folder(file.c_str()), file + " is not a folder");
    ASSERT_TRUE(cgi::grant_everyone_write(dir));
    EXPECT_EQ(platform::unsafe_folder(dir.c_str()),
              dir +
                  " may be changed by other users (its access rules let another account add "
                  "or delete files in it, or change its rules or owner)");
}

// Where a write goes: a missing file is the path itself, an existing one the file itself;
// a file with a second name is refused in the words POSIX uses, before anything is written.
TEST_F(Files, TheWriteTargetIsJudgedBeforeTheWrite) {
    const std::string dir = h.root + "\\target";
    ASSERT_TRUE(platform::make_private_dirs(dir.c_str()));
    const std::string missing = dir + "\\auth.json";
    std::string why;
    EXPECT_EQ(platform::write_target(missing.c_str(), &why), missing);
    const std::string file = h.write("target\\auth.json", "{}");
    const std::optional<std::string> found = platform::write_target(file.c_str(), &why);
    ASSERT_TRUE(found);
    EXPECT_TRUE(std::filesystem::equivalent(cgi::widen(*found), cgi::widen(file))) << *found;
    EXPECT_EQ(platform::write_target(dir.c_str(), &why), std::nullopt);
    EXPECT_EQ(why, dir + " is not a regular file");
    const std::string second = dir + "\\second name.json";
    ASSERT_TRUE(CreateHardLinkW(cgi::widen(second).c_str(), cgi::widen(file).c_str(), nullptr));
    why.clear();
    EXPECT_EQ(platform::write_target(file.c_str(), &why), std::nullopt);
    EXPECT_NE(why.find(" has other hard links; refusing to write it"), std::string::npos) << why;
}

// Whether a waiting lock request can be cancelled is found by behaviour. Windows can: there
// file_lock waits in the system, and FileLock's tests in tests/platform run that path. wine
// grants the cancelled request instead, so there the lock is asked for again and again.
TEST_F(Files, WaitingLocksAreUsedWhereTheSystemCancelsThem) {
    const std::string lock = h.root + "\\probe.lock";
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const bool wine = ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    EXPECT_EQ(platform::win32_testing::lock_waits_supported(lock.c_str()), !wine);
    EXPECT_EQ(std::filesystem::file_size(cgi::widen(lock)), 0u) << "the probe writes nothing";
}

TEST_F(Files, NamesOutsideTheCodePageAreReadListedAndRemovedInUtf8) {
    const std::string dir = h.root + "\\\u0141ukasz \u4e2d";
    const std::string file =
        h.write("\u0141ukasz \u4e2d\\\u017c\u00f3\u0142w \u00e9.json", "{\"k\":1}");
    h.write("\u0141ukasz \u4e2d\\plain.json", "{}");
    EXPECT_TRUE(platform::is_non_directory(file.c_str()));
    EXPECT_EQ(platform::read_regular_file(file.c_str(), 64), "{\"k\":1}");
    std::vector<std::string> names;
    platform::json_dir listing(dir.c_str(), 1000);
    while (const char* name = listing.next()) names.push_back(name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"plain.json", "\u017c\u00f3\u0142w \u00e9.json"}));
    EXPECT_TRUE(platform::remove_file(file.c_str()));
    EXPECT_FALSE(h.exists(file));
    // Bytes that are not UTF-8 name no file.
    EXPECT_FALSE(platform::read_regular_file((h.root + "\\\xe9.json").c_str(), 64));
}

// Creates every folder of an extended-form path.
void make_long_dirs(const std::wstring& extended) {
    for (std::size_t at = extended.find(L'\\', 7); at != std::wstring::npos;
         at = extended.find(L'\\', at + 1)) {
        CreateDirectoryW(extended.substr(0, at).c_str(), nullptr);
    }
    CreateDirectoryW(extended.c_str(), nullptr);
}

TEST_F(Files, PathsBeyondMaxPathWork) {
    // A folder chain of about 400 characters, as a 511-byte home can need.
    std::string dir = h.root;
    for (int i = 0; i < 8; ++i) dir += "\\" + std::string(45, static_cast<char>('a' + i));
    ASSERT_GT(dir.size() + 20, 400u);
    make_long_dirs(L"\\\\?\\" + cgi::widen(dir));
    const std::string file = dir + "\\auth.json";
    {
        const HANDLE f = CreateFileW(cgi::widen("\\\\?\\" + file).c_str(), GENERIC_WRITE, 0,
                                     nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(f, INVALID_HANDLE_VALUE);
        DWORD n = 0;
        WriteFile(f, "{\"long\":1}", 10, &n, nullptr);
        CloseHandle(f);
    }
    EXPECT_TRUE(platform::is_non_directory(file.c_str()));
    EXPECT_FALSE(platform::is_non_directory(dir.c_str()));
    EXPECT_EQ(platform::read_regular_file(file.c_str(), 64), "{\"long\":1}");
    // Forward slashes and ".." are the plain form's normalisation, kept for long paths.
    std::string odd = dir + "/x/../auth.json";
    EXPECT_EQ(platform::read_regular_file(odd.c_str(), 64), "{\"long\":1}");
    platform::json_dir listing(dir.c_str(), 1000);
    const char* name = listing.next();
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(std::string(name), "auth.json");
    EXPECT_EQ(listing.next(), nullptr);
    EXPECT_TRUE(platform::remove_file(file.c_str()));
    EXPECT_FALSE(platform::is_non_directory(file.c_str()));
}

// wine opens long paths in their plain form too, so the form itself is what shows here
// that real Windows, with its MAX_PATH limit, will open them.
TEST(FilePath, LongPathsTakeTheExtendedForm) {
    const std::string seg(100, 's');
    const std::wstring wseg(100, L's');
    struct row {
        std::string path;
        std::wstring want;
    };
    const row rows[] = {
        {"C:\\short\\auth.json", L"C:\\short\\auth.json"},
        {"C:\\" + seg + "\\" + seg + "\\" + seg + "\\a.json",
         L"\\\\?\\C:\\" + wseg + L"\\" + wseg + L"\\" + wseg + L"\\a.json"},
        {"C:/" + seg + "/" + seg + "/x/../" + seg + "/./a.json",
         L"\\\\?\\C:\\" + wseg + L"\\" + wseg + L"\\" + wseg + L"\\a.json"},
        {"\\\\server\\share\\" + seg + "\\" + seg + "\\" + seg,
         L"\\\\?\\UNC\\server\\share\\" + wseg + L"\\" + wseg + L"\\" + wseg},
        {"//server/share/" + seg + "/../" + seg + "//" + seg + "/" + seg,
         L"\\\\?\\UNC\\server\\share\\" + wseg + L"\\" + wseg + L"\\" + wseg},
        {"C:\\" + seg + "\\..\\..\\..\\" + seg + "\\" + seg + "\\" + seg,
         L"\\\\?\\C:\\" + wseg + L"\\" + wseg + L"\\" + wseg},
        {"\\\\?\\C:\\" + seg + "\\" + seg + "\\" + seg,
         L"\\\\?\\C:\\" + wseg + L"\\" + wseg + L"\\" + wseg},
        {"C:\\\u4e2d\\" + seg + "\\" + seg + "\\" + seg,
         L"\\\\?\\C:\\\u4e2d\\" + wseg + L"\\" + wseg + L"\\" + wseg},
        // What the plain form trims goes before the prefix is added, which would keep it: a
        // segment's single trailing dot, the path's trailing dots and blanks.
        {"C:\\" + seg + ".\\" + seg + "\\" + seg + "\\a.json. . ",
         L"\\\\?\\C:\\" + wseg + L"\\" + wseg + L"\\" + wseg + L"\\a.json"},
        // A device name is the device, however long the folder before it.
        {"C:\\" + seg + "\\" + seg + "\\" + seg + "\\NUL", L"\\\\.\\NUL"},
        // Both device prefixes with any slashes are device paths, normalised as such.
        {"//?/C:/" + seg + "/x/../" + seg + "/" + seg,
         L"\\\\?\\C:\\" + wseg + L"\\" + wseg + L"\\" + wseg},
        {"\\\\./C:\\" + seg + "\\.\\" + seg + "\\" + seg,
         L"\\\\?\\C:\\" + wseg + L"\\" + wseg + L"\\" + wseg},
        {"/\\?\\C:\\" + seg + "\\" + seg + "\\" + seg + "\\y\\..",
         L"\\\\?\\C:\\" + wseg + L"\\" + wseg + L"\\" + wseg},
        // Exactly "\\?\": the caller's own extended form, as written.
        {"\\\\?\\C:\\" + seg + "\\..\\" + seg + "\\" + seg,
         L"\\\\?\\C:\\" + wseg + L"\\..\\" + wseg + L"\\" + wseg},
        {"", L""},
        {"C:\\\xff", L""},
    };
    for (const row& r : rows) {
        EXPECT_EQ(platform::win32_testing::file_path_for(r.path.c_str()), r.want) << r.path;
    }
}

// A relative path is measured where it leads: short as written, long from the current
// folder on.
TEST_F(Files, ARelativePathTakesTheExtendedFormByItsFullLength) {
    const std::string dir = h.root + "\\" + std::string(180, 'd');
    const std::string rel = std::string(60, 'r') + "\\auth.json";
    ASSERT_LT(rel.size(), 248u);
    make_long_dirs(L"\\\\?\\" + cgi::widen(dir + "\\" + std::string(60, 'r')));
    const std::string file = h.write(dir.substr(h.root.size() + 1) + "\\" + rel, "{\"rel\":1}");
    wchar_t old_dir[MAX_PATH + 1] = {};
    GetCurrentDirectoryW(MAX_PATH, old_dir);
    ASSERT_TRUE(SetCurrentDirectoryW(cgi::widen(dir).c_str()));
    const std::wstring path = platform::win32_testing::file_path_for(rel.c_str());
    const std::optional<std::string> text = platform::read_regular_file(rel.c_str(), 64);
    SetCurrentDirectoryW(old_dir);
    EXPECT_EQ(path, L"\\\\?\\" + cgi::widen(file));
    EXPECT_EQ(text, "{\"rel\":1}");
}

// Another process holding the file without read sharing (error 32) is writing it: the
// read is tried again a few times. (A range lock, error 33, is handled alike; wine does
// not enforce range locks on reads, so it cannot be shown here.)
HANDLE held_file = nullptr;
int busy_retries = 0;

TEST_F(Files, ABusyCredentialFileIsTriedAgainBriefly) {
    const std::string file = h.write("auth.json", "{\"a\":1}");
    const std::wstring wfile = cgi::widen(file);
    auto hold = [&](DWORD share) {
        return CreateFileW(wfile.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    };

    // Held for longer than the retries last: unreadable, after every try.
    held_file = hold(0);
    ASSERT_NE(held_file, INVALID_HANDLE_VALUE);
    busy_retries = 0;
    platform::win32_testing::set_busy_retry_hook([] { ++busy_retries; });
    EXPECT_FALSE(platform::read_regular_file(file.c_str(), 64));
    EXPECT_EQ(busy_retries, 4);

    // Released while credvane waits to try again: read.
    busy_retries = 0;
    platform::win32_testing::set_busy_retry_hook([] {
        if (++busy_retries == 2) CloseHandle(held_file);
    });
    EXPECT_EQ(platform::read_regular_file(file.c_str(), 64), "{\"a\":1}");
    EXPECT_EQ(busy_retries, 2);

    platform::win32_testing::set_busy_retry_hook(nullptr);
}

// A writer that replaces the file deletes the old one while a handle to it is still open:
// until that handle closes, the name opens for nobody. The reader takes that for busy and
// reads the new file, instead of taking the node for logged out.
std::string replaced_file;
TEST_F(Files, AFileBeingReplacedIsBusyNotAbsent) {
    replaced_file = h.write("auth.json", "{\"old\":1}");
    held_file = CreateFileW(cgi::widen(replaced_file).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held_file, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(DeleteFileW(cgi::widen(replaced_file).c_str()));
    const HANDLE probe = CreateFileW(cgi::widen(replaced_file).c_str(), 0,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe != INVALID_HANDLE_VALUE) {
        // wine still opens a file whose deletion waits for a handle; Windows refuses it.
        CloseHandle(probe);
        CloseHandle(held_file);
        GTEST_SKIP() << "this system opens a file that is being deleted";
    }
    busy_retries = 0;
    platform::win32_testing::set_busy_retry_hook([] {
        ++busy_retries;
        CloseHandle(held_file);
        std::ofstream(std::filesystem::path(cgi::widen(replaced_file)), std::ios::binary)
            << "{\"new\":1}";
    });
    EXPECT_EQ(platform::read_regular_file(replaced_file.c_str(), 64), "{\"new\":1}");
    EXPECT_EQ(busy_retries, 1);
    platform::win32_testing::set_busy_retry_hook(nullptr);
}

// A read-only file is removed all the same; one held open elsewhere without delete sharing
// is tried again briefly, and if it stays, it stays as it was.
std::string held_name;
TEST_F(Files, RemovingTakesReadOnlyFilesAndWaitsBrieflyForAHolder) {
    const std::string ro = h.write("ro.json", "{}");
    ASSERT_TRUE(SetFileAttributesW(cgi::widen(ro).c_str(),
                                   FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    EXPECT_TRUE(platform::remove_file(ro.c_str()));
    EXPECT_FALSE(h.exists(ro));

    held_name = h.write("held.json", "{}");
    SetFileAttributesW(cgi::widen(held_name).c_str(), FILE_ATTRIBUTE_READONLY);
    auto hold = [] {
        return CreateFileW(cgi::widen(held_name).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    held_file = hold();
    ASSERT_NE(held_file, INVALID_HANDLE_VALUE);
    busy_retries = 0;
    platform::win32_testing::set_busy_retry_hook([] { ++busy_retries; });
    EXPECT_FALSE(platform::remove_file(held_name.c_str()));
    EXPECT_EQ(busy_retries, 4);
    EXPECT_TRUE(h.exists(held_name));
    EXPECT_NE(GetFileAttributesW(cgi::widen(held_name).c_str()) & FILE_ATTRIBUTE_READONLY, 0u);

    busy_retries = 0;
    platform::win32_testing::set_busy_retry_hook([] {
        if (++busy_retries == 2) CloseHandle(held_file);
    });
    EXPECT_TRUE(platform::remove_file(held_name.c_str()));
    EXPECT_EQ(busy_retries, 2);
    EXPECT_FALSE(h.exists(held_name));
    platform::win32_testing::set_busy_retry_hook(nullptr);
}

// The cancel answer without a CLI says whether the pending marker is really gone.
TEST_F(Files, CancelWithoutACliAnswersWhetherTheMarkerWent) {
    const std::string marker = h.write("home\\.claude\\.login-pending\\codex-default.json", "{}");
    const std::string answer = "{\"ok\":true,\"state\":\"cancelled\",\"pending\":";
    SetFileAttributesW(cgi::widen(marker).c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(h.run("action=cancel").out,
              cgi::json_head + answer + "false,\"cli_present\":false}\n");
    EXPECT_FALSE(h.exists(marker));

    h.write("home\\.claude\\.login-pending\\codex-default.json", "{}");
    const HANDLE held = CreateFileW(cgi::widen(marker).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(h.run("action=cancel").out,
              cgi::json_head + answer + "true,\"cli_present\":false}\n");
    CloseHandle(held);
    EXPECT_TRUE(h.exists(marker));
}

// Runs the program with its arguments the way the CLI runner does and returns its output
// and how it ended.
struct run_result {
    std::vector<std::string> lines;
    platform::run_result end;
};
run_result run(const std::string& program, std::vector<std::string_view> args = {},
               int timeout_seconds = 0, std::size_t piece = 2048) {
    platform::child_process child(program.c_str(), args, timeout_seconds * 1000,
                                  platform::environment());
    EXPECT_TRUE(child.started()) << program;
    run_result r;
    std::vector<char> buf(piece);
    while (child.read_line(buf)) r.lines.emplace_back(buf.data());
    r.end = child.finish();
    return r;
}

TEST_F(Files, QuotedProgramAndQuotedArgumentsReachTheCli) {
    // More than two quotes on the line: cmd.exe would strip the outer ones without help.
    const std::string cli = h.script("the cli", "echo [%~1][%~2][%~3][%~4]\nexit /b 0\n");
    const run_result r = run(cli, {"--start", "--name", "work"});
    EXPECT_EQ(r.lines, (std::vector<std::string>{"[--start][--name][work][]\r\n"}));
    EXPECT_EQ(r.end, platform::run_result::ran);
}

TEST_F(Files, LinesArriveInPiecesOfTheGivenSize) {
    const std::string cli = h.script("cli", "echo abcdefghij\necho {}\n");
    const run_result r = run(cli, {}, 0, 8);
    EXPECT_EQ(r.lines, (std::vector<std::string>{"abcdefg", "hij\r\n", "{}\r\n"}));
}

TEST_F(Files, ExitCodesThatMeanTheCliCannotRun) {
    struct row {
        std::string program;
        platform::run_result end;
    };
    const row rows[] = {
        // A script whose own command is missing: cmd.exe's 9009.
        {h.script("e9009", "credvane-no-such-command\n"), platform::run_result::not_found},
        {h.script("e127", "echo {}\nexit /b 127\n"), platform::run_result::not_found},
        {h.script("e126", "exit /b 126\n"), platform::run_result::not_found},
        {h.script("e1", "echo {}\nexit /b 1\n"), platform::run_result::ran},
        {h.script("e3", "exit /b 3\n"), platform::run_result::ran},
        // 0xC0000135, the loader's "a DLL was not found", from the loader itself and from
        // a script that ran such a program.
        {cgi::exe_dir() + "wine_nodll.exe", platform::run_result::not_found},
        {h.script("nodll", "exit /b -1073741515\n"), platform::run_result::not_found},
        // The loader's other words for "cannot start here": an entry point missing
        // (0xC0000139), a bad image (0xC000007B), a DLL whose start failed (0xC0000142, from
        // the loader itself too).
        {h.script("noentry", "exit /b -1073741511\n"), platform::run_result::not_found},
        {h.script("badimage", "exit /b -1073741701\n"), platform::run_result::not_found},
        {h.script("initfail", "exit /b -1073741502\n"), platform::run_result::not_found},
        {cgi::exe_dir() + "wine_initfail.exe", platform::run_result::not_found},
        // An NTSTATUS that is not the loader's: the program ran and crashed.
        {h.script("crash", "exit /b -1073741819\n"), platform::run_result::ran},
    };
    for (const row& r : rows) {
        EXPECT_EQ(run(r.program, {"--status"}).end, r.end) << r.program;
    }
}

// Why a run did not start, or none.
platform::start_failure failure_of(const std::string& program,
                                   std::vector<std::string_view> args = {}) {
    platform::child_process child(program.c_str(), args, 60000, platform::environment());
    const platform::start_failure f = child.failure();
    EXPECT_EQ(child.started(), f == platform::start_failure::none) << program;
    if (child.started()) child.finish();
    return f;
}

// Copies the helper executable to rel under the host's root; the copy's path.
std::string copy_helper(cgi::host& h, const std::string& rel) {
    const std::string to = h.write(rel, "");
    EXPECT_TRUE(CopyFileW(cgi::widen(cgi::exe_dir() + "wine_helper.exe").c_str(),
                          cgi::widen(to).c_str(), FALSE));
    return to;
}

// An executable starts directly, so every argument arrives as written: quotes, blanks,
// backslashes (trailing ones too), "%NAME%", cmd.exe's metacharacters and text outside
// the code page, each as CommandLineToArgvW reads it back.
TEST_F(Files, AnExecutableGetsItsArgumentsIntact) {
    const std::string exe = copy_helper(h, "%SystemRoot%\\helper.exe");
    const std::string record = h.root + "\\argv.txt";
    const std::vector<std::string> words = {
        "plain",         "two words", "",       "say \"hi\"",   "back\\slash",       "trail\\",
        "trail\\\\",     "q\\\"x",    "\\\\\"", "%SystemRoot%", "50% & <x> | ^y !z", "tab\there",
        "\u4e2d \u0141", "--status",
    };
    std::vector<std::string_view> args = {"argv", record};
    args.insert(args.end(), words.begin(), words.end());
    const run_result r = run(exe, args);
    EXPECT_EQ(r.end, platform::run_result::ran);
    std::string want;
    for (const std::string& w : words) want += "[" + w + "]";
    EXPECT_EQ(h.read(record), want + "\n");
}

// Whatever still goes through cmd.exe cannot hold what cmd.exe would alter, so a script
// is refused as "cannot run" rather than run with other text; the same words reach an
// executable.
TEST_F(Files, AScriptIsRefusedWhatCmdWouldAlter) {
    const std::string cli = h.script("cli", "echo {}\n");
    const std::string exe = copy_helper(h, "bin\\cli.exe");
    struct row {
        std::string program;
        std::string arg;
        platform::start_failure script;  // how the script fares
    };
    const platform::start_failure refused = platform::start_failure::refused;
    const platform::start_failure none = platform::start_failure::none;
    const row rows[] = {
        {cli, "C:\\plain path\\auth.json", none},
        {cli, "a \"quoted\" word", refused},
        {cli, "%SystemRoot%\\auth.json", refused},
        {cli, "100%", refused},
        {cli, "C:\\dir\\", refused},
        {cli, "line\nbreak", refused},
        {cli, "cr\rhere", refused},
        {h.write("50%\\login.cmd", "@echo {}\r\n"), "--status", refused},
        {h.write("%x%\\login.bat", "@echo {}\r\n"), "--status", refused},
    };
    for (const row& r : rows) {
        EXPECT_EQ(failure_of(r.program, {"--credentials-file", r.arg}), r.script)
            << r.program << " " << r.arg;
        if (r.program == cli) {
            EXPECT_EQ(failure_of(exe, {"--credentials-file", r.arg}), none) << r.arg;
        }
    }
}

// The program is found before anything runs: a path must name a file, a bare name is
// looked up in PATH's absolute folders with PATHEXT and never in the working folder.
TEST_F(Files, TheProgramIsResolvedBeforeAnythingRuns) {
    const std::string path_dir = h.root + "\\on path";
    h.write("on path\\credvane-path-cmd.cmd", "@echo {\"via\":\"cmd\"}\r\n");
    copy_helper(h, "on path\\credvane-path-exe.exe");
    h.write("on path\\credvane-path-txt.txt", "");
    // Planted where cmd.exe would look first: the working folder, and a relative PATH entry.
    const std::string mark = h.root + "\\planted ran";
    const std::string planted = "@echo.>\"" + mark + "\"\r\n@echo {\"planted\":true}\r\n";
    h.write("work\\quenlo-codex-login.cmd", planted);
    h.write("work\\rel\\credvane-rel.cmd", planted);
    h.write("bin\\tool.txt", "");
    h.script("noext", "echo {}\n");

    wchar_t old_dir[MAX_PATH + 1] = {};
    GetCurrentDirectoryW(MAX_PATH, old_dir);
    const std::string old_path = platform::env("PATH") ? platform::env("PATH") : "";
    SetCurrentDirectoryW(cgi::widen(h.root + "\\work").c_str());
    SetEnvironmentVariableW(L"PATH", cgi::widen(".;rel;\"" + path_dir + "\";" + old_path).c_str());

    using sf = platform::start_failure;
    struct row {
        std::string program;
        sf want;
    };
    const row rows[] = {
        {"quenlo-codex-login", sf::not_found},
        {"credvane-rel", sf::not_found},
        {".\\quenlo-codex-login.cmd", sf::none},  // a path names its file, relative or not
        {"credvane-no-such-cli", sf::not_found},
        {h.root + "\\no such folder\\login.exe", sf::not_found},
        {h.root + "\\bin\\bad<name>|.cmd", sf::not_found},
        {h.root + "\\bin\\login?.cmd", sf::not_found},
        {h.root + "\\bin", sf::not_found},
        {h.root + "\\bin\\tool.txt", sf::not_executable},
        {"credvane-path-txt", sf::not_found},
        {"credvane-path-cmd", sf::none},
        {"CREDVANE-PATH-EXE", sf::none},
        {"credvane-path-exe.exe", sf::none},
        {h.root + "\\bin\\noext", sf::none},
    };
    for (const row& r : rows) EXPECT_EQ(failure_of(r.program, {"--status"}), r.want) << r.program;
    EXPECT_EQ(run("credvane-path-cmd").lines, (std::vector<std::string>{"{\"via\":\"cmd\"}\r\n"}));

    SetEnvironmentVariableW(L"PATH", cgi::widen(old_path).c_str());
    SetCurrentDirectoryW(old_dir);
    EXPECT_TRUE(h.exists(mark)) << "the planted script never ran even as a path";
}

TEST_F(Files, AnOverstayingRunIsEndedWithEverythingItStarted) {
    // The CLI waits for a grandchild that leaves a mark once it is let go, after the run. The
    // check holds only for a run whose grandchild came up before the timeout ended it; on a
    // busy machine cmd.exe may take longer than a second to get there, so the timeout doubles
    // until a run gets that far.
    for (int timeout = 1; timeout <= 16; timeout *= 2) {
        cgi::held_helper helper;
        std::string mark = h.root;
        mark += "\\survived-";
        mark += std::to_string(timeout);
        std::string body = "echo started\n";
        body += helper.hold_command(mark);
        body += "\necho finished\n";
        const std::string cli = h.script("slow", body);
        const run_result r = run(cli, {}, timeout);
        EXPECT_EQ(r.end, platform::run_result::timed_out);
        if (!helper.came_up()) continue;
        EXPECT_EQ(r.lines, (std::vector<std::string>{"started\r\n"}));
        helper.let_go_and_wait();
        EXPECT_FALSE(h.exists(mark)) << "the grandchild outlived the timeout";
        return;
    }
    ADD_FAILURE() << "the grandchild never came up before the timeout";
}

// Only the three standard handles reach a CLI. The probe is an inheritable pipe of ours
// that the CLI (through cmd.exe, which passes on every handle it inherits) writes to by
// number; without the handle list it does, which shows that the probe sees inheritance.
TEST_F(Files, ACliInheritsOnlyItsStandardHandles) {
    for (const bool list : {true, false}) {
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE r = nullptr;
        HANDLE w = nullptr;
        ASSERT_TRUE(CreatePipe(&r, &w, &inherit, 0));
        SetHandleInformation(r, HANDLE_FLAG_INHERIT, 0);
        const std::string cli = h.script(
            "probe", "\"" + cgi::exe_dir() + "wine_helper.exe\" write-handle " +
                         std::to_string(reinterpret_cast<std::uintptr_t>(w)) + "\necho {}\n");
        platform::win32_testing::set_handle_list(list);
        const run_result ran = run(cli);
        platform::win32_testing::set_handle_list(true);
        CloseHandle(w);
        char c = 0;
        DWORD n = 0;
        const bool written = ReadFile(r, &c, 1, &n, nullptr) && n == 1;
        CloseHandle(r);
        EXPECT_EQ(ran.lines, (std::vector<std::string>{"{}\r\n"}));
        EXPECT_EQ(written, !list) << (list ? "with" : "without") << " the handle list";
    }
}

// A reader that has all it will take ends the CLI at once: one that never stops writing
// would otherwise hold the run until its time is up (no bound here, so only the end of the
// CLI lets the test finish).
TEST(Stop, EndsACliThatWritesWithoutEnd) {
    const std::string helper = cgi::exe_dir() + "wine_helper.exe";
    const std::vector<std::string_view> args = {"flood"};
    platform::child_process child(helper.c_str(), args, 0, platform::environment());
    ASSERT_TRUE(child.started());
    std::size_t total = 0;
    std::vector<char> piece(2048);
    while (total <= 300 * 1024 && child.read_line(piece)) total += std::strlen(piece.data());
    EXPECT_GT(total, 300u * 1024);
    EXPECT_EQ(child.stop(), platform::run_result::ran);
    EXPECT_FALSE(child.started());
}

// The CLI's output pipe: only our own user may open it, and its name carries 128 random
// bits, so nobody can foresee it and create it first.
TEST(OutputPipe, PrivateToOurUserWithAnUnforeseeableName) {
    std::wstring names[2];
    for (std::wstring& name : names) {
        const HANDLE pipe = platform::win32_testing::output_pipe_for(name);
        ASSERT_NE(pipe, nullptr);
        const std::wstring prefix =
            L"\\\\.\\pipe\\credvane-" + std::to_wstring(GetCurrentProcessId()) + L"-";
        ASSERT_TRUE(name.starts_with(prefix)) << cgi::narrow(name);
        const std::wstring random = name.substr(prefix.size());
        EXPECT_EQ(random.size(), 32u);
        EXPECT_EQ(random.find_first_not_of(L"0123456789abcdef"), std::wstring::npos);

        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR sd = nullptr;
        ASSERT_EQ(GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, &dacl, nullptr, &sd),
                  static_cast<DWORD>(ERROR_SUCCESS));
        ASSERT_NE(dacl, nullptr);
        EXPECT_EQ(dacl->AceCount, 1);
        void* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, 0, &ace));
        const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        HANDLE token = nullptr;
        ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
        std::vector<unsigned char> user(256);
        DWORD size = 0;
        ASSERT_TRUE(GetTokenInformation(token, TokenUser, user.data(),
                                        static_cast<DWORD>(user.size()), &size));
        CloseHandle(token);
        EXPECT_TRUE(EqualSid(const_cast<DWORD*>(&allowed->SidStart),
                             reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid));
        LocalFree(sd);
        CloseHandle(pipe);
    }
    EXPECT_NE(names[0], names[1]);
}

TEST(Clock, NowIsTheUnixTime) {
    const auto unix_now = std::chrono::duration_cast<std::chrono::seconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    EXPECT_NEAR(static_cast<double>(platform::now()), static_cast<double>(unix_now), 2.0);
}

TEST(Strnicmp, AsciiLettersFoldOnly) {
    EXPECT_EQ(platform::strnicmp("BeArEr x", "bearer y", 7), 0);
    EXPECT_NE(platform::strnicmp("Bearer", "Basic ", 6), 0);
    EXPECT_NE(platform::strnicmp("[", "{", 1), 0);
}

}  // namespace

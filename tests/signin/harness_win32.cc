// harness_win32.cc: the sign-in harness on Windows, under wine: the stand-in issuer runs
// outside wine (tests/wine/run.sh starts it and names it in CREDVANE_TEST_ISSUER), one for
// the suite, reset before each test.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <aclapi.h>
#include <sddl.h>
#include <windows.h>

#include <cstdlib>

#include "signin/http.h"
#include "tests/signin/harness.h"

namespace signin_test {

// WinHTTP's words, as the programs report them.
const char* const timeout_words = "in time";
const char* const refused_words = "could not connect";

std::string login_exe() {
    return cgi::exe_dir() + "credvane-login.exe";
}

std::string refresh_exe() {
    return cgi::exe_dir() + "credvane-refresh.exe";
}

stand_in_issuer::stand_in_issuer() : client_(std::make_unique<credvane::http::client>()) {
    const char* v = std::getenv("CREDVANE_TEST_ISSUER");
    if (v == nullptr) return;  // the fixture names what is missing
    url_ = v;
    control("/test/reset");
}

stand_in_issuer::~stand_in_issuer() = default;

// A home named in three scripts, none of them in any ANSI code page together: a credential
// path reaches the refresh program on its command line and must arrive whole.
std::string home_name() {
    return "h\xc3\xb4me \xe6\x97\xa5\xe6\x9c\xac \xd0\xb4\xd0\xbe\xd0\xbc";
}

void prepare_host(cgi::host& h) {
    h.env["USERPROFILE"] = h.home;
}

std::string dacl_of(const std::string& path) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetNamedSecurityInfoW(cgi::widen(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
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

void expect_owner_only(const std::string& path) {
    const std::string dacl = dacl_of(path);
    // Nobody else: not everyone, not the machine's users, not every signed-in user.
    for (const char* other : {";;;WD)", ";;;BU)", ";;;AU)"}) {
        EXPECT_EQ(dacl.find(other), std::string::npos) << path << ": " << dacl;
    }
    EXPECT_NE(dacl.find(";;;" + my_sid() + ")"), std::string::npos) << path << ": " << dacl;
}

}  // namespace signin_test

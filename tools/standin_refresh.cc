// standin_refresh.cc: a stand-in token refresh CLI that renews the access token of one credential
// file.
//
// Usage: standin-refresh --credentials-file PATH [--force]
// The stand-in always renews ("--force" is accepted as the real tool's callers pass it). The
// new access token expires one hour after the later of now and the old expiry, so every run
// moves the expiry forward. The refresh token, the account id and every other member of
// the file stay as they are; "last_refresh" becomes now (added when missing). The file is
// rewritten through a temporary file and a rename.
// Prints one JSON line: {"ok":true,"expires_at":N} (exit 0), or "ok" false with "error"
// "no_credentials" (no file, or no access token in it), "no_refresh_token", "unreadable",
// "write_failed" (exit 1), or "usage" (exit 2).
//
// Environment: none of its own; the path comes from the command line.
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "store/login_status.h"
#include "platform/platform.h"
#include "store/creds.h"
#include "store/json.h"
#include "store/paths.h"
#include "tools/standin_common.h"

namespace {

using namespace credvane;
using namespace credvane::standin;

const char* skip_blanks(const char* p) {
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
    return p;
}

// Just past the string that opens at p (a quote), or null when it never closes.
const char* string_end(const char* p) {
    for (++p; *p != '\0'; ++p) {
        if (*p == '\\') {
            if (*++p == '\0') return nullptr;
        } else if (*p == '"') {
            return p + 1;
        }
    }
    return nullptr;
}

// The token keys are looked for where the credential scan looks: inside the "tokens"
// object when the file has a closed one, else among the top-level members.
std::pair<const char*, const char*> token_window(const std::string& s) {
    const char* start = s.c_str();
    const char* end = start + s.size();
    const char* v = json_find_key(start, end, "tokens");
    if (v == nullptr || *(v = skip_blanks(v)) != '{') return {start, end};
    int depth = 0;
    for (const char* p = v; p < end;) {
        if (*p == '"') {
            p = string_end(p);
            if (p == nullptr) break;
            continue;
        }
        if (*p == '{') ++depth;
        if (*p == '}' && --depth == 0) return {v, p + 1};
        ++p;
    }
    return {start, end};
}

// Where the value at v (as json_find_key gives it) lies in s: offset and length, or
// nothing when it is an unclosed string.
std::optional<std::pair<std::size_t, std::size_t>> value_span(const std::string& s, const char* v) {
    v = skip_blanks(v);
    const char* e = v;
    if (*v == '"') {
        e = string_end(v);
        if (e == nullptr) return std::nullopt;
    } else {
        while (*e != '\0' && std::string_view(",}] \t\r\n").find(*e) == std::string_view::npos) ++e;
    }
    return std::pair{static_cast<std::size_t>(v - s.c_str()), static_cast<std::size_t>(e - v)};
}

int refresh(const std::string& path) {
    if (!file_exists(path.c_str())) return fail("no_credentials", "no credential file at " + path);
    const auto text = read_file(path.c_str());
    if (!text) return fail("unreadable", "cannot read " + path);
    login_status st{};
    scan_creds(text->c_str(), st, nullptr);
    if (st.logged_in == 0) return fail("no_credentials", path + " holds no access token");
    if (st.has_refresh == 0) return fail("no_refresh_token", path + " holds no refresh token");

    const std::int64_t now = platform::now();
    const std::int64_t base = st.expires_at > now ? st.expires_at : now;
    // An "exp" near the 64-bit limit cannot move later; say so rather than overflow.
    if (base > std::numeric_limits<std::int64_t>::max() - 3600) {
        return fail("refresh_failed", "the token's expiry cannot move any later");
    }
    const std::int64_t expires = base + 3600;

    std::string s = *text;
    const auto [wstart, wend] = token_window(s);
    const char* v = json_find_key(wstart, wend, "access_token");
    const auto token = v != nullptr ? value_span(s, v) : std::nullopt;
    if (!token) return fail("no_credentials", path + " holds no access token");
    std::string quoted;
    json_str(quoted, make_jwt(st.account_id.view(), now, expires));
    s.replace(token->first, token->second, quoted);

    quoted.clear();
    json_str(quoted, iso_utc(now));
    const char* r = json_find_key(s.c_str(), s.c_str() + s.size(), "last_refresh");
    const auto stamp = r != nullptr ? value_span(s, r) : std::nullopt;
    if (stamp) {
        s.replace(stamp->first, stamp->second, quoted);
    } else if (const auto brace = s.find('{'); brace != std::string::npos) {
        // The object holds at least the token, so a member after the new one is certain.
        s.insert(brace + 1, "\"last_refresh\":" + quoted + ",");
    }
    if (!write_file_atomic(path, s)) return fail("write_failed", "cannot write " + path);
    return answer("{\"ok\":true,\"expires_at\":" + std::to_string(expires) + "}", 0);
}

}  // namespace

int main(int argc, char** argv) {
    std::string path;
    bool have_path = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--credentials-file" && i + 1 < argc && !have_path) {
            path = argv[++i];
            have_path = true;
        } else if (a != "--force") {
            return fail("usage", "standin-refresh --credentials-file PATH [--force]", 2);
        }
    }
    if (!have_path || path.empty()) {
        return fail("usage", "standin-refresh --credentials-file PATH [--force]", 2);
    }
    return refresh(path);
}

// check.cc: the operator's self-check, built on the rules the requests and the sign-in
// programs apply: the same paths, the same folder rules, the same CLI runs.
#include "check/check.h"

#include <cstring>
#include <span>
#include <string_view>

#include "actions/actions.h"
#include "base/buf.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "runner/runner.h"
#include "store/creds.h"
#include "store/json.h"
#include "store/paths.h"

namespace credvane {

namespace {

// A path or program variable as the store reads it: an empty value counts as unset.
const char* set_var(const char* name) {
    const char* v = platform::env(name);
    return v != nullptr && v[0] != '\0' ? v : nullptr;
}

// The home variable the paths come from, in the store's order, or null.
const char* home_variable() {
    for (const char* name : {"USERPROFILE", "HOME", "HOMEPATH"}) {
        char value[512];
        if (platform::home_env(name, value)) return name;
    }
    return nullptr;
}

// Why the Codex folder is where it is: the variable it comes from.
std::string codex_source() {
    if (set_var("CODEX_CREDS_PATH") != nullptr) return "from CODEX_CREDS_PATH";
    if (set_var("CODEX_HOME") != nullptr) return "from CODEX_HOME";
    if (const char* home = home_variable()) return std::string("from ") + home;
    return "no home variable is set";
}

std::string home_source() {
    const char* home = home_variable();
    return home != nullptr ? std::string("from ") + home : "no home variable is set";
}

std::string who() {
    const platform::user_facts u = platform::current_user();
    if (u.name.empty()) return u.id.empty() ? "an unknown user" : u.id;
    return u.id.empty() ? u.name : u.name + " (" + u.id + ")";
}

std::string user_name() {
    const platform::user_facts u = platform::current_user();
    return u.name.empty() ? u.id : u.name;
}

constexpr std::string_view run_as_host =
    "run the check as the web server's user with the host's environment (see the install "
    "guide)";

check_line user_line() {
    check_line l{"user", verdict::passed, "runs as " + who(), {}};
    if (platform::current_user().superuser) {
        l.result = verdict::warned;
        l.detail +=
            ": a web server seldom runs credvane as root, so its home and rights may not "
            "be the ones checked here";
        l.remedy = run_as_host;
    }
    return l;
}

// A folder credentials or markers are written to, judged as the sign-in programs judge it:
// not one another user could change (the folder rule), one this user may make files in,
// and whose owner is this user.
// variable: where the operator points it elsewhere.
check_line folder_line(std::string name, const std::string& dir, const std::string& source,
                       std::string_view written, const char* variable) {
    check_line l{std::move(name), verdict::passed, dir + " (" + source + ")", {}};
    if (const std::string unsafe = platform::unsafe_folder(dir.c_str()); !unsafe.empty()) {
        l.result = verdict::failed;
        l.detail = unsafe + "; the sign-in programs refuse to write " + std::string(written) +
                   " there (" + source + ")";
        const auto owner = platform::owner_of(dir.c_str());
        if (owner && !owner->mine && platform::current_user().superuser) {
            // Run as root on a node that another user serves: that user is the one to ask.
            l.remedy = "the folder belongs to " + owner->owner +
                       ": run the check as that user with the host's environment";
        } else {
            l.remedy = "give " + dir + " to " + user_name() +
                       " and let no one else write it (chmod go-w), or " + std::string(run_as_host);
        }
        return l;
    }
    if (const std::string cannot = platform::folder_write_access(dir.c_str()); !cannot.empty()) {
        l.result = verdict::failed;
        l.detail = cannot + "; " + std::string(written) + " cannot be written (" + source + ")";
        l.remedy = "let " + user_name() + " write " + dir + ", or point " + variable +
                   " at a folder it may write";
        return l;
    }
    if (const auto owner = platform::owner_of(dir.c_str())) {
        if (!owner->mine) {
            l.result = verdict::warned;
            l.detail += ": owned by " + owner->owner + ", not by " + user_name();
            l.remedy = "give " + dir + " to " + user_name() + ", or " + std::string(run_as_host);
            return l;
        }
        l.detail += ": owned by " + user_name() + ", writable";
    } else {
        l.detail += ": not made yet; made at the first sign-in";
    }
    return l;
}

check_line credentials_line(const char* account) {
    path_text path;
    const bool whole = credentials_path(account, path.span());
    const std::string source =
        account[0] != '\0' ? "the named account " + std::string(account) + " in the accounts folder"
                           : codex_source();
    check_line l{
        "credentials", verdict::passed, std::string(path.view()) + " (" + source + ")", {}};
    if (!whole) {
        l.result = verdict::failed;
        l.detail = "the credential file's path is too long to use (" + source + ")";
        l.remedy = "point CODEX_HOME or CODEX_CREDS_PATH at a shorter path";
        return l;
    }
    if (account[0] == '\0' && home_variable() == nullptr &&
        set_var("CODEX_CREDS_PATH") == nullptr && set_var("CODEX_HOME") == nullptr) {
        l.result = verdict::failed;
        l.detail += ": relative to the working folder the host picks";
        l.remedy = "set HOME (or CODEX_HOME) in the host's environment for credvane";
        return l;
    }
    login_status st{};
    const bool read = scan_creds_file_as_is(path.c_str(), st);
    const std::int64_t now = platform::now();
    if (!read) {
        if (platform::is_non_directory(path.c_str())) {
            l.result = verdict::failed;
            l.detail += ": cannot be read by " + user_name();
            l.remedy = "let " + user_name() + " read " + std::string(path.view()) +
                       " (a regular file of at most 8 MiB)";
        } else {
            l.result = verdict::warned;
            l.detail += ": not signed in (no file)";
            l.remedy = "sign in from the panel";
        }
        return l;
    }
    if (!st.file_problem.empty()) {
        l.result = verdict::failed;
        l.detail += ": the Codex CLI would refuse it: " + std::string(st.file_problem);
        l.remedy = "sign in again from the panel (it replaces the file), or remove " +
                   std::string(path.view());
        return l;
    }
    if (st.logged_in) {
        if (st.expires_at <= 0) {
            l.detail += ": signed in; the token does not say when it expires";
        } else if (st.expires_at <= now) {
            l.result = verdict::warned;
            l.detail += ": signed in, but the token expired " + time_words(st.expires_at - now);
            l.remedy = st.has_refresh ? "refresh it from the panel, or sign in again"
                                      : "sign in again from the panel";
        } else {
            l.detail += ": signed in; the token expires " + time_words(st.expires_at - now);
        }
        return l;
    }
    if (st.api_key_present) {
        l.detail += ": holds an API key, no sign-in";
        return l;
    }
    l.result = verdict::warned;
    l.detail += ": holds no sign-in";
    l.remedy = "sign in from the panel";
    return l;
}

// A folder of the store as its builder resolves it, and where it comes from: the variable
// when the operator set it, else fallback.
struct located_folder {
    path_text path;
    bool whole = false;
    std::string source;
};

located_folder locate(bool (*build)(std::span<char>), const char* variable,
                      const std::string& fallback) {
    located_folder f;
    f.whole = build(f.path.span());
    f.source = set_var(variable) != nullptr ? std::string("from ") + variable : fallback;
    return f;
}

// A path cut at the store's capacity names another folder: nothing is judged by it.
check_line too_long(std::string name, const located_folder& f, const char* variable) {
    std::string detail = "the " + name + "'s path is too long to use (" + f.source + ")";
    return {std::move(name), verdict::failed, std::move(detail),
            std::string("point ") + variable + " at a shorter path"};
}

check_line accounts_line() {
    const located_folder f = locate(accounts_dir, "CODEX_ACCOUNTS_DIR", codex_source());
    if (!f.whole) return too_long("accounts folder", f, "CODEX_ACCOUNTS_DIR");
    const std::string dir(f.path.view());
    check_line l{"accounts folder", verdict::passed, dir + " (" + f.source + ")", {}};
    if (!platform::owner_of(dir.c_str())) {
        l.detail += ": none yet; made at the first sign-in of a named account";
        return l;
    }
    if (platform::is_non_directory(dir.c_str())) {
        l.result = verdict::failed;
        l.detail += ": not a folder";
        l.remedy = "remove the file or point CODEX_ACCOUNTS_DIR at a folder";
        return l;
    }
    check_line folder =
        folder_line(l.name, dir, f.source, "named accounts' files", "CODEX_ACCOUNTS_DIR");
    if (folder.result != verdict::passed) return folder;
    int count = 0;
    platform::json_dir listing(dir.c_str(), 10000);
    while (const char* entry = listing.next()) {
        const std::string_view file(entry);
        if (file.size() <= 5) continue;
        const std::string stem(file.substr(0, file.size() - 5));
        if (name_valid(stem.c_str()) && !listing.is_dir()) ++count;
    }
    l.detail += ": " + std::to_string(count) + (count == 1 ? " named account" : " named accounts");
    return l;
}

check_line pending_line() {
    const located_folder f = locate(pending_dir, "CODEX_PENDING_DIR", home_source());
    if (!f.whole) return too_long("pending folder", f, "CODEX_PENDING_DIR");
    return folder_line("pending folder", std::string(f.path.view()), f.source,
                       "the pending-login markers", "CODEX_PENDING_DIR");
}

// The last JSON line of a run's capture, from its '{' to the end, or empty.
std::string_view json_line(const buf& capture) {
    const char* line = last_json_line(capture);
    if (line == nullptr) return {};
    return std::string_view(line, static_cast<std::size_t>(capture.c_str() + capture.len - line));
}

std::string string_member(std::string_view line, const char* key) {
    text<512> value;
    if (line.empty() ||
        !json_str_field(line.data(), line.data() + line.size(), key, value.span())) {
        return {};
    }
    return std::string(value.view());
}

// The version a CLI tells for "--version": a JSON line's "version", else its first line
// when it is short plain text; empty when it tells none.
std::string cli_version(const char* program) {
    cli_args args(32);
    args.word("--version");
    buf capture;
    if (run_capture(program, args, capture) != run_result::ran) return {};
    if (const std::string_view line = json_line(capture); !line.empty()) {
        return string_member(line, "version");
    }
    const std::string_view out = capture.view();
    const std::string_view first = out.substr(0, out.find('\n'));
    if (first.empty() || first.size() > 80) return {};
    for (const char c : first) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) {
            return {};
        }
    }
    return std::string(first);
}

struct cli_state {
    bool usable = false;  // found, and answers --status with a JSON line
    std::string program;
};

check_line cli_line(cli_kind kind, const char* account, cli_state& state) {
    const bool login = kind == cli_kind::login;
    const char* variable = login ? "CODEX_LOGIN_BIN" : "CODEX_REFRESH_BIN";
    const char* program = login ? login_bin() : refresh_bin();
    state.program = program;
    const bool configured = set_var(variable) != nullptr;
    const std::string named = std::string(program) + " (" +
                              (configured ? std::string("from ") + variable : "the default") + ")";
    check_line l{login ? "login CLI" : "refresh CLI", verdict::failed, named, {}};
    const std::string set_it = std::string("set ") + variable + " to its full path";
    std::string where;
    switch (platform::locate_program(program, where)) {
        case platform::start_failure::none:
            break;
        case platform::start_failure::not_executable:
            l.detail += ": found, but " + user_name() + " may not run it";
            l.remedy = "let " + user_name() + " run it, or " + set_it;
            return l;
        default: {
            const char* path = platform::env("PATH");
            l.detail += ": not found";
            if (std::strchr(program, '/') == nullptr && std::strchr(program, '\\') == nullptr) {
                l.detail += std::string(" in PATH's folders (PATH is ") +
                            (path != nullptr ? path : "not set") + ")";
            }
            l.remedy = "install it for " + user_name() + ", or " + set_it;
            return l;
        }
    }
    // A bare name is told where PATH led; a path is its own answer.
    if (where != program) l.detail = named + ", found at " + where;
    cli_args args(128);
    args.word("--status");
    // The refresh CLI has no account of its own to ask about.
    if (login && account[0] != '\0') args.word("--name").word(account);
    buf capture;
    const run_result r = run_capture(program, args, capture);
    if (r != run_result::ran) {
        l.detail += ": --status did not run: " + std::string(run_words(r, kind).view());
        l.remedy = r == run_result::timed_out
                       ? "run " + std::string(program) +
                             " --status by hand as this user; CREDVANE_CLI_TIMEOUT bounds it"
                       : "run " + std::string(program) + " --status by hand as this user";
        return l;
    }
    const std::string_view line = json_line(capture);
    if (line.empty()) {
        l.detail += ": " + std::string(login ? login_cli_no_json : "it printed no JSON line") +
                    " to --status";
        l.remedy = "run " + std::string(program) + " --status by hand as this user; " + variable +
                   " must name a CLI that answers in JSON lines";
        return l;
    }
    state.usable = true;
    l.result = verdict::passed;
    l.detail += ": answers --status";
    if (login && !json_bool_field(line.data(), line.data() + line.size(), "ok", 1)) {
        l.result = verdict::warned;
        l.detail += ", refusing: " + string_member(line, "error");
        l.remedy = "run " + std::string(program) + " --status by hand as this user";
    }
    const std::string version = cli_version(program);
    l.detail += version.empty() ? "; it does not tell its version" : "; version " + version;
    return l;
}

constexpr std::string_view issuer_remedy =
    "check the issuer's address (CREDVANE_ISSUER), the route from this node (https_proxy, "
    "no_proxy) and, for a certificate of a company authority, CREDVANE_CA_FILE";

check_line issuer_line(const cli_state& login) {
    const char* configured = set_var("CREDVANE_ISSUER");
    const std::string named = configured != nullptr
                                  ? std::string(configured) + " (from CREDVANE_ISSUER)"
                                  : std::string("the default issuer");
    check_line l{"issuer", verdict::warned, named, {}};
    if (!login.usable) {
        l.detail += ": not checked, as the login CLI does not answer";
        l.remedy = "mend the login CLI first";
        return l;
    }
    // The sign-in programs reach the issuer with their own client, authority and proxy
    // rules: only a run of the login CLI tells whether a sign-in would get there.
    cli_args args(64);
    args.word("--check-issuer");
    buf capture;
    const run_result r = run_capture(login.program.c_str(), args, capture);
    if (r == run_result::timed_out) {
        l.result = verdict::failed;
        l.detail += ": no answer within the CLI time (CREDVANE_CLI_TIMEOUT)";
        l.remedy = issuer_remedy;
        return l;
    }
    const std::string_view line = r == run_result::ran ? json_line(capture) : std::string_view();
    const std::string error = string_member(line, "error");
    if (line.empty() || error == "usage") {
        l.detail += ": not checked: " + login.program + " cannot check the issuer (--check-issuer)";
        l.remedy = "use credvane-login as CODEX_LOGIN_BIN, or reach the issuer by hand from here";
        return l;
    }
    if (const std::string issuer = string_member(line, "issuer"); !issuer.empty()) {
        l.detail = issuer + (configured != nullptr ? " (from CREDVANE_ISSUER)" : " (the default)");
    }
    const std::string proxy = string_member(line, "proxy");
    const std::string ca = string_member(line, "ca");
    if (!json_bool_field(line.data(), line.data() + line.size(), "ok", 0)) {
        l.result = verdict::failed;
        l.detail += ": " + string_member(line, "detail");
        if (!proxy.empty()) l.detail += "; proxy: " + proxy;
        if (!ca.empty()) l.detail += "; certificate authority: " + ca;
        l.remedy = error == "bad_issuer" ? "set CREDVANE_ISSUER to an https:// address, or unset "
                                           "it for the default"
                                         : std::string(issuer_remedy);
        return l;
    }
    const std::int64_t status = json_num_field(line.data(), line.data() + line.size(), "status");
    l.result = status >= 500 ? verdict::warned : verdict::passed;
    l.detail += ": answers (status " + std::to_string(status) + "); proxy: " + proxy +
                "; certificate authority: " + ca;
    if (status >= 500) l.remedy = "the issuer is failing now; try again later";
    return l;
}

check_line password_line() {
    if (set_var("BOT_PASSWORD") != nullptr) {
        return {"node password",
                verdict::passed,
                "set (not shown): every request must carry it, so no other site's page can use "
                "this node",
                {}};
    }
    return {"node password", verdict::warned,
            "not set: anyone who reaches credvane's address can start, cancel or refresh a "
            "sign-in, and over plain http so can any web page its visitors open",
            "set BOT_PASSWORD in the host's environment for credvane"};
}

std::string_view verdict_word(verdict v) {
    switch (v) {
        case verdict::passed:
            return "passed";
        case verdict::warned:
            return "warned";
        case verdict::failed:
            break;
    }
    return "failed";
}

struct tally {
    int passed = 0;
    int warned = 0;
    int failed = 0;
};

tally count(const std::vector<check_line>& lines) {
    tally t;
    for (const check_line& l : lines) {
        (l.result == verdict::passed   ? t.passed
         : l.result == verdict::warned ? t.warned
                                       : t.failed)++;
    }
    return t;
}

}  // namespace

std::string time_words(std::int64_t seconds) {
    const bool ahead = seconds >= 0;
    // Unsigned, so that the most negative span has a magnitude too.
    const std::uint64_t s =
        ahead ? static_cast<std::uint64_t>(seconds) : 0 - static_cast<std::uint64_t>(seconds);
    struct unit {
        std::uint64_t size;
        const char* name;
    };
    constexpr unit units[] = {{86400, "day"}, {3600, "hour"}, {60, "minute"}, {1, "second"}};
    std::uint64_t n = s;
    const char* name = "second";
    for (const unit& u : units) {
        if (s >= u.size) {
            n = s / u.size;
            name = u.name;
            break;
        }
    }
    std::string words = std::to_string(n) + " " + name + (n == 1 ? "" : "s");
    return ahead ? "in " + words : words + " ago";
}

std::vector<check_line> run_checks(const char* account) {
    std::vector<check_line> lines;
    lines.push_back(user_line());
    lines.push_back(credentials_line(account));
    path_text folder;
    const bool whole = codex_dir(folder.span());
    if (account[0] == '\0' && whole) {
        // The folder of the default credential file, where the sign-in programs write it.
        std::string dir(folder.view());
        while (dir.size() > 1 && (dir.back() == '/' || dir.back() == platform::dir_sep)) {
            dir.pop_back();
        }
        lines.push_back(
            folder_line("Codex folder", dir, codex_source(), "the credential file", "CODEX_HOME"));
    }
    lines.push_back(accounts_line());
    lines.push_back(pending_line());
    cli_state login;
    cli_state refresh;
    lines.push_back(cli_line(cli_kind::login, account, login));
    lines.push_back(cli_line(cli_kind::refresh, account, refresh));
    // Last: a hanging issuer may use what is left of the CLI time.
    lines.push_back(issuer_line(login));
    lines.push_back(password_line());
    return lines;
}

std::string check_text(const std::vector<check_line>& lines) {
    std::string out;
    for (const check_line& l : lines) {
        out.append(verdict_word(l.result)).append("  ").append(l.name).append(": ");
        out.append(l.detail).append("\n");
        if (l.result != verdict::passed && !l.remedy.empty()) {
            out.append("        to do: ").append(l.remedy).append("\n");
        }
    }
    const tally t = count(lines);
    out += "credvane --check: " + std::to_string(t.passed) + " passed, " +
           std::to_string(t.warned) + " warned, " + std::to_string(t.failed) + " failed\n";
    return out;
}

std::string check_json(const std::vector<check_line>& lines) {
    const tally t = count(lines);
    buf b;
    buf_addf(b, "{\"ok\":%s,\"passed\":%d,\"warned\":%d,\"failed\":%d,\"checks\":[",
             t.failed == 0 ? "true" : "false", t.passed, t.warned, t.failed);
    bool first = true;
    for (const check_line& l : lines) {
        buf_adds(b, first ? "{\"check\":" : ",{\"check\":");
        first = false;
        buf_json(b, l.name);
        buf_adds(b, ",\"result\":");
        buf_json(b, verdict_word(l.result));
        buf_adds(b, ",\"detail\":");
        buf_json(b, l.detail);
        if (l.result != verdict::passed && !l.remedy.empty()) {
            buf_adds(b, ",\"remedy\":");
            buf_json(b, l.remedy);
        }
        buf_adds(b, "}");
    }
    buf_adds(b, "]}\n");
    return std::string(b.view());
}

int run_check_mode(int argc, char** argv) {
    bool as_json = false;
    const char* account = "";
    for (int i = 0; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--json") {
            as_json = true;
        } else if (a == "--account" && i + 1 < argc && name_valid(argv[i + 1])) {
            account = argv[++i];
        } else {
            platform::write_stdout(
                "usage: credvane --check [--account NAME] [--json]\n"
                "NAME: 1 to 64 letters, digits, '-', '.' or '_', not beginning with '.'\n");
            return 2;
        }
    }
    const std::vector<check_line> lines = run_checks(account);
    platform::write_stdout(as_json ? check_json(lines) : check_text(lines));
    return count(lines).failed == 0 ? 0 : 1;
}

}  // namespace credvane

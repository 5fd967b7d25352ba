// standin_login.cc: a stand-in device-code login CLI, so a node can sign in without the real tool.
//
// Usage (every run prints exactly one JSON line on standard output):
//   standin-login --status [--name NAME]   login facts of the account, and whether a flow is open
//   standin-login --start [--force] [--name NAME]
//                                          opens a flow: verification link and user code
//   standin-login --poll [--name NAME]     "pending", or writes the credential file once approved
//   standin-login --cancel [--name NAME]   abandons the open flow
//   standin-login --approve CODE           approves the open flow that holds CODE
//   standin-login --deny CODE              denies it
// Exit status: 0 when "ok" is true, 1 when it is false, 2 for a command line it cannot use.
//
// Environment:
//   CODEX_CREDS_PATH, CODEX_ACCOUNTS_DIR, CODEX_PENDING_DIR, USERPROFILE, HOME, HOMEPATH
//       where the credential files and pending markers lie, exactly as credvane reads them.
//   STANDIN_VERIFY_URL     base of the verification link (default
//                          "http://127.0.0.1:8088/device"); "code=<user code>" is appended.
//   STANDIN_CODE_LIFETIME  seconds a user code lives, 1 to 900 (default 900).
//   STANDIN_INTERVAL       poll interval handed out, 1 to 3600 seconds (default 5).
//   STANDIN_APPROVE_AFTER  when set to N, a flow at least N seconds old is approved at its
//                          next poll (0: at the first poll); unset: only --approve or the
//                          verification page approve.
//
// Files: the pending marker of the account (a JSON object with "created", "expires_at",
// "interval", "user_code", "account", "approved") while a flow is open; beside it
// "<marker>.outcome" for a flow that was denied or expired until the next poll reports it;
// the account's credential file once a poll finds the flow approved. Every write goes
// through a temporary file and a rename.
#include <cstdint>
#include <string>
#include <string_view>

#include "store/login_status.h"
#include "platform/platform.h"
#include "store/paths.h"
#include "store/creds.h"
#include "store/json.h"
#include "tools/standin_common.h"

namespace {

using namespace credvane;
using namespace credvane::standin;

const char* flag(bool b) {
    return b ? "true" : "false";
}

// What the account's credential file shows, read by the same scan as credvane's.
login_status scan_account(const std::string& path) {
    login_status st{};
    if (const auto text = read_file(path.c_str())) scan_creds(text->c_str(), st, nullptr);
    return st;
}

int cmd_status(const std::string& name) {
    const login_status st = scan_account(creds_file(name));
    bool pending = false;
    {
        // Reaping here matters: credvane reads the marker right after this run, and a
        // marker of a dead flow would otherwise show as a pending login.
        const dir_lock lock(pending_dir());
        pending = reap_flow(marker_file(name), platform::now()).has_value();
    }
    std::string line = "{\"ok\":true,\"logged_in\":";
    line += flag(st.logged_in != 0);
    line += ",\"has_refresh\":";
    line += flag(st.has_refresh != 0);
    line += ",\"pending\":";
    line += flag(pending);
    if (st.expires_at > 0) line += ",\"expires_at\":" + std::to_string(st.expires_at);
    line += '}';
    return answer(line, 0);
}

int cmd_start(const std::string& name, bool force) {
    const std::string creds = creds_file(name);
    if (!force && scan_account(creds).logged_in != 0) {
        return fail("exists", "credentials already exist in " + creds +
                                  "; start with --force to replace them");
    }
    const std::string dir = pending_dir();
    if (!make_dirs(dir)) return fail("start_failed", "cannot create the directory " + dir);
    const dir_lock lock(dir);
    const std::string marker = marker_file(name);
    const std::int64_t now = platform::now();
    flow f;
    f.account = name;
    f.user_code = new_user_code();
    f.created = now;
    f.expires_at = now + code_lifetime();
    f.interval = poll_interval();
    drop_outcome(marker);  // an old flow's outcome must not end the new one
    if (!write_flow(marker, f)) return fail("start_failed", "cannot write " + marker);

    std::string url = verify_base();
    url += url.find('?') == std::string::npos ? "?code=" : "&code=";
    url += f.user_code;
    std::string line = "{\"ok\":true,\"verify_url\":";
    json_str(line, url);
    line += ",\"user_code\":";
    json_str(line, f.user_code);
    line += ",\"interval\":" + std::to_string(f.interval) +
            ",\"expires_in\":" + std::to_string(f.expires_at - now) + "}";
    return answer(line, 0);
}

int cmd_poll(const std::string& name) {
    const dir_lock lock(pending_dir());
    const std::string marker = marker_file(name);
    const std::int64_t now = platform::now();
    auto f = reap_flow(marker, now);
    if (!f) {
        if (const auto o = take_outcome(marker)) return fail(o->error, o->detail);
        return fail("no_flow", "no device login is open for this account; start one first");
    }
    const auto after = approve_after();
    if (after && now - f->created >= *after) f->approved = true;
    if (!f->approved) {
        return answer(
            "{\"ok\":true,\"state\":\"pending\",\"interval\":" + std::to_string(f->interval) + "}",
            0);
    }

    const std::string creds = creds_file(name);
    // A new sign-in of the same account keeps its account id, as the real service does.
    const login_status old = scan_account(creds);
    const std::string account_id = !old.account_id.empty() ? std::string(old.account_id.view())
                                                           : "acct_" + base64url(random_bytes(12));
    const std::string text = creds_json(make_jwt(account_id, now, now + 3600),
                                        "rt_" + base64url(random_bytes(24)), account_id, now);
    const bool written = write_file_atomic(creds, text);
    // Either way the flow is over: a failed write is reported once, not left pending.
    platform::remove_file(marker.c_str());
    drop_outcome(marker);
    if (!written) return fail("write_failed", "cannot write the credential file " + creds);
    return answer(R"({"ok":true,"state":"done"})", 0);
}

int cmd_cancel(const std::string& name) {
    const dir_lock lock(pending_dir());
    const std::string marker = marker_file(name);
    platform::remove_file(marker.c_str());
    drop_outcome(marker);
    return answer(R"({"ok":true,"state":"cancelled"})", 0);
}

int cmd_decide(std::string code, bool approve) {
    for (char& c : code) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    if (!code_valid(code)) return fail("bad_code", "a user code is 1 to 32 of A-Z, 0-9 and -", 2);
    const decide_result r = decide_by_code(code, approve);
    std::string account;
    json_str(account, r.account.empty() ? "default" : r.account);
    switch (r.what) {
        case decision::approved:
            return answer("{\"ok\":true,\"state\":\"approved\",\"account\":" + account + "}", 0);
        case decision::denied:
            return answer("{\"ok\":true,\"state\":\"denied\",\"account\":" + account + "}", 0);
        case decision::expired_code:
            return fail("expired_token", "the user code expired before it was approved");
        case decision::failed:
            return fail("write_failed", "cannot record the approval");
        case decision::unknown_code:
            break;
    }
    return fail("unknown_code", "no open device login has this code");
}

}  // namespace

int main(int argc, char** argv) {
    std::string_view command;
    std::string name;
    std::string code;
    bool force = false;
    bool named = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--status" || a == "--start" || a == "--poll" || a == "--cancel" ||
            a == "--approve" || a == "--deny") {
            if (!command.empty()) return fail("usage", "give exactly one command", 2);
            command = a;
            if (a == "--approve" || a == "--deny") {
                if (i + 1 >= argc) return fail("usage", std::string(a) + " needs a code", 2);
                code = argv[++i];
            }
        } else if (a == "--force") {
            force = true;
        } else if (a == "--name") {
            if (i + 1 >= argc) return fail("usage", "--name needs an account name", 2);
            name = argv[++i];
            named = true;
        } else {
            return fail("usage", "unknown argument " + std::string(a), 2);
        }
    }
    if (command.empty()) {
        return fail("usage", "one of --status, --start, --poll, --cancel, --approve, --deny", 2);
    }
    if (force && command != "--start") return fail("usage", "--force goes with --start", 2);
    if (named && !name_valid(name.c_str())) {
        return fail("bad_name", "an account name is 1 to 64 of A-Z a-z 0-9 - . _", 2);
    }
    if (command == "--approve" || command == "--deny") {
        if (named) return fail("usage", "the code names the flow; --name is not used", 2);
        return cmd_decide(code, command == "--approve");
    }
    if (command == "--status") return cmd_status(name);
    if (command == "--start") return cmd_start(name, force);
    if (command == "--poll") return cmd_poll(name);
    return cmd_cancel(name);
}

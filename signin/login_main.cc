// credvane-login: signs the Codex CLI in by device code, one step per run, so a CGI
// request never waits for a person. Every run prints one JSON line on standard output.
//
//   credvane-login --start [--force] [--name N]   ask the issuer for a user code (without
//                                                 --force, an open login's code is answered)
//   credvane-login --poll [--name N]              at most one token poll per interval
//   credvane-login --cancel [--name N]            forget the open login
//   credvane-login --status [--name N]            what the files say
//   credvane-login --logout [--name N]            revoke the refresh token, remove the file
//   credvane-login --check-issuer                 whether the issuer answers, changing nothing
//   credvane-login --version
//
// The open login lives in the account's pending-login marker between runs. The existing
// credential file is not touched until new tokens are written over it.
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "platform/platform.h"
#include "signin/authfile.h"
#include "signin/common.h"
#include "signin/proxy.h"
#include "store/creds.h"
#include "store/login_status.h"
#include "store/paths.h"

namespace credvane::signin {
namespace {

enum class step { none, start, poll, cancel, status, logout, check_issuer };

struct options {
    step what = step::none;
    bool force = false;
    std::string name;
};

const char* const usage =
    "usage: credvane-login --start [--force] | --poll | --cancel | --status | --logout [--name N]"
    " | --check-issuer | --version";

bool parse_args(int argc, char** argv, options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        step s = step::none;
        if (a == "--start") {
            s = step::start;
        } else if (a == "--poll") {
            s = step::poll;
        } else if (a == "--cancel") {
            s = step::cancel;
        } else if (a == "--status") {
            s = step::status;
        } else if (a == "--logout") {
            s = step::logout;
        } else if (a == "--check-issuer") {
            s = step::check_issuer;
        } else if (a == "--force") {
            o.force = true;
            continue;
        } else if (a == "--name" && i + 1 < argc) {
            o.name = argv[++i];
            if (!name_valid(o.name.c_str())) return false;
            continue;
        } else {
            return false;
        }
        if (o.what != step::none) return false;
        o.what = s;
    }
    return o.what != step::none && (!o.force || o.what == step::start) &&
           (o.name.empty() || o.what != step::check_issuer);
}

json pending_answer(int interval) {
    json a = json::object();
    a["ok"] = true;
    a["state"] = "pending";
    a["interval"] = interval;
    return a;
}

// What the account's credential file holds, read as credvane reads it.
login_status scan_account(const std::string& creds) {
    login_status st{};
    // Under the writers' lock: on Windows an open handle makes the Codex CLI's replace fail.
    const platform::credential_read_lock writers_wait(creds.c_str(), lock_read_deadline());
    if (const auto text = platform::read_regular_file(creds.c_str(), authfile::max_file_size)) {
        scan_creds(text->c_str(), st, nullptr);
    }
    return st;
}

// The open login's code with the time it has left. A reloaded page, or a second person who
// passed the node's password, gets the code that is already waiting instead of a second one
// that would kill it; only --force asks for a new code.
int resume_start(const pending& p, std::int64_t now) {
    json out = json::object();
    out["ok"] = true;
    out["verify_url"] = p.issuer + "/codex/device";
    out["user_code"] = p.user_code;
    out["interval"] = p.interval;
    out["expires_in"] = p.expires_at - now;
    out["resumed"] = true;
    return reply(out);
}

int do_start(const options& o, const std::string& creds, const std::string& marker) {
    if (!o.force) {
        pending open;
        const std::int64_t now = platform::now();
        if (read_marker(marker, open) == marker_state::ok && now < open.expires_at) {
            return resume_start(open, now);
        }
    }
    if (!o.force) {
        const login_status st = scan_account(creds);
        if (st.logged_in || st.api_key_present) {
            return fail("exists",
                        "this account already has credentials; start with --force to replace them");
        }
    }
    const std::string issuer = configured_issuer();
    if (!issuer_ok(issuer)) {
        return fail("bad_issuer", "CREDVANE_ISSUER is not a usable https:// address");
    }
    // Checked before the issuer hands out a code that could then not be kept.
    if (const std::string why = marker_write_problem(marker); !why.empty()) {
        return fail("marker_failed",
                    "could not write the pending-login marker " + marker + ": " + why);
    }
    const std::int64_t deadline = run_deadline_ms();
    http::client c;
    json body = json::object();
    body["client_id"] = client_id;
    const http::answer a =
        post_json(c, issuer + "/api/accounts/deviceauth/usercode", body, deadline);
    if (a.how == http::outcome::answered && a.status == 404) {
        return fail("device_login_unavailable", "device code login is not enabled for this issuer");
    }
    if (a.how != http::outcome::answered || a.status != 200) {
        return fail("start_failed", "could not get a user code: " + describe(a));
    }
    std::string why = "not a JSON object";
    const auto doc = json_body(a);
    const auto code = doc ? read_device_code(*doc, &why) : std::nullopt;
    if (!code) return fail("bad_answer", "the issuer's user-code answer is not usable: " + why);

    const std::int64_t now = platform::now();
    const pending p{code->device_auth_id,
                    code->user_code,
                    code->interval,
                    issuer,
                    now,
                    now + code_lifetime_sec,
                    0};
    if (!write_marker(marker, p)) {
        std::string why = marker_write_problem(marker);
        if (why.empty()) why = "the file system refused the write";
        return fail("marker_failed",
                    "could not write the pending-login marker " + marker + ": " + why);
    }
    json out = json::object();
    out["ok"] = true;
    out["verify_url"] = issuer + "/codex/device";
    out["user_code"] = code->user_code;
    out["interval"] = code->interval;
    out["expires_in"] = code_lifetime_sec;
    return reply(out);
}

// The approved login: exchange the code for tokens and write them as the Codex CLI would.
int finish(http::client& c, const pending& p, const grant& g, const std::string& creds,
           const std::string& marker, std::int64_t deadline) {
    // The code can be exchanged once: the locks are taken and the write proven possible
    // before it is, so a busy lock costs one poll (the approval stays with the issuer) and
    // not the person's approval.
    const authfile::locks held(creds, deadline);
    if (!held.held()) return reply(pending_answer(p.interval));
    if (const std::string cannot = authfile::check_writable(creds, 64 * 1024); !cannot.empty()) {
        platform::remove_file(marker.c_str());
        return fail("write_failed", "the credential file could not be written (" + cannot +
                                        "); the code was not exchanged; start the login again");
    }
    if (time_left_ms(deadline) <= write_reserve_ms) return reply(pending_answer(p.interval));
    const std::string form = "grant_type=authorization_code&client_id=" + form_escape(client_id) +
                             "&code=" + form_escape(g.authorization_code) +
                             "&redirect_uri=" + form_escape(p.issuer + "/deviceauth/callback") +
                             "&code_verifier=" + form_escape(g.code_verifier);
    const http::answer a =
        post_form(c, p.issuer + "/oauth/token", form, deadline - write_reserve_ms);
    if (a.how == http::outcome::failed) {
        // Nothing was decided: the marker stays, and the next poll asks again.
        return reply(pending_answer(p.interval));
    }
    if (a.how != http::outcome::answered || a.status != 200) {
        platform::remove_file(marker.c_str());
        return fail("exchange_failed", "the issuer refused the code exchange: " + describe(a));
    }
    std::string why = "not a JSON object";
    const auto doc = json_body(a);
    const auto tokens = doc ? read_tokens(*doc, false, &why) : std::nullopt;
    if (!tokens) {
        platform::remove_file(marker.c_str());
        return fail("bad_answer", "the issuer's token answer is not usable: " + why);
    }
    const std::string owner = authfile::new_login_owner_id();
    if (owner.empty()) return fail("write_failed", "the system gave no random bytes");
    const authfile::json file =
        authfile::new_login(*tokens, p.issuer, client_id, owner, account_id_of(tokens->id_token),
                            authfile::rfc3339_nanos(std::chrono::system_clock::now()));
    std::string cause;
    if (!authfile::write(creds, authfile::format(file), &cause,
                         deadline - write_reserve_ms + write_wait_ms)) {
        platform::remove_file(marker.c_str());
        return fail("write_failed", "the new tokens could not be written (" + cause +
                                        "); the old file is unchanged; start the login again");
    }
    platform::remove_file(marker.c_str());
    json out = json::object();
    out["ok"] = true;
    out["state"] = "done";
    return reply(out);
}

int do_poll(const std::string& creds, const std::string& marker, const std::string& poll_lock) {
    pending p;
    switch (read_marker(marker, p)) {
        case marker_state::missing:
            return fail("no_pending", "no device login is open for this account; start one");
        case marker_state::unusable:
            platform::remove_file(marker.c_str());
            return fail(
                "bad_marker",
                "the pending-login marker was unreadable and is removed; start the login again");
        case marker_state::ok:
            break;
    }
    const std::int64_t deadline = run_deadline_ms();
    // One poll per interval however many runs come: the check and the stamp happen under
    // the marker's lock, so two runs at once cannot both pass.
    const platform::file_lock guard = platform::file_lock::acquire(poll_lock.c_str(), deadline);
    if (!guard.held()) return reply(pending_answer(p.interval));
    if (read_marker(marker, p) != marker_state::ok) {
        return fail("no_pending", "no device login is open for this account; start one");
    }
    const std::int64_t now = platform::now();
    if (now >= p.expires_at) {
        platform::remove_file(marker.c_str());
        return fail("expired", "the code expired before it was approved; start the login again");
    }
    // A clock set back counts as a due poll rather than a stalled login.
    const std::int64_t now_ms = wall_ms();
    if (p.last_poll_ms > 0 && now_ms >= p.last_poll_ms &&
        now_ms - p.last_poll_ms < p.interval * 1000LL) {
        return reply(pending_answer(p.interval));
    }
    p.last_poll_ms = now_ms;
    if (!write_marker(marker, p))
        return fail("marker_failed", "could not update the pending-login marker");

    http::client c;
    json body = json::object();
    body["device_auth_id"] = p.device_auth_id;
    body["user_code"] = p.user_code;
    const http::answer a =
        post_json(c, p.issuer + "/api/accounts/deviceauth/token", body, deadline);
    if (a.how == http::outcome::answered && a.status == 200) {
        std::string why = "not a JSON object";
        const auto doc = json_body(a);
        const auto g = doc ? read_grant(*doc, &why) : std::nullopt;
        if (!g) {
            platform::remove_file(marker.c_str());
            return fail("bad_answer", "the issuer's approval is not usable: " + why);
        }
        return finish(c, p, *g, creds, marker, deadline);
    }
    // Still waiting for the person (403, 404), or nothing decided: the network failed, the
    // answer was unreadable, or the service was busy or broken for a moment.
    const bool undecided = a.how != http::outcome::answered || a.status == 403 || a.status == 404 ||
                           a.status == 429 || a.status >= 500;
    if (undecided) return reply(pending_answer(p.interval));
    platform::remove_file(marker.c_str());
    if (const auto doc = json_body(a); doc && error_code(*doc) == "expired_token") {
        return fail("expired", "the code expired; get a new code");
    }
    return fail("denied", "the issuer ended the login (status " + std::to_string(a.status) +
                              "): the code was denied or has expired; start the login again");
}

int do_cancel(const std::string& marker) {
    // The service has no cancel endpoint: forgetting the device flow is the cancel.
    platform::remove_file(marker.c_str());
    if (file_exists(marker.c_str()))
        return fail("cancel_failed", "could not remove the pending-login marker");
    json out = json::object();
    out["ok"] = true;
    out["state"] = "cancelled";
    return reply(out);
}

int do_status(const std::string& creds, const std::string& marker) {
    const login_status st = scan_account(creds);
    pending p;
    const marker_state m = read_marker(marker, p);
    const std::int64_t now = platform::now();
    json out = json::object();
    out["ok"] = true;
    out["logged_in"] = st.logged_in != 0;
    out["has_refresh"] = st.has_refresh != 0;
    out["pending"] = m == marker_state::ok && now < p.expires_at;
    out["expires_at"] = st.expires_at;
    return reply(out);
}

// The issuer a file's tokens came from, as the refresh program picks it: the one the file
// records, else CREDVANE_ISSUER. Empty when the file records one that is not usable: the
// token must not go anywhere else.
std::string issuer_of(const json& tokens) {
    const auto prov = tokens.find("oauth_provenance");
    if (prov != tokens.end() && prov->is_object()) {
        const auto is = prov->find("issuer");
        if (is != prov->end() && is->is_string()) {
            const std::string recorded = trim_issuer(is->get<std::string>());
            return issuer_ok(recorded) ? recorded : std::string();
        }
    }
    const std::string configured = configured_issuer();
    return issuer_ok(configured) ? configured : std::string();
}

// Sign out as `codex logout` does: the refresh token is revoked at the issuer (best effort:
// an issuer that cannot be reached must not keep a node signed in against its operator's
// wish), then the file goes, under the Codex CLI's locks, which stay. The file is readied to
// go first: a revoked token in a file that stays would leave the node reading as signed in
// with a token that no longer works.
int do_logout(const std::string& creds) {
    const std::int64_t deadline = run_deadline_ms();
    const authfile::locks held(creds, deadline);
    if (!held.held())
        return fail("locked", "the credential file stayed locked by another program; try again");
    json out = json::object();
    out["ok"] = true;
    out["state"] = "logged_out";
    if (!platform::is_non_directory(creds.c_str())) return reply(out);

    // Read before the file is readied, which may move it.
    const auto doc = authfile::read(creds);
    std::string cannot = "the system gave no reason";
    platform::file_removal removal(creds.c_str(), &cannot);
    if (!removal.ready()) {
        return fail("write_failed",
                    "the credential file cannot be removed (" + cannot + "); nothing was revoked");
    }
    std::string not_revoked;
    const json* tokens = nullptr;
    if (doc && doc->is_object()) {
        if (const auto t = doc->find("tokens"); t != doc->end() && t->is_object()) tokens = &*t;
    }
    if (tokens != nullptr) {
        const auto rt = tokens->find("refresh_token");
        if (rt != tokens->end() && rt->is_string() &&
            opaque_ok(rt->get_ref<const std::string&>(), 8192)) {
            const std::string issuer = issuer_of(*tokens);
            if (issuer.empty()) {
                not_revoked =
                    "the file's issuer (or CREDVANE_ISSUER) is not a usable https:// address";
            } else {
                http::client c;
                json body = json::object();
                body["token"] = rt->get<std::string>();
                body["token_type_hint"] = "refresh_token";
                body["client_id"] = std::string(client_id);
                const http::answer a = post_json(c, issuer + "/oauth/revoke", body, deadline);
                if (a.how != http::outcome::answered || a.status != 200) not_revoked = describe(a);
            }
        }
    }
    if (!removal.remove()) {
        return fail("write_failed", not_revoked.empty()
                                        ? "the refresh token was revoked at the issuer, but the "
                                          "credential file could not be removed; it no longer "
                                          "signs in: remove it or sign in again"
                                        : "could not remove the credential file");
    }
    if (!not_revoked.empty()) {
        out["revoked"] = false;
        out["detail"] =
            "signed out here, but the issuer did not confirm that the refresh token "
            "was revoked (" +
            not_revoked + "); it may still be valid at the issuer";
    }
    return reply(out);
}

// The first of the two names that is set and not empty, as libcurl reads a proxy variable:
// the lower-case one first. Windows names are one variable in any case.
const char* proxy_variable(const char* lower, const char* upper, const char** which) {
    for (const char* name : {lower, upper}) {
        const char* v = platform::env(name);
        if (v != nullptr && v[0] != '\0') {
            *which = name;
            return v;
        }
    }
    return nullptr;
}

// Whether the issuer answers this program, over the same client, CA, proxy and time rules
// as a sign-in, with nothing written and nothing secret sent: a user-code request without
// a client id, which an issuer refuses without making a code. Any answer proves the way
// there (name, route, TLS trust); what it says is not judged.
int do_check_issuer() {
    const std::string issuer = configured_issuer();
    json out = json::object();
    out["issuer"] = issuer;
    if (!issuer_ok(issuer)) {
        out["ok"] = false;
        out["error"] = "bad_issuer";
        out["detail"] = "CREDVANE_ISSUER is not a usable https:// address";
        reply(out);
        return exit_failed;
    }
    const char* proxy_name = "https_proxy";
    const char* no_proxy_name = "no_proxy";
    const char* proxy = proxy_variable("https_proxy", "HTTPS_PROXY", &proxy_name);
    const char* no_proxy = proxy_variable("no_proxy", "NO_PROXY", &no_proxy_name);
    const bool secure =
        issuer.compare(0, 8, "https://") == 0 || issuer.compare(0, 8, "HTTPS://") == 0;
    const http::proxy_choice route =
        http::choose_proxy(issuer_host(issuer), secure, proxy, no_proxy);
    switch (route.how) {
        case http::proxy_choice::route::named:
            out["proxy"] = std::string(proxy_name) + " " + route.server;
            break;
        case http::proxy_choice::route::direct:
            out["proxy"] = proxy != nullptr && secure
                               ? std::string("none: ") + no_proxy_name + " names the issuer"
                               : std::string("none");
            break;
        case http::proxy_choice::route::system:
        case http::proxy_choice::route::refused:
            out["proxy"] = "none";
            break;
    }
    const char* ca = platform::env("CREDVANE_CA_FILE");
    out["ca"] = ca != nullptr && ca[0] != '\0' ? std::string(ca) : std::string("the system's");
    http::client c;
    const http::answer a = post_json(c, issuer + "/api/accounts/deviceauth/usercode",
                                     json::object(), run_deadline_ms());
    if (a.how == http::outcome::failed) {
        out["ok"] = false;
        out["error"] = "unreachable";
        out["detail"] = describe(a);
        reply(out);
        return exit_failed;
    }
    out["ok"] = true;
    out["status"] = a.status;
    return reply(out);
}

int run(int argc, char** argv) {
    protect_process();
    options o;
    if (argc == 2 && std::string_view(argv[1]) == "--version") return reply_version();
    if (!parse_args(argc, argv, o)) return fail("usage", usage, exit_usage);
    if (o.what == step::check_issuer) return do_check_issuer();
    const auto creds = account_creds_path(o.name);
    const auto marker = account_marker_path(o.name);
    const auto poll_lock = account_poll_lock_path(o.name);
    if (!creds || !marker || !poll_lock)
        return fail("path_too_long", "the account's file paths are too long");
    if (o.what == step::start || o.what == step::poll || o.what == step::logout) {
        for (const std::string* file : {&*creds, &*marker}) {
            if (const std::string unsafe = unsafe_folder_of(*file); !unsafe.empty()) {
                return fail("write_failed", "refusing to write there: " + unsafe);
            }
        }
    }
    switch (o.what) {
        case step::start:
            return do_start(o, *creds, *marker);
        case step::poll:
            return do_poll(*creds, *marker, *poll_lock);
        case step::cancel:
            return do_cancel(*marker);
        case step::status:
            return do_status(*creds, *marker);
        case step::logout:
            return do_logout(*creds);
        case step::check_issuer:
        case step::none:
            break;
    }
    return fail("usage", usage, exit_usage);
}

}  // namespace
}  // namespace credvane::signin

int SIGNIN_MAIN(int argc, credvane::signin::arg_char** argv) {
    return credvane::signin::program_main(argc, argv, credvane::signin::run,
                                          "the login program failed unexpectedly");
}

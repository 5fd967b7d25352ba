// credvane-refresh: renews the tokens of one Codex credential file.
//
//   credvane-refresh --credentials-file PATH [--force]
//   credvane-refresh --version
//
// Without --force a token that is valid for more than five more minutes is left alone.
// The refresh goes to the issuer the file records (tokens.oauth_provenance), else to
// CREDVANE_ISSUER; the file is rewritten in place of the old one, keeping every member
// the refresh does not change, unknown ones included. Prints one JSON line.
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "platform/platform.h"
#include "signin/authfile.h"
#include "signin/common.h"
#include "store/creds.h"
#include "store/paths.h"

namespace credvane::signin {
namespace {

constexpr std::int64_t fresh_margin_sec = 300;
// How long a refresh refused as already used waits for the program that used it to
// write its new tokens. That program writes as soon as it has the answer and the locks, but
// on a busy node it may be seconds behind; giving up early would send a person to sign in
// again for nothing, while waiting longer costs only when the token is really lost.
constexpr std::int64_t reused_wait_ms = 10000;

const char* const usage = "usage: credvane-refresh --credentials-file PATH [--force]";

struct file_facts {
    std::string refresh_token;
    std::string access_token;
    std::string issuer;  // from the file; empty when it records none
    std::string client;  // likewise
    bool issuer_unusable = false;
};

std::optional<file_facts> facts_of(const json& doc) {
    if (!doc.is_object()) return std::nullopt;
    const auto tokens = doc.find("tokens");
    if (tokens == doc.end() || !tokens->is_object()) return std::nullopt;
    file_facts f;
    if (const auto rt = tokens->find("refresh_token"); rt != tokens->end() && rt->is_string()) {
        f.refresh_token = rt->get<std::string>();
    }
    if (const auto at = tokens->find("access_token"); at != tokens->end() && at->is_string()) {
        f.access_token = at->get<std::string>();
    }
    const auto prov = tokens->find("oauth_provenance");
    if (prov != tokens->end() && prov->is_object()) {
        if (const auto is = prov->find("issuer"); is != prov->end() && is->is_string()) {
            f.issuer = trim_issuer(is->get<std::string>());
            f.issuer_unusable = !issuer_ok(f.issuer);
        }
        if (const auto ci = prov->find("client_id"); ci != prov->end() && ci->is_string()) {
            f.client = ci->get<std::string>();
        }
    }
    return f;
}

json refreshed(std::int64_t expires_at, const char* detail) {
    json out = json::object();
    out["ok"] = true;
    out["state"] = "refreshed";
    out["expires_at"] = expires_at;
    if (detail != nullptr) out["detail"] = detail;
    return out;
}

// After a refused reuse: the program that used the token first (a running Codex agent)
// writes its new tokens once it has them. Succeed when the file shows a later expiry.
int await_other_refresh(const std::string& path, std::int64_t old_exp, std::int64_t deadline) {
    const std::int64_t until = std::min(deadline, platform::monotonic_ms() + reused_wait_ms);
    for (;;) {
        // Read as the other program writes: a reader takes the writers' lock shared, since on
        // Windows an open handle would make that program's replace fail.
        std::optional<authfile::json> doc;
        {
            const platform::credential_read_lock writers_wait(path.c_str(), lock_read_deadline());
            doc = authfile::read(path);
        }
        if (doc) {
            if (const auto f = facts_of(*doc)) {
                const std::int64_t exp = jwt_exp(f->access_token);
                if (exp > old_exp) {
                    return reply(
                        refreshed(exp, "another program had just refreshed these credentials"));
                }
            }
        }
        if (platform::monotonic_ms() >= until) break;
        platform::sleep_ms(50);
    }
    return fail("refresh_token_reused",
                "the issuer says this refresh token was already used and the file holds no newer "
                "tokens; sign in again");
}

int run(int argc, char** argv) {
    if (argc == 2 && std::string_view(argv[1]) == "--version") return reply_version();
    std::string path;
    bool force = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--credentials-file" && i + 1 < argc && path.empty()) {
            path = argv[++i];
        } else if (a == "--force") {
            force = true;
        } else {
            return fail("usage", usage, exit_usage);
        }
    }
    if (path.empty()) return fail("usage", usage, exit_usage);

    protect_process();
    // The lock files are made beside the file, so its folder is judged before they are.
    if (const std::string unsafe = unsafe_folder_of(path); !unsafe.empty()) {
        return fail("write_failed", "refusing to use the credential folder: " + unsafe);
    }
    const std::int64_t deadline = run_deadline_ms();
    std::optional<authfile::locks> held;
    held.emplace(path, deadline);
    if (!held->held()) {
        return fail("locked", "the credential file stayed locked by another program; try again");
    }
    if (!file_exists(path.c_str()))
        return fail("no_credentials", "there is no credential file to refresh");
    // Tokens another account put here would sign the node in as that account.
    if (const std::string foreign = platform::foreign_owner(path.c_str()); !foreign.empty()) {
        return fail("bad_file", "the credential file is not used: " + foreign);
    }
    auto doc = authfile::read(path);
    if (!doc) return fail("bad_file", "the credential file is not readable JSON");
    const auto facts = facts_of(*doc);
    if (!facts || !opaque_ok(facts->refresh_token, 8192)) {
        return fail("no_refresh_token",
                    "the credential file holds no refresh token; sign in again");
    }
    if (facts->issuer_unusable) {
        return fail("bad_issuer",
                    "the issuer recorded in the credential file is not a usable https:// address");
    }
    const std::int64_t old_exp = jwt_exp(facts->access_token);
    if (!force && old_exp - platform::now() > fresh_margin_sec) {
        json out = json::object();
        out["ok"] = true;
        out["state"] = "fresh";
        out["expires_at"] = old_exp;
        return reply(out);
    }
    const std::string issuer = facts->issuer.empty() ? configured_issuer() : facts->issuer;
    if (!issuer_ok(issuer))
        return fail("bad_issuer", "CREDVANE_ISSUER is not a usable https:// address");
    const std::string client =
        opaque_ok(facts->client, 256) ? facts->client : std::string(client_id);

    // The refresh token is single-use: once sent, the old file is worthless. So everything
    // the write needs is proven first (the locks are held already), and time is kept back
    // for it: new tokens (JWTs of up to 16 KiB each) replace old ones.
    const std::string cannot =
        authfile::check_writable(path, authfile::format(*doc).size() + 40 * 1024);
    if (!cannot.empty()) {
        return fail("write_failed",
                    "the credential file could not be written, so the refresh was not tried (" +
                        cannot + "); the old one is unchanged");
    }
    if (time_left_ms(deadline) <= write_reserve_ms) {
        return fail(
            "refresh_failed",
            "too little time was left to refresh and write safely; the old file is unchanged");
    }

    http::client c;
    json body = json::object();
    body["client_id"] = client;
    body["grant_type"] = "refresh_token";
    body["refresh_token"] = facts->refresh_token;
    const http::answer a = post_json(c, issuer + "/oauth/token", body, deadline - write_reserve_ms);
    if (a.how == http::outcome::answered && a.status == 200) {
        std::string why = "not a JSON object";
        const auto answer = json_body(a);
        const auto tokens = answer ? read_tokens(*answer, true, &why) : std::nullopt;
        if (!tokens) return fail("bad_answer", "the issuer's refresh answer is not usable: " + why);
        std::string cause = "the file has no tokens to update";
        if (!authfile::apply_refresh(*doc, *tokens,
                                     authfile::rfc3339_nanos(std::chrono::system_clock::now())) ||
            !authfile::write(path, authfile::format(*doc), &cause,
                             deadline - write_reserve_ms + write_wait_ms)) {
            return fail("write_failed",
                        "the refresh token was spent but the new tokens could not be written (" +
                            cause + "); the old token no longer works: sign in again");
        }
        return reply(refreshed(jwt_exp(tokens->access_token), nullptr));
    }
    if (a.how == http::outcome::answered && (a.status == 400 || a.status == 401)) {
        const auto answer = json_body(a);
        if (answer && refresh_token_reused(*answer)) {
            held.reset();  // the other program writes under these locks
            return await_other_refresh(path, old_exp, deadline);
        }
    }
    if (a.how == http::outcome::answered && a.status >= 400 && a.status < 500) {
        return fail("refresh_refused", "the issuer refused the refresh (status " +
                                           std::to_string(a.status) + "); sign in again");
    }
    return fail("refresh_failed", "the refresh did not go through: " + describe(a));
}

}  // namespace
}  // namespace credvane::signin

int SIGNIN_MAIN(int argc, credvane::signin::arg_char** argv) {
    return credvane::signin::program_main(argc, argv, credvane::signin::run,
                                          "the refresh program failed unexpectedly");
}

// main.cc: credvane's entry point: discovery modes, the node-password check, the page
// decision, the account choice and the dispatch to exactly one action.
#include <cstring>
#include <string>
#include <string_view>

#include "actions/actions.h"
#include "base/buf.h"
#include "base/text.h"
#include "check/check.h"
#include "panel/page.h"
#include "platform/platform.h"
#include "request/auth.h"
#include "request/navigation.h"
#include "request/query.h"
#include "request/version.h"
#include "store/paths.h"

namespace credvane {
namespace {

constexpr std::string_view meta_line = "{\"name\":\"codex\",\"desc\":\"Codex login\"}\n";
constexpr std::string_view unauthorized_answer =
    "Status: 401 Unauthorized\r\n"
    "Content-Type: application/json; charset=utf-8\r\n"
    "Cache-Control: no-store\r\n"
    "\r\n"
    "{\"ok\":false,\"error\":\"invalid node password\"}\n";
static_assert(unauthorized_answer.size() == 145);

// Every action, once: its name in the query, what runs it, and whether it changes
// something. The changing ones are refused to other sites and hold the account's lock;
// the answers that list actions are spelled from here. The empty action is the status.
struct action_entry {
    std::string_view name;
    int (*run)(const char* account, int force);
    bool changes;
};

constexpr action_entry action_table[] = {
    {"", [](const char* account, int) { return action_status(account); }, false},
    {"status", [](const char* account, int) { return action_status(account); }, false},
    {"start", [](const char* account, int force) { return action_start(account, force); }, true},
    {"poll", [](const char* account, int) { return action_poll(account); }, true},
    {"cancel", [](const char* account, int) { return action_cancel(account); }, true},
    {"refresh", [](const char* account, int) { return action_refresh(account); }, true},
    {"logout", [](const char* account, int) { return action_logout(account); }, true},
    {"accounts", [](const char* account, int) { return action_status(account); }, false},
};

const action_entry* find_action(std::string_view name) {
    for (const action_entry& a : action_table) {
        if (a.name == name) return &a;
    }
    return nullptr;
}

// The names of the actions in the table's order, only the changing ones when asked, as a
// list in words: "a, b and c" (joint "and") or "a, b or c".
std::string action_names(bool changing_only, std::string_view joint) {
    std::string_view names[std::size(action_table)];
    std::size_t n = 0;
    for (const action_entry& a : action_table) {
        if (!a.name.empty() && (a.changes || !changing_only)) names[n++] = a.name;
    }
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0 && i + 1 < n) out.append(", ");
        if (i > 0 && i + 1 == n) out.append(" ").append(joint).append(" ");
        out.append(names[i]);
    }
    return out;
}

int serve(int argc, char** argv) {
    // A CGI host may turn a query without "=" into arguments ("?--version" as argv[1]):
    // under a host the arguments are the request's, not the operator's, so they pick no mode.
    const bool under_host = platform::env("GATEWAY_INTERFACE") != nullptr;
    const char* first = argc > 1 && !under_host ? argv[1] : nullptr;
    if (first != nullptr && std::strcmp(first, "--meta") == 0) {
        platform::write_stdout(meta_line);
        return 0;
    }
    if (platform::env("QN_PLUGIN_META") != nullptr) {
        platform::write_stdout(meta_line);
        return 0;
    }
    if (first != nullptr &&
        (std::strcmp(first, "--version") == 0 || std::strcmp(first, "-v") == 0)) {
        platform::write_stdout(version_line);
        return 0;
    }
    // The operator's self-check, from a shell with the host's environment.
    if (first != nullptr && std::strcmp(first, "--check") == 0) {
        return run_check_mode(argc - 2, argv + 2);
    }

    const char* query = platform::env("QUERY_STRING");
    if (query == nullptr) query = "";
    const password_sources offered{platform::env("BOT_PASSWORD"),
                                   platform::env("HTTP_X_BOT_PASSWORD"),
                                   platform::env("HTTP_AUTHORIZATION"), query};
    if (!password_ok(offered)) {
        // A person who opened the panel in a browser gets the page, which asks for the
        // password and sends it in a header from then on; it holds no node data. Every other
        // caller gets the fixed answer.
        if (browser_navigation(platform::env("HTTP_SEC_FETCH_DEST"),
                               platform::env("HTTP_ACCEPT"))) {
            emit_page(page_locked_status);
            return 0;
        }
        platform::write_stdout(unauthorized_answer);
        return 0;
    }
    if (!query_has(query, "action") && !query_has(query, "format")) {
        emit_page();
        return 0;
    }

    text<64> action;
    text<32> format;
    text<16> force_value;
    get_query_val(query, "action", action.span());
    get_query_val(query, "format", format.span());
    const bool has_force = get_query_val(query, "force", force_value.span()) != 0;
    const int force =
        has_force && (force_value.view() == "1" || force_value.view() == "true") ? 1 : 0;

    // A missing or empty account means the node's default account (CODEX_ACCOUNT, else the
    // default credential file). An invalid name is remembered: a status falls back without a
    // word, but a changing action refuses it, since acting on the default account for a
    // mistyped name would sign out or replace the wrong credentials.
    text<96> account;
    get_query_val(query, "account", account.span());
    const bool account_invalid = !account.empty() && !name_valid(account.c_str());
    if (account.empty() || account_invalid) {
        account.clear();
        const char* fallback = platform::env("CODEX_ACCOUNT");
        if (fallback != nullptr && name_valid(fallback)) account.assign(fallback);
    }

    const char* name = account.c_str();
    const action_entry* chosen = find_action(action.view());
    if (chosen == nullptr) {
        emit_error(400, "Bad Request", "unknown_action", "expected " + action_names(false, "or"));
        return exit_failed;
    }
    if (!chosen->changes) return chosen->run(name, force);
    // The actions that change something never run for another site's page: with no node
    // password, an <img> there could otherwise start, cancel or refresh a login, or sign out. The
    // status and the page stay served, since the other site cannot read what they answer.
    const std::string_view why =
        other_site(platform::env("HTTP_SEC_FETCH_SITE"), platform::env("HTTP_ORIGIN"));
    if (!why.empty()) {
        std::string detail = "a page of another site sent this request (";
        detail.append(why);
        detail.append("); ");
        detail.append(action_names(true, "and"));
        detail.append(" are refused to other sites");
        emit_error(403, "Forbidden", "cross_site_request", detail);
        return 0;
    }
    if (account_invalid) {
        emit_error(400, "Bad Request", "bad_account",
                   "an account name is 1 to 64 ASCII letters, digits, '-', '.' or '_', not "
                   "beginning with '.'; nothing was changed");
        return 1;
    }
    // Only a start makes an account's files from nothing.
    const account_lock lock(name, chosen->name == "start");
    if (lock.busy()) return answer_busy(name);
    return chosen->run(name, force);
}

}  // namespace
}  // namespace credvane

int main(int argc, char** argv) {
    credvane::platform::load_libraries_from_system_only();
    return credvane::serve(argc, argv);
}

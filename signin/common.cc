// common.cc: what the two sign-in programs share.
#include "signin/common.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <optional>
#include <vector>

#include "base/cli_time.h"
#include "base/text.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "store/paths.h"

namespace credvane::signin {

namespace {

constexpr std::int64_t run_max_ms = 20000;
// Time kept back from the end credvane gives a run, for the answer line and the process's
// end: a program that is still there at that end is ended, whatever it was doing.
constexpr std::int64_t exit_margin_ms = 300;

// A path from the store's builders is cut at 1023 bytes: one that fills the buffer may
// have been cut, and a cut path names a different file.
std::optional<std::string> whole(const path_text& p) {
    const std::string_view v = p.view();
    if (v.empty() || v.size() + 1 >= path_text::capacity) return std::nullopt;
    return std::string(v);
}

std::optional<std::int64_t> int_member(const json& doc, const char* key) {
    const auto it = doc.find(key);
    if (it == doc.end() || !it->is_number_integer()) return std::nullopt;
    return it->get<std::int64_t>();
}

std::optional<std::string> str_member(const json& doc, const char* key) {
    const auto it = doc.find(key);
    if (it == doc.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

std::string folder_of(const std::string& path) {
    std::size_t cut = path.rfind(platform::dir_sep);
    if (platform::dir_sep == '\\' && cut == std::string::npos) cut = path.rfind('/');
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

}  // namespace

void protect_process() {
    platform::drop_env("SSLKEYLOGFILE");
    platform::keep_memory_private();
}

std::string unsafe_folder_of(const std::string& path) {
    const std::string folder = folder_of(path);
    return folder.empty() ? std::string() : platform::unsafe_folder(folder.c_str());
}

std::string marker_write_problem(const std::string& path) {
    const std::string folder = folder_of(path);
    if (folder.empty()) return {};
    if (std::string unsafe = platform::unsafe_folder(folder.c_str()); !unsafe.empty()) {
        return unsafe;
    }
    return platform::folder_write_problem(folder.c_str());
}

int reply(const json& answer) {
    platform::write_stdout(answer.dump(-1, ' ', false, json::error_handler_t::replace) + "\n");
    return exit_ok;
}

int reply_version() {
    json a = json::object();
    a["ok"] = true;
    a["version"] = CREDVANE_SIGNIN_VERSION;
    return reply(a);
}

int fail(std::string_view code, std::string_view detail, int status) {
    json a = json::object();
    a["ok"] = false;
    a["error"] = std::string(code);
    a["detail"] = std::string(detail);
    reply(a);
    return status;
}

int program_main(int argc, arg_char** argv, int (*run)(int, char**), std::string_view unexpected) {
    platform::load_libraries_from_system_only();
    try {
#ifdef _WIN32
        std::optional<std::vector<std::string>> args = platform::utf8_arguments(argc, argv);
        if (!args) return fail("usage", "an argument is not valid Unicode text", exit_usage);
        std::vector<char*> utf8;
        for (std::string& a : *args) utf8.push_back(a.data());
        utf8.push_back(nullptr);
        return run(static_cast<int>(args->size()), utf8.data());
#else
        return run(argc, argv);
#endif
    } catch (const std::exception&) {
        return fail("internal", unexpected);
    }
}

std::int64_t run_deadline_ms() {
    const std::int64_t budget = std::min<std::int64_t>(
        run_max_ms, static_cast<std::int64_t>(cli_timeout_seconds()) * 2000 / 3);
    const std::int64_t own = platform::monotonic_ms() + budget;
    const std::int64_t given = cli_deadline_ms();
    return given > 0 ? std::min(own, given - exit_margin_ms) : own;
}

int time_left_ms(std::int64_t deadline_ms) {
    const std::int64_t left = deadline_ms - platform::monotonic_ms();
    return static_cast<int>(std::clamp<std::int64_t>(left, 1, run_max_ms));
}

std::optional<std::string> account_creds_path(std::string_view name) {
    path_text p;
    const std::string n(name);
    if (!credentials_path(n.c_str(), p.span())) return std::nullopt;
    return whole(p);
}

std::optional<std::string> account_marker_path(std::string_view name) {
    path_text p;
    const std::string n(name);
    pending_path(n.c_str(), p.span());
    return whole(p);
}

std::optional<std::string> account_poll_lock_path(std::string_view name) {
    path_text p;
    const std::string n(name);
    pending_poll_lock_path(n.c_str(), p.span());
    return whole(p);
}

marker_state read_marker(const std::string& path, pending& out) {
    if (!file_exists(path.c_str())) return marker_state::missing;
    // A marker another account made names that account's issuer and flow: the next poll
    // would sign the node in as that account.
    if (!platform::foreign_owner(path.c_str()).empty()) return marker_state::unusable;
    const auto text = platform::read_regular_file(path.c_str(), 64 * 1024);
    if (!text) return marker_state::unusable;
    const auto doc = authfile::parse(*text);
    if (!doc || !doc->is_object()) return marker_state::unusable;
    const auto id = str_member(*doc, "device_auth_id");
    const auto code = str_member(*doc, "user_code");
    const auto issuer = str_member(*doc, "issuer");
    const auto interval = int_member(*doc, "interval");
    const auto created = int_member(*doc, "created");
    const auto expires = int_member(*doc, "expires_at");
    const auto last = int_member(*doc, "last_poll_ms");
    // The marker is ours, but it lies in a folder others may write: check it as any input.
    if (!id || !opaque_ok(*id, 1024) || !code || !opaque_ok(*code, max_user_code) || !issuer ||
        !issuer_ok(*issuer) || !interval || *interval < 1 || *interval > max_interval || !created ||
        !expires || !last) {
        return marker_state::unusable;
    }
    out = pending{*id, *code, static_cast<int>(*interval), *issuer, *created, *expires, *last};
    return marker_state::ok;
}

bool write_marker(const std::string& path, const pending& p) {
    json doc = json::object();
    doc["device_auth_id"] = p.device_auth_id;
    doc["user_code"] = p.user_code;
    doc["interval"] = p.interval;
    doc["issuer"] = p.issuer;
    doc["created"] = p.created;
    doc["expires_at"] = p.expires_at;
    doc["last_poll_ms"] = p.last_poll_ms;
    const std::string folder = folder_of(path);
    if (!folder.empty() && (!platform::unsafe_folder(folder.c_str()).empty() ||
                            !platform::make_private_dirs(folder.c_str()))) {
        return false;
    }
    return platform::replace_file(path.c_str(), ".pending-", doc.dump());
}

std::int64_t wall_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

namespace {

// The body is only seen: the caller's text lives until the answer is back.
http::answer post(http::client& c, const std::string& url, std::string_view content_type,
                  std::string_view body, std::int64_t deadline_ms) {
    http::request r;
    r.url = url;
    r.content_type = content_type;
    r.body = body;
    r.timeout_ms = time_left_ms(deadline_ms);
    return c.post(r);
}

}  // namespace

http::answer post_json(http::client& c, const std::string& url, const json& body,
                       std::int64_t deadline_ms) {
    return post(c, url, "application/json", body.dump(), deadline_ms);
}

http::answer post_form(http::client& c, const std::string& url, const std::string& body,
                       std::int64_t deadline_ms) {
    return post(c, url, "application/x-www-form-urlencoded", body, deadline_ms);
}

std::string describe(const http::answer& a) {
    switch (a.how) {
        case http::outcome::failed:
            return "the issuer could not be reached (" + a.error + ")";
        case http::outcome::too_large:
            return "the issuer's answer was larger than allowed";
        case http::outcome::answered:
            break;
    }
    return "the issuer answered with status " + std::to_string(a.status);
}

}  // namespace credvane::signin

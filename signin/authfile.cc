// authfile.cc: the Codex credential file, read and written as the Codex CLI does.
#include "signin/authfile.h"

#include <array>
#include <cstdio>

#include "platform/platform.h"

namespace credvane::authfile {

namespace {

// Longer than any run of either program lasts.
constexpr std::int64_t stale_after_ms = 60000;

// True when no array or object in text opens deeper than limit; strings are skipped.
bool depth_within(std::string_view text, int limit) {
    int depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '{' || c == '[') {
            if (++depth > limit) return false;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return true;
}

std::string base64url(const unsigned char* data, std::size_t n) {
    static constexpr char digits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    out.reserve((n * 4 + 2) / 3);
    std::uint32_t acc = 0;
    int bits = 0;
    for (std::size_t i = 0; i < n; ++i) {
        acc = (acc << 8) | data[i];
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out.push_back(digits[(acc >> bits) & 63]);
        }
    }
    if (bits > 0) out.push_back(digits[(acc << (6 - bits)) & 63]);
    return out;
}

std::string folder_of(std::string_view path) {
    std::size_t cut = path.rfind(platform::dir_sep);
    if (platform::dir_sep == '\\' && cut == std::string_view::npos) cut = path.rfind('/');
    return cut == std::string_view::npos ? std::string() : std::string(path.substr(0, cut + 1));
}

}  // namespace

std::optional<json> parse(std::string_view text) {
    if (!depth_within(text, max_depth)) return std::nullopt;
    json doc = json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
    if (doc.is_discarded()) return std::nullopt;
    return doc;
}

std::string format(const json& doc) {
    // Every string in a document came through parse (valid UTF-8) or from checked
    // ASCII, so replace never changes a byte; it only keeps dump from throwing.
    return doc.dump(2, ' ', false, json::error_handler_t::replace);
}

json new_login(const login_tokens& t, std::string_view issuer, std::string_view client_id,
               std::string_view login_owner_id, std::string_view account_id,
               std::string_view last_refresh) {
    json provenance = json::object();
    provenance["issuer"] = std::string(issuer);
    provenance["client_id"] = std::string(client_id);
    json tokens = json::object();
    tokens["id_token"] = t.id_token;
    tokens["access_token"] = t.access_token;
    tokens["refresh_token"] = t.refresh_token;
    tokens["oauth_provenance"] = std::move(provenance);
    tokens["login_owner_id"] = std::string(login_owner_id);
    if (account_id.empty()) {
        tokens["account_id"] = nullptr;
    } else {
        tokens["account_id"] = std::string(account_id);
    }
    json doc = json::object();
    doc["auth_mode"] = "chatgpt";
    doc["OPENAI_API_KEY"] = nullptr;
    doc["tokens"] = std::move(tokens);
    doc["last_refresh"] = std::string(last_refresh);
    return doc;
}

bool apply_refresh(json& doc, const login_tokens& t, std::string_view last_refresh) {
    if (!doc.is_object()) return false;
    const auto tokens = doc.find("tokens");
    if (tokens == doc.end() || !tokens->is_object()) return false;
    // operator[] on an existing member keeps its place; a missing one goes last.
    if (!t.id_token.empty()) (*tokens)["id_token"] = t.id_token;
    if (!t.access_token.empty()) (*tokens)["access_token"] = t.access_token;
    if (!t.refresh_token.empty()) (*tokens)["refresh_token"] = t.refresh_token;
    doc["last_refresh"] = std::string(last_refresh);
    return true;
}

std::string rfc3339_nanos(std::chrono::system_clock::time_point t) {
    using namespace std::chrono;
    const auto ns = duration_cast<nanoseconds>(t.time_since_epoch());
    const auto day = floor<days>(ns);
    const year_month_day ymd{sys_days{day}};
    const hh_mm_ss<nanoseconds> hms{ns - day};
    std::array<char, 48> out{};
    std::snprintf(out.data(), out.size(), "%04d-%02u-%02uT%02d:%02d:%02d.%09lldZ",
                  static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                  static_cast<unsigned>(ymd.day()), static_cast<int>(hms.hours().count()),
                  static_cast<int>(hms.minutes().count()), static_cast<int>(hms.seconds().count()),
                  static_cast<long long>(hms.subseconds().count()));
    return out.data();
}

std::string new_login_owner_id() {
    std::array<unsigned char, 32> bytes{};
    if (!platform::random_bytes(bytes)) return {};
    return base64url(bytes.data(), bytes.size());
}

std::string folder_lock_path(std::string_view creds) {
    return folder_of(creds) + "auth.lock";
}

std::string file_lock_path(std::string_view creds) {
    return std::string(creds) + ".lock";
}

locks::locks(std::string_view creds, std::int64_t deadline_ms) {
    // The lock files live beside the credential file: a first login creates its folder.
    const std::string folder = folder_of(creds);
    if (!folder.empty()) platform::make_private_dirs(folder.c_str());
    folder_ = platform::file_lock::acquire(folder_lock_path(creds).c_str(), deadline_ms);
    if (folder_.held()) {
        file_ = platform::file_lock::acquire(file_lock_path(creds).c_str(), deadline_ms);
    }
    // A run ended between its temporary file and the rename (or while a logout had moved the
    // file aside) left it here, up to a file of tokens. Under both locks no run of ours writes
    // in this folder, but one writing through a link from elsewhere may: only files older than
    // any run are taken.
    if (held() && !folder.empty()) {
        platform::remove_stale_files(folder.c_str(), ".auth-", stale_after_ms);
    }
}

namespace {

// The file a write replaces, with its folder made and judged safe; nothing, with why, when
// it must not be written.
std::optional<std::string> prepared_target(std::string_view path, std::string* why) {
    std::string reason;
    const auto target = platform::write_target(std::string(path).c_str(), &reason);
    if (!target) {
        if (why != nullptr) *why = reason;
        return std::nullopt;
    }
    const std::string folder = folder_of(*target);
    if (folder.empty()) return target;
    reason = platform::unsafe_folder(folder.c_str());
    if (reason.empty() && !platform::make_private_dirs(folder.c_str()))
        reason = "cannot create " + folder;
    if (!reason.empty()) {
        if (why != nullptr) *why = reason;
        return std::nullopt;
    }
    return target;
}

}  // namespace

bool write(std::string_view path, std::string_view text, std::string* why,
           std::int64_t busy_until_ms) {
    const auto target = prepared_target(path, why);
    if (!target) return false;
    if (!platform::replace_file(target->c_str(), ".auth-", text, busy_until_ms)) {
        if (why != nullptr) *why = "cannot replace " + *target;
        return false;
    }
    return true;
}

std::string check_writable(std::string_view path, std::size_t size) {
    std::string why;
    const auto target = prepared_target(path, &why);
    if (!target) return why;
    const std::string id = new_login_owner_id();
    if (id.empty()) return "the system gave no random bytes";
    // The same way the real write goes (temporary file, flush, rename), under a name of its own.
    const std::string probe = folder_of(*target) + ".auth-probe-" + id.substr(0, 16);
    const bool ok = platform::replace_file(probe.c_str(), ".auth-", std::string(size, ' '));
    platform::remove_file(probe.c_str());
    if (!ok) return "cannot write a file of " + std::to_string(size) + " bytes beside " + *target;
    // A folder that takes new files may still keep an old one from being replaced (a file
    // made immutable, or held open where that keeps it): the one proof is to replace it, by
    // a copy of itself, which no reader can tell from the file.
    if (platform::is_non_directory(target->c_str())) {
        const auto bytes = platform::read_regular_file(target->c_str(), max_file_size);
        if (!bytes) return *target + " cannot be read, so it cannot be shown to be replaceable";
        if (!platform::replace_file(target->c_str(), ".auth-", *bytes))
            return "cannot replace " + *target;
    }
    return {};
}

std::optional<json> read(std::string_view path) {
    const auto text = platform::read_regular_file(std::string(path).c_str(), max_file_size);
    if (!text) return std::nullopt;
    return parse(*text);
}

}  // namespace credvane::authfile

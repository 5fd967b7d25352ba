// harness.cc: the parts of the CGI harness that are the same on every platform.
#include "tests/cgi/harness.h"

#include <algorithm>
#include <regex>
#include <stdexcept>
#include <string_view>

namespace cgi {

const std::string json_head =
    "Content-Type: application/json; charset=utf-8\r\n"
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "\r\n";

std::string status_head(const std::string& status_and_reason) {
    return "Status: " + status_and_reason + "\r\n" + json_head;
}

const std::string unauthorized =
    "Status: 401 Unauthorized\r\n"
    "Content-Type: application/json; charset=utf-8\r\n"
    "Cache-Control: no-store\r\n"
    "\r\n"
    "{\"ok\":false,\"error\":\"invalid node password\"}\n";

bool is_status_answer(const std::string& out) {
    return out.rfind(json_head + "{\"ok\":true,\"state\":\"done\",", 0) == 0;
}

std::string host::argv_of(const std::string& cli) const {
    // cmd.exe ends its lines in CR LF and shows every one of its nine slots, the unused
    // ones as "[]"; what is left is the same text on both platforms.
    std::string out;
    std::string line;
    auto flush = [&] {
#ifdef _WIN32
        while (line.size() >= 2 && line.compare(line.size() - 2, 2, "[]") == 0)
            line.resize(line.size() - 2);
#endif
        out += line;
        out += '\n';
        line.clear();
    };
    for (const char c : read(cli + ".argv")) {
        if (c == '\r') continue;
        if (c == '\n') {
            flush();
        } else {
            line += c;
        }
    }
    if (!line.empty()) flush();
    return out;
}

std::string host::env_of(const std::string& cli) const {
    return read(cli + ".env");
}

std::string pin_clock(const std::string& answer) {
    static const std::regex clock_figure("\"(expires_in_sec|pending_age_sec)\":-?[0-9]+");
    return std::regex_replace(answer, clock_figure, "\"$1\":T");
}

std::string b64url(const std::string& in) {
    static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    unsigned acc = 0;
    int bits = 0;
    for (const unsigned char c : in) {
        acc = (acc << 8) | c;
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out += abc[(acc >> bits) & 63];
        }
    }
    if (bits > 0) out += abc[(acc << (6 - bits)) & 63];
    return out;
}

std::string jwt_with_exp(long long exp) {
    return "eyJhbGciOiJub25lIn0." + b64url("{\"exp\":" + std::to_string(exp) + "}") + ".c2ln";
}

std::string json_text(const std::string& s) {
    std::string out;
    for (const char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

namespace {

const std::pair<std::string_view, std::string_view> status_defaults[] = {
    {"logged_in", "false"},       {"expires_at", "0"},         {"expires_in_sec", "0"},
    {"expired", "false"},         {"has_refresh", "false"},    {"account", "\"\""},
    {"pending", "false"},         {"pending_age_sec", "-1"},   {"last_refresh", "0"},
    {"account_id", "\"\""},       {"cli_present", "false"},    {"credentials_path", "\"\""},
    {"profile", "\"\""},          {"profile_exists", "false"}, {"named_accounts", "false"},
    {"api_key_present", "false"}, {"cli_error", "\"\""},       {"accounts", "[]"},
    {"file_problem", "\"\""},     {"pending_problem", "\"\""},
};

}  // namespace

std::string status_members(const std::map<std::string, std::string>& changes) {
    std::string out;
    std::size_t used = 0;
    for (const auto& [name, value] : status_defaults) {
        if (!out.empty()) out += ',';
        out.append("\"").append(name).append("\":");
        const auto it = changes.find(std::string(name));
        if (it == changes.end()) {
            out.append(value);
        } else {
            out.append(it->second);
            ++used;
        }
    }
    if (used != changes.size()) throw std::invalid_argument("a change names no status member");
    return out;
}

std::string member_text(const std::string& answer, const std::string& name) {
    // append, not "\"" + string: GCC 12's -Wrestrict misreads that concatenation.
    std::string key = "\"";
    key.append(name).append("\":");
    std::size_t at = answer.find(key);
    if (at == std::string::npos) return "(none)";
    at += key.size();
    std::size_t end = at;
    if (end < answer.size() && answer[end] == '"') {
        for (++end; end < answer.size() && answer[end] != '"'; ++end) {
            if (answer[end] == '\\') ++end;
        }
        ++end;
    } else {
        while (end < answer.size() && answer.find_first_of(",}]\n", end) != end) ++end;
    }
    return answer.substr(at, std::min(end, answer.size()) - at);
}

std::string json_string(const std::string& s) {
    std::string out = "\"";
    out.append(json_text(s)).push_back('"');
    return out;
}

}  // namespace cgi

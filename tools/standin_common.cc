// standin_common.cc: knobs, flow records, credential text and atomic writes of the stand-ins.
#include "tools/standin_common.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <random>
#include <span>

#include "platform/platform.h"
#include "store/json.h"
#include "store/paths.h"

namespace credvane::standin {

namespace {

// A whole decimal number of at most 9 digits, nothing else: a knob that is not plainly a
// number is ignored rather than half-read.
std::optional<std::int64_t> env_count(const char* name) {
    const char* v = platform::env(name);
    if (v == nullptr || v[0] == '\0') return std::nullopt;
    std::int64_t n = 0;
    int digits = 0;
    for (const char* p = v; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || ++digits > 9) return std::nullopt;
        n = n * 10 + (*p - '0');
    }
    return n;
}

std::string num(std::int64_t n) {
    return std::to_string(n);
}

}  // namespace

std::string verify_base() {
    const char* v = platform::env("STANDIN_VERIFY_URL");
    return (v != nullptr && v[0] != '\0') ? std::string(v) : "http://127.0.0.1:8088/device";
}

std::int64_t code_lifetime() {
    const auto n = env_count("STANDIN_CODE_LIFETIME");
    if (!n || *n < 1) return 900;
    return *n > 900 ? 900 : *n;
}

int poll_interval() {
    const auto n = env_count("STANDIN_INTERVAL");
    if (!n || *n < 1) return 5;
    return *n > 3600 ? 3600 : static_cast<int>(*n);
}

std::optional<std::int64_t> approve_after() {
    return env_count("STANDIN_APPROVE_AFTER");
}

void json_str(std::string& out, std::string_view s) {
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    for (const char c : s) {
        // As unsigned: bytes of 0x80 and above are UTF-8 and pass unchanged.
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            out += "\\u00";
            out += hex[u >> 4];
            out += hex[u & 15];
        } else {
            out += c;
        }
    }
    out += '"';
}

int answer(std::string line, int exit_code) {
    line += '\n';
    platform::write_stdout(line);
    return exit_code;
}

int fail(std::string_view error, std::string_view detail, int exit_code) {
    std::string line = "{\"ok\":false,\"error\":";
    json_str(line, error);
    line += ",\"detail\":";
    json_str(line, detail);
    line += '}';
    return answer(line, exit_code);
}

std::string base64url(std::string_view bytes) {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    std::uint32_t acc = 0;
    int bits = 0;
    for (const char c : bytes) {
        acc = (acc << 8) | static_cast<unsigned char>(c);
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out += alphabet[(acc >> bits) & 63];
        }
        acc &= (1u << bits) - 1;  // keep only the pending bits so acc never overflows
    }
    if (bits > 0) out += alphabet[(acc << (6 - bits)) & 63];
    return out;
}

std::string random_bytes(std::size_t n) {
    std::random_device rd;  // the system's entropy source on the hosts we run on
    std::string out(n, '\0');
    for (char& c : out) c = static_cast<char>(rd() & 0xff);
    return out;
}

std::string new_user_code() {
    // 32 symbols without 0/O and 1/I, so a code read aloud is not misheard; 256 is a
    // multiple of 32, so masking a random byte keeps every symbol equally likely.
    static constexpr char symbols[] = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    const std::string r = random_bytes(8);
    std::string code;
    for (std::size_t i = 0; i < r.size(); ++i) {
        if (i == 4) code += '-';
        code += symbols[static_cast<unsigned char>(r[i]) & 31];
    }
    return code;
}

bool code_valid(std::string_view code) {
    if (code.empty() || code.size() > 32) return false;
    for (const char c : code) {
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-')) return false;
    }
    return true;
}

std::string iso_utc(std::int64_t t) {
    using namespace std::chrono;
    const sys_seconds at{seconds{t}};
    const auto day = floor<days>(at);
    const year_month_day ymd{day};
    const hh_mm_ss hms{at - day};
    std::array<char, 64> out{};
    std::snprintf(out.data(), out.size(), "%04d-%02u-%02uT%02d:%02d:%02dZ",
                  static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                  static_cast<unsigned>(ymd.day()), static_cast<int>(hms.hours().count()),
                  static_cast<int>(hms.minutes().count()), static_cast<int>(hms.seconds().count()));
    return out.data();
}

std::string make_jwt(std::string_view subject, std::int64_t issued, std::int64_t expires) {
    std::string payload = "{\"iss\":\"standin-login\",\"sub\":";
    json_str(payload, subject);
    payload += ",\"iat\":" + num(issued) + ",\"exp\":" + num(expires) + "}";
    return base64url(R"({"alg":"none","typ":"JWT"})") + "." + base64url(payload) + "." +
           base64url(random_bytes(32));
}

std::string creds_json(std::string_view access_token, std::string_view refresh_token,
                       std::string_view account_id, std::int64_t now) {
    std::string out = "{\"tokens\":{\"access_token\":";
    json_str(out, access_token);
    out += ",\"refresh_token\":";
    json_str(out, refresh_token);
    out += ",\"account_id\":";
    json_str(out, account_id);
    out += "},\"last_refresh\":";
    json_str(out, iso_utc(now));
    out += "}\n";
    return out;
}

// ---- Files: the POSIX calls of the stand-ins, all here ----

std::string dir_part(const std::string& path) {
    const auto cut = path.find_last_of(platform::dir_sep);
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

bool make_dirs(const std::string& dir) {
    std::string d = dir;
    while (d.size() > 1 && d.back() == '/') d.pop_back();
    if (d.empty()) return true;
    for (std::size_t pos = d.find('/', 1);; pos = d.find('/', pos + 1)) {
        const std::string prefix = d.substr(0, pos);
        if (!prefix.empty() && prefix.back() != '/' && ::mkdir(prefix.c_str(), 0700) != 0 &&
            errno != EEXIST) {
            return false;
        }
        if (pos == std::string::npos) break;
    }
    struct stat st {};
    return ::stat(d.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool write_file_atomic(const std::string& path, std::string_view content) {
    const std::string dir = dir_part(path);
    if (!dir.empty() && !make_dirs(dir)) return false;
    // The temporary name never ends in ".json", so no directory listing of account files
    // or markers ever picks up a file that is still being written.
    std::string tmp = path + ".tmp-XXXXXX";
    const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);  // mode 0600
    if (fd < 0) return false;
    bool ok = true;
    for (std::size_t done = 0; ok && done < content.size();) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            ok = false;
        else
            done += static_cast<std::size_t>(n);
    }
    // fsync before the rename: after a crash the name must not point at an empty file.
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(tmp.c_str());
    return ok;
}

dir_lock::dir_lock(const std::string& dir) {
    fd_ = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ >= 0) {
        while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
}

dir_lock::~dir_lock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

// ---- Paths ----

std::string creds_file(std::string_view name) {
    std::array<char, 1024> buf{};
    if (name.empty()) {
        credvane::creds_path(buf);
        return buf.data();
    }
    credvane::accounts_dir(buf);
    std::string path = buf.data();
    path += platform::dir_sep;
    path += name;
    path += ".json";
    return path;
}

std::string marker_file(std::string_view name) {
    const std::string n(name);
    std::array<char, 1024> buf{};
    credvane::pending_path(n.c_str(), buf);
    return buf.data();
}

std::string pending_dir() {
    return dir_part(marker_file(""));
}

// ---- Flows ----

std::optional<flow> read_flow(const std::string& marker) {
    const auto text = credvane::read_file(marker.c_str());
    if (!text) return std::nullopt;
    const char* start = text->c_str();
    const char* end = start + text->size();
    flow f;
    std::array<char, 64> code{};
    std::array<char, 96> account{};
    json_str_field(start, end, "user_code", code);
    json_str_field(start, end, "account", account);
    f.user_code = code.data();
    f.account = account.data();
    f.created = json_num_field(start, end, "created");
    f.expires_at = json_num_field(start, end, "expires_at");
    const std::int64_t interval = json_num_field(start, end, "interval");
    f.interval = (interval > 0 && interval <= 3600) ? static_cast<int>(interval) : 5;
    f.approved = json_bool_field(start, end, "approved", 0) == 1;
    if (!code_valid(f.user_code) || f.created <= 0 || f.expires_at <= 0) return std::nullopt;
    return f;
}

bool write_flow(const std::string& marker, const flow& f) {
    std::string out = "{\"created\":" + num(f.created) + ",\"expires_at\":" + num(f.expires_at) +
                      ",\"interval\":" + num(f.interval) + ",\"user_code\":";
    json_str(out, f.user_code);
    out += ",\"account\":";
    json_str(out, f.account);
    out += f.approved ? ",\"approved\":true}\n" : ",\"approved\":false}\n";
    return write_file_atomic(marker, out);
}

bool flow_open(const flow& f, std::int64_t now) {
    return f.created <= now && now < f.expires_at;
}

namespace {
std::string outcome_file(const std::string& marker) {
    return marker + ".outcome";
}
}  // namespace

void end_flow(const std::string& marker, std::string_view error, std::string_view detail) {
    std::string out = "{\"error\":";
    json_str(out, error);
    out += ",\"detail\":";
    json_str(out, detail);
    out += "}\n";
    // The outcome is a courtesy for the next poll; the marker must go even if it fails.
    write_file_atomic(outcome_file(marker), out);
    platform::remove_file(marker.c_str());
}

std::optional<outcome> take_outcome(const std::string& marker) {
    const std::string path = outcome_file(marker);
    const auto text = credvane::read_file(path.c_str());
    if (!text) return std::nullopt;
    platform::remove_file(path.c_str());
    std::array<char, 64> error{};
    std::array<char, 512> detail{};
    json_str_field(text->c_str(), text->c_str() + text->size(), "error", error);
    json_str_field(text->c_str(), text->c_str() + text->size(), "detail", detail);
    if (error[0] == '\0') return std::nullopt;
    return outcome{error.data(), detail.data()};
}

void drop_outcome(const std::string& marker) {
    platform::remove_file(outcome_file(marker).c_str());
}

std::optional<flow> reap_flow(const std::string& marker, std::int64_t now) {
    if (!credvane::file_exists(marker.c_str())) return std::nullopt;
    auto f = read_flow(marker);
    if (!f) {
        // Not a flow of ours (or a torn leftover): credvane would count it as pending
        // forever, so it goes.
        platform::remove_file(marker.c_str());
        return std::nullopt;
    }
    if (!flow_open(*f, now)) {
        end_flow(marker, "expired_token", "the user code expired before it was approved");
        return std::nullopt;
    }
    return f;
}

namespace {

// The marker path of the flow whose user code is code, or empty.
std::string marker_with_code(std::string_view code, std::optional<flow>& found) {
    const std::string dir = pending_dir();
    for (const auto& e : platform::list_json_entries(dir.empty() ? "." : dir.c_str())) {
        if (e.is_dir || e.name.rfind("codex-", 0) != 0) continue;
        const std::string marker = dir + e.name;
        auto f = read_flow(marker);
        if (f && f->user_code == code) {
            found = std::move(f);
            return marker;
        }
    }
    return {};
}

}  // namespace

decide_result decide_by_code(std::string_view code, bool approve) {
    decide_result r;
    if (!code_valid(code)) return r;
    const dir_lock lock(pending_dir());
    std::optional<flow> f;
    const std::string marker = marker_with_code(code, f);
    if (marker.empty()) return r;
    r.account = f->account;
    if (!flow_open(*f, platform::now())) {
        end_flow(marker, "expired_token", "the user code expired before it was approved");
        r.what = decision::expired_code;
    } else if (!approve) {
        end_flow(marker, "access_denied", "the sign-in was denied on the verification page");
        r.what = decision::denied;
    } else {
        f->approved = true;
        r.what = write_flow(marker, *f) ? decision::approved : decision::failed;
    }
    return r;
}

std::optional<flow> find_open_flow(std::string_view code) {
    if (!code_valid(code)) return std::nullopt;
    std::optional<flow> f;
    marker_with_code(code, f);
    if (f && !flow_open(*f, platform::now())) return std::nullopt;
    return f;
}

}  // namespace credvane::standin

// fault_test.cc: credvane under faults of its CLIs and its files. Whatever goes wrong,
// every request gets one well-formed answer (header lines, then one JSON value a strict
// parser accepts), its documented exit status, no sanitizer report, and no file changes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/cgi/harness.h"

namespace {

namespace fs = std::filesystem;

// A strict JSON reader (RFC 8259): no trailing commas, no bare control bytes in strings,
// exact escapes, the number grammar, UTF-8 without overlongs or surrogates. It only says
// whether the text is one valid value.
class strict_json {
  public:
    explicit strict_json(std::string_view s) : s_(s) {}

    bool valid() {
        ws();
        if (!value(0)) return false;
        ws();
        return i_ == s_.size();
    }

  private:
    std::string_view s_;
    std::size_t i_ = 0;

    bool at(char c) const { return i_ < s_.size() && s_[i_] == c; }
    void ws() {
        while (i_ < s_.size() &&
               (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r'))
            ++i_;
    }
    bool literal(std::string_view word) {
        if (s_.substr(i_, word.size()) != word) return false;
        i_ += word.size();
        return true;
    }
    bool value(int depth) {
        if (depth > 64 || i_ >= s_.size()) return false;
        switch (s_[i_]) {
            case '{':
                return object(depth);
            case '[':
                return array(depth);
            case '"':
                return string();
            case 't':
                return literal("true");
            case 'f':
                return literal("false");
            case 'n':
                return literal("null");
            default:
                return number();
        }
    }
    bool object(int depth) {
        ++i_;
        ws();
        if (at('}')) return ++i_, true;
        while (true) {
            ws();
            if (!at('"') || !string()) return false;
            ws();
            if (!at(':')) return false;
            ++i_;
            ws();
            if (!value(depth + 1)) return false;
            ws();
            if (at('}')) return ++i_, true;
            if (!at(',')) return false;
            ++i_;
        }
    }
    bool array(int depth) {
        ++i_;
        ws();
        if (at(']')) return ++i_, true;
        while (true) {
            ws();
            if (!value(depth + 1)) return false;
            ws();
            if (at(']')) return ++i_, true;
            if (!at(',')) return false;
            ++i_;
        }
    }
    bool digits() {
        const std::size_t from = i_;
        while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
        return i_ > from;
    }
    bool number() {
        if (at('-')) ++i_;
        if (at('0')) {
            ++i_;
        } else if (!digits()) {
            return false;
        }
        if (at('.')) {
            ++i_;
            if (!digits()) return false;
        }
        if (at('e') || at('E')) {
            ++i_;
            if (at('+') || at('-')) ++i_;
            if (!digits()) return false;
        }
        return true;
    }
    bool string() {
        ++i_;
        while (i_ < s_.size()) {
            const auto c = static_cast<unsigned char>(s_[i_]);
            if (c == '"') return ++i_, true;
            if (c < 0x20) return false;
            if (c == '\\') {
                if (++i_ >= s_.size()) return false;
                const char e = s_[i_++];
                if (e == 'u') {
                    for (int k = 0; k < 4; ++k, ++i_) {
                        if (i_ >= s_.size() || !std::isxdigit(static_cast<unsigned char>(s_[i_])))
                            return false;
                    }
                } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
                    return false;
                }
                continue;
            }
            if (c < 0x80) {
                ++i_;
                continue;
            }
            if (!utf8_sequence()) return false;
        }
        return false;
    }
    bool utf8_sequence() {
        const auto c = static_cast<unsigned char>(s_[i_]);
        int more = 0;
        unsigned cp = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            more = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            more = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        for (int k = 1; k <= more; ++k) {
            if (i_ + k >= s_.size()) return false;
            const auto n = static_cast<unsigned char>(s_[i_ + k]);
            if ((n & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (n & 0x3F);
        }
        const unsigned least[] = {0, 0x80, 0x800, 0x10000};
        if (cp < least[more] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i_ += static_cast<std::size_t>(more) + 1;
        return true;
    }
};

TEST(StrictJson, RefusesWhatALaxReaderWouldTake) {
    for (const char* good :
         {"{}", "{\"a\":[1,-0.5e+3,true,false,null,\"\\u00e9\\n\"]}", "\"caf\xc3\xa9\"", " [ ] "}) {
        EXPECT_TRUE(strict_json(good).valid()) << good;
    }
    for (const char* bad : {"", "{", "{\"a\":1,}", "[1,]", "{'a':1}", "\"\t\"", "01", "1.", "-",
                            "\"\\x\"", "\"\\u12\"", "\"\xe9\"", "\"\xc0\xaf\"", "\"\xed\xa0\x80\"",
                            "{} {}", "tru", "{\"a\" 1}"}) {
        EXPECT_FALSE(strict_json(bad).valid()) << bad;
    }
}

// Checks the shape of a CGI answer: header lines ending in CR LF, an optional Status line
// first, the JSON content type, an empty line, then one JSON object and one line feed.
void expect_well_formed(const std::string& out, const std::string& label) {
    const std::size_t split = out.find("\r\n\r\n");
    ASSERT_NE(split, std::string::npos) << label << ": no end of headers\n" << out;
    const std::string head = out.substr(0, split + 2);
    const std::string body = out.substr(split + 4);
    std::size_t pos = 0;
    bool content_type = false;
    for (int line_no = 0; pos < head.size(); ++line_no) {
        const std::size_t eol = head.find("\r\n", pos);
        const std::string line = head.substr(pos, eol - pos);
        pos = eol + 2;
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << label << ": " << line;
        EXPECT_NE(line.find(": "), std::string::npos) << label << ": " << line;
        if (line.rfind("Status: ", 0) == 0) {
            EXPECT_EQ(line_no, 0) << label;
        }
        if (line == "Content-Type: application/json; charset=utf-8") content_type = true;
    }
    EXPECT_TRUE(content_type) << label << "\n" << head;
    ASSERT_FALSE(body.empty()) << label;
    EXPECT_EQ(body.back(), '\n') << label;
    const std::string json = body.substr(0, body.size() - 1);
    EXPECT_TRUE(strict_json(json).valid()) << label << ": not strict JSON\n" << json;
    EXPECT_EQ(json.rfind("{\"ok\":", 0), 0u) << label << "\n" << json;
    EXPECT_EQ(json.find('\n'), std::string::npos) << label << ": more than one line";
}

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Everything under root: each entry's kind, permissions and, for regular files, content.
// Special files are never opened, so a FIFO cannot block the snapshot. credvane's one
// write is left out: an account's lock file, and the pending folder made for it.
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> tree;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::end(it); ++it) {
        const fs::file_status st = it->symlink_status();
        const std::string name = it->path().filename().string();
        if ((st.type() == fs::file_type::regular && name.starts_with("codex-") &&
             name.ends_with(".lock")) ||
            (st.type() == fs::file_type::directory &&
             (name == ".claude" || name == ".login-pending")))
            continue;
        std::string d = std::to_string(static_cast<int>(st.type())) + " " +
                        std::to_string(static_cast<unsigned>(st.permissions())) + " ";
        if (st.type() == fs::file_type::regular) {
            d += std::to_string(std::hash<std::string>{}(slurp(it->path())));
            d += ' ';
            d += std::to_string(fs::file_size(it->path()));
        } else if (st.type() == fs::file_type::symlink) {
            d += fs::read_symlink(it->path()).string();
        }
        tree[it->path().string()] = d;
    }
    return tree;
}

// One request in a prepared host: the answer is well-formed, its exit status the
// documented one, standard error empty (a sanitizer report lands there) and every file
// under the host's folder as it was.
cgi::result run_checked(const cgi::host& h, const std::string& query, int exit_code,
                        const std::string& label) {
    const auto before = snapshot(h.root);
    const cgi::result res = h.run(query);
    expect_well_formed(res.out, label);
    EXPECT_EQ(res.exit_code, exit_code) << label << "\n" << res.out;
    EXPECT_EQ(res.err, "") << label;
    EXPECT_TRUE(snapshot(h.root) == before) << label << ": a file changed";
    return res;
}

// What one action must answer: its exit status and a piece of its body.
struct outcome {
    int exit_code;
    std::string needle;
};

// Login CLI faults. The same script stands in for the refresh CLI. The credential file
// holds no token, so the CLI's answers and the action rules alone decide.
TEST(Fault, LoginCliMisbehaves) {
    const std::string long_url = "https://x/" + std::string(3000, 'u');
    struct row {
        std::string name;
        std::string script;
        outcome status, start, poll, cancel, refresh;
    };
    const outcome no_json_start{1, "\"error\":\"start_failed\""};
    const outcome no_json_poll{1, "\"error\":\"poll_failed\""};
    const outcome cancelled{0, "\"state\":\"cancelled\""};
    const outcome not_extended{1, "\"error\":\"refresh_failed\""};
    const outcome ran{0, "\"cli_present\":true"};
    const outcome absent{0, "\"cli_present\":false"};
    const outcome unavailable{1, "\"error\":\"cli_unavailable\""};
    const outcome cancel_absent{0, "\"cli_present\":false}"};
    const row rows[] = {
        {"prints nothing", "exit 0\n", ran, no_json_start, no_json_poll, cancelled, not_extended},
        {"prints only blank lines", "printf '\\n\\n   \\n\\t\\r\\n\\n'\n", ran, no_json_start,
         no_json_poll, cancelled, not_extended},
        // The NUL ends its piece: the user code is cut to "AB" and the state is lost.
        {"prints a NUL byte",
         "printf '{\"ok\":true,\"verify_url\":\"https://x\",\"user_code\":\"AB\\000CD\",'\n"
         "printf '\"state\":\"pending\"}\\n'\n",
         ran,
         {0, "\"user_code\":\"AB\","},
         {0, "\"state\":\"done\""},
         cancelled,
         not_extended},
        // The capture keeps 256 KiB; the rest is dropped and the CLI ends on a broken pipe.
        {"prints 300 KiB",
         "yes '{\"ok\":true}' | head -c 307200\n",
         ran,
         {1, "\"error\":\"start_incomplete\""},
         {0, "\"state\":\"done\""},
         cancelled,
         not_extended},
        {"prints a JSON line over 2 KiB",
         "echo '{\"ok\":true,\"verify_url\":\"" + long_url +
             "\",\"user_code\":\"C\",\"state\":\"pending\",\"interval\":3}'\n",
         ran,
         {0, "\"verify_url\":\"https://x/uuu"},
         {0, "\"interval\":3,"},
         cancelled,
         not_extended},
        {"prints invalid JSON",
         "printf '%s\\n' '{\"ok\":,\"state\":[{\"pending\"}}]]\"\\'\n",
         ran,
         {0, "\"error\":\"start_failed\""},
         {0, "\"state\":\"failed\""},
         {0, "\"error\":\"cancel_failed\""},
         not_extended},
        {"exits 1", "exit 1\n", ran, no_json_start, no_json_poll, cancelled, not_extended},
        {"exits 126", "exit 126\n", absent, unavailable, unavailable, cancel_absent, unavailable},
        {"exits 127", "echo '{\"logged_in\":true}'\nexit 127\n", absent, unavailable, unavailable,
         cancel_absent, unavailable},
        {"is killed by a signal",
         "echo '{\"ok\":tr'\nkill -KILL $$\n",
         ran,
         {0, "\"error\":\"start_failed\""},
         {0, "\"state\":\"failed\""},
         {0, "\"error\":\"cancel_failed\""},
         not_extended},
    };
    for (const row& r : rows) {
        cgi::host h;
        h.write("home/.codex/auth.json", "{}");
        const std::string cli = h.script("cli", r.script);
        h.env["CODEX_LOGIN_BIN"] = cli;
        h.env["CODEX_REFRESH_BIN"] = cli;
        const std::pair<const char*, const outcome*> actions[] = {{"status", &r.status},
                                                                  {"start", &r.start},
                                                                  {"poll", &r.poll},
                                                                  {"cancel", &r.cancel},
                                                                  {"refresh", &r.refresh}};
        for (const auto& [action, want] : actions) {
            const std::string label = r.name + ", " + action;
            const cgi::result res =
                run_checked(h, std::string("action=") + action, want->exit_code, label);
            EXPECT_NE(res.out.find(want->needle), std::string::npos)
                << label << ": no " << want->needle << "\n"
                << res.out.substr(0, 600);
        }
    }
}

// A JWT whose middle part is the given text, unencoded (so it can be anything).
std::string token_with_payload(const std::string& middle) {
    return "{\"tokens\":{\"access_token\":\"eyJhbGciOiJub25lIn0." + middle + ".c2ln\"}}";
}

// A credential file of exactly size bytes holding a token that expires at exp.
std::string padded_credentials(std::size_t size, long long exp) {
    const std::string head =
        "{\"tokens\":{\"access_token\":\"" + cgi::jwt_with_exp(exp) + "\"},\"pad\":\"";
    return head + std::string(size - head.size() - 2, 'p') + "\"}";
}

// Store faults: the credential file, the accounts directory and the pending marker.
TEST(Fault, FilesAreOddOrBroken) {
    constexpr std::size_t mib8 = 8u * 1024 * 1024;
    constexpr long long exp = 4102444800;  // 2100-01-01
    const std::string exp_field = "\"expires_at\":" + std::to_string(exp) + ",";
    struct row {
        std::string name;
        std::function<void(cgi::host&)> prepare;
        std::string query;
        std::vector<std::string> needles;
    };
    const std::string creds = "home/.codex/auth.json";
    const std::string accounts = "home/.codex/accounts/";
    const std::string marker = "home/.claude/.login-pending/codex-default.json";
    const row rows[] = {
        {"empty credential file",
         [&](cgi::host& h) { h.write(creds, ""); },
         "action=status",
         {"\"logged_in\":false"}},
        {"credential file of exactly 8 MiB",
         [&](cgi::host& h) { h.write(creds, padded_credentials(mib8, exp)); },
         "action=status",
         {"\"logged_in\":true", exp_field}},
        {"credential file of 8 MiB and one byte",
         [&](cgi::host& h) { h.write(creds, padded_credentials(mib8 + 1, exp)); },
         "action=status",
         {"\"logged_in\":false"}},
        {"credential file is a directory",
         [&](cgi::host& h) { fs::create_directories(fs::path(h.root) / creds); },
         "action=status",
         {"\"logged_in\":false"}},
        // Opening a FIFO that nobody writes would block for ever without the regular-file rule.
        {"credential file is a FIFO without a writer",
         [&](cgi::host& h) {
             fs::create_directories((fs::path(h.root) / creds).parent_path());
             ASSERT_EQ(::mkfifo((fs::path(h.root) / creds).c_str(), 0600), 0);
         },
         "action=status",
         {"\"logged_in\":false"}},
        // Tests run as root, where a mode of 000 does not stop a read; a dangling link is a
        // credential file that cannot be opened for any user.
        {"credential file cannot be opened",
         [&](cgi::host& h) {
             fs::create_directories((fs::path(h.root) / creds).parent_path());
             fs::create_symlink(fs::path(h.root) / "nowhere.json", fs::path(h.root) / creds);
         },
         "action=status",
         {"\"logged_in\":false"}},
        // A leading byte-order mark hides the members one level down: nothing is found.
        {"credential file starts with a byte-order mark",
         [&](cgi::host& h) { h.write(creds, "\xef\xbb\xbf{\"tokens\":{\"access_token\":\"x\"}}"); },
         "action=status",
         {"\"logged_in\":false"}},
        {"credential file is not JSON",
         [&](cgi::host& h) {
             h.write(creds, std::string("\x00\xff{\"tokens\":{\"access_token\":\"x", 28));
         },
         "action=status",
         {"\"logged_in\":false"}},
        {"credential file is cut inside the tokens",
         [&](cgi::host& h) {
             h.write(creds, "{\"tokens\":{\"access_token\":\"x\",\"refresh_token\":\"r");
         },
         "action=status",
         {"\"logged_in\":false", "\"has_refresh\":false"}},
        {"JWT payload is not base64",
         [&](cgi::host& h) { h.write(creds, token_with_payload("e30*!")); },
         "action=status",
         {"\"logged_in\":true", "\"expires_at\":0,"}},
        {"JWT payload is not JSON",
         [&](cgi::host& h) { h.write(creds, token_with_payload("bm90IGpzb24")); },
         "action=status",
         {"\"logged_in\":true", "\"expires_at\":0,"}},
        // {"exp":99999999999999999999999}: more digits than 64 bits hold.
        {"JWT exp overflows",
         [&](cgi::host& h) {
             h.write(creds, token_with_payload("eyJleHAiOjk5OTk5OTk5OTk5OTk5OTk5OTk5OTk5fQ"));
         },
         "action=status",
         {"\"logged_in\":true", "\"expires_at\":9223372036854775807,", "\"expired\":false"}},
        {"accounts directory holds 100 files",
         [&](cgi::host& h) {
             for (int i = 0; i < 100; ++i) {
                 h.write(accounts + "acct" + std::to_string(1000 + i) + ".json",
                         "{\"access_token\":\"x\"}");
             }
         },
         "action=status",
         {"\"name\":\"acct1063\"", "\"named_accounts\":true"}},
        {"accounts directory holds a directory and odd names",
         [&](cgi::host& h) {
             fs::create_directories(fs::path(h.root) / (accounts + "x.json"));
             h.write(accounts + "with space.json", "{}");
             h.write(accounts + "caf\xc3\xa9.json", "{}");
             h.write(accounts + "\xff.json", "{}");
             h.write(accounts + ".json", "{}");
             h.write(accounts + "ok.json", "{}");
         },
         "action=status",
         {"\"accounts\":[{\"name\":\"ok\",\"logged_in\":false,"}},
        {"pending marker is a directory",
         [&](cgi::host& h) { fs::create_directories(fs::path(h.root) / marker); },
         "action=status",
         {"\"pending\":false,\"pending_age_sec\":-1,"}},
        {"pending marker holds garbage",
         [&](cgi::host& h) { h.write(marker, "\x01{]\"created"); },
         "action=status",
         {"\"pending\":true,\"pending_age_sec\":-1,"}},
        {"pending marker is a directory, cancel without a CLI",
         [&](cgi::host& h) { fs::create_directories(fs::path(h.root) / marker); },
         "action=cancel",
         {"\"state\":\"cancelled\""}},
    };
    for (const row& r : rows) {
        cgi::host h;
        r.prepare(h);
        const cgi::result res = run_checked(h, r.query, 0, r.name);
        for (const std::string& needle : r.needles) {
            EXPECT_NE(res.out.find(needle), std::string::npos)
                << r.name << ": no " << needle << "\n"
                << res.out.substr(0, 800);
        }
    }
}

// The 100-file row above names the 64th file; this one shows that exactly 64 are listed.
TEST(Fault, AccountsBeyond64AreLeftOut) {
    cgi::host h;
    for (int i = 0; i < 100; ++i) {
        h.write("home/.codex/accounts/a" + std::to_string(1000 + i) + ".json", "{}");
    }
    const cgi::result res = run_checked(h, "action=status", 0, "100 account files");
    std::size_t listed = 0;
    for (std::size_t p = 0; (p = res.out.find("{\"name\":", p)) != std::string::npos; ++p) ++listed;
    EXPECT_EQ(listed, 64u);
    EXPECT_EQ(res.out.find("\"name\":\"a1064\""), std::string::npos);
}

// Where the tests can check a mode of 000 (not as root), an unreadable file reads as none.
TEST(Fault, UnreadableCredentialFile) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads a file whatever its mode";
    cgi::host h;
    const fs::path p = h.write("home/.codex/auth.json", "{\"access_token\":\"x\"}");
    ::chmod(p.c_str(), 0);
    const cgi::result res = run_checked(h, "action=status", 0, "mode 000");
    EXPECT_NE(res.out.find("\"logged_in\":false"), std::string::npos);
}

}  // namespace

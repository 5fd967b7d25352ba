// harness.h: runs the built credvane executable as a CGI host would, in a temporary home
// with stand-in CLIs, and hands back every byte it wrote. One interface for both builds:
// harness_posix.cc spawns the POSIX executable, harness_win32.cc (built with mingw-w64 and
// run under wine) starts credvane.exe, so a case written once runs on both platforms.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace cgi {

struct result {
    std::string out;  // standard output, byte for byte
    std::string err;  // standard error (credvane must leave it empty)
    int exit_code = -1;
};

// The JSON header block without and with a Status line.
extern const std::string json_head;
std::string status_head(const std::string& status_and_reason);
// The whole answer to a request without the right node password.
extern const std::string unauthorized;
// Whether out begins as a status answer does.
bool is_status_answer(const std::string& out);

// The members of a status answer, as the answer writes them and in its order, each with its
// value as JSON text: those of an account with no credential file, no CLI and no marker,
// but for the members in changes (name and JSON text). The one place the tests spell the
// member list: a member the product adds or drops is added or dropped here alone. A change
// that names no member throws.
std::string status_members(const std::map<std::string, std::string>& changes = {});
// The JSON text of the first member called name in answer (a string with its quotes, a
// number, true or false), or "(none)"; the top-level status members come before the
// accounts' own.
std::string member_text(const std::string& answer, const std::string& name);
// s as a JSON string, quotes included (see json_text).
std::string json_string(const std::string& s);

// Environment names: case-sensitive on POSIX, without regard to case on Windows.
struct env_less {
    bool operator()(const std::string& a, const std::string& b) const;
};
using env_map = std::map<std::string, std::string, env_less>;

// What a stand-in CLI does on one run: it first copies copy_from over copy_to (when
// copy_from is set; the run's second argument when copy_to is empty), then prints out byte
// for byte and ends with exit_code.
struct reply {
    reply() = default;
    reply(std::string out_bytes, int exit = 0, std::string from = {}, std::string to = {})
        : out(std::move(out_bytes)),
          exit_code(exit),
          copy_from(std::move(from)),
          copy_to(std::move(to)) {}
    std::string out;
    int exit_code = 0;
    std::string copy_from;
    std::string copy_to;
};

// A stand-in CLI that both platforms run alike (a /bin/sh script on POSIX, a .cmd script
// that cmd.exe runs on Windows). Every run appends its arguments to "<its path>.argv"
// (host::argv_of reads them) and answers with the reply for its first argument.
struct stand_in {
    reply other;                         // a run whose first argument has no reply of its own
    std::map<std::string, reply> first;  // by first argument, e.g. "--status"
    bool dump_env = false;               // writes its environment to "<its path>.env"
    bool record_stdin = false;           // writes what it read on stdin to "<its path>.stdin"
};

#ifdef _WIN32
struct running;
#endif

class host {
  public:
    host();
    ~host();
    host(const host&) = delete;
    host& operator=(const host&) = delete;

    std::string root;  // temporary folder (UTF-8), removed with the host; on Windows its name
                       // holds a space, which every path must survive through cmd.exe
    std::string home;  // root/home: HOME on POSIX, USERPROFILE on Windows
    env_map env;       // the whole environment of the run
    std::string stdin_bytes = "request body\n";  // what the host offers on stdin
#ifdef _WIN32
    // Variables whose value has no UTF-8 form (a lone surrogate); they replace env's.
    std::map<std::string, std::wstring, env_less> raw_env;
    // Hands credvane its block in reverse order, as a careless host might; credvane must
    // still hand each CLI a sorted one.
    bool unsorted_env = false;
#endif

    // root and rel joined with the platform's separator; each '/' in rel becomes one.
    std::string path(const std::string& rel) const;
    // Writes a file under root (rel with '/', folders made as needed) and returns its path.
    std::string write(const std::string& rel, const std::string& content);
    // Makes a folder under root, with its parents; its path.
    std::string folder(const std::string& rel);
    std::string read(const std::string& path) const;
    bool exists(const std::string& path) const;
    bool is_folder(const std::string& path) const;
    void remove(const std::string& path) const;  // a file, if it is there

    // The platform's own script under root/bin: "#!/bin/sh" then body on POSIX, "@echo off"
    // then body with each LF as CR LF in <name>.cmd on Windows. Its path.
    std::string script(const std::string& name, const std::string& body);
    // A stand-in CLI under root/bin; its path.
    std::string cli(const std::string& name, const stand_in& s);
    // The arguments a stand-in CLI was run with: a line per run, each argument in brackets.
    // (cmd.exe shows nine arguments at most, and a trailing empty one not at all.)
    std::string argv_of(const std::string& cli) const;
    // The environment a stand-in with dump_env saw, NAME=value a line.
    std::string env_of(const std::string& cli) const;

    // Runs credvane with QUERY_STRING set to query (unset when query_set is false).
    result run(const std::string& query, const std::vector<std::string>& args = {},
               bool query_set = true) const;
    result run_args(const std::vector<std::string>& args) const {
        return run("", args, false);
    }
    // Runs any program with the host's environment (QUERY_STRING unset).
    result exec(const std::string& program, const std::vector<std::string>& args) const;

#ifdef _WIN32
    // Starts credvane.exe on query and returns while it runs.
    running start(const std::string& query) const;
#endif
};

// The answer with the clock-dependent figures (expires_in_sec, pending_age_sec) replaced
// by a mark, so that two answers taken a second apart compare equal.
std::string pin_clock(const std::string& answer);

// in as base64url without padding, as a JWT's parts are written; the tests' own, so that
// they do not check the product's encoder against itself.
std::string b64url(const std::string& in);

// A JWT whose payload is {"exp":exp} (base64url, no padding).
std::string jwt_with_exp(long long exp);

// s as the body of a JSON string: backslashes and quotes escaped (a Windows path's
// backslashes are doubled in an answer).
std::string json_text(const std::string& s);

#ifdef _WIN32
// Folder of the running test executable, with its trailing backslash; credvane.exe and
// wine_helper.exe are built beside it.
std::string exe_dir();

// UTF-8 and UTF-16, as the tests keep every text in UTF-8 and Windows takes UTF-16.
std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& utf16);

// Adds to the folder dir's rules one that lets every account add and delete files in it,
// as a folder made under C:\ lets every signed-in user. True when it took.
bool grant_everyone_write(const std::string& dir);

// An environment block for CreateProcessW from NAME=value entries: sorted by name as
// Windows requires (case-insensitive, by Unicode code unit, without regard to locale),
// each entry ended by a NUL, the block by one more.
std::wstring environment_block(std::vector<std::wstring> entries);

// A started credvane.exe that the test ends itself (its standard streams are the null
// device); the handle is closed with it.
struct running {
    void* process = nullptr;
    running() = default;
    running(running&& other) noexcept : process(other.process) { other.process = nullptr; }
    running(const running&) = delete;
    running& operator=(const running&) = delete;
    ~running();
};

// Waits until path exists, for at most timeout_ms; whether it does.
bool wait_for_file(const std::string& path, unsigned long timeout_ms);

// A wine_helper.exe that a stand-in CLI starts as "held": it says when it is up, then blocks
// until the test lets it go, and only then leaves its mark. So a test lets it go and waits
// for its end, killed or not, instead of waiting for a time.
class held_helper {
  public:
    held_helper();
    ~held_helper();  // lets the helper go and waits for its end
    held_helper(const held_helper&) = delete;
    held_helper& operator=(const held_helper&) = delete;

    // The command line that starts the helper; it creates mark when it is let go.
    std::string hold_command(const std::string& mark) const;
    // The command line that waits until the helper is up.
    std::string up_command() const;
    bool came_up() const;  // the helper has started and said so
    void let_go_and_wait();

  private:
    std::string command(const char* mode) const;
    std::string name_;
    void* up_ = nullptr;
    void* go_ = nullptr;
};
#endif

}  // namespace cgi

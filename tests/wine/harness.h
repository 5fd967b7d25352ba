// harness.h: runs credvane.exe as a CGI host on Windows would, in a temporary home with
// stand-in CLIs written as .cmd scripts, and hands back every byte it wrote.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace wine {

struct result {
    std::string out;  // standard output, byte for byte
    std::string err;  // standard error (credvane must leave it empty)
    unsigned long exit_code = 0xffffffff;
};

// The JSON header block without and with a Status line.
extern const std::string json_head;
std::string status_head(const std::string& status_and_reason);

// Environment names are case-insensitive on Windows, so the host's map is too.
struct nocase_less {
    bool operator()(const std::string& a, const std::string& b) const;
};

// Folder of the running test executable, with its trailing backslash; credvane.exe and
// wine_helper.exe are built beside it.
std::string exe_dir();

// UTF-8 and UTF-16, as the tests keep every text in UTF-8 and Windows takes UTF-16.
std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& utf16);

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

class host {
  public:
    host();
    ~host();
    host(const host&) = delete;
    host& operator=(const host&) = delete;

    std::string root;  // temporary folder whose name holds a space; removed with the host
    std::string home;  // root\home: USERPROFILE of the request
    std::map<std::string, std::string, nocase_less> env;  // the whole environment of the run
    // Variables whose value has no UTF-8 form (a lone surrogate); they replace env's.
    std::map<std::string, std::wstring, nocase_less> raw_env;
    std::string stdin_bytes = "request body\n";           // what the host offers on stdin
    // Hands credvane its block in reverse order, as a careless host might; credvane must
    // still hand each CLI a sorted one.
    bool unsorted_env = false;

    // Writes a file under root (rel uses backslashes; folders made as needed); its path.
    std::string write(const std::string& rel, const std::string& content);
    // Writes root\bin\<name>.cmd: "@echo off", then body with each LF as CR LF; its path.
    std::string script(const std::string& name, const std::string& body);
    std::string read(const std::string& path) const;
    bool exists(const std::string& path) const;

    // Runs credvane.exe with QUERY_STRING set to query (unset when query_set is false).
    result run(const std::string& query, const std::vector<std::string>& args = {},
               bool query_set = true) const;
    result run_args(const std::vector<std::string>& args) const { return run("", args, false); }
    // Starts credvane.exe on query and returns while it runs.
    running start(const std::string& query) const;
};

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

// s as the body of a JSON string: backslashes and quotes escaped.
std::string json_text(const std::string& s);

// A JWT whose payload is {"exp":exp} (base64url, no padding).
std::string jwt_with_exp(long long exp);

}  // namespace wine

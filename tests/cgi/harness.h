// harness.h: runs the built credvane executable as a CGI host would, in a temporary
// home with scripted stand-in CLIs, and hands back every byte it wrote.
#pragma once

#include <filesystem>
#include <map>
#include <string>
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

class host {
  public:
    host();
    ~host();
    host(const host&) = delete;
    host& operator=(const host&) = delete;

    std::filesystem::path root;              // temporary folder, removed with the host
    std::filesystem::path home;              // HOME of the request
    std::map<std::string, std::string> env;  // the whole environment of the run

    // Writes a file under root (folders created as needed) and returns its path.
    std::filesystem::path write(const std::string& rel, const std::string& content);
    // Writes an executable /bin/sh script under root/bin and returns its path.
    std::filesystem::path script(const std::string& name, const std::string& body);
    std::string read(const std::filesystem::path& p) const;

    // Runs credvane with QUERY_STRING set to query (unset when query_set is false).
    result run(const std::string& query, const std::vector<std::string>& args = {},
               bool query_set = true) const;
    result run_args(const std::vector<std::string>& args) const { return run("", args, false); }
    // Runs any program with the host's environment (QUERY_STRING unset).
    result exec(const std::string& program, const std::vector<std::string>& args) const;

  private:
    result spawn(const std::string& program, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& vars) const;
};

// The answer with the clock-dependent figures (expires_in_sec, pending_age_sec) replaced
// by a mark, so that two answers taken a second apart compare equal.
std::string pin_clock(const std::string& answer);

// A JWT whose payload is {"exp":exp} (base64url, no padding).
std::string jwt_with_exp(long long exp);

}  // namespace cgi

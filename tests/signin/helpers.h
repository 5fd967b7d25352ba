// helpers.h: a temporary node for the sign-in programs, and tokens to hand them.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace signin_test {

using json = nlohmann::ordered_json;

struct run_result {
    std::string out;
    std::string err;
    int code = -1;
    // The one JSON line the program printed (discarded when it is not exactly one line).
    json answer() const;
};

// A JWT with the given claims and a non-empty signature.
std::string jwt(const json& claims);

class node {
  public:
    node();
    ~node();
    node(const node&) = delete;
    node& operator=(const node&) = delete;

    std::filesystem::path root;
    std::map<std::string, std::string> env;  // the whole environment of a run

    std::filesystem::path auth() const { return root / "home/.codex/auth.json"; }
    std::filesystem::path marker(const std::string& name = "default") const {
        return root / "home/.claude/.login-pending" / ("codex-" + name + ".json");
    }
    run_result login(const std::vector<std::string>& args) const;
    run_result refresh(const std::vector<std::string>& args) const;
    run_result run(const std::string& program, const std::vector<std::string>& args) const;
};

std::string slurp(const std::filesystem::path& p);
void put(const std::filesystem::path& p, const std::string& text);
unsigned mode_of(const std::filesystem::path& p);
// A port on 127.0.0.1 where nothing listens.
int closed_port();

}  // namespace signin_test

// helpers.h: a temporary folder and file helpers for the sign-in unit tests.
#pragma once

#include <filesystem>
#include <string>

#include "tests/signin/harness.h"  // json, jwt

namespace signin_test {

// A temporary folder, removed with the object.
class node {
  public:
    node();
    ~node();
    node(const node&) = delete;
    node& operator=(const node&) = delete;

    std::filesystem::path root;
};

std::string slurp(const std::filesystem::path& p);
void put(const std::filesystem::path& p, const std::string& text);
unsigned mode_of(const std::filesystem::path& p);
// A port on 127.0.0.1 where nothing listens.
int closed_port();

}  // namespace signin_test

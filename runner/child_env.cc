// child_env.cc: the rule of the variables a CLI keeps.
#include "runner/child_env.h"

#include <algorithm>

namespace credvane {

namespace {

// What a CLI needs of the node: where programs and home are, who runs it, its locale,
// clock and scratch folder, and on Windows the folders and settings every program there
// expects to find.
constexpr std::string_view needed_names[] = {
    "PATH",
    "HOME",
    "USER",
    "LOGNAME",
    "LANG",
    "TZ",
    "TMPDIR",
    "https_proxy",
    "HTTPS_PROXY",
    "no_proxy",
    "NO_PROXY",
    "SystemRoot",
    "windir",
    "ComSpec",
    "PATHEXT",
    "TEMP",
    "TMP",
    "USERPROFILE",
    "APPDATA",
    "LOCALAPPDATA",
    "ProgramData",
    "SystemDrive",
    "HOMEDRIVE",
    "HOMEPATH",
    "USERNAME",
    "USERDOMAIN",
    "COMPUTERNAME",
    "ProgramFiles",
    "ProgramFiles(x86)",
    "ProgramW6432",
    "CommonProgramFiles",
    "CommonProgramFiles(x86)",
    "CommonProgramW6432",
    "NUMBER_OF_PROCESSORS",
    "PROCESSOR_ARCHITECTURE",
    "OS",
};

// The locale's categories, the login and refresh CLIs' own settings and credvane's.
constexpr std::string_view needed_prefixes[] = {"LC_", "CODEX_", "CREDVANE_"};

// Never for a CLI, even when an operator lists it: the node password and what a CGI host
// sets for the request, standard and the common hosts' own.
constexpr std::string_view request_names[] = {
    "BOT_PASSWORD", "AUTH_TYPE",       "CONTENT_LENGTH",  "CONTENT_TYPE", "GATEWAY_INTERFACE",
    "PATH_INFO",    "PATH_TRANSLATED", "QUERY_STRING",    "REMOTE_ADDR",  "REMOTE_HOST",
    "REMOTE_IDENT", "REMOTE_USER",     "REQUEST_METHOD",  "SCRIPT_NAME",  "SERVER_NAME",
    "SERVER_PORT",  "SERVER_PROTOCOL", "SERVER_SOFTWARE", "REQUEST_URI",  "SCRIPT_FILENAME",
    "SCRIPT_URI",   "SCRIPT_URL",      "DOCUMENT_ROOT",   "DOCUMENT_URI", "REMOTE_PORT",
    "SERVER_ADDR",  "REQUEST_SCHEME",  "HTTPS",           "UNIQUE_ID",    "ORIG_PATH_INFO",
};
// TLS session secrets written to a file: whoever reads it reads every token in the traffic.
constexpr std::string_view secret_names[] = {"SSLKEYLOGFILE"};
// The request's headers, and a redirect's copies of the request.
constexpr std::string_view request_prefixes[] = {"HTTP_", "REDIRECT_"};

char fold(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool same(std::string_view a, std::string_view b, name_case names) {
    if (a.size() != b.size()) return false;
    if (names == name_case::exact) return a == b;
    return std::equal(a.begin(), a.end(), b.begin(),
                      [](char x, char y) { return fold(x) == fold(y); });
}

bool has_prefix(std::string_view name, std::string_view prefix, name_case names) {
    return name.size() >= prefix.size() && same(name.substr(0, prefix.size()), prefix, names);
}

bool never(std::string_view name) {
    // In any case on every system: a host that passes a header under another case, or a
    // name an operator lists in the wrong case, must not bring it in.
    for (const std::string_view n : request_names) {
        if (same(name, n, name_case::fold)) return true;
    }
    for (const std::string_view prefix : request_prefixes) {
        if (has_prefix(name, prefix, name_case::fold)) return true;
    }
    for (const std::string_view n : secret_names) {
        if (same(name, n, name_case::fold)) return true;
    }
    return false;
}

bool needed(std::string_view name, name_case names) {
    // Windows' hidden per-drive current folders ("=C:=C:\dir").
    if (names == name_case::fold && name.size() > 1 && name.front() == '=') return true;
    for (const std::string_view n : needed_names) {
        if (same(name, n, names)) return true;
    }
    for (const std::string_view prefix : needed_prefixes) {
        if (has_prefix(name, prefix, names)) return true;
    }
    return false;
}

bool is_separator(char c) {
    return c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool listed_in(std::string_view name, std::string_view listed, name_case names) {
    while (!listed.empty()) {
        while (!listed.empty() && is_separator(listed.front())) listed.remove_prefix(1);
        std::size_t n = 0;
        while (n < listed.size() && !is_separator(listed[n])) ++n;
        if (n > 0 && same(name, listed.substr(0, n), names)) return true;
        listed.remove_prefix(n);
    }
    return false;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Whether text, read as a query value decodes ("%XX" in either case is its byte, "+" a
// space, a "%" without two hex digits after it itself), begins with password, or is it
// whole. Decodes only as far as the password goes.
bool decodes_to(std::string_view text, std::string_view password, bool whole) {
    std::size_t i = 0;
    for (const char want : password) {
        if (i >= text.size()) return false;
        char got = text[i];
        if (got == '+') {
            got = ' ';
        } else if (got == '%' && i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 &&
                   hex_digit(text[i + 2]) >= 0) {
            got = static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
            i += 2;
        }
        if (got != want) return false;
        ++i;
    }
    return !whole || i == text.size();
}

// The text begins with the password, raw or percent-encoded.
bool begins_with_password(std::string_view text, std::string_view password) {
    return text.starts_with(password) || decodes_to(text, password, false);
}

// Where each case-insensitive occurrence of word in value ends.
template <typename F>
void after_each(std::string_view value, std::string_view word, F&& f) {
    for (std::size_t at = 0; at + word.size() <= value.size(); ++at) {
        if (same(value.substr(at, word.size()), word, name_case::fold))
            f(value.substr(at + word.size()));
    }
}

bool carries_password(std::string_view value, std::string_view password) {
    if (password.empty()) return false;
    if (value == password || decodes_to(value, password, true)) return true;
    bool found = false;
    after_each(value, "pwd=", [&](std::string_view rest) {
        if (begins_with_password(rest, password)) found = true;
    });
    after_each(value, "bearer", [&](std::string_view rest) {
        if (rest.empty() || (rest.front() != ' ' && rest.front() != '\t')) return;
        while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t'))
            rest.remove_prefix(1);
        if (begins_with_password(rest, password)) found = true;
    });
    return found;
}

}  // namespace

bool child_keeps(std::string_view name, std::string_view value, std::string_view password,
                 name_case names, std::string_view listed) {
    if (never(name)) return false;
    if (!needed(name, names) && !listed_in(name, listed, names)) return false;
    return !carries_password(value, password);
}

std::vector<platform::env_entry> cli_environment() {
    const char* secret = platform::env("BOT_PASSWORD");
    const std::string_view password = secret != nullptr ? secret : "";
    const char* more = platform::env(cli_env_variable);
    const std::string_view listed = more != nullptr ? more : "";
    std::vector<platform::env_entry> kept = platform::environment();
    std::erase_if(kept, [&](const platform::env_entry& e) {
        return !child_keeps(e.name, e.value, password, platform::env_names, listed);
    });
    return kept;
}

}  // namespace credvane

// runner.cc: running a CLI through the command interpreter and reading its answer.
#include "cli/runner.h"

#include <cstring>

#include "platform/platform.h"
#include "base/text.h"

namespace credvane {

namespace {

// CREDVANE_CLI_TIMEOUT: whole seconds a CLI run may take; anything but a positive
// decimal number keeps the default.
int cli_timeout_seconds() {
    const char* v = platform::env("CREDVANE_CLI_TIMEOUT");
    if (v == nullptr || *v == '\0') return cli_timeout_default;
    int n = 0;
    for (const char* p = v; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || n > 86400) return cli_timeout_default;
        n = n * 10 + (*p - '0');
    }
    return n > 0 ? n : cli_timeout_default;
}

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

void shell_quote_into(const char* text, std::span<char> out) {
    platform::shell_quote_into(text, out);
}

void account_args(const char* name, const char* base, std::span<char> out) {
    if (name == nullptr || name[0] == '\0') {
        format_cut(out, "%s", base);
        return;
    }
    text<192> quoted;
    shell_quote_into(name, quoted.span());
    format_cut(out, "%s --name %s", base, quoted.c_str());
}

const char* login_bin() {
    const char* v = platform::env("CODEX_LOGIN_BIN");
    return (v != nullptr && v[0] != '\0') ? v : "quenlo-codex-login";
}

const char* refresh_bin() {
    const char* v = platform::env("CODEX_REFRESH_BIN");
    return (v != nullptr && v[0] != '\0') ? v : "quenlo-codex-refreshtoken";
}

int run_capture(const char* program, std::string_view args, buf& capture, bool* timed_out) {
    if (timed_out != nullptr) *timed_out = false;
    if (program == nullptr || program[0] == '\0') return run_not_started;
    text<512> quoted;
    shell_quote_into(program, quoted.span());
    text<4096> line;
    if (!args.empty()) {
        format_cut(line.span(), "%s %.*s 2>%s", quoted.c_str(), static_cast<int>(args.size()),
                   args.data(), platform::null_device);
    } else {
        format_cut(line.span(), "%s 2>%s", quoted.c_str(), platform::null_device);
    }

    platform::child_process child(line.c_str(), cli_timeout_seconds());
    if (!child.started()) return run_not_started;
    std::uint64_t total = 0;
    text<2048> piece;
    while (child.read_line(piece.span())) {
        const std::size_t n = std::strlen(piece.c_str());
        total += n;
        // The piece that crosses the limit is dropped and the rest stays unread.
        if (total > capture_max) break;
        buf_adds(capture, std::string_view(piece.c_str(), n));
    }
    const platform::run_end end = child.finish();

    if (capture.data) {
        char* d = capture.data.get();
        while (capture.len > 0 && is_space(d[capture.len - 1])) d[--capture.len] = '\0';
    }
    switch (end) {
        case platform::run_end::ran:
            return run_ran;
        case platform::run_end::cannot_run:
            return run_not_found;
        case platform::run_end::timed_out:
            if (timed_out != nullptr) *timed_out = true;
            return run_not_started;
    }
    return run_ran;
}

const char* last_json_line(const buf& capture) {
    if (!capture.data || capture.len == 0) return nullptr;
    const char* d = capture.data.get();
    const char* found = nullptr;
    for (std::uint64_t i = 0; i < capture.len; ++i) {
        if (d[i] == '{' && (i == 0 || d[i - 1] == '\n')) found = d + i;
    }
    return found;
}

}  // namespace credvane

// runner.cc: running a CLI and reading its answer.
#include "runner/runner.h"

#include <cstring>
#include <string>

#include "base/cli_time.h"
#include "base/text.h"
#include "platform/platform.h"
#include "runner/child_env.h"

namespace credvane {

namespace {

// The request's CLI deadline on the monotonic clock, set by its first run; 0 before.
std::int64_t request_cli_deadline_ms = 0;

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The length of text quoted for the command interpreter, uncut.
std::size_t quoted_length(std::string_view text) {
    const std::string plain(text);
    // Four bytes per byte is the most either platform's quoting writes, plus the quotes.
    std::string out(plain.size() * 4 + 3, '\0');
    shell_quote_into(plain.c_str(), out);
    return std::strlen(out.c_str());
}

}  // namespace

void cli_args::add(std::string_view w, std::size_t written) {
    if (count_ == words_.size()) {
        fits_ = false;
        return;
    }
    words_[count_++] = w;
    length_ += (count_ > 1 ? 1 : 0) + written;
    if (length_ + 1 > capacity_) fits_ = false;
}

cli_args& cli_args::word(std::string_view w) {
    add(w, w.size());
    return *this;
}

cli_args& cli_args::quoted(std::string_view v, std::size_t quoted_capacity) {
    const std::size_t n = quoted_length(v);
    if (n + 1 > quoted_capacity) fits_ = false;
    add(v, n);
    return *this;
}

void shell_quote_into(const char* text, std::span<char> out) {
    platform::shell_quote_into(text, out);
}

cli_args login_args(const char* name, std::string_view base) {
    cli_args args(login_args_capacity);
    while (!base.empty()) {
        const std::size_t space = base.find(' ');
        if (space != 0) args.word(base.substr(0, space));
        if (space == std::string_view::npos) break;
        base.remove_prefix(space + 1);
    }
    if (name != nullptr && name[0] != '\0') args.word("--name").quoted(name, name_capacity);
    return args;
}

const char* login_bin() {
    const char* v = platform::env("CODEX_LOGIN_BIN");
    return (v != nullptr && v[0] != '\0') ? v : "quenlo-codex-login";
}

const char* refresh_bin() {
    const char* v = platform::env("CODEX_REFRESH_BIN");
    return (v != nullptr && v[0] != '\0') ? v : "quenlo-codex-refreshtoken";
}

int cli_time_left_ms() {
    const std::int64_t now = platform::monotonic_ms();
    if (request_cli_deadline_ms == 0) {
        request_cli_deadline_ms = now + static_cast<std::int64_t>(cli_timeout_seconds()) * 1000;
    }
    const std::int64_t left = request_cli_deadline_ms - now;
    return left <= 0 ? 0 : static_cast<int>(left);
}

run_result run_capture(const char* program, const cli_args& args, buf& capture) {
    if (program == nullptr || program[0] == '\0') return run_result::not_started;
    // The line as the command interpreter took it: the quoted program, the arguments and
    // the redirection of standard error.
    const std::size_t program_length = quoted_length(program);
    const std::size_t line = program_length + (args.length() > 0 ? 1 + args.length() : 0) + 3 +
                             std::strlen(platform::null_device);
    if (!args.fits() || program_length + 1 > program_capacity || line + 1 > line_capacity) {
        return run_result::too_long;
    }

    const int left = cli_time_left_ms();
    if (left < cli_min_run_ms) return run_result::timed_out;
    // The run is ended at this time at the latest: a sign-in program fits its work, and the
    // write of a single-use token's answer, before it rather than being ended halfway.
    const std::string deadline = std::to_string(platform::monotonic_ms() + left);
    platform::set_env(cli_deadline_variable, deadline.c_str());

    const std::vector<platform::env_entry> environment = cli_environment();
    platform::child_process child(program, args.words(), left, environment);
    if (!child.started()) {
        switch (child.failure()) {
            case platform::start_failure::not_found:
            case platform::start_failure::not_executable:
                return run_result::not_found;
            case platform::start_failure::refused:
                return run_result::refused;
            default:
                return run_result::not_started;
        }
    }
    std::uint64_t total = 0;
    bool full = false;
    text<output_piece_capacity> piece;
    while (const std::size_t got = child.read_line(piece.span())) {
        // Every byte read counts against the limit, NUL bytes too: a CLI that writes
        // nothing else must not keep the request reading until its time is up.
        total += got;
        // The piece that crosses the limit is dropped and the rest stays unread.
        if (total > capture_max) {
            full = true;
            break;
        }
        // What follows a NUL byte in a piece is lost, as a C string reader loses it.
        buf_adds(capture, std::string_view(piece.c_str(), std::strlen(piece.c_str())));
    }
    // A CLI that has said more than we take is ended at once rather than left writing into
    // a pipe nobody reads until its time is up; it ran.
    const run_result end = full ? child.stop() : child.finish();

    if (capture.data) {
        char* d = capture.data.get();
        while (capture.len > 0 && is_space(d[capture.len - 1])) d[--capture.len] = '\0';
    }
    return end;
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

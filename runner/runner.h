// runner.h: running the login and refresh CLIs and reading their answers.
// A CLI starts directly with its arguments, one at a time, and the caller reads the last
// line of its standard output that begins with '{'.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "base/buf.h"
#include "base/cli_time.h"
#include "platform/platform.h"

namespace credvane {

inline constexpr std::uint64_t capture_max = 262144;

using platform::run_result;

// The capacities of the command line a CLI is started with, in bytes, terminator
// included: the program and every quoted value as the command interpreter takes them
// (see shell_quote_into), the arguments together and the whole line. A run whose line
// would not fit is not started at all: a cut would name another program or drop an
// argument.
inline constexpr std::size_t program_capacity = 512;
inline constexpr std::size_t name_capacity = 192;
inline constexpr std::size_t line_capacity = 4096;
// The arguments of each run as one text, terminator included: the status query ("--status"
// and a valid name), a login step (the longest base, "--start --force", "--name" and a quoted
// valid name) and a refresh ("--credentials-file", the quoted path and "--force"), whose
// quoted credential path fits refresh_path_capacity.
inline constexpr std::size_t status_args_capacity = 128;
inline constexpr std::size_t login_args_capacity = 232;
inline constexpr std::size_t refresh_args_capacity = 1120;
inline constexpr std::size_t refresh_path_capacity = 2048;
// A CLI's output is read a line at a time in pieces of at most this many bytes, terminator
// included; a longer line arrives in several.
inline constexpr std::size_t output_piece_capacity = 2048;

// A run that would get less than this many milliseconds of the request's CLI time is not
// started: it answers as timed out.
inline constexpr int cli_min_run_ms = 100;

// The arguments of one run, each a word as the CLI receives it, with the length they
// would take on one command line.
class cli_args {
  public:
    // capacity: of the arguments as one text, terminator included.
    explicit cli_args(std::size_t capacity) : capacity_(capacity) {}

    // An option, written as it is.
    cli_args& word(std::string_view w);
    // A value, written quoted, whose quoted form must fit quoted_capacity (terminator
    // included).
    cli_args& quoted(std::string_view v, std::size_t quoted_capacity);

    std::span<const std::string_view> words() const { return {words_.data(), count_}; }
    // The length of the arguments as one text: words, the spaces between them, quotes.
    std::size_t length() const { return length_; }
    bool fits() const { return fits_; }

  private:
    void add(std::string_view w, std::size_t written);
    std::array<std::string_view, 8> words_{};
    std::size_t count_ = 0;
    std::size_t length_ = 0;
    std::size_t capacity_;
    bool fits_ = true;
};

// Runs program with args, standard error discarded, and captures standard output (at most
// 262,144 bytes, trailing whitespace removed) in capture. A run that would get less than
// cli_min_run_ms of the request's CLI time is not started and counts as timed out.
// CREDVANE_CLI_TIMEOUT bounds the CLI time of the whole request, every run together.
run_result run_capture(const char* program, const cli_args& args, buf& capture);

// Milliseconds of the request's CLI time left (0 once it is up). The first call, or the
// first run, starts the clock: time spent waiting for another request's runs counts.
int cli_time_left_ms();

// Quotes one argument for the command interpreter (see platform::shell_quote_into).
void shell_quote_into(const char* text, std::span<char> out);

// The login CLI's arguments: the words of base, then "--name <name>" for a named account,
// within login_args_capacity.
cli_args login_args(const char* name, std::string_view base);

// CODEX_LOGIN_BIN when set and non-empty, else "quenlo-codex-login".
const char* login_bin();
// CODEX_REFRESH_BIN when set and non-empty, else "quenlo-codex-refreshtoken".
const char* refresh_bin();

// The start of the last line of the capture that begins with '{', or null. Callers scan
// from there to the end of the capture.
const char* last_json_line(const buf& capture);

}  // namespace credvane

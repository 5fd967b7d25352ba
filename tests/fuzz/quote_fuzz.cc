// quote_fuzz.cc: fuzz target for the argument quoting of the command runner, with /bin/sh
// itself as the oracle: the quoted text, run as an argument of printf, must come back
// byte for byte, or as a prefix cut only where the next piece could not fit.
// One shell lives for the whole run and reads one command line per input; spawning a
// shell per input would cap the target at a few hundred executions a second.
// Input: one or two capacity bytes, then the text (up to a NUL).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "runner/runner.h"
#include "tests/fuzz/fuzz_input.h"

extern char** environ;

namespace {

class shell_oracle {
  public:
    shell_oracle() {
        ::signal(SIGPIPE, SIG_IGN);  // a dead shell shows as EPIPE, reported below
        int in[2];
        int out[2];
        fuzz::check(::pipe2(in, O_CLOEXEC) == 0 && ::pipe2(out, O_CLOEXEC) == 0, "pipe");
        char dir_template[] = "/tmp/credvane-quote-fuzz-XXXXXX";
        fuzz::check(::mkdtemp(dir_template) != nullptr, "mkdtemp");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_addchdir_np(&fa, dir_template);
        // No PATH: should a quote ever break, the fuzzer's bytes cannot reach a program.
        char path[] = "PATH=/nonexistent";
        char lc[] = "LC_ALL=C";
        char* envp[] = {path, lc, nullptr};
        char sh[] = "/bin/sh";
        char* argv[] = {sh, nullptr};
        fuzz::check(::posix_spawn(&pid_, sh, &fa, nullptr, argv, envp) == 0, "spawn /bin/sh");
        posix_spawn_file_actions_destroy(&fa);
        ::rmdir(dir_template);  // the shell keeps it as its empty working folder
        ::close(in[0]);
        ::close(out[1]);
        to_sh_ = in[1];
        from_sh_ = out[0];
    }

    // What printf '%s' prints for the quoted word.
    std::string echo(const std::string& quoted) {
        const std::string line = "printf '%s' " + quoted + "; printf '\\000'\n";
        std::string_view rest = line;
        while (!rest.empty()) {
            const ssize_t w = ::write(to_sh_, rest.data(), rest.size());
            if (w < 0 && errno == EINTR) continue;
            fuzz::check(w > 0, "the shell stopped reading: the quoted text broke it", quoted);
            rest.remove_prefix(static_cast<std::size_t>(w));
        }
        std::string got;
        while (true) {
            struct pollfd p {
                from_sh_, POLLIN, 0
            };
            const int r = ::poll(&p, 1, 5000);
            if (r < 0 && errno == EINTR) continue;
            fuzz::check(r > 0, "the shell did not answer: the quoted text left a quote open",
                        quoted);
            char chunk[4096];
            const ssize_t n = ::read(from_sh_, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            fuzz::check(n > 0, "the shell ended: the quoted text broke it", quoted);
            got.append(chunk, static_cast<std::size_t>(n));
            if (got.back() == '\0') {
                got.pop_back();
                return got;
            }
        }
    }

  private:
    pid_t pid_ = -1;
    int to_sh_ = -1;
    int from_sh_ = -1;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static shell_oracle sh;
    fuzz::input in(data, size);
    // Small capacities (3 to 130) most of the time, where cuts happen; otherwise up to the
    // 2048 bytes the refresh action quotes a path into.
    const std::uint8_t b0 = in.byte();
    std::size_t cap = 3 + (b0 & 0x7f);
    if (b0 & 0x80) cap = 3 + ((static_cast<std::size_t>(b0 & 0x7f) << 8) | in.byte()) % 2046;
    const std::string text = in.text();

    const auto src = fuzz::exact_copy(text);
    auto out = fuzz::output_block(cap);
    credvane::shell_quote_into(src.get(), {out.get(), cap});
    fuzz::check(fuzz::terminated(out.get(), cap), "the quoted text is not terminated");
    const std::string quoted = out.get();

    const std::string echoed = sh.echo(quoted);
    fuzz::check(echoed.size() <= text.size() && text.compare(0, echoed.size(), echoed) == 0,
                "the shell did not get back the text, nor a prefix of it", quoted);
    if (echoed.size() < text.size()) {
        // Cut: the next piece ('\'' takes four bytes) plus the closing quote and the
        // terminator must not have fitted.
        const std::size_t piece = text[echoed.size()] == '\'' ? 4 : 1;
        fuzz::check(quoted.size() + piece >= cap, "a byte was dropped while there was room",
                    quoted);
    }
    return 0;
}

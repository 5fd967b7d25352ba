// cli_time.h: the time a request gives the CLIs it runs. credvane bounds its runs by it, and
// the sign-in programs, which it runs, fit their own work into it: both read it alike.
#pragma once

#include <cstdint>

namespace credvane {

inline constexpr int cli_timeout_default = 30;

// CREDVANE_CLI_TIMEOUT: whole seconds of CLI time for the request; anything but a positive
// decimal number keeps the default.
int cli_timeout_seconds();

// The variable by which credvane tells each CLI it runs when it ends that run: the time on
// the monotonic clock (platform::monotonic_ms, which every process of the machine reads
// alike). A run may start long after the request did (another request held the account),
// so only this tells a program how much of its own budget it really has.
inline constexpr const char* cli_deadline_variable = "CREDVANE_CLI_DEADLINE_MS";

// The end credvane set for this process's run; 0 when none is given (a run by hand) or the
// value is not a decimal number.
std::int64_t cli_deadline_ms();

}  // namespace credvane

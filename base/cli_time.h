// cli_time.h: the time a request gives the CLIs it runs. credvane bounds its runs by it, and
// the sign-in programs, which it runs, fit their own work into it: both read it alike.
#pragma once

namespace credvane {

inline constexpr int cli_timeout_default = 30;

// CREDVANE_CLI_TIMEOUT: whole seconds of CLI time for the request; anything but a positive
// decimal number keeps the default.
int cli_timeout_seconds();

}  // namespace credvane

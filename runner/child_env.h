// child_env.h: which of credvane's environment variables a CLI it starts keeps. The rule
// is the same on every system, and decided here, not by the platform: the platform starts
// a CLI with exactly the environment it is given.
#pragma once

#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace credvane {

using platform::name_case;

// The variable an operator lists further names in, for a CLI that needs more than the
// names below: separated by commas or blanks, each compared whole.
inline constexpr char cli_env_variable[] = "CREDVANE_CLI_ENV";

// True when a CLI may see the variable. A CLI gets only what it needs, whatever a host
// adds, so nothing the request brought can reach it by a name nobody foresaw:
// - the names a CLI needs: PATH, HOME, USER, LOGNAME, LANG, LC_*, TZ, TMPDIR, the
//   Windows essentials (SystemRoot, windir, ComSpec, PATHEXT, TEMP, TMP, USERPROFILE,
//   APPDATA, LOCALAPPDATA, ProgramData, SystemDrive and their kin), CODEX_*, CREDVANE_*,
//   https_proxy, HTTPS_PROXY, no_proxy, NO_PROXY, and Windows' hidden per-drive folders
//   ("=C:");
// - plus the names listed (the value of CREDVANE_CLI_ENV);
// - but never BOT_PASSWORD, an HTTP_* name (the request's headers; "Proxy:" arrives as
//   HTTP_PROXY) or one of the request's CGI variables, listed or not, in any letter case;
// - and, as the last net when password is not empty, never a variable whose value carries
//   the password: the value itself, or after "pwd=" or "Bearer ", each raw or
//   percent-encoded (hex digits in either case, "+" for a space), as a host's own copy of
//   the request's URI or Authorization header would hold it. A value that merely contains
//   the password elsewhere stays (a short password could occur in PATH).
bool child_keeps(std::string_view name, std::string_view value, std::string_view password,
                 name_case names, std::string_view listed = {});

// The environment a CLI gets: each variable of ours that child_keeps lets through, judged
// with this system's name case, the node password (BOT_PASSWORD) and the names listed in
// CREDVANE_CLI_ENV, so a CLI never sees the node password, the request or its headers.
std::vector<platform::env_entry> cli_environment();

}  // namespace credvane

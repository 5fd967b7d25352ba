// child_env.h: which of credvane's environment variables a CLI it starts keeps.
// Pure logic, the same on every system: the runners of both platforms ask it for each
// variable of their own environment.
#pragma once

#include <string_view>

namespace credvane::platform {

// How variable names compare: exactly on POSIX, without ASCII case on Windows, where
// "http_x_bot_password" and "HTTP_X_BOT_PASSWORD" are one variable.
enum class name_case { exact, fold };

// True when a CLI may see the variable. A CLI never sees what the request brought: the
// CGI meta-variables, every HTTP_* header, the node password (BOT_PASSWORD), and what real
// hosts add besides (the request URI, redirect copies, TLS details and the like). As the
// last net, when password is not empty, a variable whose value is the password or holds
// it in query form ("pwd=" followed by it) is dropped too, whatever its name: a host's
// own copy of the URI carries it that way. A value that merely contains the password
// elsewhere stays (a short password could occur in PATH). The node's own variables stay:
// PATH, HOME, CODEX_*, locale, proxy settings without the HTTP_ prefix, TMPDIR.
bool child_keeps(std::string_view name, std::string_view value, std::string_view password,
                 name_case names);

}  // namespace credvane::platform

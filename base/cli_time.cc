// cli_time.cc: the time a request gives the CLIs it runs.
#include "base/cli_time.h"

#include "platform/platform.h"

namespace credvane {

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

std::int64_t cli_deadline_ms() {
    const char* v = platform::env(cli_deadline_variable);
    if (v == nullptr || *v == '\0') return 0;
    std::int64_t n = 0;
    for (const char* p = v; *p != '\0'; ++p) {
        // Eighteen digits hold any clock reading without overflow.
        if (*p < '0' || *p > '9' || p - v >= 18) return 0;
        n = n * 10 + (*p - '0');
    }
    return n;
}

}  // namespace credvane

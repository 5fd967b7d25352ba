// check_report.h: reading the report of credvane --check in the CGI tests.
#pragma once

#include <string>

namespace cgi {

// The report's line for a check, from its verdict on, with the line of what to do under it;
// a text that names the check when the report has no such line.
inline std::string check_line_of(const std::string& out, const std::string& check) {
    for (const char* verdict : {"passed  ", "warned  ", "failed  "}) {
        const std::size_t at = out.find(verdict + check + ": ");
        if (at == std::string::npos) continue;
        std::size_t end = out.find('\n', at);
        const std::string remedy = "\n        to do: ";
        if (end != std::string::npos && out.compare(end, remedy.size(), remedy) == 0) {
            end = out.find('\n', end + 1);
        }
        return out.substr(at, end == std::string::npos ? std::string::npos : end - at);
    }
    return "(no line for " + check + ")";
}

}  // namespace cgi

// answer_log.h: keeps a copy of every answer credvane gives in the CGI tests, so that
// tests/api/validate.js can check the real bytes against the published description of the
// answers (docs/api.schema.json).
#pragma once

#include <map>
#include <string>
#include <vector>

namespace cgi {

// When CREDVANE_ANSWER_LOG names a folder, writes one JSON record of this run of credvane
// there: the test's name, the query (null when unset), the arguments, whether
// QN_PLUGIN_META and GATEWAY_INTERFACE were set, and standard output in base64.
void log_answer(const std::map<std::string, std::string>& vars,
                const std::vector<std::string>& args, const std::string& out);

}  // namespace cgi

// check.h: the operator's self-check (credvane --check): whether this node, run with the
// environment its host gives credvane, can sign in, and what to do where it cannot. It
// reads and asks; it makes no file, takes no lock and changes nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace credvane {

enum class verdict { passed, warned, failed };

// One line of the check.
struct check_line {
    std::string name;  // what was checked ("pending folder")
    verdict result = verdict::passed;
    std::string detail;  // what was found; never a secret
    std::string remedy;  // what to do, for a warning or a failure
};

// Every check for the account (the empty name: the default account), in the printed order.
std::vector<check_line> run_checks(const char* account);

// The report for a person: one line per check, a remedy line under each that is not
// passed, and a last line of counts.
std::string check_text(const std::vector<check_line>& lines);
// The same as one JSON document.
std::string check_json(const std::vector<check_line>& lines);

// A span of seconds in words: "in 3 days" ahead, "2 hours ago" behind, in the largest
// whole unit.
std::string time_words(std::int64_t seconds);

// credvane --check [--account NAME] [--json], given the arguments after "--check". Prints
// the report; the exit status is 0 when nothing failed (warnings allowed), 1 when a check
// failed, 2 for arguments not understood.
int run_check_mode(int argc, char** argv);

}  // namespace credvane

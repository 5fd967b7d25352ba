// login_status.h: the status record of one account and of its named accounts.
// It lives for one request: the status collection fills it, the credential scan sets some
// of its fields, the status report prints it, and the actions decide on it.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "base/text.h"

namespace credvane {

inline constexpr int max_named_accounts = 64;

// One named account file of the accounts directory.
struct account_entry {
    name_text name;  // the file name less ".json"
    int logged_in = 0;
    int has_refresh = 0;
    int expired = 0;
    std::int64_t expires_at = 0;      // Unix seconds; 0 when unknown
    std::int64_t expires_in_sec = 0;  // expires_at minus now
};

// A value-initialised record is the cleared record; the status collection then sets
// pending_age_sec to -1. expired and expires_in_sec are 0 whenever logged_in is 0 once a
// collection has ended. profile_path is internal and never reported.
struct login_status {
    int logged_in = 0;
    int has_refresh = 0;
    int pending = 0;
    int expired = 0;
    int cli_present = 0;
    int cli_timed_out = 0;  // internal: the "--status" run overstayed (cli_present is 0)
    int profile_exists = 0;
    int api_key_present = 0;
    name_text account;
    path_text credentials_path;
    name_text profile;
    path_text profile_path;
    name_text account_id;
    text<512> cli_error;
    std::int64_t expires_at = 0;
    std::int64_t expires_in_sec = 0;
    std::int64_t last_refresh = 0;
    std::int64_t pending_age_sec = 0;
    // Internal: a hash of the access token as the scan read it (0 when none), so that a
    // renewal shows even when the new token expires in the same second as the old one.
    std::uint64_t token_hash = 0;
    // Why the Codex CLI would refuse the credential file, or empty (a text of creds.cc).
    std::string_view file_problem;
    // Why this process could not make files in the pending-login folder (where the markers
    // and the account locks live), with the system's reason, or empty.
    text<1280> pending_problem;
    std::array<account_entry, max_named_accounts> accounts{};
    int account_count = 0;
};

}  // namespace credvane

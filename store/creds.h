// creds.h: login facts from the text of one Codex credential file.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "store/login_status.h"

namespace credvane {

// Sets the facts the text shows in st (and in entry when given): logged_in, has_refresh,
// api_key_present, account_id, expires_at (from the JWT's "exp"), last_refresh and
// file_problem (why the Codex CLI would refuse the file: "no id_token", "id_token is not a
// JWT", "no access_token" or "no refresh_token" for a "tokens" object that lacks one).
// Only ever sets fields, so the caller passes cleared records. A null text changes nothing.
void scan_creds(const char* text, login_status& st, account_entry* entry);

// The scan over the file at path, read through one fixed buffer so that the file is never
// held whole. The entry form sets what scan_creds sets in the entry of a named account
// file given a cleared record: logged_in and expires_at, and has_refresh when the file
// shows one; what only a record shows is not read. False, with nothing set, when the file
// cannot be read whole (missing, not a regular file, larger than read_file_max, or shorter
// than it was when opened), as read_file would give nothing for it; a NUL byte ends the
// text the scan sees.
bool scan_creds_file(const char* path, login_status& st);
// The same, for a reader that must make no file: on Windows the writers' lock file is not
// made when it is missing (see platform::credential_read_lock).
bool scan_creds_file_as_is(const char* path, login_status& st);
bool scan_creds_entry_file(const char* path, account_entry& entry);

// The "exp" claim of a JWT's payload, or 0 when the token is not a JWT or its payload
// cannot be read.
std::int64_t jwt_exp(std::string_view token);

// Seconds since 1970 of an ISO 8601 UTC time read at fixed positions, or nothing when
// the text is shorter than 19 bytes or its year, month or day is out of range.
std::optional<std::int64_t> parse_last_refresh(std::string_view iso);

// Decodes standard or URL-safe base64 (line breaks, spaces and '=' skipped) into out and
// returns the byte count, or nothing when a foreign character abandons the decoding.
// out must hold at least (in.size() / 4) * 3 + 3 bytes.
std::optional<std::size_t> base64_decode(std::string_view in, std::span<char> out);

}  // namespace credvane

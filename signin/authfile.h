// authfile.h: the Codex credential file (auth.json and the named account files in the
// same format), read and written exactly as the Codex CLI does: pretty-printed with two
// spaces and no final newline, members in the CLI's order, mode 0600, replaced through a
// temporary file in the same folder under the CLI's two locks.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/files.h"

namespace credvane::authfile {

using json = nlohmann::ordered_json;

// The deepest nesting a credential file or an issuer answer may have: the parser and the
// writer must never meet a document built to exhaust the stack.
inline constexpr int max_depth = 32;

// The largest credential file read.
inline constexpr std::uint64_t max_file_size = 1024 * 1024;

// A JSON document parsed without exceptions; nothing when the text is not JSON, nests
// deeper than max_depth or is not valid UTF-8.
std::optional<json> parse(std::string_view text);

// The text as the Codex CLI writes it.
std::string format(const json& doc);

// What a completed device login gives.
struct login_tokens {
    std::string id_token;
    std::string access_token;
    std::string refresh_token;
};

// A new credential file for a ChatGPT login. account_id is empty when the id token names
// none (written as null).
json new_login(const login_tokens& t, std::string_view issuer, std::string_view client_id,
               std::string_view login_owner_id, std::string_view account_id,
               std::string_view last_refresh);

// Applies a refresh to a parsed file: the tokens the issuer returned (an empty one is
// kept as it was) and last_refresh; every other member stays, in its place. False when the
// file has no "tokens" object to update.
bool apply_refresh(json& doc, const login_tokens& t, std::string_view last_refresh);

// RFC 3339 UTC with nine fraction digits, as the CLI writes "last_refresh".
std::string rfc3339_nanos(std::chrono::system_clock::time_point t);

// A new login owner id: 32 random bytes, base64url without padding. Empty when the system
// gave no random bytes.
std::string new_login_owner_id();

// The two locks of a credential file, in the CLI's order: "auth.lock" in its folder, then
// the file's name with ".lock" appended (auth.json.lock for auth.json).
std::string folder_lock_path(std::string_view creds);
std::string file_lock_path(std::string_view creds);

class locks {
  public:
    // Takes both, waiting up to deadline_ms (monotonic); held() says whether both are held.
    locks(std::string_view creds, std::int64_t deadline_ms);
    bool held() const { return folder_.held() && file_.held(); }

  private:
    platform::file_lock folder_;
    platform::file_lock file_;
};

// Writes text as the credential file at path (the caller holds the locks): creates the
// folder (0700) when missing, then replaces the file atomically. A symbolic link is written
// through to its target and stays a link; a hard-linked file, or a folder other users may
// change, is refused. False leaves the old file, with the reason in why.
// On Windows, where the rename may have to wait for readers to close the old file, it is
// tried until busy_until_ms (monotonic), or briefly when that is 0.
bool write(std::string_view path, std::string_view text, std::string* why = nullptr,
           std::int64_t busy_until_ms = 0);

// Proves that write(path, ...) of about size bytes can succeed now, before a single-use
// token is spent on answers that would then have nowhere to go: the target is acceptable,
// its folder safe and present, a file of that size is created there, written to the disk
// and removed, and an existing file is replaced by a copy of itself. Empty when it can; else
// the reason, for a person.
std::string check_writable(std::string_view path, std::size_t size);

// Reads and parses the file; nothing when it is missing, too large or not JSON.
std::optional<json> read(std::string_view path);

}  // namespace credvane::authfile

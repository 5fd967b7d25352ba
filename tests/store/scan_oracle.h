// scan_oracle.h: the scanner and the credential scan as they were first written, one byte
// at a time and one pass per key. They are slow and plainly correct, so the fast scanner
// in store/ is checked against them (tests/store and the fuzz_scan_diff target): for any
// text, window and key both must give the same answers and leave the same cursor.
#pragma once

#include <cstdint>
#include <span>

#include "store/login_status.h"

namespace credvane::oracle {

const char* json_find_key(const char* start, const char* end, const char* key);
int json_read_string_at(const char*& cur, std::span<char> out);
int json_str_field(const char* start, const char* end, const char* key, std::span<char> out);
int json_str_present(const char* start, const char* end, const char* key);
int json_bool_field(const char* start, const char* end, const char* key, int dflt);
std::int64_t json_num_field(const char* start, const char* end, const char* key);
void scan_creds(const char* text, login_status& st, account_entry* entry);

}  // namespace credvane::oracle

// cred_reference.h: the credential scan written plainly over the whole text with the
// scanner of store/json.h, one lookup per key. The streaming scan (store/cred_scan.h) must
// read the same values from any text, whole or in pieces: tests/store and the scan_diff
// fuzz target hold it to that.
#pragma once

#include <array>

#include "store/cred_scan.h"

namespace credvane::reference {

// 1 when the value of key is a string with at least one character outside escape pairs
// (a backslash that ends the window counts as one).
int json_str_present(const char* start, const char* end, const char* key);

// The values and the buffers their texts live in.
struct cred_read {
    cred_values values;
    std::array<char, access_token_capacity> access{};
    std::array<char, account_id_capacity> account{};
    std::array<char, last_refresh_capacity> last_refresh{};
    std::array<char, id_token_capacity> id_token{};
};
// What a cred_scanner(record) gives for the terminated text.
void read_creds(const char* text, bool record, cred_read& r);

// The same answers: every member, each flag the same and each text the same or absent in
// both.
bool same_values(const cred_values& a, const cred_values& b);

}  // namespace credvane::reference

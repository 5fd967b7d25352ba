// sha256.h: the SHA-256 digest (FIPS 180-4), so that secrets of any length can be compared
// as fixed-length digests.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace credvane {

using sha256_digest = std::array<std::uint8_t, 32>;

sha256_digest sha256(std::string_view data);

}  // namespace credvane

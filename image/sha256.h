// SHA-256 (FIPS 180-4) of an image, for the production log. Our own: no library that offers it
// reaches the Windows build as well.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace vestrel::image {

// The digest as 64 lower-case hex digits.
std::string Sha256Hex(std::span<const std::uint8_t> bytes);

}  // namespace vestrel::image

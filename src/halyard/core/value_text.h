#pragma once

// Texts for numbers and bytes shared by the header, query and form writers, so that they all
// write a value the same way.

#include <cstdint>
#include <span>
#include <string>

namespace halyard {

// The shortest text that reads back as the same double, with at least one digit after the
// point: 1.0 → "1.0", 0.1 → "0.1", 1e16 → "1e+16", 0.00001 → "1e-05".
std::string shortestDecimal(double value);

// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks).
std::string base64(std::span<const std::uint8_t> bytes);

}  // namespace halyard

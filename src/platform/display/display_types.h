#pragma once

#include <cstdint>

namespace platform {

// Identifies one active display for the display queries and the capture. 0 is no display.
using DisplayID = std::uint32_t;
inline constexpr DisplayID kNullDisplayID = 0;

struct DisplayPoint {
  double x = 0;
  double y = 0;
  bool operator==(const DisplayPoint&) const = default;
};

struct DisplaySize {
  double width = 0;
  double height = 0;
  bool operator==(const DisplaySize&) const = default;
};

struct DisplayRect {
  DisplayPoint origin;
  DisplaySize size;
  bool operator==(const DisplayRect&) const = default;
};

}  // namespace platform

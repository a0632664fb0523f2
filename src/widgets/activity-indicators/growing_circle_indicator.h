#pragma once

#include "widgets/geometry.h"

namespace widgets {

// The growing-circle figure: a filled disc inscribed in the box that grows from nothing to full
// size while it fades out, again and again. Times are seconds since the figure appeared.
struct GrowingCircleIndicator {
  static constexpr double kCycleDuration = 1.1;

  Size size;

  Point centre() const { return Point{size.width / 2, size.height / 2}; }
  // At full scale.
  double radius() const;
  // From 0 at the start of each cycle to 1 at its end, along an ease-in.
  double scale(double elapsed) const;
  // From 1 at the start of each cycle to 0 at its end, with the scale.
  double opacity(double elapsed) const { return 1 - scale(elapsed); }
};

}  // namespace widgets

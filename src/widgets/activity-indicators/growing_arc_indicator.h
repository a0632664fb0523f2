#pragma once

#include "widgets/activity-indicators/indicator_type.h"
#include "widgets/geometry.h"

namespace widgets {

// A circular arc to stroke: it covers the angles from `from` clockwise over `sweep` radians
// (0 pointing right, y growing downward). An arc with no sweep is empty.
struct ArcPath {
  Point centre;
  double radius;
  double from;
  double sweep;
  bool isEmpty() const { return !(sweep > 0) || !(radius > 0); }
};

// An arc that grows to `maxLength` while its start travels a quarter turn, holds that length
// for the first `lag` of the second half of the cycle while it speeds round, then shrinks to
// nothing back at its starting place. `p` is the progress through one cycle, 0 to 1.
struct GrowingArc {
  double maxLength;
  double lag;
  double p;

  // The arc in a rectangle of width `rect.width`: centred at (w / 2, w / 2) with radius w / 2,
  // whatever the rectangle's height.
  ArcPath path(Size rect) const;
};

// The growing-arc figure: one `GrowingArc`, stroked in its own colour, driven round forever
// with an ease-in. Times are seconds since the figure appeared.
struct GrowingArcIndicator {
  static constexpr double kCycleDuration = 2.0;
  static constexpr double kLag = 0.35;
  static double maxLength();

  Color color;
  double lineWidth;

  // A width of 0 or less strokes nothing at all.
  bool strokes() const { return lineWidth > 0; }
  // 0 until the queued start, then along an ease-in to 1 every two seconds, starting afresh.
  double p(double elapsed) const;
  GrowingArc arc(double elapsed) const { return GrowingArc{maxLength(), kLag, p(elapsed)}; }
};

}  // namespace widgets

#pragma once

#include <vector>

#include "widgets/geometry.h"

namespace widgets {

// One bar of the default figure: a ring of small rounded bars pointing away from the centre
// that fade to 30 % and back one after another, clockwise from the bar on the right. Times are
// seconds since the figure appeared.
struct DefaultIndicatorItem {
  static constexpr double kLowOpacity = 0.3;

  int index;
  int count;
  Size size;

  // Radians; 0 points right and angles grow clockwise on screen (y grows downward).
  double angle() const;
  double barHeight() const { return size.height / 3.2; }
  double barWidth() const { return barHeight() * 0.5; }
  // More than half the bar's width: the bar is drawn as a capsule.
  double cornerRadius() const { return barWidth() * 0.5 + 1.0; }
  // Radians about the bar's centre; a bar standing upright is turned to point outward.
  double rotation() const;
  // From the centre of the box to the centre of the bar.
  Point offset() const;
  // Bar i follows bar 0 by i / N × 0.5 s.
  double startDelay() const { return static_cast<double>(index) / count * 0.5; }
  double opacity(double elapsed) const;
};

// The bars of a ring of `count` bars in a box of `size`; none for a count of 0 or less.
std::vector<DefaultIndicatorItem> defaultItems(int count, Size size);

}  // namespace widgets

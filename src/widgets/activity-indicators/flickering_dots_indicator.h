#pragma once

#include <vector>

#include "widgets/geometry.h"

namespace widgets {

// One dot of the flickering-dots figure: a ring of dots touching the edges of the box that
// shrink to half size and fade to 30 % one after another, clockwise from the dot on the
// right. Times are seconds since the figure appeared.
struct FlickeringDotsIndicatorItem {
  static constexpr double kRunDuration = 0.5;
  static constexpr double kLowScale = 0.5;
  static constexpr double kLowOpacity = 0.3;

  int index;
  int count;
  Size size;

  double diameter() const { return size.height / 5; }
  // Radians; 0 points right and angles grow clockwise on screen (y grows downward).
  double angle() const;
  // From the centre of the box to the centre of the dot.
  Point offset() const;
  // Dot i follows dot 0 by i / N s, so the wave goes round the ring in about a second.
  double startDelay() const { return 2 * (0.5 * index / count); }
  double scale(double elapsed) const;
  double opacity(double elapsed) const;

 private:
  double fraction(double elapsed) const;
};

// The dots of a ring of `count` dots in a box of `size`; none for a count of 0 or less.
std::vector<FlickeringDotsIndicatorItem> flickeringDotsItems(int count, Size size);

}  // namespace widgets

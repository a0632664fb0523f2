#pragma once

#include <vector>

#include "widgets/geometry.h"

namespace widgets {

// One dot of the scaling-dots figure: a row of dots across the width that shrink to 30 % and
// grow back one after another, like a wave. Times are seconds since the figure appeared.
struct ScalingDotsIndicatorItem {
  static constexpr double kLowScale = 0.3;

  int index;
  int count;
  int inset;
  Size size;

  double diameter() const;
  bool isDrawn() const { return diameter() > 0; }
  // From the centre of the box to the centre of the dot.
  Point offset() const;
  // Dot i follows dot 0 by i / N × 0.5 s.
  double startDelay() const { return static_cast<double>(index) / count * 0.5; }
  double scale(double elapsed) const;
};

// The dots of a row of `count` dots `inset` apart in a box of `size`; none for a count of 0 or
// less.
std::vector<ScalingDotsIndicatorItem> scalingDotsItems(int count, int inset, Size size);

}  // namespace widgets

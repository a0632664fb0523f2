#pragma once

#include <vector>

#include "widgets/activity-indicators/dot_row.h"

namespace widgets {

// One dot of the scaling-dots figure: a row of dots across the width that shrink to 30 % and
// grow back one after another, like a wave. Times are seconds since the figure appeared.
struct ScalingDotsIndicatorItem : DotRowItem {
  static constexpr double kLowScale = 0.3;

  // Dot i follows dot 0 by i / N × 0.5 s.
  double startDelay() const { return static_cast<double>(index) / count * 0.5; }
  double scale(double elapsed) const;
};

// The dots of a row of `count` dots `inset` apart in a box of `size`; none for a count of 0 or
// less.
std::vector<ScalingDotsIndicatorItem> scalingDotsItems(int count, int inset, Size size);

}  // namespace widgets

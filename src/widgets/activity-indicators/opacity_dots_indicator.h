#pragma once

#include <vector>

#include "widgets/activity-indicators/dot_row.h"

namespace widgets {

// One dot of the opacity-dots figure: a row of dots across the width that shrink a little and
// fade to 30 % and back, the even-numbered ones 0.2 s after the odd-numbered ones. Times are
// seconds since the figure appeared.
struct OpacityDotsIndicatorItem : DotRowItem {
  static constexpr double kEvenDelay = 0.2;
  static constexpr double kLowScale = 0.9;
  static constexpr double kLowOpacity = 0.3;

  double startDelay() const { return index % 2 == 0 ? kEvenDelay : 0; }
  double scale(double elapsed) const;
  double opacity(double elapsed) const;

 private:
  double fraction(double elapsed) const;
};

// The dots of a row of `count` dots `inset` apart in a box of `size`; none for a count of 0 or
// less.
std::vector<OpacityDotsIndicatorItem> opacityDotsItems(int count, int inset, Size size);

}  // namespace widgets

#pragma once

#include <vector>

#include "widgets/geometry.h"

namespace widgets {

// One bar of the equalizer figure: a row of vertical bars, each as tall as the box and half
// as wide as its share of the width, that shrink to 40 % and grow back one after another.
// Times are seconds since the figure appeared.
struct EqualizerIndicatorItem {
  static constexpr double kCornerRadius = 3;
  static constexpr double kLowScale = 0.4;
  // Every run (down, or back up) waits this long before it moves.
  static constexpr double kRunDelay = 0.2;

  int index;
  int count;
  Size size;

  double barWidth() const { return size.width / count * 0.5; }
  double barHeight() const { return size.height; }
  // From the centre of the box to the centre of the bar.
  Point offset() const;
  // When this bar starts moving; bar i follows bar 0 by i / N × 0.5 s.
  double startDelay() const { return static_cast<double>(index) / count * 0.5; }
  // The bar's vertical scale, about its centre.
  double scale(double elapsed) const;
};

// The bars of an equalizer of `count` bars in a box of `size`; none for a count of 0 or less.
std::vector<EqualizerIndicatorItem> equalizerItems(int count, Size size);

}  // namespace widgets

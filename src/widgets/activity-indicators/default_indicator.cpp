#include "widgets/activity-indicators/default_indicator.h"

#include <cmath>
#include <numbers>

#include "widgets/activity-indicators/counted_item_layout.h"
#include "widgets/activity-indicators/timing_curve.h"

namespace widgets {

double DefaultIndicatorItem::angle() const {
  return 2 * std::numbers::pi / count * index;
}

double DefaultIndicatorItem::rotation() const {
  return angle() + std::numbers::pi / 2;
}

Point DefaultIndicatorItem::offset() const {
  const double w = barWidth();
  const double a = angle();
  return Point{std::cos(a) * (size.width * 0.5 - w), std::sin(a) * (size.height * 0.5 - w)};
}

double DefaultIndicatorItem::opacity(double elapsed) const {
  const double fraction = autoreversingFraction(elapsed - startDelay(), 0,
                                                kDefaultAnimationDuration, defaultAnimationCurve());
  return 1.0 + (kLowOpacity - 1.0) * fraction;
}

std::vector<DefaultIndicatorItem> defaultItems(int count, Size size) {
  std::vector<DefaultIndicatorItem> items;
  for (const auto& item : countedItems(count, size)) {
    items.push_back(DefaultIndicatorItem{item.index, item.count, item.size});
  }
  return items;
}

}  // namespace widgets

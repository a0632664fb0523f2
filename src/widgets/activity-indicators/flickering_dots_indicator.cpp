#include "widgets/activity-indicators/flickering_dots_indicator.h"

#include <cmath>
#include <numbers>

#include "widgets/activity-indicators/counted_item_layout.h"
#include "widgets/activity-indicators/timing_curve.h"

namespace widgets {

double FlickeringDotsIndicatorItem::angle() const {
  return 2 * std::numbers::pi / count * index;
}

Point FlickeringDotsIndicatorItem::offset() const {
  const double d = diameter();
  const double a = angle();
  return Point{std::cos(a) * (size.width * 0.5 - d * 0.5),
               std::sin(a) * (size.height * 0.5 - d * 0.5)};
}

double FlickeringDotsIndicatorItem::fraction(double elapsed) const {
  return autoreversingFraction(elapsed - startDelay(), 0, kRunDuration, TimingCurve::linear());
}

double FlickeringDotsIndicatorItem::scale(double elapsed) const {
  return 1.0 + (kLowScale - 1.0) * fraction(elapsed);
}

double FlickeringDotsIndicatorItem::opacity(double elapsed) const {
  return 1.0 + (kLowOpacity - 1.0) * fraction(elapsed);
}

std::vector<FlickeringDotsIndicatorItem> flickeringDotsItems(int count, Size size) {
  std::vector<FlickeringDotsIndicatorItem> items;
  for (const auto& item : countedItems(count, size)) {
    items.push_back(FlickeringDotsIndicatorItem{item.index, item.count, item.size});
  }
  return items;
}

}  // namespace widgets

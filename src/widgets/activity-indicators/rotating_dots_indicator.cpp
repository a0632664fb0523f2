#include "widgets/activity-indicators/rotating_dots_indicator.h"

#include <algorithm>

#include "widgets/activity-indicators/counted_item_layout.h"

namespace widgets {

double RotatingDotsIndicatorItem::diameter() const {
  return std::min(size.width, size.height) / 5;
}

Point RotatingDotsIndicatorItem::offset() const {
  return Point{0, size.width / 10 - size.height / 2};
}

TimingCurve RotatingDotsIndicatorItem::curve() const {
  return TimingCurve::cubicBezier(0.5, index / kFormulaCount + 0.15, 0.25, 1.0);
}

double RotatingDotsIndicatorItem::fraction(double elapsed) const {
  return repeatingFraction(elapsed, kTurnDuration, curve());
}

double RotatingDotsIndicatorItem::rotation(double elapsed) const {
  return 360.0 * fraction(elapsed);
}

double RotatingDotsIndicatorItem::scale(double elapsed) const {
  return startScale() + (endScale() - startScale()) * fraction(elapsed);
}

std::vector<RotatingDotsIndicatorItem> rotatingDotsItems(int count, Size size) {
  std::vector<RotatingDotsIndicatorItem> items;
  for (const auto& item : countedItems(count, size)) {
    items.push_back(RotatingDotsIndicatorItem{item.index, item.size});
  }
  return items;
}

}  // namespace widgets

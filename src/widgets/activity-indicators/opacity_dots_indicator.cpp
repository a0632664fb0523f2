#include "widgets/activity-indicators/opacity_dots_indicator.h"

#include "widgets/activity-indicators/counted_item_layout.h"
#include "widgets/activity-indicators/dot_row.h"
#include "widgets/activity-indicators/timing_curve.h"

namespace widgets {

double OpacityDotsIndicatorItem::diameter() const {
  return dotRowDiameter(count, inset, size.width);
}

Point OpacityDotsIndicatorItem::offset() const {
  return Point{dotRowOffset(index, count, inset, size.width), 0};
}

double OpacityDotsIndicatorItem::fraction(double elapsed) const {
  return autoreversingFraction(elapsed - startDelay(), 0, kDefaultAnimationDuration,
                               TimingCurve::easeOut());
}

double OpacityDotsIndicatorItem::scale(double elapsed) const {
  return 1.0 + (kLowScale - 1.0) * fraction(elapsed);
}

double OpacityDotsIndicatorItem::opacity(double elapsed) const {
  return 1.0 + (kLowOpacity - 1.0) * fraction(elapsed);
}

std::vector<OpacityDotsIndicatorItem> opacityDotsItems(int count, int inset, Size size) {
  std::vector<OpacityDotsIndicatorItem> items;
  for (const auto& item : countedItems(count, size)) {
    items.push_back(OpacityDotsIndicatorItem{item.index, item.count, inset, item.size});
  }
  return items;
}

}  // namespace widgets

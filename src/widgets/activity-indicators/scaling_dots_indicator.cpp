#include "widgets/activity-indicators/scaling_dots_indicator.h"

#include "widgets/activity-indicators/counted_item_layout.h"
#include "widgets/activity-indicators/dot_row.h"
#include "widgets/activity-indicators/timing_curve.h"

namespace widgets {

double ScalingDotsIndicatorItem::diameter() const {
  return dotRowDiameter(count, inset, size.width);
}

Point ScalingDotsIndicatorItem::offset() const {
  return Point{dotRowOffset(index, count, inset, size.width), 0};
}

double ScalingDotsIndicatorItem::scale(double elapsed) const {
  const double fraction = autoreversingFraction(elapsed - startDelay(), 0,
                                                kDefaultAnimationDuration, TimingCurve::easeOut());
  return 1.0 + (kLowScale - 1.0) * fraction;
}

std::vector<ScalingDotsIndicatorItem> scalingDotsItems(int count, int inset, Size size) {
  std::vector<ScalingDotsIndicatorItem> items;
  for (const auto& item : countedItems(count, size)) {
    items.push_back(ScalingDotsIndicatorItem{item.index, item.count, inset, item.size});
  }
  return items;
}

}  // namespace widgets

#include "widgets/activity-indicators/equalizer_indicator.h"

#include "widgets/activity-indicators/counted_item_layout.h"
#include "widgets/activity-indicators/timing_curve.h"

namespace widgets {

Point EqualizerIndicatorItem::offset() const {
  const double w = barWidth();
  return Point{w * 0.5 + (2 * w * index - size.width * 0.5), 0};
}

double EqualizerIndicatorItem::scale(double elapsed) const {
  const double fraction = autoreversingFraction(elapsed - startDelay(), kRunDelay,
                                                kDefaultAnimationDuration, TimingCurve::easeOut());
  return 1.0 + (kLowScale - 1.0) * fraction;
}

std::vector<EqualizerIndicatorItem> equalizerItems(int count, Size size) {
  std::vector<EqualizerIndicatorItem> items;
  for (const auto& item : countedItems(count, size)) {
    items.push_back(EqualizerIndicatorItem{item.index, item.count, item.size});
  }
  return items;
}

}  // namespace widgets

#include "widgets/activity-indicators/arcs_indicator.h"

#include "widgets/activity-indicators/counted_item_layout.h"
#include "widgets/activity-indicators/timing_curve.h"

namespace widgets {

ArcsDraw drawArc(RandomSource& random) {
  const int extraDegrees = random.integer(0, 180);
  const double speed = random.closedReal(0.2, 0.5);
  return ArcsDraw{extraDegrees, speed};
}

std::vector<ArcsDraw> drawArcs(int count, RandomSource& random) {
  std::vector<ArcsDraw> draws;
  for (int i = 0; i < count; ++i)
    draws.push_back(drawArc(random));
  return draws;
}

double ArcsIndicatorItem::radius() const {
  return size.width / 2 - static_cast<double>(index) * static_cast<double>(count);
}

double ArcsIndicatorItem::turnDuration() const {
  return kDefaultAnimationDuration / draw.speed;
}

double ArcsIndicatorItem::rotation(double elapsed) const {
  return 360.0 *
         repeatingFraction(elapsed - kDelayedStart, turnDuration(), defaultAnimationCurve());
}

std::vector<ArcsIndicatorItem> arcsItems(int count, double lineWidth, Size size,
                                         std::span<const ArcsDraw> draws) {
  std::vector<ArcsIndicatorItem> items;
  for (const auto& item : countedItems(count, size)) {
    if (static_cast<std::size_t>(item.index) >= draws.size()) break;
    items.push_back(ArcsIndicatorItem{item.index, item.count, item.size, lineWidth,
                                      draws[static_cast<std::size_t>(item.index)]});
  }
  return items;
}

}  // namespace widgets

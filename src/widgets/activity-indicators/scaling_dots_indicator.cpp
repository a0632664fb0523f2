#include "widgets/activity-indicators/scaling_dots_indicator.h"

#include "widgets/activity-indicators/timing_curve.h"

namespace widgets {

double ScalingDotsIndicatorItem::scale(double elapsed) const {
  const double fraction = autoreversingFraction(elapsed - startDelay(), 0,
                                                kDefaultAnimationDuration, TimingCurve::easeOut());
  return 1.0 + (kLowScale - 1.0) * fraction;
}

std::vector<ScalingDotsIndicatorItem> scalingDotsItems(int count, int inset, Size size) {
  return dotRowItems<ScalingDotsIndicatorItem>(count, inset, size);
}

}  // namespace widgets

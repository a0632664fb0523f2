#include "widgets/activity-indicators/growing_circle_indicator.h"

#include <algorithm>

#include "widgets/activity-indicators/timing_curve.h"

namespace widgets {

double GrowingCircleIndicator::radius() const {
  return std::min(size.width, size.height) / 2;
}

double GrowingCircleIndicator::scale(double elapsed) const {
  return repeatingFraction(elapsed - kDelayedStart, kCycleDuration, TimingCurve::easeIn());
}

}  // namespace widgets

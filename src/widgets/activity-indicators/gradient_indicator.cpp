#include "widgets/activity-indicators/gradient_indicator.h"

#include <algorithm>

#include "widgets/activity-indicators/timing_curve.h"

namespace widgets {

double GradientIndicator::radius() const {
  return std::min(size.width, size.height) / 2;
}

Color GradientIndicator::baseColor() const {
  return colors.empty() ? Color{1, 1, 1, 1} : colors.front();
}

bool GradientIndicator::hasGradientRing() const {
  // From a width of 250 / 3 the trimmed part's ends meet; rounding must not leave a sliver
  // there, nor ever a part running backwards.
  return strokes() && !colors.empty() && trimTo() - trimFrom() > 1e-9;
}

std::vector<double> GradientIndicator::stopLocations() const {
  std::vector<double> locations;
  const std::size_t n = colors.size();
  for (std::size_t i = 0; i < n; ++i) {
    locations.push_back(n == 1 ? 0.0 : static_cast<double>(i) / static_cast<double>(n - 1));
  }
  return locations;
}

double GradientIndicator::rotation(double elapsed) const {
  return 360.0 * repeatingFraction(elapsed - kDelayedStart, kTurnDuration, TimingCurve::linear());
}

}  // namespace widgets

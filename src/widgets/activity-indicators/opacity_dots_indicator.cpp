#include "widgets/activity-indicators/opacity_dots_indicator.h"

#include "widgets/activity-indicators/timing_curve.h"

namespace widgets {

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
  return dotRowItems<OpacityDotsIndicatorItem>(count, inset, size);
}

}  // namespace widgets

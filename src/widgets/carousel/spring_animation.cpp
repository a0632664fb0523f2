#include "widgets/carousel/spring_animation.h"

#include <cmath>
#include <numbers>

namespace widgets {

SpringAnimation::State SpringAnimation::evaluate(double from, double to, double velocity,
                                                 double elapsed) const {
  if (response <= 0 || !std::isfinite(response)) return {to, 0};
  if (elapsed <= 0) return {from, velocity};
  const double omega = 2 * std::numbers::pi / response;
  const double zeta = std::max(dampingFraction, 0.0);
  const double x0 = from - to;
  const double v0 = velocity;
  const double t = elapsed;
  if (std::abs(zeta - 1) < 1e-9) {
    const double b = v0 + omega * x0;
    const double decay = std::exp(-omega * t);
    return {to + decay * (x0 + b * t), decay * (v0 - omega * b * t)};
  }
  if (zeta < 1) {
    const double a = zeta * omega;
    const double wd = omega * std::sqrt(1 - zeta * zeta);
    const double decay = std::exp(-a * t);
    const double c = std::cos(wd * t);
    const double s = std::sin(wd * t);
    const double b = (v0 + a * x0) / wd;
    return {to + decay * (x0 * c + b * s),
            decay * (v0 * c - (x0 * omega * omega + a * v0) / wd * s)};
  }
  const double root = std::sqrt(zeta * zeta - 1);
  const double r1 = -omega * (zeta - root);
  const double r2 = -omega * (zeta + root);
  const double c2 = (v0 - r1 * x0) / (r2 - r1);
  const double c1 = x0 - c2;
  const double e1 = std::exp(r1 * t);
  const double e2 = std::exp(r2 * t);
  return {to + c1 * e1 + c2 * e2, r1 * c1 * e1 + r2 * c2 * e2};
}

AnimatedValue::AnimatedValue(double value, double epsilon)
    : from_(value), target_(value), epsilon_(epsilon) {}

double AnimatedValue::valueAt(double now) const {
  if (!animation_ || isSettledAt(now)) return target_;
  return animation_->evaluate(from_, target_, velocity_, now - start_).value;
}

double AnimatedValue::velocityAt(double now) const {
  if (!animation_ || isSettledAt(now)) return 0;
  return animation_->evaluate(from_, target_, velocity_, now - start_).velocity;
}

bool AnimatedValue::isSettledAt(double now) const {
  if (!animation_) return true;
  auto state = animation_->evaluate(from_, target_, velocity_, now - start_);
  return std::abs(state.value - target_) < epsilon_ && std::abs(state.velocity) < epsilon_;
}

void AnimatedValue::animateTo(double target, const std::optional<SpringAnimation>& animation,
                              double now) {
  if (!animation) {
    from_ = target;
    target_ = target;
    velocity_ = 0;
    animation_.reset();
    return;
  }
  const double value = valueAt(now);
  const double velocity = velocityAt(now);
  from_ = value;
  velocity_ = velocity;
  target_ = target;
  start_ = now;
  animation_ = animation;
}

}  // namespace widgets

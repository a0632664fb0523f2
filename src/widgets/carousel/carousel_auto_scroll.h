#pragma once

#include <optional>

namespace widgets {

// Whether a carousel advances by itself, and how often.
class CarouselAutoScroll {
 public:
  // Advance every `seconds` (a value of 0 or less means the usual 5 seconds).
  static CarouselAutoScroll active(double seconds) { return CarouselAutoScroll(seconds); }
  static CarouselAutoScroll inactive() { return CarouselAutoScroll(std::nullopt); }
  // Advance every 5 seconds.
  static CarouselAutoScroll standard() { return active(5); }

  bool isActive() const { return seconds_.has_value(); }
  // The seconds given to `active`; nothing when inactive.
  std::optional<double> seconds() const { return seconds_; }

  bool operator==(const CarouselAutoScroll&) const = default;

 private:
  explicit CarouselAutoScroll(std::optional<double> seconds) : seconds_(seconds) {}
  std::optional<double> seconds_;
};

}  // namespace widgets

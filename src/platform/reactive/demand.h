#pragma once

#include <cstddef>
#include <limits>
#include <optional>

namespace platform {

// How many more elements a subscriber is ready for. Arithmetic saturates: a sum that would
// overflow is `unlimited`, a difference never goes below `none`, and `unlimited` absorbs both.
class Demand {
 public:
  static Demand none() { return Demand(0, false); }
  static Demand unlimited() { return Demand(0, true); }
  static Demand max(std::size_t n) { return Demand(n, false); }

  bool isUnlimited() const { return unlimited_; }
  // The finite count, or nothing when unlimited.
  std::optional<std::size_t> maxCount() const {
    if (unlimited_) return std::nullopt;
    return count_;
  }
  bool isNone() const { return !unlimited_ && count_ == 0; }

  friend Demand operator+(Demand a, Demand b) {
    if (a.unlimited_ || b.unlimited_) return unlimited();
    if (a.count_ > std::numeric_limits<std::size_t>::max() - b.count_) return unlimited();
    return max(a.count_ + b.count_);
  }
  friend Demand operator-(Demand a, Demand b) {
    if (a.unlimited_) return unlimited();
    if (b.unlimited_) return none();
    return max(a.count_ > b.count_ ? a.count_ - b.count_ : 0);
  }
  Demand& operator+=(Demand b) { return *this = *this + b; }
  Demand& operator-=(Demand b) { return *this = *this - b; }
  friend bool operator==(Demand a, Demand b) {
    return a.unlimited_ == b.unlimited_ && (a.unlimited_ || a.count_ == b.count_);
  }

 private:
  Demand(std::size_t n, bool u) : count_(n), unlimited_(u) {}
  std::size_t count_;
  bool unlimited_;
};

}  // namespace platform

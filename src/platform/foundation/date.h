#pragma once

#include <compare>
#include <cstddef>
#include <functional>

namespace platform {

// Seconds between 1970-01-01T00:00:00Z and the reference date 2001-01-01T00:00:00Z.
inline constexpr double timeIntervalBetween1970AndReferenceDate = 978307200.0;

// A point in time: seconds since 2001-01-01T00:00:00Z as a double. That number is also what the
// default coding writes, so a date survives a round trip through any coder exactly.
class Date {
 public:
  // The reference date itself. Use `now()` for the current instant.
  constexpr Date() = default;
  constexpr explicit Date(double timeIntervalSinceReferenceDate)
      : seconds_(timeIntervalSinceReferenceDate) {}

  static constexpr Date fromTimeIntervalSince1970(double seconds) {
    return Date(seconds - timeIntervalBetween1970AndReferenceDate);
  }
  // The current instant, from the installed clock (the system clock unless a test replaced it).
  static Date now();

  // 0001-01-01T00:00:00Z and 4001-01-01T00:00:00Z.
  static constexpr Date distantPast() { return fromTimeIntervalSince1970(-62135769600.0); }
  static constexpr Date distantFuture() { return fromTimeIntervalSince1970(64092211200.0); }

  constexpr double timeIntervalSinceReferenceDate() const { return seconds_; }
  constexpr double timeIntervalSince1970() const {
    return seconds_ + timeIntervalBetween1970AndReferenceDate;
  }
  constexpr double timeIntervalSince(Date other) const { return seconds_ - other.seconds_; }
  double timeIntervalSinceNow() const { return timeIntervalSince(now()); }
  constexpr Date addingTimeInterval(double seconds) const { return Date(seconds_ + seconds); }

  constexpr Date& operator+=(double seconds) {
    seconds_ += seconds;
    return *this;
  }
  constexpr Date& operator-=(double seconds) {
    seconds_ -= seconds;
    return *this;
  }
  friend constexpr Date operator+(Date d, double seconds) { return Date(d.seconds_ + seconds); }
  friend constexpr Date operator-(Date d, double seconds) { return Date(d.seconds_ - seconds); }
  friend constexpr double operator-(Date a, Date b) { return a.seconds_ - b.seconds_; }

  friend constexpr bool operator==(Date a, Date b) { return a.seconds_ == b.seconds_; }
  friend constexpr std::partial_ordering operator<=>(Date a, Date b) {
    return a.seconds_ <=> b.seconds_;
  }

 private:
  double seconds_ = 0;
};

// Replaces the source of `Date::now()` (for tests); an empty function restores the system clock.
// Returns the previous source (empty when it was the system clock).
using DateClock = std::function<Date()>;
DateClock setDateClock(DateClock clock);

}  // namespace platform

template <>
struct std::hash<platform::Date> {
  std::size_t operator()(platform::Date d) const noexcept {
    // +0 and -0 are equal dates and must hash alike.
    double s = d.timeIntervalSinceReferenceDate();
    return std::hash<double>{}(s == 0 ? 0.0 : s);
  }
};

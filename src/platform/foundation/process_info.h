#pragma once

#include <functional>
#include <string>

namespace platform {

// Seconds since an arbitrary fixed point, monotonic. Tests may replace the source.
double systemUptime();
void setUptimeSource(std::function<double()> source);  // empty restores the system clock

// A random (version 4) UUID.
class UUID {
 public:
  UUID();                                                            // a new random identifier
  static void setGenerator(std::function<std::string()> generator);  // empty restores random
  const std::string& uuidString() const { return text_; }            // upper case, 8-4-4-4-12
  bool operator==(const UUID&) const = default;

 private:
  std::string text_;
};

}  // namespace platform

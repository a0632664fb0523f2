#include "widgets/activity-indicators/random_source.h"

#include <algorithm>
#include <cmath>

namespace widgets {

MersenneRandomSource::MersenneRandomSource() : engine_(std::random_device{}()) {}

int MersenneRandomSource::integer(int low, int high) {
  if (high <= low) return low;
  return std::uniform_int_distribution<int>(low, high)(engine_);
}

double MersenneRandomSource::closedReal(double low, double high) {
  if (!(high > low)) return low;
  // uniform_real_distribution never reaches `high`. A uniform integer over [0, 2^53] read as a
  // fraction of 2^53 reaches both 0 and 1 and is as fine-grained as a double allows.
  constexpr std::uint64_t kSteps = std::uint64_t{1} << 53;
  const auto step = std::uniform_int_distribution<std::uint64_t>(0, kSteps)(engine_);
  const double fraction = static_cast<double>(step) / static_cast<double>(kSteps);
  return std::clamp(std::lerp(low, high, fraction), low, high);
}

std::shared_ptr<RandomSource> systemRandomSource() {
  static const auto source = std::make_shared<MersenneRandomSource>();
  return source;
}

}  // namespace widgets

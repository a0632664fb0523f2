#pragma once

#include <cstdint>
#include <memory>
#include <random>

namespace widgets {

// Where a figure's random choices come from. Figures take it as a parameter so that tests and
// tools can fix the choices.
class RandomSource {
 public:
  virtual ~RandomSource() = default;
  // A uniform integer from `low` to `high`, both included.
  virtual int integer(int low, int high) = 0;
  // A uniform number from `low` to `high`, both ends possible.
  virtual double closedReal(double low, double high) = 0;
};

// Unbiased draws from a 64-bit Mersenne Twister.
class MersenneRandomSource : public RandomSource {
 public:
  // Seeded from the system's entropy.
  MersenneRandomSource();
  // The same seed gives the same draws, run after run.
  explicit MersenneRandomSource(std::uint64_t seed) : engine_(seed) {}

  int integer(int low, int high) override;
  double closedReal(double low, double high) override;

 private:
  std::mt19937_64 engine_;
};

// The source figures use unless given another: one per process, seeded from the system.
std::shared_ptr<RandomSource> systemRandomSource();

}  // namespace widgets

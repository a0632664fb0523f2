#include "platform/net/progress.h"

namespace platform {

std::int64_t Progress::totalUnitCount() const {
  std::lock_guard lock(mutex_);
  return total_;
}

void Progress::setTotalUnitCount(std::int64_t count) {
  std::lock_guard lock(mutex_);
  total_ = count;
}

std::int64_t Progress::completedUnitCount() const {
  std::lock_guard lock(mutex_);
  return completed_;
}

void Progress::setCompletedUnitCount(std::int64_t count) {
  std::lock_guard lock(mutex_);
  completed_ = count;
}

double Progress::fractionCompleted() const {
  std::lock_guard lock(mutex_);
  if (total_ <= 0 || completed_ < 0) return 0.0;
  return static_cast<double>(completed_) / static_cast<double>(total_);
}

bool Progress::isIndeterminate() const {
  std::lock_guard lock(mutex_);
  return total_ < 0 || completed_ < 0;
}

bool Progress::isFinished() const {
  std::lock_guard lock(mutex_);
  return total_ >= 0 && completed_ >= total_;
}

}  // namespace platform

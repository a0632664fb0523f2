#pragma once

#include <cstdint>
#include <mutex>

namespace platform {

// Progress of one piece of work in units (bytes, usually). Thread-safe; shared by reference
// (`std::shared_ptr<Progress>`), never copied.
class Progress {
 public:
  explicit Progress(std::int64_t totalUnitCount = -1) : total_(totalUnitCount) {}
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // -1 (or any negative count) means the total is not known.
  std::int64_t totalUnitCount() const;
  void setTotalUnitCount(std::int64_t count);
  std::int64_t completedUnitCount() const;
  void setCompletedUnitCount(std::int64_t count);

  // completed / total, 0 when the total is unknown or zero; may exceed 1 when more arrives
  // than announced.
  double fractionCompleted() const;
  // The total is unknown or the completed count negative.
  bool isIndeterminate() const;
  // The total is known and reached.
  bool isFinished() const;

 private:
  mutable std::mutex mutex_;
  std::int64_t total_;
  std::int64_t completed_ = 0;
};

}  // namespace platform

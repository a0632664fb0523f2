#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace platform {

// A mapping of shared memory, unmapped when the last holder lets go.
struct CaptureMapping {
  std::uint8_t* address = nullptr;
  std::size_t size = 0;
  CaptureMapping() = default;
  CaptureMapping(const CaptureMapping&) = delete;
  CaptureMapping& operator=(const CaptureMapping&) = delete;
  ~CaptureMapping() {
    if (address) munmap(address, size);
  }
};

// The buffers a compositor capture fills and hands on as the frames' pixels. A buffer lent
// out with a frame comes back when the last holder of the frame lets go (which wakes the
// capture); its mapping outlives the pool meanwhile.
class CaptureBufferPool : public std::enable_shared_from_this<CaptureBufferPool> {
 public:
  explicit CaptureBufferPool(std::function<void()> wake) : wake_(std::move(wake)) {}

  // Answers the new buffer's index.
  std::size_t add(std::shared_ptr<CaptureMapping> mapping) {
    std::lock_guard lock(mutex_);
    slots_.push_back({std::move(mapping), false});
    return slots_.size() - 1;
  }

  struct Loan {
    std::shared_ptr<CaptureMapping> mapping;
    std::size_t index = 0;
  };
  std::optional<Loan> acquire() {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      if (!slots_[i].inUse) {
        slots_[i].inUse = true;
        return Loan{slots_[i].mapping, i};
      }
    }
    return std::nullopt;
  }
  bool hasFree() const {
    std::lock_guard lock(mutex_);
    return std::any_of(slots_.begin(), slots_.end(), [](const Slot& s) { return !s.inUse; });
  }
  void giveBack(std::size_t index) {
    {
      std::lock_guard lock(mutex_);
      if (index < slots_.size()) slots_[index].inUse = false;
    }
    if (wake_) wake_();
  }

  // Gives the buffer back when the returned handle goes.
  std::shared_ptr<const void> lease(const Loan& loan) {
    struct Lease {
      std::shared_ptr<CaptureMapping> mapping;
      std::weak_ptr<CaptureBufferPool> pool;
      std::size_t index;
      ~Lease() {
        if (auto owner = pool.lock()) owner->giveBack(index);
      }
    };
    return std::shared_ptr<const Lease>(new Lease{loan.mapping, weak_from_this(), loan.index});
  }

 private:
  struct Slot {
    std::shared_ptr<CaptureMapping> mapping;
    bool inUse;
  };
  mutable std::mutex mutex_;
  std::vector<Slot> slots_;
  std::function<void()> wake_;
};

}  // namespace platform

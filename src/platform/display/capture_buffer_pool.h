#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/display/display_error.h"

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

// Shared memory of `bytes` for a capture buffer: its descriptor, which the caller passes to the
// display server and closes (or hands to a library that closes it once sent), and its mapping.
struct SharedMemory {
  int fd = -1;
  std::shared_ptr<CaptureMapping> mapping;
};

inline std::expected<SharedMemory, ErrorPtr> makeSharedMemory(const char* name, std::size_t bytes) {
  const int fd = memfd_create(name, MFD_CLOEXEC);
  if (fd < 0) {
    return std::unexpected(
        displayError(std::string("Cannot make shared memory: ") + std::strerror(errno)));
  }
  if (ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
    const int error = errno;
    close(fd);
    return std::unexpected(
        displayError(std::string("Cannot size shared memory: ") + std::strerror(error)));
  }
  void* address = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) {
    const int error = errno;
    close(fd);
    return std::unexpected(
        displayError(std::string("Cannot map shared memory: ") + std::strerror(error)));
  }
  auto mapping = std::make_shared<CaptureMapping>();
  mapping->address = static_cast<std::uint8_t*>(address);
  mapping->size = bytes;
  return SharedMemory{fd, std::move(mapping)};
}

// The buffers a capture backend fills and hands on as the frames' pixels. A buffer lent
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

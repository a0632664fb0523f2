#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace platform::net_detail {

// Memory of ended transfers, kept by the thread that freed it for the next one it makes. A
// transfer is a few kilobytes, past the allocator's fast path, and one comes and goes with
// every request. Only the memory is reused: each transfer is constructed afresh in it. Under
// AddressSanitizer every block is freed, so a late use of an ended transfer is still caught.
class TransferMemory {
 public:
  static void* take(std::size_t size) {
    auto& spare = local().spare_;
    if (kKeep > 0 && !spare.empty()) {
      void* block = spare.back();
      spare.pop_back();
      return block;
    }
    return ::operator new(size);
  }
  static void give(void* block) {
    auto& spare = local().spare_;
    if (spare.size() < kKeep) {
      spare.push_back(block);
      return;
    }
    ::operator delete(block);
  }

 private:
#if defined(__SANITIZE_ADDRESS__)
  static constexpr std::size_t kKeep = 0;
#else
  // As many as a busy session runs at once, about.
  static constexpr std::size_t kKeep = 64;
#endif
  static TransferMemory& local() {
    thread_local TransferMemory memory;
    return memory;
  }
  TransferMemory() {
    spare_.reserve(kKeep);
  }
  ~TransferMemory() {
    for (void* block : spare_)
      ::operator delete(block);
  }
  std::vector<void*> spare_;
};

}  // namespace platform::net_detail

#include "halyard/core/unfair_lock.h"

namespace halyard {

void UnfairLock::lockContended() {
  // A short spin first: the closures run under these locks are tiny, so the holder is usually
  // about to release.
  for (int spin = 0; spin < 64; ++spin) {
    std::uint32_t expected = kUnlocked;
    if (word_->load(std::memory_order_relaxed) == kUnlocked &&
        word_->compare_exchange_weak(expected, kLocked, std::memory_order_acquire,
                                     std::memory_order_relaxed)) {
      return;
    }
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
  // Mark the word contended so that the holder wakes a sleeper on release.
  while (word_->exchange(kContended, std::memory_order_acquire) != kUnlocked) {
    word_->wait(kContended, std::memory_order_relaxed);
  }
}

}  // namespace halyard

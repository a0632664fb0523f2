#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>

namespace halyard {

// A small non-recursive lock over one 32-bit word. Uncontended acquisition is a single
// compare-and-swap: no allocation, no system call, no thread hop. Contended waiters sleep on
// the word (a futex on Linux). It is the only lock type the client uses.
//
// The word lives in its own heap cell so that its address never changes for the life of the
// lock, whatever happens to the object that holds the lock.
class UnfairLock {
 public:
  UnfairLock() : word_(std::make_unique<std::atomic<std::uint32_t>>(kUnlocked)) {}
  UnfairLock(const UnfairLock&) = delete;
  UnfairLock& operator=(const UnfairLock&) = delete;

  void lock() {
    std::uint32_t expected = kUnlocked;
    if (word_->compare_exchange_strong(expected, kLocked, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
      return;
    }
    lockContended();
  }

  void unlock() {
    if (word_->exchange(kUnlocked, std::memory_order_release) == kContended) {
      word_->notify_one();
    }
  }

  // Acquires, runs `body`, releases — also when `body` throws — and hands back its result.
  template <class F>
  decltype(auto) runLocked(F&& body) {
    lock();
    struct Release {
      UnfairLock* lock;
      ~Release() { lock->unlock(); }
    } release{this};
    return std::forward<F>(body)();
  }

 private:
  static constexpr std::uint32_t kUnlocked = 0;
  static constexpr std::uint32_t kLocked = 1;
  static constexpr std::uint32_t kContended = 2;

  void lockContended();

  std::unique_ptr<std::atomic<std::uint32_t>> word_;
};

}  // namespace halyard

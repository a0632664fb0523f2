#include "platform/dispatch/parking.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>

namespace platform {
namespace parking {
namespace {

long futex(std::atomic<std::uint32_t>& word, int op, std::uint32_t value,
           const timespec* timeout = nullptr, std::uint32_t bitset = 0) {
  static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
  return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), op, value, timeout, nullptr,
                 bitset);
}

}  // namespace

void wait(std::atomic<std::uint32_t>& word, std::uint32_t expected, std::int64_t deadlineNanos) {
  if (deadlineNanos < 0) {
    futex(word, FUTEX_WAIT_PRIVATE, expected);
    return;
  }
  // The bitset form takes an absolute CLOCK_MONOTONIC deadline, so a retry after an early return
  // needs no arithmetic.
  const timespec deadline{static_cast<time_t>(deadlineNanos / 1'000'000'000),
                          static_cast<long>(deadlineNanos % 1'000'000'000)};
  futex(word, FUTEX_WAIT_BITSET_PRIVATE, expected, &deadline, FUTEX_BITSET_MATCH_ANY);
}

void wakeOne(std::atomic<std::uint32_t>& word) {
  futex(word, FUTEX_WAKE_PRIVATE, 1);
}

void wakeAll(std::atomic<std::uint32_t>& word) {
  futex(word, FUTEX_WAKE_PRIVATE, INT_MAX);
}

}  // namespace parking

namespace {

std::int64_t monotonicNanos() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

}  // namespace

bool Parker::parkUntil(std::int64_t deadlineNanos) {
  // kNotified - 1 == kEmpty: the wake-up came first and is taken. kEmpty - 1 == kParked.
  if (state_.fetch_sub(1, std::memory_order_acquire) == kNotified) return true;
  for (;;) {
    parking::wait(state_, kParked, deadlineNanos);
    std::uint32_t expected = kNotified;
    if (state_.compare_exchange_strong(expected, kEmpty, std::memory_order_acquire)) return true;
    if (deadlineNanos >= 0 && monotonicNanos() >= deadlineNanos) {
      // Give up, unless a wake-up slipped in meanwhile: that one is taken, not left for later.
      return state_.exchange(kEmpty, std::memory_order_acquire) == kNotified;
    }
  }
}

void Parker::unpark() {
  if (state_.exchange(kNotified, std::memory_order_release) == kParked) parking::wakeOne(state_);
}

void Doorbell::wait(std::uint32_t ticket, std::int64_t deadlineNanos) {
  for (;;) {
    std::uint32_t rings = ticket;
    if (!rings_.compare_exchange_strong(rings, ticket | kSleeper, std::memory_order_seq_cst) &&
        rings != (ticket | kSleeper))
      return;  // rung since the ticket was taken
    parking::wait(rings_, ticket | kSleeper, deadlineNanos);
    if (deadlineNanos >= 0 && monotonicNanos() >= deadlineNanos) return;
  }
}

}  // namespace platform

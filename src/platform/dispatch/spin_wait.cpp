#include "platform/dispatch/spin_wait.h"

#include <fcntl.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

namespace platform {
namespace spin_detail {
namespace {

// How long spinning stays off once the machine was found overloaded.
constexpr std::int64_t kOffWhenOverloadedNanos = 20'000'000;
// A beat older than this no longer vouches for its spinner.
constexpr std::int64_t kFreshNanos = 8'000;

std::atomic<std::int64_t> offUntil{0};

bool enoughCores() {
  static const bool enough = std::thread::hardware_concurrency() >= 4;
  return enough;
}

}  // namespace

std::int64_t nowNanos() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

bool allowed(std::int64_t now) {
  return enoughCores() && now >= offUntil.load(std::memory_order_relaxed);
}

bool overloaded(std::int64_t now) {
  // The fourth field of the load average is "runnable/total" right now, this thread included.
  static const int fd = open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
  char text[128];
  const ssize_t length = fd >= 0 ? pread(fd, text, sizeof text - 1, 0) : -1;
  if (length <= 0) return false;
  text[length] = '\0';
  double ignored[3];
  int runnable = 0;
  if (std::sscanf(text, "%lf %lf %lf %d/", &ignored[0], &ignored[1], &ignored[2], &runnable) != 4)
    return false;
  if (runnable <= static_cast<int>(std::thread::hardware_concurrency())) return false;
  offUntil.store(now + kOffWhenOverloadedNanos, std::memory_order_relaxed);
  return true;
}

void offerCore() {
  sched_yield();
}

}  // namespace spin_detail

bool SpinBeacon::fresh() const {
  return spin_detail::nowNanos() - lastBeat_.load(std::memory_order_seq_cst) <
         spin_detail::kFreshNanos;
}

}  // namespace platform

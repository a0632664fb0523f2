#include "platform/foundation/process_info.h"

#include <pthread.h>
#include <sys/random.h>
#include <time.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "platform/foundation/log.h"

namespace platform {
namespace {

// Replaceable sources, with a flag so that the common case costs no lock.
template <class F>
struct Injectable {
  std::atomic<bool> installed{false};
  std::mutex mutex;
  std::function<F> source;

  void set(std::function<F> f) {
    std::lock_guard lock(mutex);
    installed.store(static_cast<bool>(f), std::memory_order_release);
    source = std::move(f);
  }
  std::function<F> get() {
    if (!installed.load(std::memory_order_acquire)) return {};
    std::lock_guard lock(mutex);
    return source;
  }
};

Injectable<double()>& uptimeSource() {
  static auto* s = new Injectable<double()>;
  return *s;
}

Injectable<std::string()>& uuidGenerator() {
  static auto* s = new Injectable<std::string()>;
  return *s;
}

// Bumped in a forked child, so that it never hands out bytes its parent may hand out too.
std::atomic<unsigned> forkGeneration{0};

// 16 random bytes from the system's source. Each thread draws a few hundred bytes at a time:
// a system call per identifier is most of what making one costs.
std::array<std::uint8_t, 16> randomBytes() {
  struct Pool {
    std::array<std::uint8_t, 512> bytes;
    std::size_t used = 512;
    unsigned generation = 0;
  };
  static const bool forkHandlerInstalled = [] {
    return pthread_atfork(nullptr, nullptr,
                          [] { forkGeneration.fetch_add(1, std::memory_order_relaxed); }) == 0;
  }();
  (void)forkHandlerInstalled;
  thread_local Pool pool;
  const unsigned generation = forkGeneration.load(std::memory_order_relaxed);
  if (pool.used + 16 > pool.bytes.size() || pool.generation != generation) {
    std::size_t filled = 0;
    while (filled < pool.bytes.size()) {
      ssize_t n = getrandom(pool.bytes.data() + filled, pool.bytes.size() - filled, 0);
      if (n < 0) {
        if (errno == EINTR) continue;
        fatal(std::string("UUID: the system random source failed: ") + std::strerror(errno));
      }
      filled += static_cast<std::size_t>(n);
    }
    pool.used = 0;
    pool.generation = generation;
  }
  std::array<std::uint8_t, 16> bytes{};
  std::memcpy(bytes.data(), pool.bytes.data() + pool.used, bytes.size());
  pool.used += bytes.size();
  return bytes;
}

std::string randomUUIDText() {
  auto bytes = randomBytes();
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(digits[bytes[i] >> 4]);
    text.push_back(digits[bytes[i] & 0x0F]);
  }
  return text;
}

}  // namespace

double systemUptime() {
  if (auto source = uptimeSource().get()) return source();
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void setUptimeSource(std::function<double()> source) {
  uptimeSource().set(std::move(source));
}

UUID::UUID() {
  if (auto generator = uuidGenerator().get()) {
    text_ = generator();
  } else {
    text_ = randomUUIDText();
  }
}

void UUID::setGenerator(std::function<std::string()> generator) {
  uuidGenerator().set(std::move(generator));
}

}  // namespace platform

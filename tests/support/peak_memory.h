#pragma once

// The most memory the process held at once while some work ran, beyond what it held when the
// work began. Under a sanitizer the resident set says little (AddressSanitizer keeps freed blocks
// in its quarantine, and both grow shadow memory with every allocation), so there the live heap
// is followed through the allocator's hooks; elsewhere the kernel's high-water mark of the
// resident set is reset before the work and read after it.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <functional>
#include <string>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizer runtime's allocator interface (g++ ships the runtime, not its headers).
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*,
                                                                  std::size_t),
                                              void (*free_hook)(const volatile void*));
std::size_t __sanitizer_get_allocated_size(const volatile void* pointer);
}
#endif

namespace testsupport {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
namespace peak_detail {
inline std::atomic<bool> following{false};
inline std::atomic<std::int64_t> live{0};
inline std::atomic<std::int64_t> peak{0};
inline void onMalloc(const volatile void*, std::size_t size) {
  if (!following.load(std::memory_order_relaxed)) return;
  const auto now =
      live.fetch_add(std::int64_t(size), std::memory_order_relaxed) + std::int64_t(size);
  auto seen = peak.load(std::memory_order_relaxed);
  while (now > seen && !peak.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
  }
}
inline void onFree(const volatile void* pointer) {
  if (!following.load(std::memory_order_relaxed) || pointer == nullptr) return;
  live.fetch_sub(std::int64_t(__sanitizer_get_allocated_size(pointer)), std::memory_order_relaxed);
}
}  // namespace peak_detail

inline std::int64_t peakBytesDuring(const std::function<void()>& work) {
  [[maybe_unused]] static const bool installed =
      __sanitizer_install_malloc_and_free_hooks(&peak_detail::onMalloc, &peak_detail::onFree);
  peak_detail::live = 0;
  peak_detail::peak = 0;
  peak_detail::following = true;
  work();
  peak_detail::following = false;
  return peak_detail::peak.load();
}
#else
namespace peak_detail {
inline std::int64_t statusBytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with(field)) return std::stoll(line.substr(field.size())) * 1024;
  }
  return 0;
}
}  // namespace peak_detail

inline std::int64_t peakBytesDuring(const std::function<void()>& work) {
  // "5" resets the high-water mark to the resident set of now.
  { std::ofstream("/proc/self/clear_refs") << "5"; }
  const std::int64_t before = peak_detail::statusBytes("VmRSS:");
  work();
  return peak_detail::statusBytes("VmHWM:") - before;
}
#endif

}  // namespace testsupport

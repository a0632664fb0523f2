#pragma once

// What a callback saw, in order, kept for a test that reads it from another thread: callbacks
// add from whatever thread they run on, and the test reads copies, never the list itself.

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <optional>
#include <vector>

namespace testsupport {

template <typename T>
class Recorder {
 public:
  // Returns how many entries came before this one, so that a caller can tell the first from
  // the later ones without a second look that another thread could overtake.
  std::size_t add(T entry) {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
    return entries_.size() - 1;
  }

  std::vector<T> entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }
  std::size_t size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
  }
  bool empty() const { return size() == 0; }
  std::optional<T> last() const {
    std::lock_guard lock(mutex_);
    if (entries_.empty()) return std::nullopt;
    return entries_.back();
  }
  std::size_t count(const T& entry) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count(entries_.begin(), entries_.end(), entry));
  }
  bool contains(const T& entry) const { return count(entry) > 0; }
  void clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<T> entries_;
};

}  // namespace testsupport

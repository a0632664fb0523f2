#pragma once

#include <concepts>
#include <cstddef>
#include <functional>
#include <type_traits>
#include <utility>

#include "halyard/core/unfair_lock.h"

namespace halyard {

// A value guarded by its own unfair lock: the only way the client touches mutable state shared
// between threads. Every access takes the lock for the duration of one closure.
//
// The lock is not recursive: a closure running under a box's lock must not touch the same box.
// Callers run callbacks, monitor calls and completions after the closure has returned.
template <class T>
class Protected {
 public:
  Protected() requires std::default_initializable<T>
  = default;
  explicit Protected(T value) : value_(std::move(value)) {}
  Protected(const Protected&) = delete;
  Protected& operator=(const Protected&) = delete;

  // Runs `body` on a copy of the value taken under the lock; what the closure keeps is
  // independent of later writes.
  template <class F>
  decltype(auto) readValue(F&& body) const {
    return lock_.runLocked([&]() -> decltype(auto) {
      const T copy = value_;
      return std::forward<F>(body)(copy);
    });
  }

  // Runs `body` with in-place access to the stored value. Changes made before a throw stay.
  template <class F>
  decltype(auto) mutateValue(F&& body) {
    return lock_.runLocked([&]() -> decltype(auto) { return std::forward<F>(body)(value_); });
  }

  void replaceValue(T newValue) {
    mutateValue([&](T& value) { value = std::move(newValue); });
  }

  // One property of the value, read or written under the lock (`keyPath` is a pointer to a
  // data member of T).
  template <class KeyPath>
  requires std::is_member_object_pointer_v<KeyPath>
  auto valueAtKeyPath(KeyPath keyPath) const {
    using P = std::remove_cvref_t<decltype(value_.*keyPath)>;
    return lock_.runLocked([&]() -> P { return value_.*keyPath; });
  }
  template <class KeyPath, class V>
  requires std::is_member_object_pointer_v<KeyPath>
  void setValueAtKeyPath(KeyPath keyPath, V&& newValue) {
    using P = std::remove_cvref_t<decltype(value_.*keyPath)>;
    P copy(std::forward<V>(newValue));
    lock_.runLocked([&] { value_.*keyPath = std::move(copy); });
  }

  // Equal when the values are. Two distinct boxes are locked in address order so that two
  // threads comparing the same pair in opposite orders cannot deadlock; a box compared with
  // itself is locked once.
  friend bool operator==(const Protected& lhs,
                         const Protected& rhs) requires std::equality_comparable<T> {
    if (&lhs == &rhs) {
      return lhs.lock_.runLocked([&] { return lhs.value_ == lhs.value_; });
    }
    const Protected& first = std::less<const Protected*>()(&lhs, &rhs) ? lhs : rhs;
    const Protected& second = &first == &lhs ? rhs : lhs;
    return first.lock_.runLocked(
        [&] { return second.lock_.runLocked([&] { return lhs.value_ == rhs.value_; }); });
  }

  // Hashes exactly as the value does.
  std::size_t hashValue() const {
    return lock_.runLocked([&] { return std::hash<T>()(value_); });
  }

 private:
  mutable UnfairLock lock_;
  T value_{};
};

}  // namespace halyard

template <class T>
requires requires(const T& value) {
  std::hash<T>()(value);
}
struct std::hash<halyard::Protected<T>> {
  std::size_t operator()(const halyard::Protected<T>& box) const { return box.hashValue(); }
};

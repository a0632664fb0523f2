#pragma once

#include <functional>
#include <memory>
#include <utility>

namespace widgets {

// A two-way connection to a value that someone else owns: a widget reads it when it needs it
// and writes the user's changes back through it.
template <class T>
class Binding {
 public:
  Binding(std::function<T()> get, std::function<void(T)> set)
      : get_(std::move(get)), set_(std::move(set)) {}

  // A value that never changes; writes are dropped.
  static Binding constant(T value) {
    return Binding([value] { return value; }, [](T) {});
  }

  // A binding to shared storage, which it keeps alive.
  static Binding to(std::shared_ptr<T> storage) {
    return Binding([storage] { return *storage; }, [storage](T value) { *storage = value; });
  }

  T get() const { return get_(); }
  void set(T value) const { set_(std::move(value)); }

 private:
  std::function<T()> get_;
  std::function<void(T)> set_;
};

}  // namespace widgets

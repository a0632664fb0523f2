#pragma once

#include <any>
#include <functional>
#include <memory>
#include <optional>

namespace almanac {

// A box for a value kept beside an object the library does not own (a custom formatter beside
// a date): either a weak reference, which answers while its object lives, or a value held
// strongly. Its value is the weak reference's object while that lives, else the strong value.
class AssociatedValue {
 public:
  // Holds the value strongly.
  explicit AssociatedValue(std::any value) : value_(std::move(value)) {}

  // Refers to the object weakly; `strong` answers once the object is gone.
  template <class T>
  static std::shared_ptr<AssociatedValue> weak(const std::shared_ptr<T>& object,
                                               std::any strong = {}) {
    auto box = std::make_shared<AssociatedValue>(std::move(strong));
    std::weak_ptr<T> reference = object;
    box->weakValue_ = [reference]() -> std::any {
      if (auto live = reference.lock()) return live;
      return {};
    };
    return box;
  }

  std::any value() const {
    if (weakValue_) {
      std::any live = weakValue_();
      if (live.has_value()) return live;
    }
    return value_;
  }

  // The value as `T` (a `std::shared_ptr` for objects), or nothing when it is of another type.
  template <class T>
  std::optional<T> valueAs() const {
    std::any current = value();
    if (auto* typed = std::any_cast<T>(&current)) return *typed;
    return std::nullopt;
  }

 private:
  std::function<std::any()> weakValue_;
  std::any value_;
};

}  // namespace almanac

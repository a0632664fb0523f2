#pragma once

#include <optional>
#include <string>
#include <type_traits>

#include "platform/foundation/user_defaults.h"

namespace app {

namespace preferences_detail {
template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

template <class T>
std::optional<T> fromStored(const platform::UserDefaults::Value& stored) {
  if (auto v = std::get_if<T>(&stored)) return *v;
  return std::nullopt;
}
}  // namespace preferences_detail

// One typed value kept under one key of a user-defaults store, with the value read while the
// key holds nothing. `T` is bool, std::int64_t, double, std::string or an optional of one of
// them; for an optional, writing nothing removes the entry. A stored value of another type
// reads as the default.
template <class T>
class UserDefaultsBacked {
 public:
  UserDefaultsBacked(std::string key, T defaultValue,
                     platform::UserDefaults& storage = platform::UserDefaults::standard())
      : key_(std::move(key)), defaultValue_(std::move(defaultValue)), storage_(&storage) {}

  const std::string& key() const { return key_; }
  const T& defaultValue() const { return defaultValue_; }
  platform::UserDefaults& storage() const { return *storage_; }

  T wrappedValue() const {
    const auto stored = storage_->objectForKey(key_);
    if (!stored) return defaultValue_;
    if constexpr (preferences_detail::IsOptional<T>::value) {
      using Inner = typename T::value_type;
      if (auto v = preferences_detail::fromStored<Inner>(*stored)) return T(*v);
    } else {
      if (auto v = preferences_detail::fromStored<T>(*stored)) return *v;
    }
    return defaultValue_;
  }

  void setWrappedValue(const T& value) {
    if constexpr (preferences_detail::IsOptional<T>::value) {
      if (!value) {
        storage_->removeObjectForKey(key_);
        return;
      }
      write(*value);
    } else {
      write(value);
    }
  }

 private:
  template <class V>
  void write(const V& value) {
    if constexpr (std::is_same_v<V, bool>) {
      storage_->setBool(value, key_);
    } else if constexpr (std::is_same_v<V, std::int64_t>) {
      storage_->setInteger(value, key_);
    } else if constexpr (std::is_same_v<V, double>) {
      storage_->setDouble(value, key_);
    } else {
      static_assert(std::is_same_v<V, std::string>, "unsupported preference type");
      storage_->setString(value, key_);
    }
  }

  std::string key_;
  T defaultValue_;
  platform::UserDefaults* storage_;
};

}  // namespace app

#pragma once

#include <fmt/format.h>

#include <any>
#include <concepts>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "platform/coding/value.h"
#include "platform/foundation/error.h"
#include "platform/net/url.h"
#include "platform/net/url_request.h"

namespace halyard {

// The unqualified, demangled name of a type ("Release" for app::Release).
std::string unqualifiedTypeName(const std::type_info& type);

std::string describeDynamicValue(const platform::Value& value);

// The printed form of a value inside a result: texts quoted, byte buffers as their size,
// numbers as they read, errors as their debug text, anything with a `description()` through it,
// and other values by their type name.
template <class T>
std::string describeValue(const T& value) {
  if constexpr (std::same_as<T, std::string>) {
    return "\"" + value + "\"";
  } else if constexpr (std::same_as<T, bool>) {
    return value ? "true" : "false";
  } else if constexpr (std::is_arithmetic_v<T>) {
    return fmt::format("{}", value);
  } else if constexpr (std::same_as<T, platform::Bytes>) {
    return fmt::format("{} bytes", value.size());
  } else if constexpr (std::same_as<T, platform::URL>) {
    return value.absoluteString();
  } else if constexpr (std::same_as<T, platform::Value>) {
    return describeDynamicValue(value);
  } else if constexpr (std::same_as<T, platform::ErrorPtr>) {
    return value ? value->debugDescription() : std::string("nil");
  } else if constexpr (std::is_base_of_v<platform::Error, T>) {
    return value.debugDescription();
  } else if constexpr (requires { value.description(); }) {
    return std::string(value.description());
  } else if constexpr (requires {
                         typename T::value_type;
                         value.has_value();
                         *value;
                       }) {
    return value.has_value() ? describeValue(*value) : std::string("nil");
  } else {
    return unqualifiedTypeName(typeid(T));
  }
}

// A value of any type, as the generic events of the event monitors carry it. Read it back with
// `as<T>()`.
class AnyValue {
 public:
  template <class T>
  static AnyValue of(T value) {
    return AnyValue(
        std::any(std::move(value)),
        +[](const std::any& held) { return describeValue(*std::any_cast<T>(&held)); });
  }

  const std::any& value() const { return value_; }
  template <class T>
  const T* as() const {
    return std::any_cast<T>(&value_);
  }
  std::string description() const { return describe_(value_); }

 private:
  AnyValue(std::any value, std::string (*describe)(const std::any&))
      : value_(std::move(value)), describe_(describe) {}

  std::any value_;
  std::string (*describe_)(const std::any&);
};

}  // namespace halyard

#pragma once

#include <optional>
#include <string>
#include <variant>

#include "halyard/core/halyard_error.h"
#include "platform/foundation/error.h"

namespace imagecache {

// The image library's error: an HTTP client failure it passes on, a caller's withdrawal, or
// bytes that are no picture. A platform error, so that it can travel inside the client's
// `customSerializationFailed`.
class HalyardImageError : public platform::Error {
 public:
  struct RequestCancelled {};
  struct ImageSerializationFailed {};
  using Storage = std::variant<halyard::HalyardError, RequestCancelled, ImageSerializationFailed>;

  static HalyardImageError halyardError(halyard::HalyardError error) {
    return HalyardImageError(Storage(std::in_place_index<0>, std::move(error)));
  }
  static HalyardImageError requestCancelled() { return HalyardImageError(RequestCancelled{}); }
  static HalyardImageError imageSerializationFailed() {
    return HalyardImageError(ImageSerializationFailed{});
  }

  HalyardImageError(const HalyardImageError& other)
      : platform::Error(other), storage_(other.storage_) {}
  HalyardImageError& operator=(const HalyardImageError& other) {
    storage_ = other.storage_;
    return *this;
  }

  const Storage& storage() const { return storage_; }
  bool isUnderlyingError() const { return storage_.index() == 0; }
  bool isCancellation() const { return std::holds_alternative<RequestCancelled>(storage_); }
  bool isDecodingFailure() const {
    return std::holds_alternative<ImageSerializationFailed>(storage_);
  }
  // The client's error this one carries, for `halyardError`.
  std::optional<halyard::HalyardError> underlyingError() const;

  std::string errorDescription() const;
  std::string localizedDescription() const override { return errorDescription(); }
  std::string debugDescription() const override;

 private:
  explicit HalyardImageError(Storage storage) : storage_(std::move(storage)) {}

  Storage storage_;
};

}  // namespace imagecache

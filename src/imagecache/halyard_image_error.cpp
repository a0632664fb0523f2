#include "imagecache/halyard_image_error.h"

namespace imagecache {

std::optional<halyard::HalyardError> HalyardImageError::underlyingError() const {
  if (const auto* error = std::get_if<halyard::HalyardError>(&storage_)) return *error;
  return std::nullopt;
}

std::string HalyardImageError::errorDescription() const {
  if (const auto* error = std::get_if<halyard::HalyardError>(&storage_)) {
    return "Request failed due to an underlying Halyard error: " + error->localizedDescription();
  }
  if (isCancellation()) return "The request was explicitly cancelled.";
  return "Response data could not be serialized into an image.";
}

std::string HalyardImageError::debugDescription() const {
  if (const auto* error = std::get_if<halyard::HalyardError>(&storage_)) {
    return "halyardError(" + error->debugDescription() + ")";
  }
  return isCancellation() ? "requestCancelled" : "imageSerializationFailed";
}

}  // namespace imagecache

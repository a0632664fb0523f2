#include "app/service/api_service_error.h"

#include <fmt/format.h>

namespace app {

std::string ApiServiceError::localizedDescription() const {
  if (apiCode_) return fmt::format("The update server answered with status {}.", *apiCode_);
  return "The update server could not be reached or sent an unreadable answer.";
}

std::string ApiServiceError::debugDescription() const {
  const std::string path = resource_ ? std::string(routerPath(resource_->router())) : "none";
  return fmt::format("ApiServiceError(invalidCredential: {}, resource: {}, apiCode: {}{}{})",
                     invalidCredential(), path, apiCode_ ? std::to_string(*apiCode_) : "nil",
                     underlying_.empty() ? "" : ", underlying: ", underlying_);
}

}  // namespace app

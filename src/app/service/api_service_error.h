#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app/update/updator_router.h"
#include "platform/foundation/error.h"

namespace app {

// A failed request to the update server, as the layer hands it to its callers.
class ApiServiceError final : public platform::Error {
 public:
  ApiServiceError(std::shared_ptr<const APIResource> resource, std::optional<int> apiCode,
                  std::string underlying = {})
      : resource_(std::move(resource)), apiCode_(apiCode), underlying_(std::move(underlying)) {}

  // Every error of the layer carries 401 here, whatever went wrong.
  int invalidCredential() const { return 401; }
  const std::shared_ptr<const APIResource>& resource() const { return resource_; }
  // The status that failed validation; nothing for every other failure.
  std::optional<int> apiCode() const { return apiCode_; }

  std::string localizedDescription() const override;
  std::string debugDescription() const override;

 private:
  std::shared_ptr<const APIResource> resource_;
  std::optional<int> apiCode_;
  std::string underlying_;  // the HTTP client's description of the failure
};

}  // namespace app

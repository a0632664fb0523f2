#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/update/updator_router.h"
#include "halyard/core/halyard_error.h"
#include "platform/foundation/error.h"

namespace app {

// A failed request to the update server, as the layer hands it to its callers.
class ApiServiceError final : public platform::Error {
 public:
  // What went wrong, in the terms the update flow tells apart.
  enum class Kind {
    invalidAddress,     // no request could be made of the configured address
    networkError,       // the server could not be reached, or the transfer broke off
    timedOut,           // no answer in time
    rejectedStatus,     // an answer with a status outside 200 to 299
    undecodableAnswer,  // an answer that is not an update description
  };

  // The kind follows from the code when not given: a rejected status, else a network error.
  ApiServiceError(std::shared_ptr<const APIResource> resource, std::optional<int> apiCode,
                  std::string underlying = {}, std::optional<Kind> kind = std::nullopt)
      : resource_(std::move(resource)),
        apiCode_(apiCode),
        underlying_(std::move(underlying)),
        kind_(kind.value_or(apiCode ? Kind::rejectedStatus : Kind::networkError)) {}

  // Every error of the layer carries 401 here, whatever went wrong; the kind says what did.
  int invalidCredential() const { return 401; }
  const std::shared_ptr<const APIResource>& resource() const { return resource_; }
  // The status that failed validation; nothing for every other failure.
  std::optional<int> apiCode() const { return apiCode_; }
  Kind kind() const { return kind_; }

  std::string localizedDescription() const override;
  // One line: the kind (with the status), the resource, and an excerpt of the client's account.
  std::string debugDescription() const override;

 private:
  std::shared_ptr<const APIResource> resource_;
  std::optional<int> apiCode_;
  std::string underlying_;  // the HTTP client's description of the failure
  Kind kind_;
};

std::string_view kindName(ApiServiceError::Kind kind);

// The kind of a failed description request.
ApiServiceError::Kind failureKind(const halyard::HalyardError& error);

}  // namespace app

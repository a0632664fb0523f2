#pragma once

#include <memory>

#include "app/update/updator_router.h"
#include "halyard/core/url_convertible.h"

namespace app {

// The URL request for a resource of the update server: a GET of the resource's address with a
// 60-second time-out and the `Updator` header fields.
class APIRequest final : public halyard::URLRequestConvertible {
 public:
  explicit APIRequest(std::shared_ptr<const APIResource> resource)
      : resource_(std::move(resource)) {}

  const std::shared_ptr<const APIResource>& resource() const { return resource_; }

  // Throws `HalyardError::invalidURL` with the address text when the address is not an absolute
  // http or https URL (no server configured, for one).
  platform::URLRequest toURLRequest() const override;

 private:
  std::shared_ptr<const APIResource> resource_;
};

}  // namespace app

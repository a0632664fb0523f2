#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "halyard/core/request.h"
#include "platform/net/http_url_response.h"
#include "platform/net/url_request.h"
#include "platform/net/url_session.h"

namespace halyard {

// Decides whether a redirect is followed, and to what.
class RedirectHandler {
 public:
  virtual ~RedirectHandler() = default;
  // Calls `completion` exactly once: the request to load next, or none to stop at the
  // redirect response.
  virtual void decideRedirect(
      const URLSessionTaskPtr& task, const platform::URLRequest& request,
      const platform::HTTPURLResponsePtr& response,
      const std::function<void(std::optional<platform::URLRequest>)>& completion) const = 0;
};

}  // namespace halyard

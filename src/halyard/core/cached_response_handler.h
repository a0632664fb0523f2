#pragma once

#include <functional>
#include <memory>

#include "halyard/core/request.h"
#include "platform/net/cached_url_response.h"
#include "platform/net/url_session.h"

namespace halyard {

// Decides what of a response the URL cache keeps.
class CachedResponseHandler {
 public:
  virtual ~CachedResponseHandler() = default;
  // Calls `completion` exactly once: the response to store, or none to store nothing.
  virtual void decideCaching(
      const std::shared_ptr<platform::URLSessionDataTask>& task,
      const platform::CachedURLResponsePtr& response,
      const std::function<void(platform::CachedURLResponsePtr)>& completion) const = 0;
};

}  // namespace halyard

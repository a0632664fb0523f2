#include "halyard/policies/response_cacher.h"

namespace halyard {

const std::shared_ptr<ResponseCacher>& ResponseCacher::sharedCache() {
  static const auto shared = std::make_shared<ResponseCacher>(cache());
  return shared;
}

const std::shared_ptr<ResponseCacher>& ResponseCacher::sharedDoNotCache() {
  static const auto shared = std::make_shared<ResponseCacher>(doNotCache());
  return shared;
}

void ResponseCacher::decideCaching(
    const std::shared_ptr<platform::URLSessionDataTask>& task,
    const platform::CachedURLResponsePtr& response,
    const std::function<void(platform::CachedURLResponsePtr)>& completion) const {
  switch (kind_) {
    case Kind::cache:
      completion(response);
      return;
    case Kind::doNotCache:
      completion(nullptr);
      return;
    case Kind::modify:
      completion(modify_(task, response));
      return;
  }
}

}  // namespace halyard

#include "halyard/policies/redirector.h"

namespace halyard {

const std::shared_ptr<Redirector>& Redirector::sharedFollow() {
  static const auto shared = std::make_shared<Redirector>(follow());
  return shared;
}

const std::shared_ptr<Redirector>& Redirector::sharedDoNotFollow() {
  static const auto shared = std::make_shared<Redirector>(doNotFollow());
  return shared;
}

void Redirector::decideRedirect(
    const URLSessionTaskPtr& task, const platform::URLRequest& request,
    const platform::HTTPURLResponsePtr& response,
    const std::function<void(std::optional<platform::URLRequest>)>& completion) const {
  switch (kind_) {
    case Kind::follow:
      completion(request);
      return;
    case Kind::doNotFollow:
      completion(std::nullopt);
      return;
    case Kind::modify:
      completion(modify_(task, request, response));
      return;
  }
}

}  // namespace halyard

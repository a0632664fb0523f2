#include "halyard/core/cached_response_handler.h"
#include "halyard/core/redirect_handler.h"
#include "halyard/core/session_delegate.h"

namespace halyard {

void SessionDelegate::willPerformHTTPRedirection(
    const SessionPtr& session, const TaskPtr& task, const platform::HTTPURLResponsePtr& response,
    const platform::URLRequest& newRequest,
    std::function<void(std::optional<platform::URLRequest>)> completionHandler) {
  if (eventMonitor_) {
    eventMonitor_->taskWillPerformHTTPRedirection(session, task, response, newRequest);
  }
  std::shared_ptr<RedirectHandler> handler;
  if (auto request = typedRequest<Request>(task)) handler = request->redirectHandler();
  if (!handler) {
    if (auto provider = stateProvider()) handler = provider->redirectHandler();
  }
  if (!handler) return completionHandler(newRequest);
  handler->decideRedirect(task, newRequest, response, completionHandler);
}

void SessionDelegate::willCacheResponse(
    const SessionPtr& session, const DataTaskPtr& task,
    const platform::CachedURLResponsePtr& proposedResponse,
    std::function<void(platform::CachedURLResponsePtr)> completionHandler) {
  if (eventMonitor_) eventMonitor_->dataTaskWillCacheResponse(session, task, proposedResponse);
  auto provider = stateProvider();
  if (!provider) return completionHandler(proposedResponse);
  std::shared_ptr<CachedResponseHandler> handler;
  if (auto request = provider->requestForTask(task)) handler = request->cachedResponseHandler();
  if (!handler) handler = provider->cachedResponseHandler();
  if (!handler) return completionHandler(proposedResponse);
  handler->decideCaching(task, proposedResponse, completionHandler);
}

}  // namespace halyard

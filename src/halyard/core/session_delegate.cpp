#include "halyard/core/session_delegate.h"

#include "halyard/core/data_request.h"

namespace halyard {

void SessionDelegate::didBecomeInvalidWithError(const SessionPtr& session,
                                                platform::ErrorPtr error) {
  if (eventMonitor_) eventMonitor_->sessionDidBecomeInvalidWithError(session, error);
  if (auto provider = stateProvider()) provider->cancelRequestsForSessionInvalidation(error);
}

void SessionDelegate::taskIsWaitingForConnectivity(const SessionPtr& session, const TaskPtr& task) {
  if (eventMonitor_) eventMonitor_->taskIsWaitingForConnectivity(session, task);
}

void SessionDelegate::didFinishCollectingMetrics(const SessionPtr& session, const TaskPtr& task,
                                                 const platform::URLSessionTaskMetrics& metrics) {
  auto shared = std::make_shared<const platform::URLSessionTaskMetrics>(metrics);
  if (eventMonitor_) eventMonitor_->taskDidFinishCollectingMetrics(session, task, shared);
  if (auto request = typedRequest<Request>(task)) request->recordMetrics(shared);
  if (auto provider = stateProvider()) provider->didGatherMetricsForTask(task);
}

void SessionDelegate::didCompleteWithError(const SessionPtr& session, const TaskPtr& task,
                                           platform::ErrorPtr error) {
  if (eventMonitor_) eventMonitor_->taskDidComplete(session, task, error);
  auto provider = stateProvider();
  if (!provider) return;
  auto request = std::dynamic_pointer_cast<Request>(provider->requestForTask(task));
  provider->didCompleteTask(task, [request, task, error] {
    if (!request) return;
    std::optional<HalyardError> halyardError;
    if (error) {
      halyardError = toHalyardErrorOrElse(
          error, [](const ErrorPtr& e) { return HalyardError::sessionTaskFailed(e); });
    }
    request->recordTaskCompletion(task, halyardError);
  });
}

void SessionDelegate::didReceiveResponse(
    const SessionPtr& session, const DataTaskPtr& task, const platform::URLResponsePtr& response,
    std::function<void(ResponseDisposition)> completionHandler) {
  if (eventMonitor_) eventMonitor_->dataTaskDidReceiveResponse(session, task, response);
  auto httpResponse = std::dynamic_pointer_cast<const platform::HTTPURLResponse>(response);
  if (!httpResponse) {
    completionHandler(ResponseDisposition::allow);
    return;
  }
  if (auto request = typedRequest<DataRequest>(task)) {
    request->answerHTTPResponse(httpResponse, std::move(completionHandler));
    return;
  }
  completionHandler(ResponseDisposition::allow);
}

void SessionDelegate::didReceiveData(const SessionPtr& session, const DataTaskPtr& task,
                                     const platform::Bytes& data) {
  if (eventMonitor_) eventMonitor_->dataTaskDidReceiveData(session, task, data);
  // Bytes for a task without a data request are dropped.
  if (auto request = typedRequest<DataRequest>(task)) request->appendReceivedData(data);
}

}  // namespace halyard

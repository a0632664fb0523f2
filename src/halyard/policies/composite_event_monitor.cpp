#include "halyard/policies/composite_event_monitor.h"

#include "halyard/core/halyard_info.h"

namespace halyard {

std::shared_ptr<CompositeEventMonitor> CompositeEventMonitor::initWithMonitors(
    std::vector<EventMonitorPtr> monitors) {
  return std::shared_ptr<CompositeEventMonitor>(new CompositeEventMonitor(std::move(monitors)));
}

CompositeEventMonitor::CompositeEventMonitor(std::vector<EventMonitorPtr> monitors)
    : queue_(platform::DispatchQueue::serial(HalyardInfo::labelPrefix + ".compositeEventMonitor")),
      monitors_(std::move(monitors)) {
  for (std::size_t kind = 0; kind < kEventMonitorEventCount; ++kind) {
    for (const auto& monitor : monitors_) {
      if (monitor->receivesEvent(EventMonitorEvent(kind))) receivers_[kind].push_back(monitor);
    }
  }
}

void CompositeEventMonitor::performEvent(EventMonitorEvent kind,
                                         std::function<void(EventMonitor&)> event) {
  // An event no monitor wants would hop twice only to run empty defaults.
  if (receivers_[std::size_t(kind)].empty()) return;
  queue_->async([self = shared_from_this(), kind, event = std::move(event)] {
    const auto& receivers = self->receivers_[std::size_t(kind)];
    // One shared copy of the event for every monitor's hop.
    auto shared = std::make_shared<const std::function<void(EventMonitor&)>>(std::move(event));
    for (const auto& monitor : receivers) {
      monitor->queue()->async([monitor, shared] { (*shared)(*monitor); });
    }
  });
}

void CompositeEventMonitor::sessionDidBecomeInvalidWithError(const URLSessionPtr& session,
                                                             const platform::ErrorPtr& error) {
  // Nothing is captured (or copied) for an event no monitor receives.
  if (!hasReceivers(EventMonitorEvent::sessionDidBecomeInvalidWithError)) return;
  performEvent(EventMonitorEvent::sessionDidBecomeInvalidWithError, [=](EventMonitor& monitor) {
    monitor.sessionDidBecomeInvalidWithError(session, error);
  });
}

void CompositeEventMonitor::taskDidReceiveChallenge(const URLSessionPtr& session,
                                                    const URLSessionTaskPtr& task,
                                                    const AuthenticationChallengePtr& challenge) {
  if (!hasReceivers(EventMonitorEvent::taskDidReceiveChallenge)) return;
  performEvent(EventMonitorEvent::taskDidReceiveChallenge, [=](EventMonitor& monitor) {
    monitor.taskDidReceiveChallenge(session, task, challenge);
  });
}

void CompositeEventMonitor::taskDidSendBodyData(const URLSessionPtr& session,
                                                const URLSessionTaskPtr& task,
                                                std::int64_t bytesSent, std::int64_t totalBytesSent,
                                                std::int64_t totalBytesExpectedToSend) {
  if (!hasReceivers(EventMonitorEvent::taskDidSendBodyData)) return;
  performEvent(EventMonitorEvent::taskDidSendBodyData, [=](EventMonitor& monitor) {
    monitor.taskDidSendBodyData(session, task, bytesSent, totalBytesSent, totalBytesExpectedToSend);
  });
}

void CompositeEventMonitor::taskNeedNewBodyStream(const URLSessionPtr& session,
                                                  const URLSessionTaskPtr& task) {
  if (!hasReceivers(EventMonitorEvent::taskNeedNewBodyStream)) return;
  performEvent(EventMonitorEvent::taskNeedNewBodyStream,
               [=](EventMonitor& monitor) { monitor.taskNeedNewBodyStream(session, task); });
}

void CompositeEventMonitor::taskWillPerformHTTPRedirection(
    const URLSessionPtr& session, const URLSessionTaskPtr& task,
    const platform::HTTPURLResponsePtr& response, const platform::URLRequest& newRequest) {
  if (!hasReceivers(EventMonitorEvent::taskWillPerformHTTPRedirection)) return;
  performEvent(EventMonitorEvent::taskWillPerformHTTPRedirection, [=](EventMonitor& monitor) {
    monitor.taskWillPerformHTTPRedirection(session, task, response, newRequest);
  });
}

void CompositeEventMonitor::taskDidFinishCollectingMetrics(const URLSessionPtr& session,
                                                           const URLSessionTaskPtr& task,
                                                           const TaskMetricsPtr& metrics) {
  if (!hasReceivers(EventMonitorEvent::taskDidFinishCollectingMetrics)) return;
  performEvent(EventMonitorEvent::taskDidFinishCollectingMetrics, [=](EventMonitor& monitor) {
    monitor.taskDidFinishCollectingMetrics(session, task, metrics);
  });
}

void CompositeEventMonitor::taskDidComplete(const URLSessionPtr& session,
                                            const URLSessionTaskPtr& task,
                                            const platform::ErrorPtr& error) {
  if (!hasReceivers(EventMonitorEvent::taskDidComplete)) return;
  performEvent(EventMonitorEvent::taskDidComplete,
               [=](EventMonitor& monitor) { monitor.taskDidComplete(session, task, error); });
}

void CompositeEventMonitor::taskIsWaitingForConnectivity(const URLSessionPtr& session,
                                                         const URLSessionTaskPtr& task) {
  if (!hasReceivers(EventMonitorEvent::taskIsWaitingForConnectivity)) return;
  performEvent(EventMonitorEvent::taskIsWaitingForConnectivity,
               [=](EventMonitor& monitor) { monitor.taskIsWaitingForConnectivity(session, task); });
}

void CompositeEventMonitor::dataTaskDidReceiveResponse(const URLSessionPtr& session,
                                                       const URLSessionDataTaskPtr& task,
                                                       const platform::URLResponsePtr& response) {
  if (!hasReceivers(EventMonitorEvent::dataTaskDidReceiveResponse)) return;
  performEvent(EventMonitorEvent::dataTaskDidReceiveResponse, [=](EventMonitor& monitor) {
    monitor.dataTaskDidReceiveResponse(session, task, response);
  });
}

void CompositeEventMonitor::dataTaskDidReceiveData(const URLSessionPtr& session,
                                                   const URLSessionDataTaskPtr& task,
                                                   const platform::Bytes& data) {
  if (!hasReceivers(EventMonitorEvent::dataTaskDidReceiveData)) return;
  performEvent(EventMonitorEvent::dataTaskDidReceiveData,
               [=](EventMonitor& monitor) { monitor.dataTaskDidReceiveData(session, task, data); });
}

void CompositeEventMonitor::dataTaskWillCacheResponse(const URLSessionPtr& session,
                                                      const URLSessionDataTaskPtr& task,
                                                      const CachedURLResponsePtr& response) {
  if (!hasReceivers(EventMonitorEvent::dataTaskWillCacheResponse)) return;
  performEvent(EventMonitorEvent::dataTaskWillCacheResponse, [=](EventMonitor& monitor) {
    monitor.dataTaskWillCacheResponse(session, task, response);
  });
}

void CompositeEventMonitor::downloadTaskDidResumeAtOffset(const URLSessionPtr& session,
                                                          const URLSessionDownloadTaskPtr& task,
                                                          std::int64_t fileOffset,
                                                          std::int64_t expectedTotalBytes) {
  if (!hasReceivers(EventMonitorEvent::downloadTaskDidResumeAtOffset)) return;
  performEvent(EventMonitorEvent::downloadTaskDidResumeAtOffset, [=](EventMonitor& monitor) {
    monitor.downloadTaskDidResumeAtOffset(session, task, fileOffset, expectedTotalBytes);
  });
}

void CompositeEventMonitor::downloadTaskDidWriteData(const URLSessionPtr& session,
                                                     const URLSessionDownloadTaskPtr& task,
                                                     std::int64_t bytesWritten,
                                                     std::int64_t totalBytesWritten,
                                                     std::int64_t totalBytesExpectedToWrite) {
  if (!hasReceivers(EventMonitorEvent::downloadTaskDidWriteData)) return;
  performEvent(EventMonitorEvent::downloadTaskDidWriteData, [=](EventMonitor& monitor) {
    monitor.downloadTaskDidWriteData(session, task, bytesWritten, totalBytesWritten,
                                     totalBytesExpectedToWrite);
  });
}

void CompositeEventMonitor::downloadTaskDidFinishDownloadingToURL(
    const URLSessionPtr& session, const URLSessionDownloadTaskPtr& task,
    const platform::URL& location) {
  if (!hasReceivers(EventMonitorEvent::downloadTaskDidFinishDownloadingToURL)) return;
  performEvent(EventMonitorEvent::downloadTaskDidFinishDownloadingToURL,
               [=](EventMonitor& monitor) {
                 monitor.downloadTaskDidFinishDownloadingToURL(session, task, location);
               });
}

void CompositeEventMonitor::requestDidCreateInitialURLRequest(
    const std::shared_ptr<Request>& request, const platform::URLRequest& urlRequest) {
  if (!hasReceivers(EventMonitorEvent::requestDidCreateInitialURLRequest)) return;
  performEvent(EventMonitorEvent::requestDidCreateInitialURLRequest, [=](EventMonitor& monitor) {
    monitor.requestDidCreateInitialURLRequest(request, urlRequest);
  });
}

void CompositeEventMonitor::requestDidFailToCreateURLRequestWithError(
    const std::shared_ptr<Request>& request, const HalyardError& error) {
  if (!hasReceivers(EventMonitorEvent::requestDidFailToCreateURLRequestWithError)) return;
  performEvent(EventMonitorEvent::requestDidFailToCreateURLRequestWithError,
               [=](EventMonitor& monitor) {
                 monitor.requestDidFailToCreateURLRequestWithError(request, error);
               });
}

void CompositeEventMonitor::requestDidAdaptInitialRequestToAdaptedRequest(
    const std::shared_ptr<Request>& request, const platform::URLRequest& initial,
    const platform::URLRequest& adapted) {
  if (!hasReceivers(EventMonitorEvent::requestDidAdaptInitialRequestToAdaptedRequest)) return;
  performEvent(EventMonitorEvent::requestDidAdaptInitialRequestToAdaptedRequest,
               [=](EventMonitor& monitor) {
                 monitor.requestDidAdaptInitialRequestToAdaptedRequest(request, initial, adapted);
               });
}

void CompositeEventMonitor::requestDidFailToAdaptURLRequestWithError(
    const std::shared_ptr<Request>& request, const platform::URLRequest& urlRequest,
    const HalyardError& error) {
  if (!hasReceivers(EventMonitorEvent::requestDidFailToAdaptURLRequestWithError)) return;
  performEvent(EventMonitorEvent::requestDidFailToAdaptURLRequestWithError,
               [=](EventMonitor& monitor) {
                 monitor.requestDidFailToAdaptURLRequestWithError(request, urlRequest, error);
               });
}

void CompositeEventMonitor::requestDidCreateURLRequest(const std::shared_ptr<Request>& request,
                                                       const platform::URLRequest& urlRequest) {
  if (!hasReceivers(EventMonitorEvent::requestDidCreateURLRequest)) return;
  performEvent(EventMonitorEvent::requestDidCreateURLRequest, [=](EventMonitor& monitor) {
    monitor.requestDidCreateURLRequest(request, urlRequest);
  });
}

void CompositeEventMonitor::requestDidCreateTask(const std::shared_ptr<Request>& request,
                                                 const URLSessionTaskPtr& task) {
  if (!hasReceivers(EventMonitorEvent::requestDidCreateTask)) return;
  performEvent(EventMonitorEvent::requestDidCreateTask,
               [=](EventMonitor& monitor) { monitor.requestDidCreateTask(request, task); });
}

void CompositeEventMonitor::requestDidGatherMetrics(const std::shared_ptr<Request>& request,
                                                    const TaskMetricsPtr& metrics) {
  if (!hasReceivers(EventMonitorEvent::requestDidGatherMetrics)) return;
  performEvent(EventMonitorEvent::requestDidGatherMetrics,
               [=](EventMonitor& monitor) { monitor.requestDidGatherMetrics(request, metrics); });
}

void CompositeEventMonitor::requestDidFailTaskEarlyWithError(
    const std::shared_ptr<Request>& request, const URLSessionTaskPtr& task,
    const HalyardError& error) {
  if (!hasReceivers(EventMonitorEvent::requestDidFailTaskEarlyWithError)) return;
  performEvent(EventMonitorEvent::requestDidFailTaskEarlyWithError, [=](EventMonitor& monitor) {
    monitor.requestDidFailTaskEarlyWithError(request, task, error);
  });
}

void CompositeEventMonitor::requestDidCompleteTaskWithError(
    const std::shared_ptr<Request>& request, const URLSessionTaskPtr& task,
    const std::optional<HalyardError>& error) {
  if (!hasReceivers(EventMonitorEvent::requestDidCompleteTaskWithError)) return;
  performEvent(EventMonitorEvent::requestDidCompleteTaskWithError, [=](EventMonitor& monitor) {
    monitor.requestDidCompleteTaskWithError(request, task, error);
  });
}

void CompositeEventMonitor::requestIsRetrying(const std::shared_ptr<Request>& request) {
  if (!hasReceivers(EventMonitorEvent::requestIsRetrying)) return;
  performEvent(EventMonitorEvent::requestIsRetrying,
               [=](EventMonitor& monitor) { monitor.requestIsRetrying(request); });
}

void CompositeEventMonitor::requestDidFinish(const std::shared_ptr<Request>& request) {
  if (!hasReceivers(EventMonitorEvent::requestDidFinish)) return;
  performEvent(EventMonitorEvent::requestDidFinish,
               [=](EventMonitor& monitor) { monitor.requestDidFinish(request); });
}

void CompositeEventMonitor::requestDidResume(const std::shared_ptr<Request>& request) {
  if (!hasReceivers(EventMonitorEvent::requestDidResume)) return;
  performEvent(EventMonitorEvent::requestDidResume,
               [=](EventMonitor& monitor) { monitor.requestDidResume(request); });
}

void CompositeEventMonitor::requestDidResumeTask(const std::shared_ptr<Request>& request,
                                                 const URLSessionTaskPtr& task) {
  if (!hasReceivers(EventMonitorEvent::requestDidResumeTask)) return;
  performEvent(EventMonitorEvent::requestDidResumeTask,
               [=](EventMonitor& monitor) { monitor.requestDidResumeTask(request, task); });
}

void CompositeEventMonitor::requestDidSuspend(const std::shared_ptr<Request>& request) {
  if (!hasReceivers(EventMonitorEvent::requestDidSuspend)) return;
  performEvent(EventMonitorEvent::requestDidSuspend,
               [=](EventMonitor& monitor) { monitor.requestDidSuspend(request); });
}

void CompositeEventMonitor::requestDidSuspendTask(const std::shared_ptr<Request>& request,
                                                  const URLSessionTaskPtr& task) {
  if (!hasReceivers(EventMonitorEvent::requestDidSuspendTask)) return;
  performEvent(EventMonitorEvent::requestDidSuspendTask,
               [=](EventMonitor& monitor) { monitor.requestDidSuspendTask(request, task); });
}

void CompositeEventMonitor::requestDidCancel(const std::shared_ptr<Request>& request) {
  if (!hasReceivers(EventMonitorEvent::requestDidCancel)) return;
  performEvent(EventMonitorEvent::requestDidCancel,
               [=](EventMonitor& monitor) { monitor.requestDidCancel(request); });
}

void CompositeEventMonitor::requestDidCancelTask(const std::shared_ptr<Request>& request,
                                                 const URLSessionTaskPtr& task) {
  if (!hasReceivers(EventMonitorEvent::requestDidCancelTask)) return;
  performEvent(EventMonitorEvent::requestDidCancelTask,
               [=](EventMonitor& monitor) { monitor.requestDidCancelTask(request, task); });
}

void CompositeEventMonitor::requestDidValidateRequestResponseDataWithResult(
    const std::shared_ptr<DataRequest>& request,
    const std::optional<platform::URLRequest>& urlRequest,
    const platform::HTTPURLResponsePtr& response, const std::optional<platform::Bytes>& data,
    const ValidationResult& result) {
  if (!hasReceivers(EventMonitorEvent::requestDidValidateRequestResponseDataWithResult)) return;
  performEvent(EventMonitorEvent::requestDidValidateRequestResponseDataWithResult,
               [=](EventMonitor& monitor) {
                 monitor.requestDidValidateRequestResponseDataWithResult(request, urlRequest,
                                                                         response, data, result);
               });
}

void CompositeEventMonitor::requestDidParseResponse(
    const std::shared_ptr<DataRequest>& request,
    const DataResponse<std::optional<platform::Bytes>>& data) {
  if (!hasReceivers(EventMonitorEvent::requestDidParseResponse)) return;
  performEvent(EventMonitorEvent::requestDidParseResponse,
               [=](EventMonitor& monitor) { monitor.requestDidParseResponse(request, data); });
}

void CompositeEventMonitor::requestDidParseResponseValue(
    const std::shared_ptr<DataRequest>& request, const DataResponse<AnyValue>& response) {
  if (!hasReceivers(EventMonitorEvent::requestDidParseResponseValue)) return;
  performEvent(EventMonitorEvent::requestDidParseResponseValue, [=](EventMonitor& monitor) {
    monitor.requestDidParseResponseValue(request, response);
  });
}

void CompositeEventMonitor::requestDidValidateRequestResponseWithResult(
    const std::shared_ptr<DataStreamRequest>& request,
    const std::optional<platform::URLRequest>& urlRequest,
    const platform::HTTPURLResponsePtr& response, const ValidationResult& result) {
  if (!hasReceivers(EventMonitorEvent::requestDidValidateRequestResponseWithResult)) return;
  performEvent(
      EventMonitorEvent::requestDidValidateRequestResponseWithResult, [=](EventMonitor& monitor) {
        monitor.requestDidValidateRequestResponseWithResult(request, urlRequest, response, result);
      });
}

void CompositeEventMonitor::requestDidParseStreamValue(
    const std::shared_ptr<DataStreamRequest>& request,
    const std::expected<AnyValue, HalyardError>& error) {
  if (!hasReceivers(EventMonitorEvent::requestDidParseStreamValue)) return;
  performEvent(EventMonitorEvent::requestDidParseStreamValue,
               [=](EventMonitor& monitor) { monitor.requestDidParseStreamValue(request, error); });
}

void CompositeEventMonitor::requestDidCreateUploadable(
    const std::shared_ptr<UploadRequest>& request,
    const std::shared_ptr<const Uploadable>& uploadable) {
  if (!hasReceivers(EventMonitorEvent::requestDidCreateUploadable)) return;
  performEvent(EventMonitorEvent::requestDidCreateUploadable, [=](EventMonitor& monitor) {
    monitor.requestDidCreateUploadable(request, uploadable);
  });
}

void CompositeEventMonitor::requestDidFailToCreateUploadableWithError(
    const std::shared_ptr<UploadRequest>& request, const HalyardError& error) {
  if (!hasReceivers(EventMonitorEvent::requestDidFailToCreateUploadableWithError)) return;
  performEvent(EventMonitorEvent::requestDidFailToCreateUploadableWithError,
               [=](EventMonitor& monitor) {
                 monitor.requestDidFailToCreateUploadableWithError(request, error);
               });
}

void CompositeEventMonitor::requestDidProvideInputStream(
    const std::shared_ptr<UploadRequest>& request, const InputStreamPtr& stream) {
  if (!hasReceivers(EventMonitorEvent::requestDidProvideInputStream)) return;
  performEvent(EventMonitorEvent::requestDidProvideInputStream, [=](EventMonitor& monitor) {
    monitor.requestDidProvideInputStream(request, stream);
  });
}

void CompositeEventMonitor::requestDidFinishDownloadingUsingTaskWithResult(
    const std::shared_ptr<DownloadRequest>& request, const URLSessionTaskPtr& task,
    const std::expected<platform::URL, HalyardError>& error) {
  if (!hasReceivers(EventMonitorEvent::requestDidFinishDownloadingUsingTaskWithResult)) return;
  performEvent(EventMonitorEvent::requestDidFinishDownloadingUsingTaskWithResult,
               [=](EventMonitor& monitor) {
                 monitor.requestDidFinishDownloadingUsingTaskWithResult(request, task, error);
               });
}

void CompositeEventMonitor::requestDidCreateDestinationURL(
    const std::shared_ptr<DownloadRequest>& request, const platform::URL& url) {
  if (!hasReceivers(EventMonitorEvent::requestDidCreateDestinationURL)) return;
  performEvent(EventMonitorEvent::requestDidCreateDestinationURL, [=](EventMonitor& monitor) {
    monitor.requestDidCreateDestinationURL(request, url);
  });
}

void CompositeEventMonitor::requestDidValidateRequestResponseFileURLWithResult(
    const std::shared_ptr<DownloadRequest>& request,
    const std::optional<platform::URLRequest>& urlRequest,
    const platform::HTTPURLResponsePtr& response, const std::optional<platform::URL>& fileURL,
    const ValidationResult& result) {
  if (!hasReceivers(EventMonitorEvent::requestDidValidateRequestResponseFileURLWithResult)) return;
  performEvent(EventMonitorEvent::requestDidValidateRequestResponseFileURLWithResult,
               [=](EventMonitor& monitor) {
                 monitor.requestDidValidateRequestResponseFileURLWithResult(
                     request, urlRequest, response, fileURL, result);
               });
}

void CompositeEventMonitor::requestDidParseDownloadResponse(
    const std::shared_ptr<DownloadRequest>& request,
    const DownloadResponse<std::optional<platform::URL>>& response) {
  if (!hasReceivers(EventMonitorEvent::requestDidParseDownloadResponse)) return;
  performEvent(EventMonitorEvent::requestDidParseDownloadResponse, [=](EventMonitor& monitor) {
    monitor.requestDidParseDownloadResponse(request, response);
  });
}

void CompositeEventMonitor::requestDidParseDownloadResponseValue(
    const std::shared_ptr<DownloadRequest>& request, const DownloadResponse<AnyValue>& response) {
  if (!hasReceivers(EventMonitorEvent::requestDidParseDownloadResponseValue)) return;
  performEvent(EventMonitorEvent::requestDidParseDownloadResponseValue, [=](EventMonitor& monitor) {
    monitor.requestDidParseDownloadResponseValue(request, response);
  });
}
}  // namespace halyard

#include "halyard/core/composite_event_monitor.h"

#include <typeinfo>

#include "halyard/core/halyard_info.h"

namespace halyard {

bool eventReachesAnyone(const EventMonitorPtr& monitor, EventMonitorEvent kind) {
  if (!monitor) return false;
  // The composite is final, so comparing the exact type is enough (and far cheaper than a
  // dynamic cast on every response).
  if (typeid(*monitor) == typeid(CompositeEventMonitor)) {
    return static_cast<const CompositeEventMonitor&>(*monitor).hasReceivers(kind);
  }
  return true;
}

std::shared_ptr<CompositeEventMonitor> CompositeEventMonitor::initWithMonitors(
    std::vector<EventMonitorPtr> monitors) {
  return std::shared_ptr<CompositeEventMonitor>(new CompositeEventMonitor(std::move(monitors)));
}

CompositeEventMonitor::CompositeEventMonitor(std::vector<EventMonitorPtr> monitors)
    : queue_(platform::DispatchQueue::serial(HalyardInfo::labelPrefix + ".compositeEventMonitor")),
      monitors_(std::move(monitors)) {
  for (std::size_t kind = 0; kind < kEventMonitorEventCount; ++kind) {
    for (const auto& monitor : monitors_) {
      if (!monitor->receivesEvent(EventMonitorEvent(kind))) continue;
      (monitor->takesEventsWhereRaised() ? receiversWhereRaised_ : receivers_)[kind].push_back(
          monitor);
    }
  }
}

void CompositeEventMonitor::performEvent(EventMonitorEvent kind,
                                         std::function<void(EventMonitor&)> event) {
  relay(kind, std::move(event));
}

template <class Event>
void CompositeEventMonitor::relay(EventMonitorEvent kind, Event event) {
  for (const auto& monitor : receiversWhereRaised_[std::size_t(kind)])
    monitor->takeRaisedEvent(kind, event);
  // An event no monitor wants would hop twice only to run empty defaults.
  const auto& receivers = receivers_[std::size_t(kind)];
  if (receivers.empty()) return;
  // The receivers are fixed at construction, so the hop may carry them instead of the
  // composite. Each item runs once and hands its event on by move; only an event with several
  // receivers is shared between their hops.
  if (receivers.size() == 1) {
    queue_->async([monitor = receivers.front(), event = std::move(event)]() mutable {
      const auto queue = monitor->queue();
      queue->async([monitor = std::move(monitor), event = std::move(event)] { event(*monitor); });
    });
    return;
  }
  queue_->async(
      [self = shared_from_this(), kind, shared = std::make_shared<const Event>(std::move(event))] {
        for (const auto& monitor : self->receivers_[std::size_t(kind)]) {
          monitor->queue()->async([monitor, shared] { (*shared)(*monitor); });
        }
      });
}

void CompositeEventMonitor::sessionDidBecomeInvalidWithError(const URLSessionPtr& session,
                                                             const platform::ErrorPtr& error) {
  // Nothing is captured (or copied) for an event no monitor receives.
  if (!hasReceivers(EventMonitorEvent::sessionDidBecomeInvalidWithError)) return;
  relay(EventMonitorEvent::sessionDidBecomeInvalidWithError,
        [=](EventMonitor& monitor) { monitor.sessionDidBecomeInvalidWithError(session, error); });
}

void CompositeEventMonitor::taskDidReceiveChallenge(const URLSessionPtr& session,
                                                    const URLSessionTaskPtr& task,
                                                    const AuthenticationChallengePtr& challenge) {
  if (!hasReceivers(EventMonitorEvent::taskDidReceiveChallenge)) return;
  relay(EventMonitorEvent::taskDidReceiveChallenge,
        [=](EventMonitor& monitor) { monitor.taskDidReceiveChallenge(session, task, challenge); });
}

void CompositeEventMonitor::taskDidSendBodyData(const URLSessionPtr& session,
                                                const URLSessionTaskPtr& task,
                                                std::int64_t bytesSent, std::int64_t totalBytesSent,
                                                std::int64_t totalBytesExpectedToSend) {
  if (!hasReceivers(EventMonitorEvent::taskDidSendBodyData)) return;
  relay(EventMonitorEvent::taskDidSendBodyData, [=](EventMonitor& monitor) {
    monitor.taskDidSendBodyData(session, task, bytesSent, totalBytesSent, totalBytesExpectedToSend);
  });
}

void CompositeEventMonitor::taskNeedNewBodyStream(const URLSessionPtr& session,
                                                  const URLSessionTaskPtr& task) {
  if (!hasReceivers(EventMonitorEvent::taskNeedNewBodyStream)) return;
  relay(EventMonitorEvent::taskNeedNewBodyStream,
        [=](EventMonitor& monitor) { monitor.taskNeedNewBodyStream(session, task); });
}

void CompositeEventMonitor::taskWillPerformHTTPRedirection(
    const URLSessionPtr& session, const URLSessionTaskPtr& task,
    const platform::HTTPURLResponsePtr& response, const platform::URLRequest& newRequest) {
  if (!hasReceivers(EventMonitorEvent::taskWillPerformHTTPRedirection)) return;
  relay(EventMonitorEvent::taskWillPerformHTTPRedirection, [=](EventMonitor& monitor) {
    monitor.taskWillPerformHTTPRedirection(session, task, response, newRequest);
  });
}

void CompositeEventMonitor::taskDidFinishCollectingMetrics(const URLSessionPtr& session,
                                                           const URLSessionTaskPtr& task,
                                                           const TaskMetricsPtr& metrics) {
  if (!hasReceivers(EventMonitorEvent::taskDidFinishCollectingMetrics)) return;
  relay(EventMonitorEvent::taskDidFinishCollectingMetrics, [=](EventMonitor& monitor) {
    monitor.taskDidFinishCollectingMetrics(session, task, metrics);
  });
}

void CompositeEventMonitor::taskDidComplete(const URLSessionPtr& session,
                                            const URLSessionTaskPtr& task,
                                            const platform::ErrorPtr& error) {
  if (!hasReceivers(EventMonitorEvent::taskDidComplete)) return;
  relay(EventMonitorEvent::taskDidComplete,
        [=](EventMonitor& monitor) { monitor.taskDidComplete(session, task, error); });
}

void CompositeEventMonitor::taskIsWaitingForConnectivity(const URLSessionPtr& session,
                                                         const URLSessionTaskPtr& task) {
  if (!hasReceivers(EventMonitorEvent::taskIsWaitingForConnectivity)) return;
  relay(EventMonitorEvent::taskIsWaitingForConnectivity,
        [=](EventMonitor& monitor) { monitor.taskIsWaitingForConnectivity(session, task); });
}

void CompositeEventMonitor::dataTaskDidReceiveResponse(const URLSessionPtr& session,
                                                       const URLSessionDataTaskPtr& task,
                                                       const platform::URLResponsePtr& response) {
  if (!hasReceivers(EventMonitorEvent::dataTaskDidReceiveResponse)) return;
  relay(EventMonitorEvent::dataTaskDidReceiveResponse, [=](EventMonitor& monitor) {
    monitor.dataTaskDidReceiveResponse(session, task, response);
  });
}

void CompositeEventMonitor::dataTaskDidReceiveData(const URLSessionPtr& session,
                                                   const URLSessionDataTaskPtr& task,
                                                   const platform::Bytes& data) {
  if (!hasReceivers(EventMonitorEvent::dataTaskDidReceiveData)) return;
  relay(EventMonitorEvent::dataTaskDidReceiveData,
        [=](EventMonitor& monitor) { monitor.dataTaskDidReceiveData(session, task, data); });
}

void CompositeEventMonitor::dataTaskWillCacheResponse(const URLSessionPtr& session,
                                                      const URLSessionDataTaskPtr& task,
                                                      const CachedURLResponsePtr& response) {
  if (!hasReceivers(EventMonitorEvent::dataTaskWillCacheResponse)) return;
  relay(EventMonitorEvent::dataTaskWillCacheResponse,
        [=](EventMonitor& monitor) { monitor.dataTaskWillCacheResponse(session, task, response); });
}

void CompositeEventMonitor::downloadTaskDidResumeAtOffset(const URLSessionPtr& session,
                                                          const URLSessionDownloadTaskPtr& task,
                                                          std::int64_t fileOffset,
                                                          std::int64_t expectedTotalBytes) {
  if (!hasReceivers(EventMonitorEvent::downloadTaskDidResumeAtOffset)) return;
  relay(EventMonitorEvent::downloadTaskDidResumeAtOffset, [=](EventMonitor& monitor) {
    monitor.downloadTaskDidResumeAtOffset(session, task, fileOffset, expectedTotalBytes);
  });
}

void CompositeEventMonitor::downloadTaskDidWriteData(const URLSessionPtr& session,
                                                     const URLSessionDownloadTaskPtr& task,
                                                     std::int64_t bytesWritten,
                                                     std::int64_t totalBytesWritten,
                                                     std::int64_t totalBytesExpectedToWrite) {
  if (!hasReceivers(EventMonitorEvent::downloadTaskDidWriteData)) return;
  relay(EventMonitorEvent::downloadTaskDidWriteData, [=](EventMonitor& monitor) {
    monitor.downloadTaskDidWriteData(session, task, bytesWritten, totalBytesWritten,
                                     totalBytesExpectedToWrite);
  });
}

void CompositeEventMonitor::downloadTaskDidFinishDownloadingToURL(
    const URLSessionPtr& session, const URLSessionDownloadTaskPtr& task,
    const platform::URL& location) {
  if (!hasReceivers(EventMonitorEvent::downloadTaskDidFinishDownloadingToURL)) return;
  relay(EventMonitorEvent::downloadTaskDidFinishDownloadingToURL, [=](EventMonitor& monitor) {
    monitor.downloadTaskDidFinishDownloadingToURL(session, task, location);
  });
}

void CompositeEventMonitor::requestDidCreateInitialURLRequest(
    const std::shared_ptr<Request>& request, const platform::URLRequest& urlRequest) {
  if (!hasReceivers(EventMonitorEvent::requestDidCreateInitialURLRequest)) return;
  relay(EventMonitorEvent::requestDidCreateInitialURLRequest, [=](EventMonitor& monitor) {
    monitor.requestDidCreateInitialURLRequest(request, urlRequest);
  });
}

void CompositeEventMonitor::requestDidFailToCreateURLRequestWithError(
    const std::shared_ptr<Request>& request, const HalyardError& error) {
  if (!hasReceivers(EventMonitorEvent::requestDidFailToCreateURLRequestWithError)) return;
  relay(EventMonitorEvent::requestDidFailToCreateURLRequestWithError, [=](EventMonitor& monitor) {
    monitor.requestDidFailToCreateURLRequestWithError(request, error);
  });
}

void CompositeEventMonitor::requestDidAdaptInitialRequestToAdaptedRequest(
    const std::shared_ptr<Request>& request, const platform::URLRequest& initial,
    const platform::URLRequest& adapted) {
  if (!hasReceivers(EventMonitorEvent::requestDidAdaptInitialRequestToAdaptedRequest)) return;
  relay(EventMonitorEvent::requestDidAdaptInitialRequestToAdaptedRequest,
        [=](EventMonitor& monitor) {
          monitor.requestDidAdaptInitialRequestToAdaptedRequest(request, initial, adapted);
        });
}

void CompositeEventMonitor::requestDidFailToAdaptURLRequestWithError(
    const std::shared_ptr<Request>& request, const platform::URLRequest& urlRequest,
    const HalyardError& error) {
  if (!hasReceivers(EventMonitorEvent::requestDidFailToAdaptURLRequestWithError)) return;
  relay(EventMonitorEvent::requestDidFailToAdaptURLRequestWithError, [=](EventMonitor& monitor) {
    monitor.requestDidFailToAdaptURLRequestWithError(request, urlRequest, error);
  });
}

void CompositeEventMonitor::requestDidCreateURLRequest(const std::shared_ptr<Request>& request,
                                                       const platform::URLRequest& urlRequest) {
  if (!hasReceivers(EventMonitorEvent::requestDidCreateURLRequest)) return;
  relay(EventMonitorEvent::requestDidCreateURLRequest,
        [=](EventMonitor& monitor) { monitor.requestDidCreateURLRequest(request, urlRequest); });
}

void CompositeEventMonitor::requestDidCreateTask(const std::shared_ptr<Request>& request,
                                                 const URLSessionTaskPtr& task) {
  if (!hasReceivers(EventMonitorEvent::requestDidCreateTask)) return;
  relay(EventMonitorEvent::requestDidCreateTask,
        [=](EventMonitor& monitor) { monitor.requestDidCreateTask(request, task); });
}

void CompositeEventMonitor::requestDidGatherMetrics(const std::shared_ptr<Request>& request,
                                                    const TaskMetricsPtr& metrics) {
  if (!hasReceivers(EventMonitorEvent::requestDidGatherMetrics)) return;
  relay(EventMonitorEvent::requestDidGatherMetrics,
        [=](EventMonitor& monitor) { monitor.requestDidGatherMetrics(request, metrics); });
}

void CompositeEventMonitor::requestDidFailTaskEarlyWithError(
    const std::shared_ptr<Request>& request, const URLSessionTaskPtr& task,
    const HalyardError& error) {
  if (!hasReceivers(EventMonitorEvent::requestDidFailTaskEarlyWithError)) return;
  relay(EventMonitorEvent::requestDidFailTaskEarlyWithError, [=](EventMonitor& monitor) {
    monitor.requestDidFailTaskEarlyWithError(request, task, error);
  });
}

void CompositeEventMonitor::requestDidCompleteTaskWithError(
    const std::shared_ptr<Request>& request, const URLSessionTaskPtr& task,
    const std::optional<HalyardError>& error) {
  if (!hasReceivers(EventMonitorEvent::requestDidCompleteTaskWithError)) return;
  relay(EventMonitorEvent::requestDidCompleteTaskWithError, [=](EventMonitor& monitor) {
    monitor.requestDidCompleteTaskWithError(request, task, error);
  });
}

void CompositeEventMonitor::requestIsRetrying(const std::shared_ptr<Request>& request) {
  if (!hasReceivers(EventMonitorEvent::requestIsRetrying)) return;
  relay(EventMonitorEvent::requestIsRetrying,
        [=](EventMonitor& monitor) { monitor.requestIsRetrying(request); });
}

void CompositeEventMonitor::requestDidFinish(const std::shared_ptr<Request>& request) {
  if (!hasReceivers(EventMonitorEvent::requestDidFinish)) return;
  relay(EventMonitorEvent::requestDidFinish,
        [=](EventMonitor& monitor) { monitor.requestDidFinish(request); });
}

void CompositeEventMonitor::requestDidResume(const std::shared_ptr<Request>& request) {
  if (!hasReceivers(EventMonitorEvent::requestDidResume)) return;
  relay(EventMonitorEvent::requestDidResume,
        [=](EventMonitor& monitor) { monitor.requestDidResume(request); });
}

void CompositeEventMonitor::requestDidResumeTask(const std::shared_ptr<Request>& request,
                                                 const URLSessionTaskPtr& task) {
  if (!hasReceivers(EventMonitorEvent::requestDidResumeTask)) return;
  relay(EventMonitorEvent::requestDidResumeTask,
        [=](EventMonitor& monitor) { monitor.requestDidResumeTask(request, task); });
}

void CompositeEventMonitor::requestDidSuspend(const std::shared_ptr<Request>& request) {
  if (!hasReceivers(EventMonitorEvent::requestDidSuspend)) return;
  relay(EventMonitorEvent::requestDidSuspend,
        [=](EventMonitor& monitor) { monitor.requestDidSuspend(request); });
}

void CompositeEventMonitor::requestDidSuspendTask(const std::shared_ptr<Request>& request,
                                                  const URLSessionTaskPtr& task) {
  if (!hasReceivers(EventMonitorEvent::requestDidSuspendTask)) return;
  relay(EventMonitorEvent::requestDidSuspendTask,
        [=](EventMonitor& monitor) { monitor.requestDidSuspendTask(request, task); });
}

void CompositeEventMonitor::requestDidCancel(const std::shared_ptr<Request>& request) {
  if (!hasReceivers(EventMonitorEvent::requestDidCancel)) return;
  relay(EventMonitorEvent::requestDidCancel,
        [=](EventMonitor& monitor) { monitor.requestDidCancel(request); });
}

void CompositeEventMonitor::requestDidCancelTask(const std::shared_ptr<Request>& request,
                                                 const URLSessionTaskPtr& task) {
  if (!hasReceivers(EventMonitorEvent::requestDidCancelTask)) return;
  relay(EventMonitorEvent::requestDidCancelTask,
        [=](EventMonitor& monitor) { monitor.requestDidCancelTask(request, task); });
}

void CompositeEventMonitor::requestDidValidateRequestResponseDataWithResult(
    const std::shared_ptr<DataRequest>& request,
    const std::optional<platform::URLRequest>& urlRequest,
    const platform::HTTPURLResponsePtr& response, const std::optional<platform::Bytes>& data,
    const ValidationResult& result) {
  if (!hasReceivers(EventMonitorEvent::requestDidValidateRequestResponseDataWithResult)) return;
  relay(EventMonitorEvent::requestDidValidateRequestResponseDataWithResult,
        [=](EventMonitor& monitor) {
          monitor.requestDidValidateRequestResponseDataWithResult(request, urlRequest, response,
                                                                  data, result);
        });
}

void CompositeEventMonitor::requestDidParseResponse(
    const std::shared_ptr<DataRequest>& request,
    const DataResponse<std::optional<platform::Bytes>>& data) {
  if (!hasReceivers(EventMonitorEvent::requestDidParseResponse)) return;
  relay(EventMonitorEvent::requestDidParseResponse,
        [=](EventMonitor& monitor) { monitor.requestDidParseResponse(request, data); });
}

void CompositeEventMonitor::requestDidParseResponseValue(
    const std::shared_ptr<DataRequest>& request, const DataResponse<AnyValue>& response) {
  if (!hasReceivers(EventMonitorEvent::requestDidParseResponseValue)) return;
  relay(EventMonitorEvent::requestDidParseResponseValue,
        [=](EventMonitor& monitor) { monitor.requestDidParseResponseValue(request, response); });
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
  relay(EventMonitorEvent::requestDidParseStreamValue,
        [=](EventMonitor& monitor) { monitor.requestDidParseStreamValue(request, error); });
}

void CompositeEventMonitor::requestDidCreateUploadable(
    const std::shared_ptr<UploadRequest>& request,
    const std::shared_ptr<const Uploadable>& uploadable) {
  if (!hasReceivers(EventMonitorEvent::requestDidCreateUploadable)) return;
  relay(EventMonitorEvent::requestDidCreateUploadable,
        [=](EventMonitor& monitor) { monitor.requestDidCreateUploadable(request, uploadable); });
}

void CompositeEventMonitor::requestDidFailToCreateUploadableWithError(
    const std::shared_ptr<UploadRequest>& request, const HalyardError& error) {
  if (!hasReceivers(EventMonitorEvent::requestDidFailToCreateUploadableWithError)) return;
  relay(EventMonitorEvent::requestDidFailToCreateUploadableWithError, [=](EventMonitor& monitor) {
    monitor.requestDidFailToCreateUploadableWithError(request, error);
  });
}

void CompositeEventMonitor::requestDidProvideInputStream(
    const std::shared_ptr<UploadRequest>& request, const InputStreamPtr& stream) {
  if (!hasReceivers(EventMonitorEvent::requestDidProvideInputStream)) return;
  relay(EventMonitorEvent::requestDidProvideInputStream,
        [=](EventMonitor& monitor) { monitor.requestDidProvideInputStream(request, stream); });
}

void CompositeEventMonitor::requestDidFinishDownloadingUsingTaskWithResult(
    const std::shared_ptr<DownloadRequest>& request, const URLSessionTaskPtr& task,
    const std::expected<platform::URL, HalyardError>& error) {
  if (!hasReceivers(EventMonitorEvent::requestDidFinishDownloadingUsingTaskWithResult)) return;
  relay(EventMonitorEvent::requestDidFinishDownloadingUsingTaskWithResult,
        [=](EventMonitor& monitor) {
          monitor.requestDidFinishDownloadingUsingTaskWithResult(request, task, error);
        });
}

void CompositeEventMonitor::requestDidCreateDestinationURL(
    const std::shared_ptr<DownloadRequest>& request, const platform::URL& url) {
  if (!hasReceivers(EventMonitorEvent::requestDidCreateDestinationURL)) return;
  relay(EventMonitorEvent::requestDidCreateDestinationURL,
        [=](EventMonitor& monitor) { monitor.requestDidCreateDestinationURL(request, url); });
}

void CompositeEventMonitor::requestDidValidateRequestResponseFileURLWithResult(
    const std::shared_ptr<DownloadRequest>& request,
    const std::optional<platform::URLRequest>& urlRequest,
    const platform::HTTPURLResponsePtr& response, const std::optional<platform::URL>& fileURL,
    const ValidationResult& result) {
  if (!hasReceivers(EventMonitorEvent::requestDidValidateRequestResponseFileURLWithResult)) return;
  relay(EventMonitorEvent::requestDidValidateRequestResponseFileURLWithResult,
        [=](EventMonitor& monitor) {
          monitor.requestDidValidateRequestResponseFileURLWithResult(request, urlRequest, response,
                                                                     fileURL, result);
        });
}

void CompositeEventMonitor::requestDidParseDownloadResponse(
    const std::shared_ptr<DownloadRequest>& request,
    const DownloadResponse<std::optional<platform::URL>>& response) {
  if (!hasReceivers(EventMonitorEvent::requestDidParseDownloadResponse)) return;
  relay(EventMonitorEvent::requestDidParseDownloadResponse,
        [=](EventMonitor& monitor) { monitor.requestDidParseDownloadResponse(request, response); });
}

void CompositeEventMonitor::requestDidParseDownloadResponseValue(
    const std::shared_ptr<DownloadRequest>& request, const DownloadResponse<AnyValue>& response) {
  if (!hasReceivers(EventMonitorEvent::requestDidParseDownloadResponseValue)) return;
  relay(EventMonitorEvent::requestDidParseDownloadResponseValue, [=](EventMonitor& monitor) {
    monitor.requestDidParseDownloadResponseValue(request, response);
  });
}
}  // namespace halyard

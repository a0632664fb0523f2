#pragma once

#include <array>
#include <functional>
#include <memory>
#include <vector>

#include "halyard/core/event_monitor.h"

namespace halyard {

// The one monitor a session talks to: relays every event to each of its monitors, in list
// order, each on that monitor's own queue. Every event takes two asynchronous hops (the
// composite's serial queue, then the monitor's queue), so raising an event never blocks and
// never runs monitor code on the raising thread, and a monitor with a serial queue sees the
// events in the order they were raised. The one exception is a monitor that takes its events
// where they are raised: it is handed each event at once, and finds its own way to its queue.
class CompositeEventMonitor final : public EventMonitor,
                                    public std::enable_shared_from_this<CompositeEventMonitor> {
 public:
  static std::shared_ptr<CompositeEventMonitor> initWithMonitors(
      std::vector<EventMonitorPtr> monitors);

  platform::DispatchQueuePtr queue() const override { return queue_; }
  const std::vector<EventMonitorPtr>& monitors() const { return monitors_; }

  // The single relay every event goes through: to each monitor that receives `kind`, in list
  // order.
  void performEvent(EventMonitorEvent kind, std::function<void(EventMonitor&)> event);
  bool hasReceivers(EventMonitorEvent kind) const {
    return !receivers_[std::size_t(kind)].empty() ||
           !receiversWhereRaised_[std::size_t(kind)].empty();
  }

  void sessionDidBecomeInvalidWithError(const URLSessionPtr& session,
                                        const platform::ErrorPtr& error) final;
  void taskDidReceiveChallenge(const URLSessionPtr& session, const URLSessionTaskPtr& task,
                               const AuthenticationChallengePtr& challenge) final;
  void taskDidSendBodyData(const URLSessionPtr& session, const URLSessionTaskPtr& task,
                           std::int64_t bytesSent, std::int64_t totalBytesSent,
                           std::int64_t totalBytesExpectedToSend) final;
  void taskNeedNewBodyStream(const URLSessionPtr& session, const URLSessionTaskPtr& task) final;
  void taskWillPerformHTTPRedirection(const URLSessionPtr& session, const URLSessionTaskPtr& task,
                                      const platform::HTTPURLResponsePtr& response,
                                      const platform::URLRequest& newRequest) final;
  void taskDidFinishCollectingMetrics(const URLSessionPtr& session, const URLSessionTaskPtr& task,
                                      const TaskMetricsPtr& metrics) final;
  void taskDidComplete(const URLSessionPtr& session, const URLSessionTaskPtr& task,
                       const platform::ErrorPtr& error) final;
  void taskIsWaitingForConnectivity(const URLSessionPtr& session,
                                    const URLSessionTaskPtr& task) final;
  void dataTaskDidReceiveResponse(const URLSessionPtr& session, const URLSessionDataTaskPtr& task,
                                  const platform::URLResponsePtr& response) final;
  void dataTaskDidReceiveData(const URLSessionPtr& session, const URLSessionDataTaskPtr& task,
                              const platform::Bytes& data) final;
  void dataTaskWillCacheResponse(const URLSessionPtr& session, const URLSessionDataTaskPtr& task,
                                 const CachedURLResponsePtr& response) final;
  void downloadTaskDidResumeAtOffset(const URLSessionPtr& session,
                                     const URLSessionDownloadTaskPtr& task, std::int64_t fileOffset,
                                     std::int64_t expectedTotalBytes) final;
  void downloadTaskDidWriteData(const URLSessionPtr& session, const URLSessionDownloadTaskPtr& task,
                                std::int64_t bytesWritten, std::int64_t totalBytesWritten,
                                std::int64_t totalBytesExpectedToWrite) final;
  void downloadTaskDidFinishDownloadingToURL(const URLSessionPtr& session,
                                             const URLSessionDownloadTaskPtr& task,
                                             const platform::URL& location) final;
  void requestDidCreateInitialURLRequest(const std::shared_ptr<Request>& request,
                                         const platform::URLRequest& urlRequest) final;
  void requestDidFailToCreateURLRequestWithError(const std::shared_ptr<Request>& request,
                                                 const HalyardError& error) final;
  void requestDidAdaptInitialRequestToAdaptedRequest(const std::shared_ptr<Request>& request,
                                                     const platform::URLRequest& initial,
                                                     const platform::URLRequest& adapted) final;
  void requestDidFailToAdaptURLRequestWithError(const std::shared_ptr<Request>& request,
                                                const platform::URLRequest& urlRequest,
                                                const HalyardError& error) final;
  void requestDidCreateURLRequest(const std::shared_ptr<Request>& request,
                                  const platform::URLRequest& urlRequest) final;
  void requestDidCreateTask(const std::shared_ptr<Request>& request,
                            const URLSessionTaskPtr& task) final;
  void requestDidGatherMetrics(const std::shared_ptr<Request>& request,
                               const TaskMetricsPtr& metrics) final;
  void requestDidFailTaskEarlyWithError(const std::shared_ptr<Request>& request,
                                        const URLSessionTaskPtr& task,
                                        const HalyardError& error) final;
  void requestDidCompleteTaskWithError(const std::shared_ptr<Request>& request,
                                       const URLSessionTaskPtr& task,
                                       const std::optional<HalyardError>& error) final;
  void requestIsRetrying(const std::shared_ptr<Request>& request) final;
  void requestDidFinish(const std::shared_ptr<Request>& request) final;
  void requestDidResume(const std::shared_ptr<Request>& request) final;
  void requestDidResumeTask(const std::shared_ptr<Request>& request,
                            const URLSessionTaskPtr& task) final;
  void requestDidSuspend(const std::shared_ptr<Request>& request) final;
  void requestDidSuspendTask(const std::shared_ptr<Request>& request,
                             const URLSessionTaskPtr& task) final;
  void requestDidCancel(const std::shared_ptr<Request>& request) final;
  void requestDidCancelTask(const std::shared_ptr<Request>& request,
                            const URLSessionTaskPtr& task) final;
  void requestDidValidateRequestResponseDataWithResult(
      const std::shared_ptr<DataRequest>& request,
      const std::optional<platform::URLRequest>& urlRequest,
      const platform::HTTPURLResponsePtr& response, const std::optional<platform::Bytes>& data,
      const ValidationResult& result) final;
  void requestDidParseResponse(const std::shared_ptr<DataRequest>& request,
                               const DataResponse<std::optional<platform::Bytes>>& data) final;
  void requestDidParseResponseValue(const std::shared_ptr<DataRequest>& request,
                                    const DataResponse<AnyValue>& response) final;
  void requestDidValidateRequestResponseWithResult(
      const std::shared_ptr<DataStreamRequest>& request,
      const std::optional<platform::URLRequest>& urlRequest,
      const platform::HTTPURLResponsePtr& response, const ValidationResult& result) final;
  void requestDidParseStreamValue(const std::shared_ptr<DataStreamRequest>& request,
                                  const std::expected<AnyValue, HalyardError>& error) final;
  void requestDidCreateUploadable(const std::shared_ptr<UploadRequest>& request,
                                  const std::shared_ptr<const Uploadable>& uploadable) final;
  void requestDidFailToCreateUploadableWithError(const std::shared_ptr<UploadRequest>& request,
                                                 const HalyardError& error) final;
  void requestDidProvideInputStream(const std::shared_ptr<UploadRequest>& request,
                                    const InputStreamPtr& stream) final;
  void requestDidFinishDownloadingUsingTaskWithResult(
      const std::shared_ptr<DownloadRequest>& request, const URLSessionTaskPtr& task,
      const std::expected<platform::URL, HalyardError>& error) final;
  void requestDidCreateDestinationURL(const std::shared_ptr<DownloadRequest>& request,
                                      const platform::URL& url) final;
  void requestDidValidateRequestResponseFileURLWithResult(
      const std::shared_ptr<DownloadRequest>& request,
      const std::optional<platform::URLRequest>& urlRequest,
      const platform::HTTPURLResponsePtr& response, const std::optional<platform::URL>& fileURL,
      const ValidationResult& result) final;
  void requestDidParseDownloadResponse(
      const std::shared_ptr<DownloadRequest>& request,
      const DownloadResponse<std::optional<platform::URL>>& response) final;
  void requestDidParseDownloadResponseValue(const std::shared_ptr<DownloadRequest>& request,
                                            const DownloadResponse<AnyValue>& response) final;

 private:
  explicit CompositeEventMonitor(std::vector<EventMonitorPtr> monitors);
  // `performEvent` without type erasure: `event` is any callable taking the monitor.
  template <class Event>
  void relay(EventMonitorEvent kind, Event event);

  const platform::DispatchQueuePtr queue_;
  const std::vector<EventMonitorPtr> monitors_;
  // Per event kind, the monitors that receive it on their queues, in list order, and those that
  // take it where it is raised; fixed at construction.
  std::array<std::vector<EventMonitorPtr>, kEventMonitorEventCount> receivers_;
  std::array<std::vector<EventMonitorPtr>, kEventMonitorEventCount> receiversWhereRaised_;
};

}  // namespace halyard

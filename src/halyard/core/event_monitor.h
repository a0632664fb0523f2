#pragma once

#include <cstddef>
#include <expected>
#include <functional>
#include <memory>
#include <optional>

#include "halyard/core/halyard_error.h"
#include "halyard/core/response.h"
#include "halyard/core/value_description.h"
#include "platform/dispatch/dispatch_queue.h"
#include "platform/net/http_url_response.h"
#include "platform/net/url.h"
#include "platform/net/url_request.h"
#include "platform/net/url_session.h"
#include "platform/net/url_session_task_metrics.h"

namespace platform {
// URL-loading objects of the upload, download, authentication and caching callbacks.
class URLSessionDownloadTask;
class URLAuthenticationChallenge;
class CachedURLResponse;
class InputStream;
}  // namespace platform

namespace halyard {

class Request;
class DataRequest;
class DataStreamRequest;
class UploadRequest;
class DownloadRequest;
// What an upload request sends (data, a file or a stream).
struct Uploadable;

using URLSessionPtr = std::shared_ptr<platform::URLSession>;
using URLSessionTaskPtr = std::shared_ptr<platform::URLSessionTask>;
using URLSessionDataTaskPtr = std::shared_ptr<platform::URLSessionDataTask>;
using URLSessionDownloadTaskPtr = std::shared_ptr<platform::URLSessionDownloadTask>;
using AuthenticationChallengePtr = std::shared_ptr<const platform::URLAuthenticationChallenge>;
using CachedURLResponsePtr = std::shared_ptr<const platform::CachedURLResponse>;
using InputStreamPtr = std::shared_ptr<platform::InputStream>;

// Success, or failure with the validation's own error.
using ValidationResult = std::expected<void, platform::ErrorPtr>;

// The events of a monitor, one per event requirement, in requirement order.
enum class EventMonitorEvent {
  sessionDidBecomeInvalidWithError,
  taskDidReceiveChallenge,
  taskDidSendBodyData,
  taskNeedNewBodyStream,
  taskWillPerformHTTPRedirection,
  taskDidFinishCollectingMetrics,
  taskDidComplete,
  taskIsWaitingForConnectivity,
  dataTaskDidReceiveResponse,
  dataTaskDidReceiveData,
  dataTaskWillCacheResponse,
  downloadTaskDidResumeAtOffset,
  downloadTaskDidWriteData,
  downloadTaskDidFinishDownloadingToURL,
  requestDidCreateInitialURLRequest,
  requestDidFailToCreateURLRequestWithError,
  requestDidAdaptInitialRequestToAdaptedRequest,
  requestDidFailToAdaptURLRequestWithError,
  requestDidCreateURLRequest,
  requestDidCreateTask,
  requestDidGatherMetrics,
  requestDidFailTaskEarlyWithError,
  requestDidCompleteTaskWithError,
  requestIsRetrying,
  requestDidFinish,
  requestDidResume,
  requestDidResumeTask,
  requestDidSuspend,
  requestDidSuspendTask,
  requestDidCancel,
  requestDidCancelTask,
  requestDidValidateRequestResponseDataWithResult,
  requestDidParseResponse,
  requestDidParseResponseValue,
  requestDidValidateRequestResponseWithResult,
  requestDidParseStreamValue,
  requestDidCreateUploadable,
  requestDidFailToCreateUploadableWithError,
  requestDidProvideInputStream,
  requestDidFinishDownloadingUsingTaskWithResult,
  requestDidCreateDestinationURL,
  requestDidValidateRequestResponseFileURLWithResult,
  requestDidParseDownloadResponse,
  requestDidParseDownloadResponseValue,
};
inline constexpr std::size_t kEventMonitorEventCount = 44;

// Observes every event of a session and its requests. Each event has a default that does
// nothing, so a monitor implements only what it cares about. A monitor handed to a session has
// its events delivered on the queue it names (the main queue unless it says otherwise).
//
// The three generic events carry their value type-erased (`AnyValue`); read it back with
// `as<T>()`.
class EventMonitor {
 public:
  virtual ~EventMonitor() = default;

  virtual platform::DispatchQueuePtr queue() const { return platform::DispatchQueue::main(); }

  // Whether the monitor wants `event` relayed to it at all. A monitor that implements only a few
  // events may answer false for the others, which would only run their empty defaults: the
  // relay then spares them the hop onto its queue. The answers must not change over the
  // monitor's life. Every event is wanted unless a monitor says otherwise.
  virtual bool receivesEvent(EventMonitorEvent) const { return true; }
  // Whether the monitor is handed the events it receives at once, on the thread that raises
  // them (through `takeRaisedEvent`), instead of through two hops to its queue. Only for a
  // monitor that finds a cheaper way to its queue for them (several events per hop, say).
  virtual bool takesEventsWhereRaised() const { return false; }
  // On the raising thread: an event of kind `kind` to run on this monitor later, on its queue,
  // after every one handed over before it. Must not block.
  virtual void takeRaisedEvent(EventMonitorEvent, std::function<void(EventMonitor&)> event) {
    event(*this);
  }

  // URL-loading events.
  virtual void sessionDidBecomeInvalidWithError(const URLSessionPtr&, const platform::ErrorPtr&) {}
  virtual void taskDidReceiveChallenge(const URLSessionPtr&, const URLSessionTaskPtr&,
                                       const AuthenticationChallengePtr&) {}
  virtual void taskDidSendBodyData(const URLSessionPtr&, const URLSessionTaskPtr&,
                                   std::int64_t /*bytesSent*/, std::int64_t /*totalBytesSent*/,
                                   std::int64_t /*totalBytesExpectedToSend*/) {}
  virtual void taskNeedNewBodyStream(const URLSessionPtr&, const URLSessionTaskPtr&) {}
  virtual void taskWillPerformHTTPRedirection(const URLSessionPtr&, const URLSessionTaskPtr&,
                                              const platform::HTTPURLResponsePtr&,
                                              const platform::URLRequest& /*newRequest*/) {}
  virtual void taskDidFinishCollectingMetrics(const URLSessionPtr&, const URLSessionTaskPtr&,
                                              const TaskMetricsPtr&) {}
  virtual void taskDidComplete(const URLSessionPtr&, const URLSessionTaskPtr&,
                               const platform::ErrorPtr&) {}
  virtual void taskIsWaitingForConnectivity(const URLSessionPtr&, const URLSessionTaskPtr&) {}
  virtual void dataTaskDidReceiveResponse(const URLSessionPtr&, const URLSessionDataTaskPtr&,
                                          const platform::URLResponsePtr&) {}
  virtual void dataTaskDidReceiveData(const URLSessionPtr&, const URLSessionDataTaskPtr&,
                                      const platform::Bytes&) {}
  virtual void dataTaskWillCacheResponse(const URLSessionPtr&, const URLSessionDataTaskPtr&,
                                         const CachedURLResponsePtr&) {}
  virtual void downloadTaskDidResumeAtOffset(const URLSessionPtr&, const URLSessionDownloadTaskPtr&,
                                             std::int64_t /*fileOffset*/,
                                             std::int64_t /*expectedTotalBytes*/) {}
  virtual void downloadTaskDidWriteData(const URLSessionPtr&, const URLSessionDownloadTaskPtr&,
                                        std::int64_t /*bytesWritten*/,
                                        std::int64_t /*totalBytesWritten*/,
                                        std::int64_t /*totalBytesExpectedToWrite*/) {}
  virtual void downloadTaskDidFinishDownloadingToURL(const URLSessionPtr&,
                                                     const URLSessionDownloadTaskPtr&,
                                                     const platform::URL& /*location*/) {}

  // Request events.
  virtual void requestDidCreateInitialURLRequest(const std::shared_ptr<Request>&,
                                                 const platform::URLRequest&) {}
  virtual void requestDidFailToCreateURLRequestWithError(const std::shared_ptr<Request>&,
                                                         const HalyardError&) {}
  virtual void requestDidAdaptInitialRequestToAdaptedRequest(
      const std::shared_ptr<Request>&, const platform::URLRequest& /*initial*/,
      const platform::URLRequest& /*adapted*/) {}
  virtual void requestDidFailToAdaptURLRequestWithError(const std::shared_ptr<Request>&,
                                                        const platform::URLRequest&,
                                                        const HalyardError&) {}
  virtual void requestDidCreateURLRequest(const std::shared_ptr<Request>&,
                                          const platform::URLRequest&) {}
  virtual void requestDidCreateTask(const std::shared_ptr<Request>&, const URLSessionTaskPtr&) {}
  virtual void requestDidGatherMetrics(const std::shared_ptr<Request>&, const TaskMetricsPtr&) {}
  virtual void requestDidFailTaskEarlyWithError(const std::shared_ptr<Request>&,
                                                const URLSessionTaskPtr&, const HalyardError&) {}
  virtual void requestDidCompleteTaskWithError(const std::shared_ptr<Request>&,
                                               const URLSessionTaskPtr&,
                                               const std::optional<HalyardError>&) {}
  virtual void requestIsRetrying(const std::shared_ptr<Request>&) {}
  virtual void requestDidFinish(const std::shared_ptr<Request>&) {}
  virtual void requestDidResume(const std::shared_ptr<Request>&) {}
  virtual void requestDidResumeTask(const std::shared_ptr<Request>&, const URLSessionTaskPtr&) {}
  virtual void requestDidSuspend(const std::shared_ptr<Request>&) {}
  virtual void requestDidSuspendTask(const std::shared_ptr<Request>&, const URLSessionTaskPtr&) {}
  virtual void requestDidCancel(const std::shared_ptr<Request>&) {}
  virtual void requestDidCancelTask(const std::shared_ptr<Request>&, const URLSessionTaskPtr&) {}
  virtual void requestDidValidateRequestResponseDataWithResult(
      const std::shared_ptr<DataRequest>&, const std::optional<platform::URLRequest>&,
      const platform::HTTPURLResponsePtr&, const std::optional<platform::Bytes>&,
      const ValidationResult&) {}
  virtual void requestDidParseResponse(const std::shared_ptr<DataRequest>&,
                                       const DataResponse<std::optional<platform::Bytes>>&) {}
  virtual void requestDidParseResponseValue(const std::shared_ptr<DataRequest>&,
                                            const DataResponse<AnyValue>&) {}
  virtual void requestDidValidateRequestResponseWithResult(
      const std::shared_ptr<DataStreamRequest>&, const std::optional<platform::URLRequest>&,
      const platform::HTTPURLResponsePtr&, const ValidationResult&) {}
  virtual void requestDidParseStreamValue(const std::shared_ptr<DataStreamRequest>&,
                                          const std::expected<AnyValue, HalyardError>&) {}
  virtual void requestDidCreateUploadable(const std::shared_ptr<UploadRequest>&,
                                          const std::shared_ptr<const Uploadable>&) {}
  virtual void requestDidFailToCreateUploadableWithError(const std::shared_ptr<UploadRequest>&,
                                                         const HalyardError&) {}
  virtual void requestDidProvideInputStream(const std::shared_ptr<UploadRequest>&,
                                            const InputStreamPtr&) {}
  virtual void requestDidFinishDownloadingUsingTaskWithResult(
      const std::shared_ptr<DownloadRequest>&, const URLSessionTaskPtr&,
      const std::expected<platform::URL, HalyardError>&) {}
  virtual void requestDidCreateDestinationURL(const std::shared_ptr<DownloadRequest>&,
                                              const platform::URL&) {}
  virtual void requestDidValidateRequestResponseFileURLWithResult(
      const std::shared_ptr<DownloadRequest>&, const std::optional<platform::URLRequest>&,
      const platform::HTTPURLResponsePtr&, const std::optional<platform::URL>&,
      const ValidationResult&) {}
  virtual void requestDidParseDownloadResponse(
      const std::shared_ptr<DownloadRequest>&,
      const DownloadResponse<std::optional<platform::URL>>&) {}
  virtual void requestDidParseDownloadResponseValue(const std::shared_ptr<DownloadRequest>&,
                                                    const DownloadResponse<AnyValue>&) {}
};

using EventMonitorPtr = std::shared_ptr<EventMonitor>;

// Whether raising `kind` on `monitor` can reach any monitor code, so that a caller may skip
// building an event's arguments when it cannot: false without a monitor or for a composite none
// of whose members receives the kind; true for every other monitor, which is always told.
bool eventReachesAnyone(const EventMonitorPtr& monitor, EventMonitorEvent kind);

}  // namespace halyard

#pragma once

#include <functional>
#include <mutex>

#include "halyard/core/event_monitor.h"

namespace halyard {

// Every closure of `ClosureEventMonitor`, in field order:
// X(event, Capitalised, (argument types), (parameters), (arguments)).
// The three download closures stand in the reverse order of their events.
#define HALYARD_CLOSURE_EVENTS(X)                                                                  \
  X(sessionDidBecomeInvalidWithError, SessionDidBecomeInvalidWithError,                            \
    (const URLSessionPtr&, const platform::ErrorPtr&),                                             \
    (const URLSessionPtr& a0, const platform::ErrorPtr& a1), (a0, a1))                             \
  X(taskDidReceiveChallenge, TaskDidReceiveChallenge,                                              \
    (const URLSessionPtr&, const URLSessionTaskPtr&, const AuthenticationChallengePtr&),           \
    (const URLSessionPtr& a0, const URLSessionTaskPtr& a1, const AuthenticationChallengePtr& a2),  \
    (a0, a1, a2))                                                                                  \
  X(taskDidSendBodyData, TaskDidSendBodyData,                                                      \
    (const URLSessionPtr&, const URLSessionTaskPtr&, std::int64_t, std::int64_t, std::int64_t),    \
    (const URLSessionPtr& a0, const URLSessionTaskPtr& a1, std::int64_t a2, std::int64_t a3,       \
     std::int64_t a4),                                                                             \
    (a0, a1, a2, a3, a4))                                                                          \
  X(taskNeedNewBodyStream, TaskNeedNewBodyStream,                                                  \
    (const URLSessionPtr&, const URLSessionTaskPtr&),                                              \
    (const URLSessionPtr& a0, const URLSessionTaskPtr& a1), (a0, a1))                              \
  X(taskWillPerformHTTPRedirection, TaskWillPerformHTTPRedirection,                                \
    (const URLSessionPtr&, const URLSessionTaskPtr&, const platform::HTTPURLResponsePtr&,          \
     const platform::URLRequest&),                                                                 \
    (const URLSessionPtr& a0, const URLSessionTaskPtr& a1, const platform::HTTPURLResponsePtr& a2, \
     const platform::URLRequest& a3),                                                              \
    (a0, a1, a2, a3))                                                                              \
  X(taskDidFinishCollectingMetrics, TaskDidFinishCollectingMetrics,                                \
    (const URLSessionPtr&, const URLSessionTaskPtr&, const TaskMetricsPtr&),                       \
    (const URLSessionPtr& a0, const URLSessionTaskPtr& a1, const TaskMetricsPtr& a2),              \
    (a0, a1, a2))                                                                                  \
  X(taskDidComplete, TaskDidComplete,                                                              \
    (const URLSessionPtr&, const URLSessionTaskPtr&, const platform::ErrorPtr&),                   \
    (const URLSessionPtr& a0, const URLSessionTaskPtr& a1, const platform::ErrorPtr& a2),          \
    (a0, a1, a2))                                                                                  \
  X(taskIsWaitingForConnectivity, TaskIsWaitingForConnectivity,                                    \
    (const URLSessionPtr&, const URLSessionTaskPtr&),                                              \
    (const URLSessionPtr& a0, const URLSessionTaskPtr& a1), (a0, a1))                              \
  X(dataTaskDidReceiveResponse, DataTaskDidReceiveResponse,                                        \
    (const URLSessionPtr&, const URLSessionDataTaskPtr&, const platform::URLResponsePtr&),         \
    (const URLSessionPtr& a0, const URLSessionDataTaskPtr& a1,                                     \
     const platform::URLResponsePtr& a2),                                                          \
    (a0, a1, a2))                                                                                  \
  X(dataTaskDidReceiveData, DataTaskDidReceiveData,                                                \
    (const URLSessionPtr&, const URLSessionDataTaskPtr&, const platform::Bytes&),                  \
    (const URLSessionPtr& a0, const URLSessionDataTaskPtr& a1, const platform::Bytes& a2),         \
    (a0, a1, a2))                                                                                  \
  X(dataTaskWillCacheResponse, DataTaskWillCacheResponse,                                          \
    (const URLSessionPtr&, const URLSessionDataTaskPtr&, const CachedURLResponsePtr&),             \
    (const URLSessionPtr& a0, const URLSessionDataTaskPtr& a1, const CachedURLResponsePtr& a2),    \
    (a0, a1, a2))                                                                                  \
  X(downloadTaskDidFinishDownloadingToURL, DownloadTaskDidFinishDownloadingToURL,                  \
    (const URLSessionPtr&, const URLSessionDownloadTaskPtr&, const platform::URL&),                \
    (const URLSessionPtr& a0, const URLSessionDownloadTaskPtr& a1, const platform::URL& a2),       \
    (a0, a1, a2))                                                                                  \
  X(downloadTaskDidWriteData, DownloadTaskDidWriteData,                                            \
    (const URLSessionPtr&, const URLSessionDownloadTaskPtr&, std::int64_t, std::int64_t,           \
     std::int64_t),                                                                                \
    (const URLSessionPtr& a0, const URLSessionDownloadTaskPtr& a1, std::int64_t a2,                \
     std::int64_t a3, std::int64_t a4),                                                            \
    (a0, a1, a2, a3, a4))                                                                          \
  X(downloadTaskDidResumeAtOffset, DownloadTaskDidResumeAtOffset,                                  \
    (const URLSessionPtr&, const URLSessionDownloadTaskPtr&, std::int64_t, std::int64_t),          \
    (const URLSessionPtr& a0, const URLSessionDownloadTaskPtr& a1, std::int64_t a2,                \
     std::int64_t a3),                                                                             \
    (a0, a1, a2, a3))                                                                              \
  X(requestDidCreateInitialURLRequest, RequestDidCreateInitialURLRequest,                          \
    (const std::shared_ptr<Request>&, const platform::URLRequest&),                                \
    (const std::shared_ptr<Request>& a0, const platform::URLRequest& a1), (a0, a1))                \
  X(requestDidFailToCreateURLRequestWithError, RequestDidFailToCreateURLRequestWithError,          \
    (const std::shared_ptr<Request>&, const HalyardError&),                                        \
    (const std::shared_ptr<Request>& a0, const HalyardError& a1), (a0, a1))                        \
  X(requestDidAdaptInitialRequestToAdaptedRequest, RequestDidAdaptInitialRequestToAdaptedRequest,  \
    (const std::shared_ptr<Request>&, const platform::URLRequest&, const platform::URLRequest&),   \
    (const std::shared_ptr<Request>& a0, const platform::URLRequest& a1,                           \
     const platform::URLRequest& a2),                                                              \
    (a0, a1, a2))                                                                                  \
  X(requestDidFailToAdaptURLRequestWithError, RequestDidFailToAdaptURLRequestWithError,            \
    (const std::shared_ptr<Request>&, const platform::URLRequest&, const HalyardError&),           \
    (const std::shared_ptr<Request>& a0, const platform::URLRequest& a1, const HalyardError& a2),  \
    (a0, a1, a2))                                                                                  \
  X(requestDidCreateURLRequest, RequestDidCreateURLRequest,                                        \
    (const std::shared_ptr<Request>&, const platform::URLRequest&),                                \
    (const std::shared_ptr<Request>& a0, const platform::URLRequest& a1), (a0, a1))                \
  X(requestDidCreateTask, RequestDidCreateTask,                                                    \
    (const std::shared_ptr<Request>&, const URLSessionTaskPtr&),                                   \
    (const std::shared_ptr<Request>& a0, const URLSessionTaskPtr& a1), (a0, a1))                   \
  X(requestDidGatherMetrics, RequestDidGatherMetrics,                                              \
    (const std::shared_ptr<Request>&, const TaskMetricsPtr&),                                      \
    (const std::shared_ptr<Request>& a0, const TaskMetricsPtr& a1), (a0, a1))                      \
  X(requestDidFailTaskEarlyWithError, RequestDidFailTaskEarlyWithError,                            \
    (const std::shared_ptr<Request>&, const URLSessionTaskPtr&, const HalyardError&),              \
    (const std::shared_ptr<Request>& a0, const URLSessionTaskPtr& a1, const HalyardError& a2),     \
    (a0, a1, a2))                                                                                  \
  X(requestDidCompleteTaskWithError, RequestDidCompleteTaskWithError,                              \
    (const std::shared_ptr<Request>&, const URLSessionTaskPtr&,                                    \
     const std::optional<HalyardError>&),                                                          \
    (const std::shared_ptr<Request>& a0, const URLSessionTaskPtr& a1,                              \
     const std::optional<HalyardError>& a2),                                                       \
    (a0, a1, a2))                                                                                  \
  X(requestIsRetrying, RequestIsRetrying, (const std::shared_ptr<Request>&),                       \
    (const std::shared_ptr<Request>& a0), (a0))                                                    \
  X(requestDidFinish, RequestDidFinish, (const std::shared_ptr<Request>&),                         \
    (const std::shared_ptr<Request>& a0), (a0))                                                    \
  X(requestDidResume, RequestDidResume, (const std::shared_ptr<Request>&),                         \
    (const std::shared_ptr<Request>& a0), (a0))                                                    \
  X(requestDidResumeTask, RequestDidResumeTask,                                                    \
    (const std::shared_ptr<Request>&, const URLSessionTaskPtr&),                                   \
    (const std::shared_ptr<Request>& a0, const URLSessionTaskPtr& a1), (a0, a1))                   \
  X(requestDidSuspend, RequestDidSuspend, (const std::shared_ptr<Request>&),                       \
    (const std::shared_ptr<Request>& a0), (a0))                                                    \
  X(requestDidSuspendTask, RequestDidSuspendTask,                                                  \
    (const std::shared_ptr<Request>&, const URLSessionTaskPtr&),                                   \
    (const std::shared_ptr<Request>& a0, const URLSessionTaskPtr& a1), (a0, a1))                   \
  X(requestDidCancel, RequestDidCancel, (const std::shared_ptr<Request>&),                         \
    (const std::shared_ptr<Request>& a0), (a0))                                                    \
  X(requestDidCancelTask, RequestDidCancelTask,                                                    \
    (const std::shared_ptr<Request>&, const URLSessionTaskPtr&),                                   \
    (const std::shared_ptr<Request>& a0, const URLSessionTaskPtr& a1), (a0, a1))                   \
  X(requestDidValidateRequestResponseDataWithResult,                                               \
    RequestDidValidateRequestResponseDataWithResult,                                               \
    (const std::shared_ptr<DataRequest>&, const std::optional<platform::URLRequest>&,              \
     const platform::HTTPURLResponsePtr&, const std::optional<platform::Bytes>&,                   \
     const ValidationResult&),                                                                     \
    (const std::shared_ptr<DataRequest>& a0, const std::optional<platform::URLRequest>& a1,        \
     const platform::HTTPURLResponsePtr& a2, const std::optional<platform::Bytes>& a3,             \
     const ValidationResult& a4),                                                                  \
    (a0, a1, a2, a3, a4))                                                                          \
  X(requestDidParseResponse, RequestDidParseResponse,                                              \
    (const std::shared_ptr<DataRequest>&, const DataResponse<std::optional<platform::Bytes>>&),    \
    (const std::shared_ptr<DataRequest>& a0,                                                       \
     const DataResponse<std::optional<platform::Bytes>>& a1),                                      \
    (a0, a1))                                                                                      \
  X(requestDidValidateRequestResponseWithResult, RequestDidValidateRequestResponseWithResult,      \
    (const std::shared_ptr<DataStreamRequest>&, const std::optional<platform::URLRequest>&,        \
     const platform::HTTPURLResponsePtr&, const ValidationResult&),                                \
    (const std::shared_ptr<DataStreamRequest>& a0, const std::optional<platform::URLRequest>& a1,  \
     const platform::HTTPURLResponsePtr& a2, const ValidationResult& a3),                          \
    (a0, a1, a2, a3))                                                                              \
  X(requestDidCreateUploadable, RequestDidCreateUploadable,                                        \
    (const std::shared_ptr<UploadRequest>&, const std::shared_ptr<const Uploadable>&),             \
    (const std::shared_ptr<UploadRequest>& a0, const std::shared_ptr<const Uploadable>& a1),       \
    (a0, a1))                                                                                      \
  X(requestDidFailToCreateUploadableWithError, RequestDidFailToCreateUploadableWithError,          \
    (const std::shared_ptr<UploadRequest>&, const HalyardError&),                                  \
    (const std::shared_ptr<UploadRequest>& a0, const HalyardError& a1), (a0, a1))                  \
  X(requestDidProvideInputStream, RequestDidProvideInputStream,                                    \
    (const std::shared_ptr<UploadRequest>&, const InputStreamPtr&),                                \
    (const std::shared_ptr<UploadRequest>& a0, const InputStreamPtr& a1), (a0, a1))                \
  X(requestDidFinishDownloadingUsingTaskWithResult,                                                \
    RequestDidFinishDownloadingUsingTaskWithResult,                                                \
    (const std::shared_ptr<DownloadRequest>&, const URLSessionTaskPtr&,                            \
     const std::expected<platform::URL, HalyardError>&),                                           \
    (const std::shared_ptr<DownloadRequest>& a0, const URLSessionTaskPtr& a1,                      \
     const std::expected<platform::URL, HalyardError>& a2),                                        \
    (a0, a1, a2))                                                                                  \
  X(requestDidCreateDestinationURL, RequestDidCreateDestinationURL,                                \
    (const std::shared_ptr<DownloadRequest>&, const platform::URL&),                               \
    (const std::shared_ptr<DownloadRequest>& a0, const platform::URL& a1), (a0, a1))               \
  X(requestDidValidateRequestResponseFileURLWithResult,                                            \
    RequestDidValidateRequestResponseFileURLWithResult,                                            \
    (const std::shared_ptr<DownloadRequest>&, const std::optional<platform::URLRequest>&,          \
     const platform::HTTPURLResponsePtr&, const std::optional<platform::URL>&,                     \
     const ValidationResult&),                                                                     \
    (const std::shared_ptr<DownloadRequest>& a0, const std::optional<platform::URLRequest>& a1,    \
     const platform::HTTPURLResponsePtr& a2, const std::optional<platform::URL>& a3,               \
     const ValidationResult& a4),                                                                  \
    (a0, a1, a2, a3, a4))                                                                          \
  X(requestDidParseDownloadResponse, RequestDidParseDownloadResponse,                              \
    (const std::shared_ptr<DownloadRequest>&,                                                      \
     const DownloadResponse<std::optional<platform::URL>>&),                                       \
    (const std::shared_ptr<DownloadRequest>& a0,                                                   \
     const DownloadResponse<std::optional<platform::URL>>& a1),                                    \
    (a0, a1))

// A monitor set up by assigning closures: each event calls its closure when one is set. The
// three generic parse events have none and do nothing.
//
// Closures may be assigned from any thread while events arrive: every access to one takes the
// monitor's lock, and an event calls a copy of its closure outside the lock, so a closure may
// itself assign closures.
class ClosureEventMonitor : public EventMonitor {
 public:
#define HALYARD_CLOSURE_TYPE(name, Name, Types, Params, Args) \
  using Name##Closure = std::function<void Types>;
  HALYARD_CLOSURE_EVENTS(HALYARD_CLOSURE_TYPE)
#undef HALYARD_CLOSURE_TYPE

  explicit ClosureEventMonitor(platform::DispatchQueuePtr queue = platform::DispatchQueue::main())
      : queue_(std::move(queue)) {}

  platform::DispatchQueuePtr queue() const override {
    return queue_;
  }

  // The composite monitor asks once, when it is made: a closure set later must still be
  // reached, so every event with a closure is wanted whether or not one is set yet.
  bool receivesEvent(EventMonitorEvent event) const override;

#define HALYARD_CLOSURE_ACCESSORS(name, Name, Types, Params, Args)               \
  virtual Name##Closure name() const {                                           \
    return read(&Closures::name);                                                \
  }                                                                              \
  virtual void set##Name(Name##Closure closure) {                                \
    write(&Closures::name, std::move(closure));                                  \
  }                                                                              \
  virtual void modify##Name(const std::function<void(Name##Closure&)>& modify) { \
    std::lock_guard lock(mutex_);                                                \
    modify(closures_.name);                                                      \
  }
  HALYARD_CLOSURE_EVENTS(HALYARD_CLOSURE_ACCESSORS)
#undef HALYARD_CLOSURE_ACCESSORS

#define HALYARD_CLOSURE_EVENT(name, Name, Types, Params, Args) \
  void name Params override {                                  \
    if (const auto closure = name()) closure Args;             \
  }
  HALYARD_CLOSURE_EVENTS(HALYARD_CLOSURE_EVENT)
#undef HALYARD_CLOSURE_EVENT

 private:
  struct Closures {
#define HALYARD_CLOSURE_FIELD(name, Name, Types, Params, Args) Name##Closure name;
    HALYARD_CLOSURE_EVENTS(HALYARD_CLOSURE_FIELD)
#undef HALYARD_CLOSURE_FIELD
  };

  template <class Closure>
  Closure read(Closure Closures::*field) const {
    std::lock_guard lock(mutex_);
    return closures_.*field;
  }
  template <class Closure>
  void write(Closure Closures::*field, Closure closure) {
    {
      std::lock_guard lock(mutex_);
      std::swap(closures_.*field, closure);
    }
    // The replaced closure (and what it captured) is destroyed outside the lock.
  }

  mutable std::mutex mutex_;
  Closures closures_;
  const platform::DispatchQueuePtr queue_;
};

}  // namespace halyard

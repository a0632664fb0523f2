#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "halyard/core/event_monitor.h"
#include "halyard/core/halyard_error.h"
#include "halyard/core/protected.h"
#include "halyard/core/request_interceptor.h"
#include "halyard/core/response.h"
#include "platform/concurrency/async_stream.h"
#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/process_info.h"
#include "platform/net/progress.h"
#include "platform/net/url_credential.h"
#include "platform/net/url_request.h"
#include "platform/net/url_session.h"

namespace halyard {

// A half-open range of status codes, [lowerBound, upperBound).
struct StatusCodeRange {
  int lowerBound = 200;
  int upperBound = 300;
  bool contains(int code) const { return code >= lowerBound && code < upperBound; }
};

class RequestDelegate;
class RequestPerformer;
// Redirect and response-caching policies of a request or a session.
class RedirectHandler;
class CachedResponseHandler;
template <class Element>
class StreamOf;

using ProgressPtr = std::shared_ptr<platform::Progress>;

// The base of the request family: identity, the queues it runs on, its observer and policies,
// a weak back reference to its session, two progress objects, its validators and one record of
// mutable state behind one lock.
//
// Lifecycle hooks (`record…`, `notify…`, `complete`, …) are called by the session and its
// delegate and must run on `underlyingQueue()`. Public operations may be called from any
// thread. Registration operations return the request so that calls chain.
// What every request is made with: its identity, the queue it runs on and the one it serializes
// on, whom it reports its events to, what adapts and retries it, and the delegate that performs
// it (held weakly: the session owns its requests, not the other way round).
struct RequestContext {
  platform::UUID id;
  platform::DispatchQueuePtr underlyingQueue;
  platform::DispatchQueuePtr serializationQueue;
  EventMonitorPtr eventMonitor;
  std::shared_ptr<RequestInterceptor> interceptor;
  std::weak_ptr<RequestDelegate> delegate;
};

class Request : public std::enable_shared_from_this<Request> {
 public:
  enum class State { initialized, resumed, suspended, cancelled, finished };
  enum class ResponseDisposition { allow, cancel };

  using ProgressHandler = std::function<void(const ProgressPtr&)>;
  struct ProgressHandlerEntry {
    ProgressHandler handler;
    platform::DispatchQueuePtr queue;
  };
  struct URLRequestHandlerEntry {
    platform::DispatchQueuePtr queue;
    std::function<void(const platform::URLRequest&)> handler;
  };
  struct TaskHandlerEntry {
    platform::DispatchQueuePtr queue;
    std::function<void(const URLSessionTaskPtr&)> handler;
  };

  struct CURLHandlerEntry {
    platform::DispatchQueuePtr queue;
    std::function<void(const std::string&)> handler;
  };

  struct MutableState {
    State state = State::initialized;
    std::optional<ProgressHandlerEntry> uploadProgressHandler;
    std::optional<ProgressHandlerEntry> downloadProgressHandler;
    std::shared_ptr<RedirectHandler> redirectHandler;
    std::shared_ptr<CachedResponseHandler> cachedResponseHandler;
    std::optional<URLRequestHandlerEntry> urlRequestHandler;
    std::optional<TaskHandlerEntry> urlSessionTaskHandler;
    // Shared, so that running a step (again, on a retry or a restarted pass) never copies
    // what it captured.
    std::vector<std::shared_ptr<const std::function<void()>>> responseSerializers;
    std::vector<std::function<void()>> responseSerializerCompletions;
    bool responseSerializerProcessingFinished = false;
    std::optional<platform::URLCredential> credential;
    std::vector<platform::URLRequest> requests;
    std::vector<URLSessionTaskPtr> tasks;
    std::vector<TaskMetricsPtr> metrics;
    std::int64_t retryCount = 0;
    std::optional<HalyardError> error;
    bool isFinishing = false;
    std::vector<std::function<void()>> finishHandlers;
    // A serializer step failed and its pass waits on a retry decision or on the retry it
    // asked for. Whoever clears it owns the rest of the pass: the decision, or a cancel.
    bool serializerRetryPending = false;
    // A handler waiting for the first final URL request (or the failure to make one).
    std::optional<CURLHandlerEntry> cURLHandler;
  };

  explicit Request(RequestContext context);
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;
  virtual ~Request() = default;

  // ---- Notification names (posted by the request-notification monitor) ---------------------
  static const std::string& didResumeName();
  static const std::string& didSuspendName();
  static const std::string& didCancelName();
  static const std::string& didFinishName();
  static const std::string& didResumeTaskName();
  static const std::string& didSuspendTaskName();
  static const std::string& didCancelTaskName();
  static const std::string& didCompleteTaskName();

  // ---- Fixed fields ------------------------------------------------------------------------
  const platform::UUID& id() const { return id_; }
  const platform::DispatchQueuePtr& underlyingQueue() const { return underlyingQueue_; }
  const platform::DispatchQueuePtr& serializationQueue() const { return serializationQueue_; }
  const EventMonitorPtr& eventMonitor() const { return eventMonitor_; }
  const std::shared_ptr<RequestInterceptor>& interceptor() const { return interceptor_; }
  const ProgressPtr& uploadProgress() const { return uploadProgress_; }
  const ProgressPtr& downloadProgress() const { return downloadProgress_; }
  // The state lock and what it guards, for the steps that must act under it.
  Protected<MutableState>& mutableState() { return mutableState_; }

  // ---- State ---------------------------------------------------------------------------------
  virtual std::shared_ptr<RequestDelegate> delegate() const;
  virtual void setDelegate(std::weak_ptr<RequestDelegate> delegate);
  virtual State state() const;
  virtual bool isInitialized() const { return state() == State::initialized; }
  virtual bool isResumed() const { return state() == State::resumed; }
  virtual bool isSuspended() const { return state() == State::suspended; }
  virtual bool isCancelled() const { return state() == State::cancelled; }
  virtual bool isFinished() const { return state() == State::finished; }
  virtual std::optional<ProgressHandlerEntry> uploadProgressHandler() const;
  virtual void setUploadProgressHandlerEntry(std::optional<ProgressHandlerEntry> entry);
  virtual std::optional<ProgressHandlerEntry> downloadProgressHandler() const;
  virtual void setDownloadProgressHandlerEntry(std::optional<ProgressHandlerEntry> entry);
  virtual std::shared_ptr<RedirectHandler> redirectHandler() const;
  virtual std::shared_ptr<CachedResponseHandler> cachedResponseHandler() const;
  virtual std::optional<platform::URLCredential> credential() const;
  virtual void setCredential(std::optional<platform::URLCredential> credential);
  virtual std::vector<platform::URLRequest> requests() const;
  virtual std::optional<platform::URLRequest> firstRequest() const;
  virtual std::optional<platform::URLRequest> lastRequest() const;
  std::optional<platform::URLRequest> currentRequest() const { return lastRequest(); }
  // Each task's current URL request, as the task reports it; tasks without one are skipped.
  virtual std::vector<platform::URLRequest> taskRequests() const;
  // The response of the last task when it is an HTTP response.
  virtual platform::HTTPURLResponsePtr httpResponse() const;
  virtual std::vector<URLSessionTaskPtr> tasks() const;
  virtual URLSessionTaskPtr firstTask() const;
  virtual URLSessionTaskPtr lastTask() const;
  URLSessionTaskPtr currentTask() const { return lastTask(); }
  virtual std::vector<TaskMetricsPtr> gatheredMetrics() const;
  virtual TaskMetricsPtr firstMetrics() const;
  virtual TaskMetricsPtr lastMetrics() const;
  TaskMetricsPtr currentMetrics() const { return lastMetrics(); }
  virtual std::int64_t retryCount() const;
  virtual std::optional<HalyardError> error() const;
  virtual void setError(std::optional<HalyardError> error);

  // ---- Lifecycle hooks (on `underlyingQueue()`) ----------------------------------------------
  virtual void recordInitialURLRequest(const platform::URLRequest& request);
  virtual void recordURLRequestCreationFailure(const HalyardError& error);
  virtual void recordAdaptedURLRequest(const platform::URLRequest& initial,
                                       const platform::URLRequest& adapted);
  virtual void recordAdaptationFailure(const platform::URLRequest& request,
                                       const HalyardError& error);
  virtual void recordFinalURLRequest(const platform::URLRequest& request);
  virtual void recordTask(const URLSessionTaskPtr& task);
  virtual void notifyResumed();
  virtual void notifyTaskResumed(const URLSessionTaskPtr& task);
  virtual void notifySuspended();
  virtual void notifyTaskSuspended(const URLSessionTaskPtr& task);
  virtual void notifyCancelled();
  virtual void notifyTaskCancelled(const URLSessionTaskPtr& task);
  // Queues one of the three task notices above for `task`; called with the state lock held,
  // before the task is told to resume, suspend or cancel.
  void scheduleTaskNotification(void (Request::*notify)(const URLSessionTaskPtr&),
                                URLSessionTaskPtr task);
  virtual void recordMetrics(const TaskMetricsPtr& metrics);
  virtual void recordEarlyTaskFailure(const URLSessionTaskPtr& task, const HalyardError& error);
  virtual void recordTaskCompletion(const URLSessionTaskPtr& task,
                                    const std::optional<HalyardError>& error);
  virtual void prepareRetry();
  virtual void retryOrComplete(const std::optional<HalyardError>& error);
  virtual void complete(const std::optional<HalyardError>& error);

  // ---- Response-serializer pipeline ----------------------------------------------------------
  // Called with the state lock held (`state` is the locked value).
  virtual void appendResponseSerializer(MutableState& state, std::function<void()> step);
  virtual void runNextResponseSerializer();
  virtual void recordSerializerCompletion(std::function<void()> completion);
  virtual void runFinishHandlersAndCleanUp();
  // Runs `handler` once the request has finished its serializer pass (at once when it has).
  virtual void addFinishHandler(std::function<void()> handler);

  // ---- Attempt state -------------------------------------------------------------------------
  // Clears what one attempt gathered, before a retry.
  virtual void resetState();
  virtual void updateUploadProgress(std::int64_t bytesSent, std::int64_t bytesExpected);
  // The task of one attempt; every request kind makes its own.
  virtual URLSessionTaskPtr makeTask(const platform::URLRequest& request,
                                     const URLSessionPtr& session);
  // Hands the request to the performer's step for its kind. A kind that names none cannot be
  // performed, which is a programming error.
  virtual void performWith(RequestPerformer& performer);

  // ---- Public operations ---------------------------------------------------------------------
  virtual Request& cancel();
  virtual Request& suspend();
  virtual Request& resume();
  virtual Request& authenticateWithUserPassword(
      std::string user, std::string password,
      platform::URLCredential::Persistence persistence =
          platform::URLCredential::Persistence::forSession);
  virtual Request& authenticateWithCredential(platform::URLCredential credential);
  virtual Request& setDownloadProgressHandler(platform::DispatchQueuePtr queue,
                                              ProgressHandler handler);
  virtual Request& setUploadProgressHandler(platform::DispatchQueuePtr queue,
                                            ProgressHandler handler);
  // A request takes at most one of each; a second one is a programming error.
  virtual Request& setRedirectHandler(std::shared_ptr<RedirectHandler> handler);
  virtual Request& setCachedResponseHandler(std::shared_ptr<CachedResponseHandler> handler);
  virtual Request& setURLRequestCreationHandler(
      platform::DispatchQueuePtr queue, std::function<void(const platform::URLRequest&)> handler);
  virtual Request& setTaskCreationHandler(platform::DispatchQueuePtr queue,
                                          std::function<void(const URLSessionTaskPtr&)> handler);

  // ---- Texts ---------------------------------------------------------------------------------
  // The last URL request as a command line for the curl tool, with the credentials, cookies
  // and headers the session would add, each argument quoted for a POSIX shell.
  virtual std::string curlCommandText() const;
  // Hands the command text to `handler` on `queue`: at once when a URL request exists,
  // otherwise once the first one is final (a later registration replaces an earlier one).
  virtual Request& cURLDescriptionOnQueue(platform::DispatchQueuePtr queue,
                                          std::function<void(const std::string&)> handler);
  Request& cURLDescriptionOnUnderlyingQueue(std::function<void(const std::string&)> handler) {
    return cURLDescriptionOnQueue(underlyingQueue_, std::move(handler));
  }
  // Sends the stored handler its text; called with the state lock held.
  virtual void runPendingCURLHandler(MutableState& state);
  // "GET http://host/path (200)", or "No request created yet.".
  virtual std::string description() const;

  // The state moves of the public operations, for callers that already hold the state lock.
  void applyResume(MutableState& state);
  void applySuspend(MutableState& state);
  virtual void applyCancel(MutableState& state);
  // The finishing step a cancel owes a request whose task has completed (or never started):
  // the serializer pass, started afresh when a failed serializer left it waiting on a retry.
  void scheduleFinishAfterCancel(MutableState& state);

  // The acceptable content types of the default validation: the pieces of the last URL
  // request's "Accept" header split at commas, or "*/*" without one.
  std::vector<std::string> acceptableContentTypes() const;

  // ---- Event streams (include halyard/policies/request_streams.h) -----------------------------
  // Each takes over its handler slot for the iteration and ends when the request finishes.
  StreamOf<ProgressPtr> uploadProgressStream(
      platform::AsyncStream<ProgressPtr>::BufferingPolicy bufferingPolicy =
          platform::AsyncStream<ProgressPtr>::BufferingPolicy::unbounded());
  StreamOf<ProgressPtr> downloadProgressStream(
      platform::AsyncStream<ProgressPtr>::BufferingPolicy bufferingPolicy =
          platform::AsyncStream<ProgressPtr>::BufferingPolicy::unbounded());
  StreamOf<platform::URLRequest> urlRequestStream(
      platform::AsyncStream<platform::URLRequest>::BufferingPolicy bufferingPolicy =
          platform::AsyncStream<platform::URLRequest>::BufferingPolicy::unbounded());
  StreamOf<URLSessionTaskPtr> urlSessionTaskStream(
      platform::AsyncStream<URLSessionTaskPtr>::BufferingPolicy bufferingPolicy =
          platform::AsyncStream<URLSessionTaskPtr>::BufferingPolicy::unbounded());
  StreamOf<std::string> cURLDescriptionStream(
      platform::AsyncStream<std::string>::BufferingPolicy bufferingPolicy =
          platform::AsyncStream<std::string>::BufferingPolicy::unbounded());

  bool operator==(const Request& other) const { return id_ == other.id_; }

 protected:
  // Validator steps, run in order when a task completes.
  Protected<std::vector<std::function<void()>>>& validators() { return validators_; }
  void runUploadProgressHandler();

 private:
  // Runs every serializer step again from the first, for a pass a cancel took over.
  void restartFinishing();

  const platform::UUID id_;
  const platform::DispatchQueuePtr underlyingQueue_;
  const platform::DispatchQueuePtr serializationQueue_;
  const EventMonitorPtr eventMonitor_;
  const std::shared_ptr<RequestInterceptor> interceptor_;
  mutable Protected<std::weak_ptr<RequestDelegate>> delegate_;
  mutable Protected<MutableState> mutableState_;
  const ProgressPtr uploadProgress_;
  const ProgressPtr downloadProgress_;
  Protected<std::vector<std::function<void()>>> validators_;
};

using RequestPtr = std::shared_ptr<Request>;

// Requests are the same when their identifiers are.
struct RequestIdentityHash {
  std::size_t operator()(const RequestPtr& request) const {
    return std::hash<std::string>()(request->id().uuidString());
  }
};
struct RequestIdentityEqual {
  bool operator()(const RequestPtr& lhs, const RequestPtr& rhs) const {
    return lhs->id() == rhs->id();
  }
};

// The key under which request notifications carry their request.
const std::string& requestNotificationKey();
// The request a request notification carries, or nothing.
RequestPtr requestFromUserInfo(const platform::Notification& notification);

}  // namespace halyard

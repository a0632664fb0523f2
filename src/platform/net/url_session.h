#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/operation_queue.h"
#include "platform/foundation/date.h"
#include "platform/foundation/error.h"
#include "platform/net/http_url_response.h"
#include "platform/net/url_credential.h"
#include "platform/net/url_request.h"
#include "platform/net/url_session_task_metrics.h"

namespace platform {

class URLSession;
class URLSessionTask;
class URLSessionDataTask;

enum class HTTPCookieAcceptPolicy { always, never, onlyFromMainDocumentDomain };

// How a session behaves. A value: the session copies it when it is made.
struct URLSessionConfiguration {
  // Cookies kept in memory for the session's life; the shared credential storage.
  static URLSessionConfiguration defaultConfiguration();
  // Like the default, but never shares state with other sessions (its own credential storage).
  static URLSessionConfiguration ephemeral();

  // Set only for background transfers, which this platform does not have; sessions refuse it.
  std::optional<std::string> identifier;
  // Fields added to every request that does not already carry a field of that name.
  std::optional<HTTPHeaderFields> httpAdditionalHeaders;
  // Seconds a transfer may stay idle; the smaller of this and the request's own interval holds.
  double timeoutIntervalForRequest = 60.0;
  // Seconds a task may take from its first resume to its end, all told.
  double timeoutIntervalForResource = 7 * 24 * 3600.0;
  // Applies to requests that use the protocol's policy. There is no response cache: every
  // policy loads from the network, except that "cache only" finds nothing and fails.
  URLRequest::CachePolicy requestCachePolicy = URLRequest::CachePolicy::useProtocolCachePolicy;
  // Whether requests carry the session's cookies and keep the ones they receive (a request can
  // still opt out with its own `httpShouldHandleCookies`).
  bool httpShouldSetCookies = true;
  // `never` keeps no cookies at all; the other two keep what the responses set for their own
  // hosts.
  HTTPCookieAcceptPolicy httpCookieAcceptPolicy =
      HTTPCookieAcceptPolicy::onlyFromMainDocumentDomain;
  int httpMaximumConnectionsPerHost = 6;
  // When a connection cannot be made, tell the delegate (`taskIsWaitingForConnectivity`, once)
  // and keep trying every second until the resource time-out, instead of failing at once.
  bool waitsForConnectivity = false;
  // Where default credentials for protection spaces are looked up; none disables the lookup.
  std::shared_ptr<URLCredentialStorage> urlCredentialStorage;
};

// The receiver of a session's callbacks. Every callback runs on the session's delegate queue,
// one at a time, never inside a call the program made on a session or task. For one task they
// come in the order: created, (waiting for connectivity), response, data…, metrics, completion.
// Every method has a default that does nothing (or answers the default).
class URLSessionDelegate {
 public:
  using SessionPtr = std::shared_ptr<URLSession>;
  using TaskPtr = std::shared_ptr<URLSessionTask>;
  using DataTaskPtr = std::shared_ptr<URLSessionDataTask>;

  // The answer to a response: go on receiving the body, or end the task as cancelled.
  enum class ResponseDisposition : int { cancel = 0, allow = 1 };

  virtual ~URLSessionDelegate() = default;

  // Session level.
  // The session was invalidated and has ended every task; its last callback. The error is set
  // only when invalidation was caused by a failure.
  virtual void didBecomeInvalidWithError(const SessionPtr& session, ErrorPtr error);

  // Task level.
  virtual void didCreateTask(const SessionPtr& session, const TaskPtr& task);
  // The task cannot start for want of a network; it keeps waiting.
  virtual void taskIsWaitingForConnectivity(const SessionPtr& session, const TaskPtr& task);
  // Always exactly once per task, before `didCompleteWithError`, also for failed and cancelled
  // tasks.
  virtual void didFinishCollectingMetrics(const SessionPtr& session, const TaskPtr& task,
                                          const URLSessionTaskMetrics& metrics);
  // The task ended: `error` is absent on success, a `URLError` otherwise (cancelled: -999).
  virtual void didCompleteWithError(const SessionPtr& session, const TaskPtr& task, ErrorPtr error);

  // Data-task level.
  // The response head arrived (after any redirects that were followed). No body is delivered
  // until `completionHandler` is called, from any thread, at any time; `allow` goes on,
  // `cancel` ends the task as cancelled. The default allows. A handler dropped without being
  // called counts as `cancel`, so a forgotten answer cannot stall a task forever.
  virtual void didReceiveResponse(const SessionPtr& session, const DataTaskPtr& task,
                                  const URLResponsePtr& response,
                                  std::function<void(ResponseDisposition)> completionHandler);
  // One piece of the body, decoded (gzip, deflate and br content encodings are undone).
  virtual void didReceiveData(const SessionPtr& session, const DataTaskPtr& task,
                              const Bytes& data);
};

namespace net_detail {
class SessionCore;
struct TaskShared;
}  // namespace net_detail

// One transfer. Created suspended by a session; `resume` starts it. Every method is
// thread-safe and returns at once; callbacks go to the session's delegate.
class URLSessionTask : public std::enable_shared_from_this<URLSessionTask> {
 public:
  enum class State : int { running = 0, suspended = 1, canceling = 2, completed = 3 };
  enum class Kind { data, upload, download, stream, webSocket };

  virtual ~URLSessionTask();

  Kind kind() const { return kind_; }
  // Unique within its session, counting from 1 in creation order.
  std::uint64_t taskIdentifier() const { return identifier_; }
  const std::optional<URLRequest>& originalRequest() const { return originalRequest_; }
  // The request as it goes out now: the original until a redirect was followed.
  std::optional<URLRequest> currentRequest() const;
  // The response head, once it arrived.
  URLResponsePtr response() const;
  State state() const;
  // The error the task completed with, once completed.
  ErrorPtr error() const;

  std::int64_t countOfBytesReceived() const;
  std::int64_t countOfBytesExpectedToReceive() const;  // -1 when unknown
  std::int64_t countOfBytesSent() const;
  std::int64_t countOfBytesExpectedToSend() const;

  std::string taskDescription() const;
  void setTaskDescription(std::string description);

  // Starts or continues the transfer. Nothing once canceling or completed.
  void resume();
  // Holds the transfer (no bytes move) until `resume`. Nothing once canceling or completed.
  void suspend();
  // Ends the task: it completes with `URLError::Code::cancelled`, whether it ran, was
  // suspended or never started. Nothing once canceling or completed.
  void cancel();

 protected:
  URLSessionTask(Kind kind, std::uint64_t identifier, URLRequest request,
                 std::shared_ptr<net_detail::SessionCore> core);

 private:
  friend class net_detail::SessionCore;
  friend class URLSession;
  const Kind kind_;
  const std::uint64_t identifier_;
  const std::optional<URLRequest> originalRequest_;
  std::shared_ptr<net_detail::SessionCore> core_;
  std::shared_ptr<net_detail::TaskShared> shared_;
  const Date createdAt_;
};

class URLSessionDataTask : public URLSessionTask {
 private:
  friend class URLSession;
  using URLSessionTask::URLSessionTask;
};

// A session of URL loading over libcurl: one I/O thread owning a multi handle, woken when a
// task changes; every delegate callback runs on the delegate queue.
//
// A session keeps its delegate until it is invalidated. While a task is running, the task
// keeps the session alive; a session dropped with no running task ends its I/O thread.
class URLSession : public std::enable_shared_from_this<URLSession> {
 public:
  // With no delegate queue, the session makes a serial one of its own. A configuration with
  // an identifier stops the program (there are no background sessions here).
  static std::shared_ptr<URLSession> make(URLSessionConfiguration configuration,
                                          std::shared_ptr<URLSessionDelegate> delegate = nullptr,
                                          std::shared_ptr<OperationQueue> delegateQueue = nullptr);
  ~URLSession();
  URLSession(const URLSession&) = delete;
  URLSession& operator=(const URLSession&) = delete;

  const URLSessionConfiguration& configuration() const;
  // Absent once the session is invalidated and has told it so.
  std::shared_ptr<URLSessionDelegate> delegate() const;
  const std::shared_ptr<OperationQueue>& delegateQueue() const;
  std::string sessionDescription() const;
  void setSessionDescription(std::string description);

  // A new suspended data task. On an invalidated session the task completes at once with
  // `URLError::Code::cancelled` when resumed (it never reaches the network).
  std::shared_ptr<URLSessionDataTask> dataTask(URLRequest request);
  std::shared_ptr<URLSessionDataTask> dataTask(URL url);

  // Refuses new tasks; running ones finish; then the delegate hears
  // `didBecomeInvalidWithError` with no error and is released.
  void finishTasksAndInvalidate();
  // Refuses new tasks and cancels every task, then invalidates as above.
  void invalidateAndCancel();
  // Every task that has not completed yet, in creation order, handed to `completion` on the
  // delegate queue.
  void getAllTasks(std::function<void(std::vector<std::shared_ptr<URLSessionTask>>)> completion);

 private:
  URLSession() = default;
  std::shared_ptr<net_detail::SessionCore> core_;
  mutable std::mutex descriptionMutex_;
  std::string description_;
};

}  // namespace platform

#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/dispatch/operation_queue.h"
#include "platform/foundation/date.h"
#include "platform/foundation/error.h"
#include "platform/foundation/input_stream.h"
#include "platform/net/cached_url_response.h"
#include "platform/net/http_cookie_storage.h"
#include "platform/net/http_url_response.h"
#include "platform/net/url_cache.h"
#include "platform/net/url_credential.h"
#include "platform/net/url_request.h"
#include "platform/net/url_session_task_metrics.h"

namespace platform {

class URLSession;
class URLSessionTask;
class URLSessionDataTask;
class URLSessionUploadTask;
class URLSessionDownloadTask;
class URLSessionWebSocketTask;

// Why a web socket closed, as carried by a close frame. Any other value passes through
// unchanged.
enum class URLSessionWebSocketCloseCode : std::int32_t {
  invalid = 0,
  normalClosure = 1000,
  goingAway = 1001,
  protocolError = 1002,
  unsupportedData = 1003,
  noStatusReceived = 1005,
  abnormalClosure = 1006,
  invalidFramePayloadData = 1007,
  policyViolation = 1008,
  messageTooBig = 1009,
  mandatoryExtensionMissing = 1010,
  internalServerError = 1011,
  tlsHandshakeFailure = 1015,
};

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
  // Applies to requests that use the protocol's policy. Only data tasks with a GET use the
  // cache: `useProtocolCachePolicy` serves a fresh stored response and revalidates a stale one
  // that has a validator; `reloadIgnoringLocalCacheData` always loads (and may store);
  // `returnCacheDataElseLoad` takes a stored response whatever its age, else loads;
  // `returnCacheDataDontLoad` takes one, else fails with `resourceUnavailable`.
  URLRequest::CachePolicy requestCachePolicy = URLRequest::CachePolicy::useProtocolCachePolicy;
  // Where responses are kept: `URLCache::shared()` for the default configuration, a
  // memory-only cache of its own for an ephemeral one. None: nothing is kept or served.
  std::shared_ptr<URLCache> urlCache;
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
  // The most body bytes a task other than a download may receive, counted as they arrive and
  // after any content decoding; a declared length above it fails the task before its body.
  // Passing it ends the task with `dataLengthExceedsMaximum`. Such a body is handed over in
  // memory, and a small compressed answer may decode to gigabytes, so it is bounded by default
  // (256 MiB); 0: no bound.
  static constexpr std::int64_t defaultMaximumBodyBytes = std::int64_t{256} << 20;
  std::int64_t maximumBodyBytes = defaultMaximumBodyBytes;
  // The same for a download task, whose body goes to a file, and for a data task whose body is
  // streamed on (`URLSessionDataTask::setStreamsBody`). 0, the default: no bound.
  std::int64_t maximumDownloadBytes = 0;
  std::int64_t maximumStreamedBodyBytes = 0;
  // A transfer that moves fewer than `minimumBytesPerSecond` for `lowSpeedSeconds` seconds in
  // a row fails with `timedOut`, however busy it keeps the connection. 0: no bound.
  std::int64_t minimumBytesPerSecond = 0;
  long lowSpeedSeconds = 0;
  // Where the cookies are kept: shared by every session of the default configuration, one of
  // its own for an ephemeral one. Without one, a session keeps cookies for its own life.
  std::shared_ptr<HTTPCookieStorage> httpCookieStorage;
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
  using DownloadTaskPtr = std::shared_ptr<URLSessionDownloadTask>;
  using WebSocketTaskPtr = std::shared_ptr<URLSessionWebSocketTask>;

  // The answer to a response: go on receiving the body, or end the task as cancelled.
  enum class ResponseDisposition : int { cancel = 0, allow = 1 };
  // The answer to an authentication challenge.
  enum class AuthChallengeDisposition : int {
    useCredential = 0,
    performDefaultHandling = 1,
    cancelAuthenticationChallenge = 2,
    rejectProtectionSpace = 3,
  };
  using ChallengePtr = std::shared_ptr<const URLAuthenticationChallenge>;
  using ChallengeHandler =
      std::function<void(AuthChallengeDisposition, std::optional<URLCredential>)>;

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
  // A server asks for proof (HTTP authentication, a client certificate) or shows its
  // certificates for a decision (server trust; the handshake of every new TLS connection, never
  // of a reused one). The task waits for `completionHandler`, which may be called from any
  // thread; the wait also ends when the task is cancelled, the session ends or the request
  // times out. A handler dropped unanswered counts as cancel. The default performs default
  // handling.
  //
  // Server trust: a server-trust credential accepts the connection; default handling and
  // rejection evaluate the chain afresh with the system anchors and the host (a refusal fails
  // the task with `serverCertificateHasBadDate`, `serverCertificateNotYetValid`,
  // `serverCertificateHasUnknownRoot` or `serverCertificateUntrusted`); cancel fails the task
  // with `cancelled`. Client certificate: an identity credential is sent, default handling
  // sends none; a handshake that then fails ends with `clientCertificateRequired` (none sent)
  // or `clientCertificateRejected`. A credential of another kind than the challenge asks for
  // counts as none.
  //
  // HTTP authentication (a 401 with "WWW-Authenticate"; Digest, Basic, NTLM and Negotiate, in
  // that order of preference): a user and password sends the request again in this task with
  // that scheme (a streamed body that was read fails it with `requestBodyStreamExhausted`);
  // another 401 raises the next challenge with the failure count raised. Default handling
  // uses the credential storage's default for the space, else the URL's user information,
  // else delivers the 401 (and after a failure always delivers it). Rejection moves on to the
  // next scheme offered, else delivers the 401; cancel fails the task with `cancelled`. No
  // credential is sent before a server asks for one, nor to the target of a redirect.
  virtual void didReceiveChallenge(const SessionPtr& session, const TaskPtr& task,
                                   const ChallengePtr& challenge,
                                   ChallengeHandler completionHandler);
  // A redirect is about to be followed: a 301, 302, 303, 307 or 308 whose "Location" resolves
  // to an http or https URL. `newRequest` is what would be loaded next: 301 and 302 turn a POST
  // into a GET, 303 turns every method but HEAD into one (dropping the body and its
  // "Content-Type", "Content-Length" and "Content-Encoding"); 307 and 308 keep method and body.
  // A redirect to another origin drops "Authorization", "Proxy-Authorization" and "Cookie"
  // (the cookie store adds the new host's own cookies). The handler's request is loaded next in
  // this task; none (or a handler dropped unanswered) makes the redirect response and its body
  // the task's response. The default follows. Without a delegate redirects are followed, but
  // never from https to http. The 17th redirect of a task fails it with
  // `httpTooManyRedirects`.
  virtual void willPerformHTTPRedirection(
      const SessionPtr& session, const TaskPtr& task, const HTTPURLResponsePtr& response,
      const URLRequest& newRequest,
      std::function<void(std::optional<URLRequest>)> completionHandler);
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
  // A data task's response is about to be stored in the session's URL cache, after the last
  // piece of its body and before its metrics: what the handler gives back is stored (none, or a
  // response that is not allowed to be stored, stores nothing; so does a handler dropped
  // unanswered). The default stores the proposal.
  virtual void willCacheResponse(const SessionPtr& session, const DataTaskPtr& task,
                                 const CachedURLResponsePtr& proposedResponse,
                                 std::function<void(CachedURLResponsePtr)> completionHandler);
  // One piece of the body, decoded (gzip, deflate and br content encodings are undone).
  virtual void didReceiveData(const SessionPtr& session, const DataTaskPtr& task,
                              const Bytes& data);
  // The same piece, given to the delegate to keep: one that holds on to the bytes takes them
  // instead of copying them. The default calls `didReceiveData`.
  virtual void didReceiveOwnedData(const SessionPtr& session, const DataTaskPtr& task,
                                   Bytes&& data);

  // Upload level.
  // Body bytes went out: in this step, so far, and in all (-1 when the length is not known,
  // as for a streamed body). The last report comes before the response.
  virtual void didSendBodyData(const SessionPtr& session, const TaskPtr& task,
                               std::int64_t bytesSent, std::int64_t totalBytesSent,
                               std::int64_t totalBytesExpectedToSend);
  // A task with a streamed body wants its body stream before it starts. Hand over a stream
  // that has not been opened yet; none, or one already opened, fails the task with
  // `URLError::Code::requestBodyStreamExhausted`. The default hands over none.
  virtual void needNewBodyStream(const SessionPtr& session, const TaskPtr& task,
                                 std::function<void(InputStreamPtr)> completionHandler);

  // Download level. A download task writes the body to a private temporary file.
  // Bytes went into the file: in this step, in all, and expected in all (-1 when unknown).
  // For a continued download the totals count the part written before.
  virtual void didWriteData(const SessionPtr& session, const DownloadTaskPtr& task,
                            std::int64_t bytesWritten, std::int64_t totalBytesWritten,
                            std::int64_t totalBytesExpectedToWrite);
  // A task made from resume data learnt how the server answered: the file goes on at
  // `fileOffset` (0 when the server sent the whole entity again).
  virtual void didResumeAtOffset(const SessionPtr& session, const DownloadTaskPtr& task,
                                 std::int64_t fileOffset, std::int64_t expectedTotalBytes);
  // The transfer ended well, whatever the status code: the body is in the file at `location`.
  // The file is removed when this returns unless it was moved away meanwhile. Comes before
  // the metrics and the completion.
  virtual void didFinishDownloadingToURL(const SessionPtr& session, const DownloadTaskPtr& task,
                                         const URL& location);

  // Web-socket level. For one task the order is: created, open, then the completions of
  // sends, receives and pings as the events happened, then close (only when the server sent a
  // close frame), metrics, completion.
  // The upgrade was accepted; `protocol` is the subprotocol the server chose, if any.
  virtual void didOpenWithProtocol(const SessionPtr& session, const WebSocketTaskPtr& task,
                                   std::optional<std::string> protocol);
  // The server sent a close frame: its code (`noStatusReceived` when it carried none) and
  // reason, if any.
  virtual void didCloseWithCode(const SessionPtr& session, const WebSocketTaskPtr& task,
                                URLSessionWebSocketCloseCode closeCode,
                                std::optional<Bytes> reason);
};

namespace net_detail {
class SessionLoop;
class TaskCommands;
struct TaskInternals;
struct TaskShared;
// Turns, over every session of the process, in which an I/O thread's wait ran out although
// work for it (a command, or a handshake's answer) had been handed over without a wake-up, the
// thread being expected to see it: wake-ups that were lost.
std::uint64_t lostWakeUps();
struct TaskSource;
class WebSocketConnection;
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

  // Resuming, suspending and cancelling a task that already completed does nothing.

 protected:
  URLSessionTask(Kind kind, std::uint64_t identifier, URLRequest request,
                 std::shared_ptr<net_detail::TaskCommands> engine,
                 std::shared_ptr<const net_detail::TaskSource> source = nullptr);

 private:
  friend struct net_detail::TaskInternals;
  friend class URLSession;
  friend class URLSessionDownloadTask;
  friend class URLSessionDataTask;
  friend class URLSessionWebSocketTask;
  const Kind kind_;
  const std::uint64_t identifier_;
  const std::optional<URLRequest> originalRequest_;
  // The engine that runs the task, as far as the task may reach it.
  std::shared_ptr<net_detail::TaskCommands> engine_;
  std::shared_ptr<net_detail::TaskShared> shared_;
  // The body of an upload, or the resume record of a continued download.
  const std::shared_ptr<const net_detail::TaskSource> source_;
  const Date createdAt_;
};

class URLSessionDataTask : public URLSessionTask {
 public:
  // Flow control for a reader that cannot keep up: while at least one hold is in place the
  // body is not read from the connection, so the server is pushed back by TCP. Holds nest and
  // are independent of `suspend`: bytes move only while the task is neither suspended nor held.
  void holdReceiving();
  void releaseReceiving();

  // A body the delegate passes on as it arrives rather than keeps, as a stream's reader does:
  // the in-memory bound (`maximumBodyBytes`) does not apply to it, `maximumStreamedBodyBytes`
  // does. Set before the task resumes.
  void setStreamsBody(bool streams) { streamsBody_ = streams; }
  bool streamsBody() const { return streamsBody_; }

 protected:
  friend class URLSession;
  using URLSessionTask::URLSessionTask;

 private:
  std::atomic<bool> streamsBody_ = false;
};

// A data task whose request body comes from bytes, a file or a stream. Bodies of known length
// go out with "Content-Length", streamed ones chunked (unless the request states its length).
// A streamed body is read once: when it would have to be sent again (a redirect that keeps the
// body, a replay after authentication), the task fails with
// `URLError::Code::requestBodyStreamExhausted` rather than send it short.
class URLSessionUploadTask : public URLSessionDataTask {
 private:
  friend class URLSession;
  using URLSessionDataTask::URLSessionDataTask;
};

// A task that writes the response body to a private temporary file (made with mkstemp in the
// file manager's temporary directory) and hands it over through `didFinishDownloadingToURL`.
//
// A download that fails after the server named a validator (a strong entity tag or a
// modification date) for a full or partial body carries resume data on its error
// (`URLError::resumeData`); `cancelByProducingResumeData` makes some on purpose. A task made
// from resume data asks for the rest with "Range" and "If-Range": a 206 answer is appended
// to the partial file, any other starts the file again.
class URLSessionDownloadTask : public URLSessionTask {
 public:
  // Cancels the task and hands `completionHandler` the resume data, or none when the
  // download cannot be continued (no validator yet, already completed). The handler is always
  // called, exactly once, never before this returns, on a thread of the session; for a task
  // that was running it runs before the task's completion is delivered.
  void cancelByProducingResumeData(std::function<void(std::optional<Bytes>)> completionHandler);

 private:
  friend class URLSession;
  using URLSessionTask::URLSessionTask;
};

// A web socket (RFC 6455, HTTP/1.1 upgrade) over a connection libcurl opens: ws maps to http,
// wss to https, with the same TLS set-up and trust evaluation as data tasks. `response()` is
// the answer to the upgrade: the 101, or the refusal.
//
// Every method is thread-safe and returns at once; every completion handler runs exactly
// once, on the session's delegate queue, never inside the call that passed it. Sends,
// receives and pings asked for before the socket opens wait, and run in order once it opens;
// they fail when the upgrade fails.
class URLSessionWebSocketTask : public URLSessionTask {
 public:
  using CloseCode = URLSessionWebSocketCloseCode;

  // One whole message: text (UTF-8) or bytes.
  struct Message {
    Message(std::string text) : value(std::move(text)) {}  // NOLINT: a text is a message
    Message(Bytes data) : value(std::move(data)) {}        // NOLINT: bytes are a message
    bool isText() const { return std::holds_alternative<std::string>(value); }
    // Preconditions: `isText()`, or not, in turn.
    const std::string& text() const { return std::get<std::string>(value); }
    const Bytes& data() const { return std::get<Bytes>(value); }
    bool operator==(const Message&) const = default;

    std::variant<std::string, Bytes> value;
  };

  ~URLSessionWebSocketTask() override;

  // The largest message accepted, in bytes, summed over its fragments (default 1,048,576). A
  // larger one closes the socket with `messageTooBig` and fails the receive with
  // `dataLengthExceedsMaximum`. Also bounds what is kept while no receive waits: beyond it the
  // socket is not read, so the server is pushed back by TCP.
  std::int64_t maximumMessageSize() const;
  void setMaximumMessageSize(std::int64_t size);

  // Sends one message as one frame, after every earlier send. The handler gets no error once
  // all its bytes are in the socket. Text that is not UTF-8 fails and sends nothing.
  void send(Message message, std::function<void(ErrorPtr)> completionHandler);
  // The next message not yet handed to an earlier receive.
  void receive(std::function<void(std::expected<Message, ErrorPtr>)> completionHandler);
  // Sends a ping; the handler runs once, on its pong or a later one, or with an error when
  // the socket ends first.
  void sendPing(std::function<void(ErrorPtr)> pongReceiveHandler);

  // Sends a close frame with `closeCode` and `reason`, reads (dropping data) until the
  // server's close frame or 2 seconds, then completes with `URLError::Code::cancelled`. A
  // code that may not go on the wire (0, 1005, 1006, 1015, anything outside 1000-1003,
  // 1007-1014 and 3000-4999) sends a close frame without status; a reason goes only with a
  // status, cut to 123 bytes at a character boundary, and only when it is UTF-8. The plain
  // `cancel()` closes with `goingAway`.
  using URLSessionTask::cancel;
  void cancel(CloseCode closeCode, std::optional<Bytes> reason);

  // What the server's close frame carried: `invalid` and none until one arrived.
  CloseCode closeCode() const;
  std::optional<Bytes> closeReason() const;

 private:
  friend class URLSession;
  friend struct net_detail::TaskInternals;
  URLSessionWebSocketTask(std::uint64_t identifier, URLRequest request,
                          std::shared_ptr<net_detail::TaskCommands> engine);
  const std::shared_ptr<net_detail::WebSocketConnection> connection_;
};

// A session of URL loading over libcurl: an I/O thread owning a multi handle, woken when a
// task changes, and a second one for a session with more tasks at once than one thread
// carries well; every delegate callback runs on the delegate queue.
//
// A session keeps its delegate until it is invalidated. While a task is running, the task
// keeps the session alive; a session dropped with no running task ends its I/O threads.
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

  // A new suspended data task. On an invalidated session every new task is completed from
  // the start with `URLError::Code::cancelled`: it never reaches the network and tells the
  // delegate nothing, so its creator must finish whatever waits on it.
  std::shared_ptr<URLSessionDataTask> dataTask(URLRequest request);
  std::shared_ptr<URLSessionDataTask> dataTask(URL url);

  // New suspended upload tasks: the body is `bodyData`, the file at `fileURL` (read when the
  // task starts: a file that cannot be read fails it), or a stream the delegate hands over
  // through `needNewBodyStream`. The request's own body is not sent.
  std::shared_ptr<URLSessionUploadTask> uploadTask(URLRequest request, Bytes bodyData);
  std::shared_ptr<URLSessionUploadTask> uploadTask(URLRequest request, const URL& fileURL);
  std::shared_ptr<URLSessionUploadTask> uploadTaskWithStreamedRequest(URLRequest request);

  // New suspended download tasks. Resume data that cannot be read gives a task that fails
  // with `URLError::Code::cannotDecodeRawData` when resumed.
  std::shared_ptr<URLSessionDownloadTask> downloadTask(URLRequest request);
  std::shared_ptr<URLSessionDownloadTask> downloadTask(URL url);
  std::shared_ptr<URLSessionDownloadTask> downloadTaskWithResumeData(const Bytes& resumeData);

  // A new suspended web-socket task for a ws or wss URL (http and https are taken as they
  // are). The request's time-out bounds the connection and the upgrade; an open socket has
  // no idle time-out. Redirects are not followed.
  std::shared_ptr<URLSessionWebSocketTask> webSocketTask(URLRequest request);

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
  // Registers a new task and tells the delegate, or leaves it completed as cancelled when the
  // session no longer takes tasks.
  void adopt(const std::shared_ptr<URLSessionTask>& task);
  std::shared_ptr<net_detail::SessionLoop> loop_;
};

}  // namespace platform

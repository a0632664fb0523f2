#include "platform/net/url_session.h"

#include "platform/net/web_socket_connection.h"

#include "platform/net/curl_easy_pool.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/async.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <set>
#include <thread>
#include <utility>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/dispatch/spin_wait.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/log.h"
#include "platform/foundation/process_info.h"
#include "platform/net/download_resume_data.h"
#include "platform/net/http_auth_challenge.h"
#include "platform/net/tls_challenge.h"
#include "platform/net/url_error.h"
#include "platform/net/url_session_cache.h"

namespace platform {

// --- Delegate defaults ----------------------------------------------------------------------

void URLSessionDelegate::didBecomeInvalidWithError(const SessionPtr&, ErrorPtr) {}
void URLSessionDelegate::didCreateTask(const SessionPtr&, const TaskPtr&) {}
void URLSessionDelegate::taskIsWaitingForConnectivity(const SessionPtr&, const TaskPtr&) {}
void URLSessionDelegate::didFinishCollectingMetrics(const SessionPtr&, const TaskPtr&,
                                                    const URLSessionTaskMetrics&) {}
void URLSessionDelegate::didCompleteWithError(const SessionPtr&, const TaskPtr&, ErrorPtr) {}
void URLSessionDelegate::willCacheResponse(
    const SessionPtr&, const DataTaskPtr&, const CachedURLResponsePtr& proposedResponse,
    std::function<void(CachedURLResponsePtr)> completionHandler) {
  completionHandler(proposedResponse);
}
void URLSessionDelegate::willPerformHTTPRedirection(
    const SessionPtr&, const TaskPtr&, const HTTPURLResponsePtr&, const URLRequest& newRequest,
    std::function<void(std::optional<URLRequest>)> completionHandler) {
  completionHandler(newRequest);
}
void URLSessionDelegate::didReceiveChallenge(const SessionPtr&, const TaskPtr&, const ChallengePtr&,
                                             ChallengeHandler completionHandler) {
  completionHandler(AuthChallengeDisposition::performDefaultHandling, std::nullopt);
}
void URLSessionDelegate::didReceiveResponse(
    const SessionPtr&, const DataTaskPtr&, const URLResponsePtr&,
    std::function<void(ResponseDisposition)> completionHandler) {
  completionHandler(ResponseDisposition::allow);
}
void URLSessionDelegate::didReceiveData(const SessionPtr&, const DataTaskPtr&, const Bytes&) {}
void URLSessionDelegate::didSendBodyData(const SessionPtr&, const TaskPtr&, std::int64_t,
                                         std::int64_t, std::int64_t) {}
void URLSessionDelegate::needNewBodyStream(const SessionPtr&, const TaskPtr&,
                                           std::function<void(InputStreamPtr)> completionHandler) {
  completionHandler(nullptr);
}
void URLSessionDelegate::didWriteData(const SessionPtr&, const DownloadTaskPtr&, std::int64_t,
                                      std::int64_t, std::int64_t) {}
void URLSessionDelegate::didResumeAtOffset(const SessionPtr&, const DownloadTaskPtr&, std::int64_t,
                                           std::int64_t) {}
void URLSessionDelegate::didFinishDownloadingToURL(const SessionPtr&, const DownloadTaskPtr&,
                                                   const URL&) {}

// --- Configuration --------------------------------------------------------------------------

void URLSessionDelegate::didOpenWithProtocol(const SessionPtr&, const WebSocketTaskPtr&,
                                             std::optional<std::string>) {}
void URLSessionDelegate::didCloseWithCode(const SessionPtr&, const WebSocketTaskPtr&,
                                          URLSessionWebSocketCloseCode, std::optional<Bytes>) {}

URLSessionConfiguration URLSessionConfiguration::defaultConfiguration() {
  URLSessionConfiguration configuration;
  configuration.urlCredentialStorage = URLCredentialStorage::shared();
  configuration.httpCookieStorage = HTTPCookieStorage::shared();
  configuration.urlCache = URLCache::shared();
  return configuration;
}

URLSessionConfiguration URLSessionConfiguration::ephemeral() {
  URLSessionConfiguration configuration;
  configuration.urlCredentialStorage = std::make_shared<URLCredentialStorage>();
  configuration.httpCookieStorage = std::make_shared<HTTPCookieStorage>();
  configuration.urlCache = std::make_shared<URLCache>(4 * 1024 * 1024, 0);
  return configuration;
}

namespace net_detail {

// What a task and the I/O thread share about it.
struct TaskShared {
  mutable std::mutex mutex;
  URLSessionTask::State state = URLSessionTask::State::suspended;
  std::optional<URLRequest> currentRequest;
  URLResponsePtr response;
  ErrorPtr error;
  std::int64_t bytesReceived = 0;
  std::int64_t bytesExpectedToReceive = 0;
  std::int64_t bytesSent = 0;
  std::int64_t bytesExpectedToSend = 0;
  std::string description;
  std::atomic<bool> countedGone{false};  // no longer counted among its loop's tasks
  // Receive holds of a data task; read by the write callback without the lock.
  std::atomic<int> receiveHolds{0};
  // Body bytes handed to the delegate queue and not yet taken by the delegate; past a bound
  // the transfer holds itself (one hold, `deliveryHold`) until the delegate caught up.
  std::atomic<std::int64_t> undeliveredBytes{0};
  std::atomic<bool> deliveryHold{false};
  // The challenge the task's handshake waits on, so a cancel from any thread ends the wait
  // even while the I/O thread itself is the one waiting.
  std::weak_ptr<ChallengeWait> challengeWait;
};

// What a task starts from besides its request: an upload's body, or a continued download's
// record.
struct TaskSource {
  enum class Body { none, data, file, stream };
  Body body = Body::none;
  Bytes data;
  std::string filePath;
  std::optional<DownloadResumeRecord> resume;
  bool unreadableResumeData = false;
};

namespace {

// Temporary files of downloads: made here, and the only files a continuation may reopen.
constexpr const char* kDownloadFilePrefix = "download-";

// A handler that is called exactly once: explicitly, or with an empty value when the last
// holder lets it go unanswered (a dropped command of a stopped session, a delegate that
// forgot).
template <class Value>
class OnceHandler {
 public:
  explicit OnceHandler(std::function<void(Value)> handler) : handler_(std::move(handler)) {}
  ~OnceHandler() { call(Value()); }
  OnceHandler(const OnceHandler&) = delete;
  OnceHandler& operator=(const OnceHandler&) = delete;
  void call(Value value) {
    if (called_.exchange(true)) return;
    if (handler_) handler_(std::move(value));
  }

 private:
  std::function<void(Value)> handler_;
  std::atomic<bool> called_{false};
};

constexpr long kMaximumRedirects = 16;

void ensureCurlInitialized() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string lowercase(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

bool hasLineBreakOrNul(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// A header name must be a token: no separators, no controls.
bool isValidHeaderName(std::string_view name) {
  // Which bytes a token may hold, looked up rather than searched for per byte.
  static constexpr auto kTokenBytes = [] {
    std::array<bool, 256> allowed{};
    for (int c = 0x21; c < 0x7F; ++c)
      allowed[c] = true;
    for (char c : std::string_view("()<>@,;:\\\"/[]?={}"))
      allowed[static_cast<unsigned char>(c)] = false;
    return allowed;
  }();
  if (name.empty()) return false;
  for (char c : name) {
    if (!kTokenBytes[static_cast<unsigned char>(c)]) return false;
  }
  return true;
}

// Asks the delegate whether `proposal` is stored, under `request`. It is stored from whatever
// thread answers; a handler dropped unanswered stores nothing.
void askToCache(URLSessionDelegate& delegate, const std::shared_ptr<URLSession>& session,
                const std::shared_ptr<URLSessionDataTask>& task,
                const CachedURLResponsePtr& proposal, std::shared_ptr<URLCache> cache,
                URLRequest request) {
  auto once = std::make_shared<OnceHandler<CachedURLResponsePtr>>(
      [cache = std::move(cache), request = std::move(request)](CachedURLResponsePtr answer) {
        TransferCache::store(cache, answer, request);
      });
  std::function<void(CachedURLResponsePtr)> handler = [once](CachedURLResponsePtr answer) {
    once->call(std::move(answer));
  };
  once.reset();
  delegate.willCacheResponse(session, task, proposal, std::move(handler));
}

std::optional<Date> dateAfter(Date start, curl_off_t microseconds) {
  if (microseconds <= 0) return std::nullopt;
  return start + static_cast<double>(microseconds) / 1e6;
}

}  // namespace

class SessionCore;
struct DispositionAnswer;

// Memory of ended transfers, kept by the thread that freed it for the next one it makes. A
// transfer is a few kilobytes, past the allocator's fast path, and one comes and goes with
// every request. Only the memory is reused: each transfer is constructed afresh in it. Under
// AddressSanitizer every block is freed, so a late use of an ended transfer is still caught.
class TransferMemory {
 public:
  static void* take(std::size_t size) {
    auto& spare = local().spare_;
    if (kKeep > 0 && !spare.empty()) {
      void* block = spare.back();
      spare.pop_back();
      return block;
    }
    return ::operator new(size);
  }
  static void give(void* block) {
    auto& spare = local().spare_;
    if (spare.size() < kKeep) {
      spare.push_back(block);
      return;
    }
    ::operator delete(block);
  }

 private:
#if defined(__SANITIZE_ADDRESS__)
  static constexpr std::size_t kKeep = 0;
#else
  // As many as a busy session runs at once, about.
  static constexpr std::size_t kKeep = 64;
#endif
  static TransferMemory& local() {
    thread_local TransferMemory memory;
    return memory;
  }
  TransferMemory() { spare_.reserve(kKeep); }
  ~TransferMemory() {
    for (void* block : spare_)
      ::operator delete(block);
  }
  std::vector<void*> spare_;
};

// One transfer, owned by the I/O thread from the task's first resume (or cancel) to its end.
struct Transfer final {
  // Every block is sizeof(Transfer): nothing derives from it.
  static void* operator new(std::size_t size) { return TransferMemory::take(size); }
  static void operator delete(void* block) { TransferMemory::give(block); }

  SessionCore* core = nullptr;
  std::shared_ptr<URLSessionTask> task;
  std::shared_ptr<TaskShared> shared;
  std::shared_ptr<URLSession> keepAlive;  // set while the transfer may still call the delegate
  CURL* easy = nullptr;
  // Where `easy` goes back when the transfer is gone; none: it is freed (a web socket keeps
  // its connection on it, a download's carries a large buffer).
  CurlEasyPool* easyPool = nullptr;
  curl_slist* headers = nullptr;
  Bytes body;
  char errorBuffer[CURL_ERROR_SIZE] = {};
  bool inMulti = false;

  // The request body of an upload read through callbacks (a file or a stream).
  TaskSource::Body bodyKind = TaskSource::Body::none;
  int bodyFd = -1;
  InputStreamPtr bodyStream;
  bool awaitingBodyStream = false;
  std::int64_t bodyOffset = 0;   // bytes handed to libcurl from the body
  std::int64_t bodyLength = -1;  // -1: not known
  bool bodyExhausted = false;    // the body would have had to be sent again
  ErrorPtr bodyError;            // reading the body failed
  std::int64_t reportedSent = 0;

  // A download's temporary file.
  bool isDownload = false;
  int downloadFd = -1;
  std::string downloadPath;
  bool keepDownloadFile = false;     // handed on (to the delegate, or to resume data)
  std::int64_t downloadWritten = 0;  // bytes in the file
  std::int64_t resumeOffset = 0;     // asked for with Range
  std::int64_t downloadExpected = -1;
  int downloadStatus = 0;
  std::optional<std::string> entityTag;
  std::optional<std::string> lastModified;
  bool decodedBody = false;  // a content encoding was undone: offsets are not the server's
  ErrorPtr downloadError;
  std::int64_t bodyReceived = 0;  // decoded body bytes, for the configuration's bound
  ErrorPtr limitError;            // the body passed the configuration's bound

  // The task's current request is no longer its original one (a redirect, a replay).
  bool requestReplaced = false;

  // Response head being read.
  bool inHead = false;
  int headStatus = 0;
  std::string headVersion;
  std::vector<std::string> headLines;
  Date headStart;

  bool responseDelivered = false;
  bool awaitingDisposition = false;
  bool completionPending = false;  // the transfer ended while a disposition was awaited
  // The handler's side of the awaited disposition, which may hold the task's end prepared.
  std::shared_ptr<DispositionAnswer> answer;
  // The start of the body, taken while the disposition was awaited and handed on once the
  // task may receive: a small answer needs no pause of the connection meanwhile.
  Bytes heldBody;
  // The transfer failed after `heldBody`; the failure follows the body, as it would have.
  std::optional<CURLcode> failureAfterHeldBody;
  bool suspended = false;
  bool cancelled = false;

  // TLS authentication of the connection being made.
  std::shared_ptr<ChallengeWait> challengeWait;    // while a handshake waits for an answer
  std::optional<URLError::Code> handshakeFailure;  // why the handshake was refused
  bool clientCertificateAsked = false;
  bool clientCertificateSent = false;

  // Redirects, followed here rather than by libcurl so the delegate decides each one.
  int redirectCount = 0;
  std::optional<std::string> acceptEncoding;  // as the request states it
  bool awaitingRedirect = false;              // the delegate decides; the body waits
  bool redirectTransferDone = false;          // the redirect's own transfer ended meanwhile
  std::optional<URLRequest> nextRequest;      // to load once the redirect's body is drained
  bool nextDropsBody = false;
  bool tooManyRedirects = false;
  // HTTP authentication: a 401 waits for its challenge's answer as a redirect waits for the
  // delegate (`awaitingRedirect`), and a replay goes out as `nextRequest`.
  HTTPAuthentication auth;

  // Timing.
  double startUptime = 0;         // first resume, for the resource time-out
  double lastActivityUptime = 0;  // idle time-out; 0 until the transfer became active
  curl_off_t lastDownloaded = 0, lastUploaded = 0;
  double retryAtUptime = 0;  // waiting for connectivity: when to try again
  bool toldWaiting = false;
  Date fetchStart;
  std::vector<URLSessionTaskTransactionMetrics> transactions;
  // A web socket's upgrade and frames, once its connection is asked for.
  std::shared_ptr<WebSocketConnection> webSocket;

  TransferCache cache;  // lookups in the session's URL cache and what goes back into it

  ~Transfer() {
    if (easy) {
      if (easyPool && !inMulti) {
        easyPool->release(easy);
      } else {
        curl_easy_cleanup(easy);
      }
    }
    if (headers) curl_slist_free_all(headers);
    if (bodyFd >= 0) ::close(bodyFd);
    if (bodyStream) bodyStream->close();
    releaseDownloadFile();
  }

  // Closes the download's file and removes it unless it was handed on.
  void releaseDownloadFile() {
    if (downloadFd >= 0) ::close(downloadFd);
    downloadFd = -1;
    if (!keepDownloadFile && !downloadPath.empty()) ::unlink(downloadPath.c_str());
    downloadPath.clear();
  }
};

class SessionCore;

// The answer to a data task's response, which may come from any thread, or never (the handler's
// hold on it, dropped unanswered, cancels).
//
// When the whole response has arrived by the time the delegate is asked, which is the common
// case for a small answer, the I/O thread prepares the task's end here: its body and its
// metrics. An `allow` given during the delegate's own call then ends the task on the delegate
// queue as soon as the call returns, with the same calls in the same order the I/O thread
// would have made, instead of a round trip through the I/O thread and back. The prepared end
// goes to whichever side claims it first: the delegate queue, or the I/O thread (an answer
// given later or elsewhere, a cancel).
struct DispositionAnswer {
  enum End : int {
    unprepared,  // the response is still arriving
    prepared,    // `body` and `metrics` are written, and nobody claimed them yet
    claimedByLoop,
    endedOnDelegateQueue,
  };

  std::weak_ptr<SessionCore> core;
  std::shared_ptr<TaskShared> shared;
  std::uint64_t identifier = 0;
  std::atomic<bool> answered{false};
  std::atomic<int> end{unprepared};
  // Written by the I/O thread before `end` becomes `prepared`; then the claimer's.
  Bytes body;
  CachedURLResponsePtr proposal;  // to be stored, when the delegate agrees
  std::shared_ptr<URLCache> cache;
  URLRequest storeRequest;
  URLSessionTaskMetrics metrics;
  // Delegate queue only: `allow` was given during the delegate's call, and waits for it to return.
  bool allowedDuringCall = false;

  // The answer whose delegate call runs on this thread now.
  static thread_local DispositionAnswer* tlsInCall;
  // Marks the delegate's call on this thread for its length.
  class InCall {
   public:
    explicit InCall(DispositionAnswer& answer) : outer_(std::exchange(tlsInCall, &answer)) {}
    ~InCall() { tlsInCall = outer_; }
    InCall(const InCall&) = delete;
    InCall& operator=(const InCall&) = delete;

   private:
    DispositionAnswer* outer_;
  };

  void give(URLSessionDelegate::ResponseDisposition disposition);
  // Sends the answer to the I/O thread.
  void post(URLSessionDelegate::ResponseDisposition disposition);

  // What the delegate's handler holds: dropped unanswered, it cancels, so that a forgotten
  // answer cannot stall the task.
  struct HandlerHold {
    std::shared_ptr<DispositionAnswer> answer;
    ~HandlerHold() { answer->give(URLSessionDelegate::ResponseDisposition::cancel); }
  };
};

// What the I/O loops of one session share: the delegate, the tasks not yet completed and their
// identifiers, invalidation, and libcurl's shares (cookies, DNS), which lock for the loops.
//
// A session starts with one loop. One thread can carry only so many transfers at once, so
// when the first loop has as many tasks as it may open connections to a host, a second loop
// starts on a thread of its own and new tasks go to whichever loop has fewer; each loop may
// open half of the configuration's connections per host, so together they never open more.
// A task stays on its loop, so its callbacks keep their order; a session that never has more
// than a few tasks at once never starts the second thread.
class SessionHub {
 public:
  SessionHub(URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
             std::shared_ptr<OperationQueue> delegateQueue);
  ~SessionHub();
  SessionHub(const SessionHub&) = delete;
  SessionHub& operator=(const SessionHub&) = delete;

  // Starts the first loop.
  void start(const std::shared_ptr<SessionHub>& self, const std::shared_ptr<URLSession>& owner);
  // Stops every loop; running transfers end without further callbacks.
  void shutdown();
  // The loop a new task runs on, counted as that loop's until the task ends.
  std::shared_ptr<SessionCore> coreForNewTask();
  const std::shared_ptr<SessionCore>& firstCore() const { return first_; }

  const URLSessionConfiguration& configuration() const { return configuration_; }
  const std::shared_ptr<OperationQueue>& delegateQueue() const { return delegateQueue_; }

  std::shared_ptr<URLSessionDelegate> delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
  }

  // Drops the session's hold on its delegate. The delegate may go with it, and with it
  // unanswered handlers that call back into the session, so no lock is held meanwhile.
  void releaseDelegate() {
    std::shared_ptr<URLSessionDelegate> released;
    std::lock_guard lock(mutex_);
    released.swap(delegate_);
    hasDelegate_.store(false, std::memory_order_relaxed);
  }

  // Whether there is a delegate to ask, without taking the lock or a reference: for checks
  // that need no delegate in hand (one released meanwhile gets no calls either way).
  bool hasDelegate() const { return hasDelegate_.load(std::memory_order_relaxed); }

  std::uint64_t nextTaskIdentifier() {
    std::lock_guard lock(mutex_);
    return ++lastTaskIdentifier_;
  }

  // Registers a new task; false when the session no longer takes tasks.
  bool registerTask(const std::shared_ptr<URLSessionTask>& task) {
    std::lock_guard lock(mutex_);
    if (invalidated_) return false;
    tasks_.emplace(task->taskIdentifier(), task);
    return true;
  }

  void taskCompleted(std::uint64_t identifier) {
    std::lock_guard lock(mutex_);
    tasks_.erase(identifier);
  }

  std::vector<std::shared_ptr<URLSessionTask>> liveTasks() {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<URLSessionTask>> result;
    for (auto it = tasks_.begin(); it != tasks_.end();) {
      if (auto task = it->second.lock()) {
        result.push_back(std::move(task));
        ++it;
      } else {
        it = tasks_.erase(it);
      }
    }
    return result;
  }

  bool hasLiveTasks() {
    std::lock_guard lock(mutex_);
    for (auto it = tasks_.begin(); it != tasks_.end();) {
      if (!it->second.expired()) return true;
      it = tasks_.erase(it);
    }
    return false;
  }

  void invalidate(bool cancelTasks);
  bool invalidating() const { return invalidateWhenDone_.load(std::memory_order_acquire); }
  // Every task has ended after an invalidation: the delegate hears of it once, after every
  // loop has handed on what its tasks said before.
  void invalidateOnce();

  CURLSH* cookieShare() const { return share_; }
  CURLSH* plainShare() const { return plainShare_; }

 private:
  using ShareLocks = std::array<std::mutex, CURL_LOCK_DATA_LAST>;
  // A share of its own, its locks in `locks`.
  static CURLSH* makeShare(ShareLocks& locks, bool cookies);
  std::vector<std::shared_ptr<SessionCore>> cores() const {
    std::lock_guard lock(mutex_);
    return cores_;
  }

  const URLSessionConfiguration configuration_;
  const std::shared_ptr<OperationQueue> delegateQueue_;
  std::weak_ptr<URLSession> owner_;
  std::weak_ptr<SessionHub> self_;

  mutable std::mutex mutex_;
  std::shared_ptr<URLSessionDelegate> delegate_;  // guarded by mutex_
  std::atomic<bool> hasDelegate_;                 // delegate_ is set; written under mutex_
  bool invalidated_ = false;
  std::uint64_t lastTaskIdentifier_ = 0;
  std::map<std::uint64_t, std::weak_ptr<URLSessionTask>> tasks_;  // not yet completed
  std::vector<std::shared_ptr<SessionCore>> cores_;  // until shutdown
  std::shared_ptr<SessionCore> first_;
  bool stopped_ = false;
  std::atomic<bool> invalidateWhenDone_{false};
  std::atomic<bool> invalidationStarted_{false};

  // How many loops the session may run, the connections per host each may open, and how
  // many tasks the first loop takes before a second one starts.
  std::size_t maximumCores_ = 1;
  int spillAt_ = 0;

  CURLSH* share_ = nullptr;  // cookies and DNS: the cookie storage's, or the session's own
  bool ownsShare_ = false;
  CURLSH* plainShare_ = nullptr;  // DNS only, for requests that handle no cookies
  // libcurl takes one of these while a loop reads or changes what a share holds.
  std::array<std::mutex, CURL_LOCK_DATA_LAST> shareLocks_;
  std::array<std::mutex, CURL_LOCK_DATA_LAST> plainShareLocks_;
};

class SessionCore : public std::enable_shared_from_this<SessionCore> {
 public:
  SessionCore(std::shared_ptr<SessionHub> hub, int hostConnections)
      : hub_(std::move(hub)),
        configuration_(hub_->configuration()),
        delegateQueue_(hub_->delegateQueue()),
        hostConnections_(hostConnections),
        share_(hub_->cookieShare()),
        plainShare_(hub_->plainShare()) {}

  ~SessionCore() {
    easyPool_.clear();
    if (multi_) curl_multi_cleanup(multi_);
  }

  void start(const std::shared_ptr<URLSession>& owner) {
    owner_ = owner;
    multi_ = curl_multi_init();
    if (hostConnections_ > 0) {
      curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(hostConnections_));
    }
    auto self = shared_from_this();
    thread_ = std::thread([self] { self->run(); });
  }

  // Stops the I/O thread; running transfers end without further callbacks.
  void shutdown() {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      stopping_ = true;
    }
    endChallengeWaits();
    curl_multi_wakeup(multi_);
    if (std::this_thread::get_id() == thread_.get_id()) {
      thread_.detach();  // the loop ends after this turn, holding its own reference
    } else if (thread_.joinable()) {
      thread_.join();
    }
  }

  // Runs `command` on the I/O thread. False when the session has stopped.
  bool post(std::function<void()> command) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return false;
      commands_.push_back(std::move(command));
      commandsQueued_.store(true, std::memory_order_release);
      // A thread that is not waiting takes the command on its next turn, and one wake-up
      // already on its way covers every command posted until the thread runs.
      if (!polling_ || wakePending_) return true;
      wakePending_ = true;
    }
    curl_multi_wakeup(multi_);
    return true;
  }

  const URLSessionConfiguration& configuration() const { return configuration_; }
  const std::shared_ptr<OperationQueue>& delegateQueue() const { return delegateQueue_; }

  const std::shared_ptr<SessionHub>& hub() const { return hub_; }
  std::shared_ptr<URLSessionDelegate> delegate() const { return hub_->delegate(); }
  bool hasDelegate() const { return hub_->hasDelegate(); }
  std::shared_ptr<URLSession> owner() const { return owner_.lock(); }

  // The share of the session's tasks this loop takes: the connections per host it may open.
  long weight() const { return std::max(hostConnections_, 1); }
  // Tasks on this loop that have not ended: how busy it is, for placing new tasks.
  std::atomic<int>& assignedTasks() { return assignedTasks_; }
  // The task ended, or went away without ending: it no longer counts.
  void taskGone(TaskShared& shared) {
    if (!shared.countedGone.exchange(true)) assignedTasks_.fetch_sub(1, std::memory_order_relaxed);
  }

  // Looks again whether an invalidation can be told, after everything before it.
  void checkInvalidation();
  // Tells the delegate that the session became invalid (the last of the loops does).
  void deliverInvalidation();

  // Delivers `call` on the delegate queue, when there is a delegate and a session to name;
  // false when it was not queued.
  //
  // Calls made on the I/O thread are gathered over the loop's turn and handed to the delegate
  // queue a few at a time when the turn ends (`flushDeliveries`), in the order they were
  // made: fewer queue hand-offs than one per callback, and the delegate and the session are
  // looked up once per turn. Calls from other threads go at once.
  template <class Call>
  bool deliver(Call&& call, std::shared_ptr<URLSession> session = nullptr) {
    if (tlsLoopCore == this) {
      if (!turnDeliveries_.ready && !prepareTurnDeliveries(std::move(session))) return false;
      turnDeliveries_.calls.emplace_back(
          [call = std::forward<Call>(call)](URLSessionDelegate* delegate,
                                            const std::shared_ptr<URLSession>& session) mutable {
            call(*delegate, session);
          });
      return true;
    }
    auto delegate = this->delegate();
    if (!delegate) return false;
    if (!session) session = owner_.lock();
    if (!session) return false;
    delegateQueue_->addOperation(
        [delegate = std::move(delegate), session = std::move(session),
         call = std::forward<Call>(call)]() mutable { call(*delegate, session); });
    return true;
  }

  // Runs `call` on the delegate queue whether or not there is a delegate, after whatever was
  // delivered before it.
  void onDelegateQueue(std::function<void()> call) {
    if (tlsLoopCore != this) {
      delegateQueue_->addOperation(std::move(call));
      return;
    }
    turnDeliveries_.calls.emplace_back(
        [call = std::move(call)](URLSessionDelegate*, const std::shared_ptr<URLSession>&) {
          call();
        });
  }

  // --- Commands, run on the I/O thread ---

  // `session` was taken by the caller of `resume`, so a session dropped right after resuming
  // a task still lives until the task ends.
  void resumeTask(const std::shared_ptr<URLSessionTask>& task,
                  std::shared_ptr<URLSession> session) {
    auto& transfer = transfers_[task->taskIdentifier()];
    if (!transfer) {
      transfer = std::make_unique<Transfer>();
      transfer->core = this;
      transfer->task = task;
      transfer->shared = task->shared_;
      transfer->keepAlive = std::move(session);
      if (task->kind_ == URLSessionTask::Kind::webSocket) {
        setUpWebSocket(*transfer);
      } else {
        setUp(*transfer);
      }
      return;
    }
    if (transfer->cancelled) return;
    transfer->suspended = false;
    if (transfer->webSocket) transfer->webSocket->setSuspended(false);
    transfer->keepAlive = std::move(session);
    if (transfer->lastActivityUptime > 0) touch(*transfer);
    updatePause(*transfer);
  }

  // A receive hold changed: pause or continue reading. A release also restarts the idle
  // clock, since the time spent held was not the server's.
  void updateReceiveHold(std::uint64_t identifier) {
    auto it = transfers_.find(identifier);
    if (it == transfers_.end() || it->second->cancelled) return;
    Transfer& transfer = *it->second;
    if (transfer.lastActivityUptime > 0) touch(transfer);
    updatePause(transfer);
  }

  void suspendTask(std::uint64_t identifier) {
    auto it = transfers_.find(identifier);
    if (it == transfers_.end() || it->second->cancelled) return;
    Transfer& transfer = *it->second;
    transfer.suspended = true;
    if (transfer.webSocket) transfer.webSocket->setSuspended(true);
    updatePause(transfer);
  }

  void cancelTask(const std::shared_ptr<URLSessionTask>& task, int closeCode = 1001,
                  std::optional<Bytes> closeReason = std::nullopt) {
    auto it = transfers_.find(task->taskIdentifier());
    if (it == transfers_.end()) {
      // Ended on its own between the cancel and this command: it reported already.
      {
        std::lock_guard lock(task->shared_->mutex);
        if (task->shared_->state == URLSessionTask::State::completed) return;
      }
      // Never started: it still reports metrics and completion.
      auto transfer = std::make_unique<Transfer>();
      transfer->core = this;
      transfer->task = task;
      transfer->shared = task->shared_;
      transfer->keepAlive = owner_.lock();
      transfer->fetchStart = Date::now();
      Transfer* raw = transfer.get();
      transfers_.emplace(task->taskIdentifier(), std::move(transfer));
      finish(*raw, makeError(URLError(URLError::Code::cancelled, task->originalRequest_
                                                                     ? task->originalRequest_->url
                                                                     : std::nullopt)));
      return;
    }
    Transfer& transfer = *it->second;
    if (transfer.cancelled) return;
    // An open web socket closes with a handshake and completes by itself.
    if (transfer.webSocket && transfer.webSocket->cancel(closeCode, std::move(closeReason))) return;
    if (transfer.challengeWait) {
      // The handshake ends by itself once its wait is over; the transfer then fails as
      // cancelled. Taking the connection away mid-handshake would strand it.
      transfer.challengeWait->end(URLError::Code::cancelled);
      return;
    }
    transfer.cancelled = true;
    finish(transfer, cancelledError(transfer));
  }

  // On the delegate queue, right after the delegate's call that allowed the response: ends
  // the task with its prepared end; false when there is none, or the task was suspended,
  // cancelled or held since (the answer then goes to the I/O thread as any other).
  bool endOnDelegateQueue(DispositionAnswer& answer, URLSessionDelegate& delegate,
                          const std::shared_ptr<URLSession>& session,
                          const std::shared_ptr<URLSessionDataTask>& task);

  void answerDisposition(std::uint64_t identifier,
                         URLSessionDelegate::ResponseDisposition disposition) {
    auto it = transfers_.find(identifier);
    if (it == transfers_.end()) return;
    Transfer& transfer = *it->second;
    if (!transfer.awaitingDisposition || transfer.cancelled) return;
    if (!reclaimEnd(transfer)) return;  // ended on the delegate queue
    transfer.awaitingDisposition = false;
    if (disposition == URLSessionDelegate::ResponseDisposition::cancel) {
      transfer.cancelled = true;
      {
        std::lock_guard lock(transfer.shared->mutex);
        if (transfer.shared->state != URLSessionTask::State::completed) {
          transfer.shared->state = URLSessionTask::State::canceling;
        }
      }
      finish(transfer, cancelledError(transfer));
      return;
    }
    if (transfer.completionPending && transfer.heldBody.empty()) {
      finish(transfer, nullptr);
      return;
    }
    if (transfer.lastActivityUptime > 0) touch(transfer);
    updatePause(transfer);  // hands on a held body, and its end
  }

  // The delegate's answer to `needNewBodyStream`: the transfer starts, or fails when there
  // is no stream or one that was read before (it cannot be sent again whole).
  void provideBodyStream(std::uint64_t identifier, InputStreamPtr stream) {
    auto it = transfers_.find(identifier);
    if (it == transfers_.end()) return;
    Transfer& transfer = *it->second;
    if (!transfer.awaitingBodyStream || transfer.cancelled) return;
    transfer.awaitingBodyStream = false;
    if (!stream || stream->streamStatus() != StreamStatus::notOpen) {
      finish(transfer,
             makeError(URLError(
                 URLError::Code::requestBodyStreamExhausted, currentURL(transfer),
                 stream ? "the body stream was read before" : "no body stream was provided")));
      return;
    }
    stream->open();
    if (stream->streamStatus() == StreamStatus::error) {
      transfer.bodyStream = std::move(stream);
      finish(transfer, bodyReadError(transfer));
      return;
    }
    transfer.bodyStream = std::move(stream);
    if (curl_multi_add_handle(multi_, transfer.easy) != CURLM_OK) {
      finish(transfer, makeError(URLError(URLError::Code::unknown, currentURL(transfer),
                                          "the transfer could not be started")));
      return;
    }
    transfer.inMulti = true;
    updatePause(transfer);
  }

  void cancelTaskProducingResumeData(
      const std::shared_ptr<URLSessionTask>& task,
      const std::shared_ptr<OnceHandler<std::optional<Bytes>>>& handler) {
    auto it = transfers_.find(task->taskIdentifier());
    if (it == transfers_.end() || it->second->cancelled) {
      // Never started, or already ending: nothing to continue from.
      cancelTask(task);
      handler->call(std::nullopt);
      return;
    }
    Transfer& transfer = *it->second;
    transfer.cancelled = true;
    removeFromMulti(transfer);
    auto resumeData = resumeDataFor(transfer);
    // The handler hears of the data before the task's completion goes out, so whoever keeps
    // it has it when the completion arrives.
    handler->call(resumeData);
    auto error = URLError(URLError::Code::cancelled, currentURL(transfer));
    finish(transfer, makeError(error.withResumeData(std::move(resumeData))));
  }

 private:
  friend size_t headerCallback(char*, size_t, size_t, void*);
  friend size_t writeCallback(char*, size_t, size_t, void*);
  friend size_t receiveBody(Transfer*, const char*, size_t);
  friend size_t readCallback(char*, size_t, size_t, void*);
  friend int seekCallback(void*, curl_off_t, int);
  friend int progressCallback(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
  friend int verifyCallback(X509_STORE_CTX*, void*);
  friend int clientCertificateCallback(SSL*, X509**, EVP_PKEY**);

  // TLS authentication, on the I/O thread inside a handshake.
  int verifyPeer(Transfer& transfer, X509_STORE_CTX* context);
  int provideClientCertificate(Transfer& transfer, SSL* ssl, X509** certificate, EVP_PKEY** key);
  // Raises `challenge` to the delegate and waits for the decision. False when there is no
  // delegate to ask.
  bool awaitChallenge(Transfer& transfer, const std::shared_ptr<ChallengeWait>& wait,
                      URLSessionDelegate::ChallengePtr challenge);
  // Ends every wait of a handshake (the session is stopping).
  void endChallengeWaits();
  struct Origin {
    std::string host;
    int port;
  };
  Origin tlsOrigin(Transfer& transfer);

  ErrorPtr cancelledError(const Transfer& transfer) {
    return makeError(URLError(URLError::Code::cancelled, currentURL(transfer)));
  }

  std::optional<URLRequest> currentRequestOf(const Transfer& transfer) {
    std::lock_guard lock(transfer.shared->mutex);
    return transfer.shared->currentRequest;
  }

  std::optional<URL> currentURL(const Transfer& transfer) {
    std::lock_guard lock(transfer.shared->mutex);
    if (transfer.shared->currentRequest) return transfer.shared->currentRequest->url;
    return std::nullopt;
  }

  // `URL::fromString(effective)`, remembered for the last URL asked for: a session usually
  // talks to the same few URLs, and parsing one costs more than the rest of a response head.
  std::optional<URL> parseEffectiveURL(std::string_view effective) {
    if (!lastEffectiveURL_ || effective != lastEffectiveText_) {
      lastEffectiveText_ = effective;
      lastEffectiveURL_ = URL::fromString(effective);
    }
    return *lastEffectiveURL_;
  }

  void run();
  void setUp(Transfer& transfer);
  void setUpWebSocket(Transfer& transfer);
  // The transfer's clocks start and `request` becomes its current one.
  void start(Transfer& transfer, const URLRequest& request);
  // The upload body's options; false when the task has already failed.
  bool setUpUploadBody(Transfer& transfer, const TaskSource& source, const URLRequest& request);
  // The download's file (new, or the partial one of a continuation) and the Range headers;
  // false when the task has already failed.
  bool setUpDownloadFile(Transfer& transfer, const TaskSource* source);
  bool createDownloadFile(Transfer& transfer);
  bool reopenPartialFile(Transfer& transfer, const DownloadResumeRecord& record);
  void onDownloadResponse(Transfer& transfer, const HTTPURLResponse& response);
  void reportSent(Transfer& transfer, curl_off_t uploaded);
  void askForBodyStream(Transfer& transfer);
  ErrorPtr bodyReadError(const Transfer& transfer);
  std::optional<Bytes> resumeDataFor(Transfer& transfer);
  // The failure a download ends with: `error`, carrying resume data when it can be continued.
  ErrorPtr downloadFailure(Transfer& transfer, const URLError& error);
  void finishDownload(Transfer& transfer);
  void onHeaderLine(Transfer& transfer, std::string_view line);
  void deliverResponse(Transfer& transfer);
  // The response has arrived whole while its disposition is awaited: the task's end is put
  // with the answer, for the delegate queue to take on an `allow` (see `DispositionAnswer`).
  void prepareEnd(Transfer& transfer);
  // Takes a prepared end back for this thread; false when the delegate queue ended the task.
  bool reclaimEnd(Transfer& transfer);
  // The task that `settleEnded` lets go of ended on the delegate queue.
  void settleEnded(std::uint64_t identifier);
  void onDone(Transfer& transfer, CURLcode result);
  // Answers the task with the response its cache lookup found.
  void serveFromCache(Transfer& transfer, const URLRequest& request);
  // At a successful end: the stored body a response stands for, and the proposal to store.
  void completeFromCache(Transfer& transfer);
  // At the end of a head: true when the response is a redirect this layer handles (followed,
  // refused as too many, or put to the delegate), so it is not delivered now.
  bool considerRedirect(Transfer& transfer, int status);
  void answerRedirect(std::uint64_t identifier, std::optional<URLRequest> request);
  // At the end of a 401 head: true when it is not delivered now (a challenge is raised, the
  // request goes out again, or libcurl's own handshake goes on).
  bool considerAuthentication(Transfer& transfer, int status);
  // The transfer ended with a 401 of libcurl's own handshake; false when it is delivered.
  bool settleAuthentication(Transfer& transfer);
  bool takeAuthenticationStep(Transfer& transfer, HTTPAuthentication::Step step);
  void raiseAuthentication(Transfer& transfer);
  void answerAuthentication(std::uint64_t identifier,
                            URLSessionDelegate::AuthChallengeDisposition disposition,
                            std::optional<URLCredential> credential);
  // Goes on with `nextRequest` in the same task, on the same easy handle.
  void loadNextRequest(Transfer& transfer);
  // The header list of `request`; false (with `problem` set) when a field cannot be sent.
  bool buildHeaders(Transfer& transfer, const URLRequest& request, bool isUpload,
                    std::string& problem);
  void checkTimers();
  double nextDeadline();
  // Marks `transfer` active now, for its idle time-out.
  void touch(Transfer& transfer);
  // A time-out may fall due at `uptime`: the loop looks at the transfers' timers again by then.
  void noteDeadline(double uptime) { timersDue_ = std::min(timersDue_, uptime); }
  double idleLimit(const Transfer& transfer) const;
  void updatePause(Transfer& transfer);
  // Hands on the body held for the disposition once the task may receive, then the end that
  // waited behind it; true when the transfer ended.
  bool handOnHeldBody(Transfer& transfer);
  void finish(Transfer& transfer, ErrorPtr error);
  // What the task's transactions took, up to `end`; the easy handle is still the transfer's.
  URLSessionTaskMetrics metricsOf(Transfer& transfer, Date end);
  void finishQuietly(Transfer& transfer);
  // An ended transfer leaves the loop's list; an invalidation waiting for it may now be told.
  using Transfers = std::map<std::uint64_t, std::unique_ptr<Transfer>>;
  void retire(Transfers::iterator it);
  void removeFromMulti(Transfer& transfer);
  // Spins briefly for a command or a ready socket; true when one came.
  bool spinForWork(std::vector<curl_waitfd>& waits);
  // The delegate and the session this turn's deliveries go to; false when there is none.
  bool prepareTurnDeliveries(std::shared_ptr<URLSession> session);
  // Hands this turn's deliveries to the delegate queue, a few per operation.
  void flushDeliveries();

  // The session whose I/O loop the calling thread runs, if any.
  static thread_local const SessionCore* tlsLoopCore;

  const std::shared_ptr<SessionHub> hub_;
  const URLSessionConfiguration& configuration_;  // the hub's
  const std::shared_ptr<OperationQueue> delegateQueue_;
  const int hostConnections_;  // connections per host this loop may open; 0: no bound
  std::weak_ptr<URLSession> owner_;
  std::atomic<int> assignedTasks_{0};

  mutable std::mutex mutex_;
  std::deque<std::function<void()>> commands_;
  std::deque<std::function<void()>> takenCommands_;  // I/O thread only: the turn's commands
  bool stopping_ = false;
  // The I/O thread is in (or about to enter) its wait, and whether a wake-up was sent since.
  bool polling_ = false;
  bool wakePending_ = false;
  std::atomic<bool> commandsQueued_{false};  // `commands_` is not empty, readable without the lock
  SpinBudget spinBudget_;                     // I/O thread only
  std::set<std::shared_ptr<ChallengeWait>> challengeWaits_;       // handshakes waiting

  std::thread thread_;
  CURLM* multi_ = nullptr;
  CURLSH* const share_;       // the hub's
  CURLSH* const plainShare_;  // the hub's

  // I/O thread only.
  // No transfer's time-out falls due before this uptime, so the loop need not walk the
  // transfers (which is linear in their number) until then. Every event that can bring a
  // deadline nearer notes it, and each walk sets it to the nearest one found.
  double timersDue_ = 0;
  // How many of `transfers_` are web sockets, which the loop services itself every turn; the
  // loop looks for them only when there are some.
  std::size_t webSocketTransfers_ = 0;
  // Before the transfers, so it outlives those that hand their handles back to it.
  CurlEasyPool easyPool_;
  std::string lastEffectiveText_;
  std::optional<std::optional<URL>> lastEffectiveURL_;
  Transfers transfers_;
  std::vector<std::unique_ptr<Transfer>> finished_;
  // Calls made during the current turn, not yet handed to the delegate queue. Those made by
  // `onDelegateQueue` do not look at the delegate, which may be missing.
  struct TurnDeliveries {
    bool ready = false;  // `delegate` and `session` were looked up this turn
    std::shared_ptr<URLSessionDelegate> delegate;
    std::shared_ptr<URLSession> session;
    std::vector<std::function<void(URLSessionDelegate*, const std::shared_ptr<URLSession>&)>>
        calls;
  };
  TurnDeliveries turnDeliveries_;
};

size_t headerCallback(char* data, size_t size, size_t count, void* context) {
  auto* transfer = static_cast<Transfer*>(context);
  auto* core = transfer->core;
  core->onHeaderLine(*transfer, std::string_view(data, size * count));
  if (transfer->lastActivityUptime > 0) core->touch(*transfer);
  return size * count;
}

// How far the delegate may fall behind a data task's body before the transfer waits for it.
constexpr std::int64_t kMaxUndeliveredBytes = 4 << 20;
// How much of a body is taken while the delegate decides on its response; beyond it the
// connection waits.
constexpr std::size_t kMaxHeldBodyBytes = 64 << 10;

size_t receiveBody(Transfer* transfer, const char* data, size_t length);

size_t writeCallback(char* data, size_t size, size_t count, void* context) {
  auto* transfer = static_cast<Transfer*>(context);
  auto* core = transfer->core;
  if (transfer->awaitingRedirect) return CURL_WRITEFUNC_PAUSE;
  // The body of a redirect that is followed (or refused) is nobody's.
  if (transfer->nextRequest || transfer->tooManyRedirects || transfer->auth.discardingBody()) {
    return size * count;
  }
  if (!transfer->responseDelivered) core->deliverResponse(*transfer);
  if (transfer->suspended || transfer->shared->receiveHolds.load() > 0) {
    return CURL_WRITEFUNC_PAUSE;
  }
  const size_t length = size * count;
  if (transfer->awaitingDisposition) {
    if (transfer->heldBody.size() + length > kMaxHeldBodyBytes) return CURL_WRITEFUNC_PAUSE;
    transfer->heldBody.insert(transfer->heldBody.end(), reinterpret_cast<const std::uint8_t*>(data),
                              reinterpret_cast<const std::uint8_t*>(data) + length);
    return length;
  }
  // A held body goes first (it normally went on when the task was allowed to receive).
  if (!transfer->heldBody.empty()) {
    const size_t held = transfer->heldBody.size();
    const size_t result =
        receiveBody(transfer, reinterpret_cast<const char*>(transfer->heldBody.data()), held);
    if (result != held) return result;
    transfer->heldBody.clear();
  }
  return receiveBody(transfer, data, length);
}

// Takes a piece of the body for the task, once it may receive: all of it, none (the transfer
// fails), or `CURL_WRITEFUNC_PAUSE` (the delegate is behind).
size_t receiveBody(Transfer* transfer, const char* data, size_t length) {
  auto* core = transfer->core;
  if (length == 0) return 0;
  // Counted before anything is kept: a small compressed answer may decode to gigabytes.
  const std::int64_t maximum = core->configuration_.maximumBodyBytes;
  transfer->bodyReceived += static_cast<std::int64_t>(length);
  if (maximum > 0 && transfer->bodyReceived > maximum) {
    transfer->limitError =
        makeError(URLError(URLError::Code::dataLengthExceedsMaximum, core->currentURL(*transfer),
                           "the body passed " + std::to_string(maximum) + " bytes"));
    return 0;
  }
  if (transfer->isDownload) {
    // Anything but all of it ends the transfer with a write error.
    if (transfer->downloadError || transfer->downloadFd < 0) return 0;
    for (size_t done = 0; done < length;) {
      const ssize_t written = ::write(transfer->downloadFd, data + done, length - done);
      if (written > 0) {
        done += static_cast<size_t>(written);
      } else if (written == 0 || errno != EINTR) {
        const int code = written == 0 ? ENOSPC : errno;
        transfer->downloadError =
            makeError(URLError(URLError::Code::cannotWriteToFile, core->currentURL(*transfer),
                               std::string("writing the download failed: ") + std::strerror(code)));
        return 0;
      }
    }
    const auto step = static_cast<std::int64_t>(length);
    transfer->downloadWritten += step;
    {
      std::lock_guard lock(transfer->shared->mutex);
      transfer->shared->bytesReceived += step;
    }
    core->touch(*transfer);
    auto task = std::static_pointer_cast<URLSessionDownloadTask>(transfer->task);
    const std::int64_t total = transfer->downloadWritten;
    const std::int64_t expected = transfer->downloadExpected;
    core->deliver(
        [task, step, total, expected](URLSessionDelegate& delegate,
                                      const std::shared_ptr<URLSession>& session) {
          delegate.didWriteData(session, task, step, total, expected);
        },
        transfer->keepAlive);
    return length;
  }
  // A delegate that falls behind pushes the server back instead of the body piling up on its
  // queue. The bytes are left with libcurl, which hands them over again once released.
  const auto& shared = transfer->shared;
  if (shared->undeliveredBytes.load() > kMaxUndeliveredBytes) {
    if (!shared->deliveryHold.exchange(true)) shared->receiveHolds.fetch_add(1);
    // The delegate may have caught up in between; then whoever clears the flag lifts the hold.
    if (shared->undeliveredBytes.load() > kMaxUndeliveredBytes / 2 ||
        !shared->deliveryHold.exchange(false)) {
      return CURL_WRITEFUNC_PAUSE;
    }
    shared->receiveHolds.fetch_sub(1);
  }
  {
    std::lock_guard lock(transfer->shared->mutex);
    transfer->shared->bytesReceived += static_cast<std::int64_t>(length);
  }
  transfer->cache.collect(data, length);
  shared->undeliveredBytes.fetch_add(std::int64_t(length));
  core->touch(*transfer);
  auto task = std::static_pointer_cast<URLSessionDataTask>(transfer->task);
  core->deliver(
      [task,
       chunk = Bytes(reinterpret_cast<const std::uint8_t*>(data),
                     reinterpret_cast<const std::uint8_t*>(data) + length),
       shared](URLSessionDelegate& delegate, const std::shared_ptr<URLSession>& session) {
        delegate.didReceiveData(session, task, chunk);
        const auto left = shared->undeliveredBytes.fetch_sub(std::int64_t(chunk.size())) -
                          std::int64_t(chunk.size());
        if (left <= kMaxUndeliveredBytes / 2 && shared->deliveryHold.exchange(false)) {
          task->releaseReceiving();
        }
      },
      transfer->keepAlive);
  return length;
}

size_t readCallback(char* buffer, size_t size, size_t count, void* context) {
  auto* transfer = static_cast<Transfer*>(context);
  const size_t capacity = size * count;
  if (transfer->bodyKind == TaskSource::Body::file) {
    while (true) {
      const ssize_t got = ::read(transfer->bodyFd, buffer, capacity);
      if (got >= 0) {
        transfer->bodyOffset += got;
        return static_cast<size_t>(got);
      }
      if (errno == EINTR) continue;
      transfer->bodyError = makeError(StreamError(errno, "reading the body file"));
      return CURL_READFUNC_ABORT;
    }
  }
  if (!transfer->bodyStream) return 0;
  const std::ptrdiff_t got =
      transfer->bodyStream->read(reinterpret_cast<std::uint8_t*>(buffer), capacity);
  if (got < 0) {
    transfer->bodyError = transfer->bodyStream->streamError();
    if (!transfer->bodyError) {
      transfer->bodyError = makeError(StreamError(EIO, "reading the body stream"));
    }
    return CURL_READFUNC_ABORT;
  }
  transfer->bodyOffset += got;
  return static_cast<size_t>(got);
}

// libcurl rewinds the body before it sends the request again (a redirect that keeps the body,
// a replay after authentication, a connection that died before the answer). A file can be
// read again; a stream only while nothing of it has been read.
int seekCallback(void* context, curl_off_t offset, int origin) {
  auto* transfer = static_cast<Transfer*>(context);
  if (origin != SEEK_SET) return CURL_SEEKFUNC_CANTSEEK;
  if (transfer->bodyKind == TaskSource::Body::file) {
    if (::lseek(transfer->bodyFd, static_cast<off_t>(offset), SEEK_SET) < 0) {
      return CURL_SEEKFUNC_FAIL;
    }
    transfer->bodyOffset = offset;
    return CURL_SEEKFUNC_OK;
  }
  if (offset == transfer->bodyOffset) return CURL_SEEKFUNC_OK;
  transfer->bodyExhausted = true;
  return CURL_SEEKFUNC_FAIL;
}

int progressCallback(void* context, curl_off_t, curl_off_t downloaded, curl_off_t,
                     curl_off_t uploaded) {
  auto* transfer = static_cast<Transfer*>(context);
  if (transfer->lastActivityUptime == 0 || downloaded != transfer->lastDownloaded ||
      uploaded != transfer->lastUploaded) {
    transfer->core->touch(*transfer);
  }
  if (uploaded != transfer->lastUploaded) transfer->core->reportSent(*transfer, uploaded);
  transfer->lastDownloaded = downloaded;
  transfer->lastUploaded = uploaded;
  return 0;
}

// ---- TLS authentication -------------------------------------------------------------------

// Handshakes that wait for the delegate run inside OpenSSL's asynchronous jobs, which libcurl
// resumes on its next turn: the verify callback pauses its job instead of holding the I/O
// thread, so the session's other transfers keep moving. (libcurl 7.88 does not honour
// OpenSSL's retry-verify, so that simpler road is closed.) ThreadSanitizer cannot follow the
// job's stack switches; that build waits on the I/O thread instead.
#if defined(__SANITIZE_THREAD__)
constexpr bool kPauseHandshakes = false;
#else
constexpr bool kPauseHandshakes = true;
#endif

int transferIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

int verifyCallback(X509_STORE_CTX* context, void* data) {
  auto* transfer = static_cast<Transfer*>(data);
  return transfer->core->verifyPeer(*transfer, context);
}

int clientCertificateCallback(SSL* ssl, X509** certificate, EVP_PKEY** key) {
  auto* transfer =
      static_cast<Transfer*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), transferIndex()));
  if (transfer == nullptr) return 0;
  return transfer->core->provideClientCertificate(*transfer, ssl, certificate, key);
}

// Only the handshake needs a job; reads and writes after it run plainly.
void handshakeInfoCallback(const SSL* ssl, int where, int) {
  if ((where & SSL_CB_HANDSHAKE_DONE) != 0) SSL_clear_mode(const_cast<SSL*>(ssl), SSL_MODE_ASYNC);
}

// libcurl makes a context for every new connection, for the easy handle that opens it.
CURLcode sslContextCallback(CURL*, void* sslContext, void* data) {
  auto* context = static_cast<SSL_CTX*>(sslContext);
  SSL_CTX_set_ex_data(context, transferIndex(), data);
  SSL_CTX_set_cert_verify_callback(context, &verifyCallback, data);
  SSL_CTX_set_client_cert_cb(context, &clientCertificateCallback);
  SSL_CTX_set_tlsext_status_type(context, TLSEXT_STATUSTYPE_ocsp);
  if (kPauseHandshakes) {
    SSL_CTX_set_mode(context, SSL_MODE_ASYNC);
    SSL_CTX_set_info_callback(context, &handshakeInfoCallback);
  }
  return CURLE_OK;
}

SessionCore::Origin SessionCore::tlsOrigin(Transfer& transfer) {
  char* effective = nullptr;
  curl_easy_getinfo(transfer.easy, CURLINFO_EFFECTIVE_URL, &effective);
  std::optional<URL> url = effective ? URL::fromString(effective) : std::nullopt;
  if (!url) url = currentURL(transfer);
  Origin origin{"", 443};
  if (url) {
    // Names are compared as DNS compares them, so a host spelled in capitals meets the same
    // rules as in lower case.
    origin.host = lowercase(url->host().value_or(""));
    origin.port = url->port().value_or(443);
  }
  return origin;
}

void SessionCore::endChallengeWaits() {
  std::set<std::shared_ptr<ChallengeWait>> waits;
  {
    std::lock_guard lock(mutex_);
    waits = challengeWaits_;
  }
  for (const auto& wait : waits)
    wait->end(URLError::Code::cancelled);
}

bool SessionCore::awaitChallenge(Transfer& transfer, const std::shared_ptr<ChallengeWait>& wait,
                                 URLSessionDelegate::ChallengePtr challenge) {
  auto delegate = this->delegate();
  auto session = transfer.keepAlive ? transfer.keepAlive : owner_.lock();
  if (!delegate || !session) return false;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) {
      wait->end(URLError::Code::cancelled);
      return true;
    }
    challengeWaits_.insert(wait);
  }
  transfer.challengeWait = wait;
  bool cancelling = false;
  {
    std::lock_guard lock(transfer.shared->mutex);
    transfer.shared->challengeWait = wait;
    cancelling = transfer.shared->state == URLSessionTask::State::canceling;
  }
  if (cancelling) wait->end(URLError::Code::cancelled);

  // Dropped unanswered, the handler cancels.
  struct Answer {
    std::shared_ptr<ChallengeWait> wait;
    ~Answer() {
      if (wait)
        wait->answer(URLSessionDelegate::AuthChallengeDisposition::cancelAuthenticationChallenge,
                     std::nullopt);
    }
  };
  auto answer = std::make_shared<Answer>();
  answer->wait = wait;
  auto task = transfer.task;
  deliver(
      [task, challenge, answer](URLSessionDelegate& delegate,
                                const std::shared_ptr<URLSession>& session) mutable {
        URLSessionDelegate::ChallengeHandler handler =
            [answer](URLSessionDelegate::AuthChallengeDisposition disposition,
                     std::optional<URLCredential> credential) {
              answer->wait->answer(disposition, std::move(credential));
            };
        answer.reset();  // from here only the handler holds the answer
        delegate.didReceiveChallenge(session, task, challenge, std::move(handler));
      },
      session);
  answer.reset();
  flushDeliveries();  // the answer is waited for below, within this turn

  const double idle = idleLimit(transfer);
  double deadline = systemUptime() + (idle > 0 ? idle : 365 * 24 * 3600.0);
  if (configuration_.timeoutIntervalForResource > 0) {
    deadline = std::min(deadline, transfer.startUptime + configuration_.timeoutIntervalForResource);
  }
  if (kPauseHandshakes && ASYNC_get_current_job() != nullptr) {
    while (!wait->decided()) {
      if (systemUptime() >= deadline) {
        wait->end(URLError::Code::timedOut);
        break;
      }
      ASYNC_pause_job();
    }
  } else if (!wait->waitUntil(deadline)) {
    wait->end(URLError::Code::timedOut);
  }

  transfer.challengeWait.reset();
  {
    std::lock_guard lock(transfer.shared->mutex);
    transfer.shared->challengeWait.reset();
  }
  {
    std::lock_guard lock(mutex_);
    challengeWaits_.erase(wait);
  }
  if (transfer.lastActivityUptime > 0) touch(transfer);
  return true;
}

int SessionCore::verifyPeer(Transfer& transfer, X509_STORE_CTX* context) {
  const auto presented = presentedCertificates(context);
  const Origin origin = tlsOrigin(transfer);
  auto refuse = [&](URLError::Code code, int verifyCode) {
    transfer.handshakeFailure = code;
    X509_STORE_CTX_set_error(context, verifyCode);
    return 0;
  };
  auto evaluateByDefault = [&] {
    if (auto failure = defaultEvaluation(presented, origin.host)) {
      return refuse(codeForVerification(*failure), *failure);
    }
    X509_STORE_CTX_set_error(context, X509_V_OK);
    return 1;
  };
  auto trust = SecTrust::create(presented, {SecPolicy::createSSL(true, origin.host)});
  if (!trust) return refuse(URLError::Code::serverCertificateUntrusted, X509_V_ERR_UNSPECIFIED);
  auto* ssl =
      static_cast<SSL*>(X509_STORE_CTX_get_ex_data(context, SSL_get_ex_data_X509_STORE_CTX_idx()));
  if (ssl != nullptr) {
    const unsigned char* staple = nullptr;
    const long length = SSL_get_tlsext_status_ocsp_resp(ssl, &staple);
    if (length > 0 && staple != nullptr)
      trust->setStapledOCSPResponse(Bytes(staple, staple + length));
  }
  auto wait = std::make_shared<ChallengeWait>([weak = weak_from_this()] {
    if (auto core = weak.lock()) curl_multi_wakeup(core->multi_);
  });
  auto challenge = std::make_shared<const URLAuthenticationChallenge>(
      URLProtectionSpace(origin.host, origin.port, "https", std::nullopt,
                         URLProtectionSpace::methodServerTrust, trust),
      std::nullopt, 0);
  if (!awaitChallenge(transfer, wait, challenge)) return evaluateByDefault();
  if (auto reason = wait->endReason()) return refuse(*reason, X509_V_ERR_APPLICATION_VERIFICATION);
  using Disposition = URLSessionDelegate::AuthChallengeDisposition;
  switch (wait->disposition()) {
    case Disposition::useCredential:
      if (wait->credential() && wait->credential()->kind() == URLCredential::Kind::serverTrust) {
        X509_STORE_CTX_set_error(context, X509_V_OK);
        return 1;
      }
      return evaluateByDefault();  // a credential of another kind counts as none
    case Disposition::cancelAuthenticationChallenge:
      return refuse(URLError::Code::cancelled, X509_V_ERR_APPLICATION_VERIFICATION);
    case Disposition::performDefaultHandling:
    case Disposition::rejectProtectionSpace:
      break;
  }
  return evaluateByDefault();
}

int SessionCore::provideClientCertificate(Transfer& transfer, SSL* ssl, X509** certificate,
                                          EVP_PKEY** key) {
  transfer.clientCertificateAsked = true;
  const Origin origin = tlsOrigin(transfer);
  auto wait = std::make_shared<ChallengeWait>([weak = weak_from_this()] {
    if (auto core = weak.lock()) curl_multi_wakeup(core->multi_);
  });
  auto challenge = std::make_shared<const URLAuthenticationChallenge>(
      URLProtectionSpace(origin.host, origin.port, "https", std::nullopt,
                         URLProtectionSpace::methodClientCertificate),
      std::nullopt, 0);
  if (!awaitChallenge(transfer, wait, challenge)) return 0;
  using Disposition = URLSessionDelegate::AuthChallengeDisposition;
  std::optional<URLError::Code> end = wait->endReason();
  if (!end && wait->disposition() == Disposition::cancelAuthenticationChallenge) {
    end = URLError::Code::cancelled;
  }
  if (end) {
    // The handshake goes on without a certificate; the task ends as soon as it is back.
    transfer.handshakeFailure = end;
    auto task = transfer.task;
    post([this, task] {
      auto it = transfers_.find(task->taskIdentifier());
      if (it == transfers_.end() || it->second->cancelled) return;
      it->second->cancelled = true;
      finish(*it->second, makeError(URLError(URLError::Code::cancelled, currentURL(*it->second))));
    });
    return 0;
  }
  const auto& credential = wait->credential();
  if (wait->disposition() != Disposition::useCredential || !credential ||
      credential->kind() != URLCredential::Kind::identity || !credential->identity()) {
    return 0;  // default handling, rejection or a credential of another kind: none is sent
  }
  for (const auto& extra : credential->certificates()) {
    if (extra) SSL_add1_chain_cert(ssl, extra->x509());
  }
  X509* own = credential->identity()->certificate()->x509();
  EVP_PKEY* privateKey = credential->identity()->privateKey();
  if (X509_up_ref(own) != 1) return 0;
  if (EVP_PKEY_up_ref(privateKey) != 1) {
    X509_free(own);
    return 0;
  }
  *certificate = own;
  *key = privateKey;
  transfer.clientCertificateSent = true;
  return 1;
}

bool SessionCore::buildHeaders(Transfer& transfer, const URLRequest& request, bool isUpload,
                               std::string& problem) {
  if (transfer.headers) curl_slist_free_all(transfer.headers);
  transfer.headers = nullptr;
  transfer.acceptEncoding.reset();
  // Header fields: the request's own, then the configuration's where the request has none.
  // Both lists are read where they are, not merged into a copy.
  const auto& own = request.allHTTPHeaderFields();
  const auto& additional = configuration_.httpAdditionalHeaders;
  bool hasExpect = false, hasAccept = false, hasContentType = false;
  std::string line;
  auto add = [&](const std::string& name, const std::string& value) {
    if (!isValidHeaderName(name) || hasLineBreakOrNul(value)) {
      problem = "header field \"" + name + "\" cannot be sent";
      return false;
    }
    hasExpect = hasExpect || headerNamesEqual(name, "Expect");
    hasAccept = hasAccept || headerNamesEqual(name, "Accept");
    hasContentType = hasContentType || headerNamesEqual(name, "Content-Type");
    if (headerNamesEqual(name, "Accept-Encoding")) {
      transfer.acceptEncoding = value;
      return true;
    }
    // An upload's length and framing follow from its body.
    if (isUpload &&
        (headerNamesEqual(name, "Content-Length") || headerNamesEqual(name, "Transfer-Encoding"))) {
      return true;
    }
    line.assign(name);
    line.append(value.empty() ? ";" : ": ");
    line.append(value);
    transfer.headers = curl_slist_append(transfer.headers, line.c_str());
    return true;
  };
  if (own) {
    for (const auto& [name, value] : *own) {
      if (!add(name, value)) return false;
    }
  }
  if (additional) {
    for (const auto& [name, value] : *additional) {
      if (own && own->contains(name)) continue;
      if (!add(name, value)) return false;
    }
  }
  // Large bodies would otherwise wait for a "100 Continue" many servers never send.
  if (!hasExpect) transfer.headers = curl_slist_append(transfer.headers, "Expect:");
  // libcurl would claim "Accept: */*" on the request's behalf; a request that names no types
  // sends no such field.
  if (!hasAccept) transfer.headers = curl_slist_append(transfer.headers, "Accept:");
  // An upload says what its body is only when the request does; libcurl would call it a form.
  if (isUpload && !hasContentType) {
    transfer.headers = curl_slist_append(transfer.headers, "Content-Type:");
  }
  return true;
}

namespace {

bool isRedirectStatus(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Scheme, host and port, compared as the web compares origins.
std::tuple<std::string, std::string, int> originOf(const URL& url) {
  const std::string scheme = lowercase(url.scheme().value_or(""));
  return {scheme, lowercase(url.host().value_or("")),
          url.port().value_or(scheme == "https" ? 443 : 80)};
}

}  // namespace

bool SessionCore::considerRedirect(Transfer& transfer, int status) {
  if (!isRedirectStatus(status) || transfer.transactions.empty()) return false;
  std::optional<std::string> location;
  for (const auto& line : transfer.headLines) {
    if (lowercase(line.substr(0, 9)) != "location:") continue;
    auto value = line.substr(9);
    const auto first = value.find_first_not_of(" \t");
    location = first == std::string::npos ? std::string() : value.substr(first);
    break;
  }
  std::optional<URLRequest> current;
  {
    std::lock_guard lock(transfer.shared->mutex);
    current = transfer.shared->currentRequest;
  }
  if (!location || location->empty() || !current || !current->url) return false;
  auto target = URL::fromString(*location, *current->url);
  if (!target) return false;
  const auto [scheme, host, port] = originOf(*target);
  if ((scheme != "http" && scheme != "https") || host.empty()) return false;
  if (transfer.redirectCount >= kMaximumRedirects) {
    transfer.tooManyRedirects = true;
    return true;
  }

  URLRequest proposed = *current;
  proposed.url = *target;
  const std::string method = proposed.httpMethod.value_or("GET");
  transfer.nextDropsBody =
      (status == 303 && method != "HEAD") || ((status == 301 || status == 302) && method == "POST");
  if (transfer.nextDropsBody) {
    proposed.httpMethod = method == "HEAD" ? "HEAD" : "GET";
    proposed.httpBody.reset();
    for (const char* name : {"Content-Type", "Content-Length", "Content-Encoding"}) {
      proposed.setValueForHTTPHeaderField(std::nullopt, name);
    }
  }
  // The caller's credentials and cookies were meant for the origin it named.
  if (originOf(*current->url) != originOf(*target)) {
    for (const char* name : {"Authorization", "Proxy-Authorization", "Cookie"}) {
      proposed.setValueForHTTPHeaderField(std::nullopt, name);
    }
  }
  const bool downgrade =
      lowercase(current->url->scheme().value_or("")) == "https" && scheme == "http";
  auto response =
      std::dynamic_pointer_cast<const HTTPURLResponse>(transfer.transactions.back().response);
  if (!hasDelegate() || !response) {
    if (downgrade) return false;
    transfer.nextRequest = std::move(proposed);
    return true;
  }
  transfer.awaitingRedirect = true;
  // Dropped unanswered, the handler leaves the redirect unfollowed.
  auto once = std::make_shared<OnceHandler<std::optional<URLRequest>>>(
      [weak = weak_from_this(),
       id = transfer.task->taskIdentifier()](std::optional<URLRequest> request) {
        if (auto core = weak.lock()) {
          core->post([core, id, request = std::move(request)]() mutable {
            core->answerRedirect(id, std::move(request));
          });
        }
      });
  auto task = transfer.task;
  deliver(
      [task, response, proposed = std::move(proposed), once](
          URLSessionDelegate& delegate, const std::shared_ptr<URLSession>& session) mutable {
        std::function<void(std::optional<URLRequest>)> handler =
            [once](std::optional<URLRequest> request) { once->call(std::move(request)); };
        once.reset();
        delegate.willPerformHTTPRedirection(session, task, response, proposed, std::move(handler));
      },
      transfer.keepAlive);
  return true;
}

void SessionCore::answerRedirect(std::uint64_t identifier, std::optional<URLRequest> request) {
  auto it = transfers_.find(identifier);
  if (it == transfers_.end()) return;
  Transfer& transfer = *it->second;
  if (!transfer.awaitingRedirect || transfer.cancelled) return;
  transfer.awaitingRedirect = false;
  if (request) {
    // What the handler gives is loaded as it is; the body goes only where the method keeps it.
    if (!request->url) request->url = currentURL(transfer);
    transfer.nextRequest = std::move(request);
    if (transfer.redirectTransferDone) {
      loadNextRequest(transfer);
    } else {
      updatePause(transfer);
    }
    return;
  }
  // Not followed: the redirect is the answer.
  deliverResponse(transfer);
  if (transfer.redirectTransferDone) {
    if (transfer.awaitingDisposition) {
      transfer.completionPending = true;
    } else {
      finish(transfer, nullptr);
    }
    return;
  }
  updatePause(transfer);
}

bool SessionCore::considerAuthentication(Transfer& transfer, int status) {
  if (status != 401 || transfer.transactions.empty()) return false;
  // A challenge already waits for this transfer: its answer decides.
  if (transfer.awaitingRedirect) return true;
  auto url = currentURL(transfer);
  if (!url) return false;
  std::vector<std::string> fields;
  for (const auto& line : transfer.headLines) {
    if (lowercase(line.substr(0, 17)) == "www-authenticate:") fields.push_back(line.substr(17));
  }
  return takeAuthenticationStep(
      transfer, transfer.auth.unauthorized(*url, fields, transfer.transactions.back().response,
                                           configuration_.urlCredentialStorage));
}

bool SessionCore::settleAuthentication(Transfer& transfer) {
  if (!takeAuthenticationStep(transfer, transfer.auth.settle())) return false;
  if (transfer.awaitingRedirect) {
    transfer.redirectTransferDone = true;
  } else if (transfer.nextRequest) {
    loadNextRequest(transfer);
  }
  return true;
}

bool SessionCore::takeAuthenticationStep(Transfer& transfer, HTTPAuthentication::Step step) {
  using Step = HTTPAuthentication::Step;
  // Without a delegate every challenge gets default handling.
  if (step == Step::challenge && !delegate()) {
    step = transfer.auth.answer(
        URLSessionDelegate::AuthChallengeDisposition::performDefaultHandling, std::nullopt);
  }
  switch (step) {
    case Step::deliver:
    case Step::cancel:
      return false;
    case Step::ignore:
      return true;
    case Step::replay:
      transfer.nextRequest = currentRequestOf(transfer);
      return true;
    case Step::challenge:
      transfer.awaitingRedirect = true;
      raiseAuthentication(transfer);
      return true;
  }
  return false;
}

void SessionCore::raiseAuthentication(Transfer& transfer) {
  // Dropped unanswered, the handler cancels.
  struct Answer {
    URLSessionDelegate::AuthChallengeDisposition disposition =
        URLSessionDelegate::AuthChallengeDisposition::cancelAuthenticationChallenge;
    std::optional<URLCredential> credential;
  };
  auto once = std::make_shared<OnceHandler<Answer>>(
      [weak = weak_from_this(), id = transfer.task->taskIdentifier()](Answer answer) {
        if (auto core = weak.lock()) {
          core->post([core, id, answer = std::move(answer)]() mutable {
            core->answerAuthentication(id, answer.disposition, std::move(answer.credential));
          });
        }
      });
  auto task = transfer.task;
  deliver(
      [task, challenge = transfer.auth.challenge(), once](
          URLSessionDelegate& delegate, const std::shared_ptr<URLSession>& session) mutable {
        URLSessionDelegate::ChallengeHandler handler =
            [once](URLSessionDelegate::AuthChallengeDisposition disposition,
                   std::optional<URLCredential> credential) {
              once->call(Answer{disposition, std::move(credential)});
            };
        once.reset();
        delegate.didReceiveChallenge(session, task, challenge, std::move(handler));
      },
      transfer.keepAlive);
}

void SessionCore::answerAuthentication(std::uint64_t identifier,
                                       URLSessionDelegate::AuthChallengeDisposition disposition,
                                       std::optional<URLCredential> credential) {
  auto it = transfers_.find(identifier);
  if (it == transfers_.end()) return;
  Transfer& transfer = *it->second;
  if (!transfer.awaitingRedirect || transfer.cancelled) return;
  using Step = HTTPAuthentication::Step;
  switch (transfer.auth.answer(disposition, credential)) {
    case Step::challenge:
      raiseAuthentication(transfer);  // the next scheme offered
      return;
    case Step::cancel:
      transfer.cancelled = true;
      removeFromMulti(transfer);
      finish(transfer, cancelledError(transfer));
      return;
    case Step::replay:
      answerRedirect(identifier, currentRequestOf(transfer));
      return;
    case Step::deliver:
    case Step::ignore:
      answerRedirect(identifier, std::nullopt);
      return;
  }
}

void SessionCore::loadNextRequest(Transfer& transfer) {
  URLRequest request = std::move(*transfer.nextRequest);
  transfer.nextRequest.reset();
  transfer.redirectTransferDone = false;
  const bool replay = transfer.auth.replaying();
  if (!replay) ++transfer.redirectCount;
  removeFromMulti(transfer);
  auto fail = [&](URLError::Code code, std::string detail) {
    finish(transfer, makeError(URLError(code, request.url, std::move(detail))));
  };
  {
    std::lock_guard lock(transfer.shared->mutex);
    transfer.shared->currentRequest = request;
  }
  transfer.requestReplaced = true;
  transfer.inHead = false;
  transfer.headStatus = 0;
  transfer.headLines.clear();
  transfer.responseDelivered = false;
  transfer.errorBuffer[0] = 0;

  const std::string method = request.httpMethod.value_or("GET");
  const bool keepsBody = !transfer.nextDropsBody && transfer.bodyKind != TaskSource::Body::none;
  const bool isUpload = transfer.task->kind_ == URLSessionTask::Kind::upload && keepsBody;
  URLRequest sent = request;
  // The answer to the challenge takes the place of the request's own.
  if (replay) sent.setValueForHTTPHeaderField(std::nullopt, "Authorization");
  if (std::string problem; !buildHeaders(transfer, sent, isUpload, problem)) {
    return fail(URLError::Code::badURL, problem);
  }
  CURL* easy = transfer.easy;
  transfer.auth.applyTo(easy, transfer.headers, method, *request.url);
  curl_easy_setopt(easy, CURLOPT_URL, request.url->absoluteString().c_str());
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.headers);
  curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING,
                   transfer.acceptEncoding ? transfer.acceptEncoding->c_str() : "");
  if (transfer.nextDropsBody) {
    // A new GET (or HEAD): no body, and no method of the old request left behind.
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, nullptr);
    if (method == "HEAD") curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    transfer.bodyKind = TaskSource::Body::none;
    transfer.body.clear();
  } else if (transfer.bodyKind == TaskSource::Body::file) {
    if (::lseek(transfer.bodyFd, 0, SEEK_SET) < 0) {
      return fail(URLError::Code::cannotOpenFile, "the body file cannot be read again");
    }
    transfer.bodyOffset = 0;
  } else if (transfer.bodyKind == TaskSource::Body::stream && transfer.bodyOffset > 0) {
    return fail(URLError::Code::requestBodyStreamExhausted, "the body stream cannot be sent again");
  } else if (!transfer.body.empty() || request.httpBody) {
    if (request.httpBody && transfer.task->kind_ != URLSessionTask::Kind::upload) {
      transfer.body = *request.httpBody;
    }
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(transfer.body.size()));
    curl_easy_setopt(
        easy, CURLOPT_POSTFIELDS,
        transfer.body.empty() ? "" : reinterpret_cast<const char*>(transfer.body.data()));
  }
  if (!transfer.nextDropsBody && method != "GET" && method != "POST" && method != "HEAD") {
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
  }
  transfer.nextDropsBody = false;
  if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
    return fail(URLError::Code::unknown, "the transfer could not be started");
  }
  transfer.inMulti = true;
  updatePause(transfer);
}

void SessionCore::run() {
  pthread_setname_np(pthread_self(), "tovarine-io");
  tlsLoopCore = this;
  while (true) {
    // The two lists trade places every turn, keeping their memory.
    auto& commands = takenCommands_;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) break;
      commands.swap(commands_);
      commandsQueued_.store(false, std::memory_order_relaxed);
    }
    // A turn with work to do is usually followed by more within microseconds.
    const bool busy = !commands.empty() || !transfers_.empty();
    for (auto& command : commands)
      command();
    commands.clear();
    finished_.clear();

    int running = 0;
    curl_multi_perform(multi_, &running);
    std::vector<std::shared_ptr<WebSocketConnection>> webSockets;
    if (webSocketTransfers_ > 0) {
      for (auto& [identifier, transfer] : transfers_) {
        if (transfer->webSocket) webSockets.push_back(transfer->webSocket);
      }
    }
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      Transfer* transfer = nullptr;
      curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
      CURLcode result = message->data.result;
      if (transfer) onDone(*transfer, result);
    }
    if (systemUptime() >= timersDue_) {
      checkTimers();
      const double deadline = nextDeadline();
      timersDue_ = deadline > 0 ? deadline : std::numeric_limits<double>::infinity();
    }
    // Web sockets move their bytes themselves, over the sockets libcurl opened.
    std::vector<curl_waitfd> waits;
    double webSocketDeadline = 0;
    for (auto& webSocket : webSockets) {
      webSocket->service();
      if (auto wait = webSocket->waitDescriptor()) waits.push_back(*wait);
      const double next = webSocket->deadline();
      if (next > 0 && (webSocketDeadline == 0 || next < webSocketDeadline)) {
        webSocketDeadline = next;
      }
    }

    long curlTimeout = -1;
    curl_multi_timeout(multi_, &curlTimeout);
    double wait = 1.0;
    if (curlTimeout >= 0) wait = std::min(wait, static_cast<double>(curlTimeout) / 1000.0);
    wait = std::min(wait, std::max(0.0, timersDue_ - systemUptime()));
    if (webSocketDeadline > 0) {
      wait = std::min(wait, std::max(0.0, webSocketDeadline - systemUptime()));
    }
    flushDeliveries();
    // After a turn with work (transfers under way or just ended, commands), the next thing to
    // do (an answer from the delegate, the server's reply, the next request) usually comes
    // within microseconds: watching for it saves a wake-up through the poll.
    const std::int64_t spinStart = spin_detail::nowNanos();
    if (wait > 0 && busy && spinForWork(waits)) continue;
    {
      std::lock_guard lock(mutex_);
      if (!commands_.empty() || stopping_) continue;
      polling_ = true;
      wakePending_ = false;
    }
    int ready = 0;
    curl_multi_poll(multi_, waits.data(), static_cast<unsigned>(waits.size()),
                    static_cast<int>(wait * 1000.0 + 0.999), &ready);
    std::lock_guard lock(mutex_);
    polling_ = false;
    // Woken by work, not by the clock: a longer spin would have caught it.
    if (busy && (ready > 0 || !commands_.empty())) {
      spinBudget_.cameAfterSpin(spin_detail::nowNanos() - spinStart);
    }
  }

  // Stopped: end what is left without telling anyone (the session is gone). Handshakes that
  // wait for an answer were told to give up; one more turn lets them unwind.
  endChallengeWaits();
  {
    int running = 0;
    curl_multi_perform(multi_, &running);
  }
  for (auto& [identifier, transfer] : transfers_) {
    removeFromMulti(*transfer);
    finishQuietly(*transfer);
    if (transfer->webSocket) {
      transfer->webSocket->ended(makeError(URLError(URLError::Code::cancelled)));
    }
  }
  transfers_.clear();
  webSocketTransfers_ = 0;
  finished_.clear();
  easyPool_.clear();
  flushDeliveries();
  tlsLoopCore = nullptr;
  std::deque<std::function<void()>> leftover;
  {
    std::lock_guard lock(mutex_);
    leftover.swap(commands_);
  }
}

bool SessionCore::spinForWork(std::vector<curl_waitfd>& waits) {
  int looks = 0;
  return spinUntil(spinBudget_, [&] {
    if (commandsQueued_.load(std::memory_order_acquire)) return true;
    // A look at the sockets is a system call: one every few microseconds.
    if (++looks % 32 != 0) return false;
    int ready = 0;
    curl_multi_poll(multi_, waits.data(), static_cast<unsigned>(waits.size()), 0, &ready);
    return ready > 0;
  });
}

thread_local const SessionCore* SessionCore::tlsLoopCore = nullptr;

bool SessionCore::prepareTurnDeliveries(std::shared_ptr<URLSession> session) {
  auto delegate = this->delegate();
  if (!delegate) return false;
  if (!session) session = owner_.lock();
  if (!session) return false;
  turnDeliveries_.delegate = std::move(delegate);
  turnDeliveries_.session = std::move(session);
  turnDeliveries_.ready = true;
  return true;
}

void SessionCore::flushDeliveries() {
  auto& turn = turnDeliveries_;
  // A few calls per operation: the delegate queue shares its thread with other work (a
  // client's own requests being set up), which must not wait behind a whole busy turn.
  constexpr std::size_t kCallsPerOperation = 4;
  for (std::size_t first = 0; first < turn.calls.size(); first += kCallsPerOperation) {
    const std::size_t last = std::min(turn.calls.size(), first + kCallsPerOperation);
    std::vector<std::function<void(URLSessionDelegate*, const std::shared_ptr<URLSession>&)>>
        calls(std::make_move_iterator(turn.calls.begin() + std::ptrdiff_t(first)),
              std::make_move_iterator(turn.calls.begin() + std::ptrdiff_t(last)));
    delegateQueue_->addOperation(
        [delegate = turn.delegate, session = turn.session, calls = std::move(calls)]() mutable {
          for (auto& call : calls) {
            call(delegate.get(), session);
            call = nullptr;  // what it holds goes as soon as it has run, as it did on its own
          }
        });
  }
  turn = TurnDeliveries{};
}

void SessionCore::start(Transfer& transfer, const URLRequest& request) {
  transfer.fetchStart = Date::now();
  transfer.startUptime = systemUptime();
  if (configuration_.timeoutIntervalForResource > 0)
    noteDeadline(transfer.startUptime + configuration_.timeoutIntervalForResource);
  std::lock_guard lock(transfer.shared->mutex);
  transfer.shared->currentRequest = request;
}

void SessionCore::setUp(Transfer& transfer) {
  const URLRequest& request = *transfer.task->originalRequest_;
  start(transfer, request);

  auto fail = [&](URLError::Code code, std::string detail) {
    finish(transfer, makeError(URLError(code, request.url, std::move(detail))));
  };
  const TaskSource* source = transfer.task->source_.get();
  if (source && source->unreadableResumeData) {
    return fail(URLError::Code::cannotDecodeRawData, "the resume data cannot be read");
  }
  const bool isUpload = transfer.task->kind_ == URLSessionTask::Kind::upload && source;
  transfer.isDownload = transfer.task->kind_ == URLSessionTask::Kind::download;
  if (!request.url) return fail(URLError::Code::badURL, "the request has no URL");
  const URL& url = *request.url;
  auto scheme = url.scheme() ? lowercase(*url.scheme()) : std::string();
  if (scheme != "http" && scheme != "https") {
    return fail(url.isAbsolute() ? URLError::Code::unsupportedURL : URLError::Code::badURL,
                "only http and https URLs are loaded");
  }
  // Percent-decoding the host is not free; once is enough.
  if (auto host = url.host(); !host || host->empty()) {
    return fail(URLError::Code::badURL, "no host");
  }
  auto policy = request.cachePolicy == URLRequest::CachePolicy::useProtocolCachePolicy
                    ? configuration_.requestCachePolicy
                    : request.cachePolicy;
  std::optional<URLRequest> validated;  // the request with the validators of a revalidation
  switch (transfer.cache.begin(configuration_.urlCache, policy,
                               configuration_.httpAdditionalHeaders,
                               transfer.task->kind_ == URLSessionTask::Kind::data, request,
                               validated, Date::now())) {
    case CacheStep::unavailable:
      return fail(URLError::Code::resourceUnavailable, "nothing cached and loading is not allowed");
    case CacheStep::serve:
      return serveFromCache(transfer, request);
    case CacheStep::load:
      break;
  }

  const URLRequest& sent = validated ? *validated : request;
  if (std::string problem; !buildHeaders(transfer, sent, isUpload, problem)) {
    return fail(URLError::Code::badURL, problem);
  }
  if (transfer.isDownload && !setUpDownloadFile(transfer, source)) return;

  const std::string method = request.httpMethod.value_or("GET");
  if (method.empty() || !isValidHeaderName(method)) {
    return fail(URLError::Code::badURL, "invalid method");
  }

  CURL* easy = easyPool_.acquire();
  if (easy == nullptr) return fail(URLError::Code::unknown, "the transfer could not be made");
  transfer.easy = easy;
  if (!transfer.isDownload) transfer.easyPool = &easyPool_;
  curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
  curl_easy_setopt(easy, CURLOPT_URL, url.absoluteString().c_str());
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.errorBuffer);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  transfer.auth.forget(easy);
  curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  // The verify callback decides every new connection (the delegate, or the default
  // evaluation); libcurl must keep honouring its answer, and must not check the host itself,
  // nor resume sessions that would skip the callback.
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(easy, CURLOPT_SSL_SESSIONID_CACHE, 0L);
  // The verify callback evaluates against the security layer's anchors, read once; libcurl
  // need not load a CA bundle of its own for every connection.
  curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
  curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
  curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &sslContextCallback);
  curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, &transfer);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &headerCallback);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &writeCallback);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &progressCallback);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &transfer);
  // Decoding is always on, as a client of this platform expects: an explicit Accept-Encoding
  // is sent as given, otherwise every encoding libcurl can undo is offered.
  curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING,
                   transfer.acceptEncoding ? transfer.acceptEncoding->c_str() : "");
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.headers);

  bool cookies = configuration_.httpShouldSetCookies && request.httpShouldHandleCookies &&
                 configuration_.httpCookieAcceptPolicy != HTTPCookieAcceptPolicy::never;
  curl_easy_setopt(easy, CURLOPT_SHARE, cookies ? share_ : plainShare_);
  if (cookies) curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");

  if (isUpload) {
    if (!setUpUploadBody(transfer, *source, request)) return;
    if (method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
  } else if (method == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else if (request.httpBody || method == "POST") {
    // A POST always states its length, also when it sends nothing.
    transfer.body = request.httpBody.value_or(Bytes());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(transfer.body.size()));
    curl_easy_setopt(
        easy, CURLOPT_POSTFIELDS,
        transfer.body.empty() ? "" : reinterpret_cast<const char*>(transfer.body.data()));
    if (method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
    std::lock_guard lock(transfer.shared->mutex);
    transfer.shared->bytesExpectedToSend = static_cast<std::int64_t>(transfer.body.size());
  } else if (method != "GET") {
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
  }
  // Fewer, larger writes into the file.
  if (transfer.isDownload) curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 256L * 1024L);
  // A declared length is refused before the body; what arrives is counted as it is written.
  if (configuration_.maximumBodyBytes > 0) {
    curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE,
                     static_cast<curl_off_t>(configuration_.maximumBodyBytes));
  }
  if (configuration_.minimumBytesPerSecond > 0 && configuration_.lowSpeedSeconds > 0) {
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT,
                     static_cast<long>(configuration_.minimumBytesPerSecond));
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, configuration_.lowSpeedSeconds);
  }

  if (transfer.bodyKind == TaskSource::Body::stream) {
    // The transfer starts once the delegate has handed over the body stream.
    askForBodyStream(transfer);
    return;
  }
  if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
    return fail(URLError::Code::unknown, "the transfer could not be started");
  }
  transfer.inMulti = true;
  updatePause(transfer);
}

bool SessionCore::setUpUploadBody(Transfer& transfer, const TaskSource& source,
                                  const URLRequest& request) {
  CURL* easy = transfer.easy;
  transfer.bodyKind = source.body;
  auto fail = [&](URLError::Code code, std::string detail) {
    finish(transfer, makeError(URLError(code, request.url, std::move(detail))));
    return false;
  };
  switch (source.body) {
    case TaskSource::Body::none:
    case TaskSource::Body::data:
      transfer.bodyKind = TaskSource::Body::data;
      transfer.body = source.data;
      transfer.bodyLength = static_cast<std::int64_t>(transfer.body.size());
      curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                       static_cast<curl_off_t>(transfer.body.size()));
      curl_easy_setopt(
          easy, CURLOPT_POSTFIELDS,
          transfer.body.empty() ? "" : reinterpret_cast<const char*>(transfer.body.data()));
      break;
    case TaskSource::Body::file: {
      transfer.bodyFd = ::open(source.filePath.c_str(), O_RDONLY | O_CLOEXEC);
      if (transfer.bodyFd < 0) {
        const int code = errno;
        return fail(code == ENOENT || code == ENOTDIR ? URLError::Code::fileDoesNotExist
                    : code == EACCES                  ? URLError::Code::noPermissionsToReadFile
                                                      : URLError::Code::cannotOpenFile,
                    "the body file " + source.filePath + ": " + std::strerror(code));
      }
      struct stat info {};
      if (::fstat(transfer.bodyFd, &info) != 0) {
        return fail(URLError::Code::cannotOpenFile, "the body file cannot be examined");
      }
      if (S_ISDIR(info.st_mode)) {
        return fail(URLError::Code::fileIsDirectory, "the body file is a directory");
      }
      if (!S_ISREG(info.st_mode)) {
        return fail(URLError::Code::cannotOpenFile, "the body file is not a regular file");
      }
      transfer.bodyLength = static_cast<std::int64_t>(info.st_size);
      curl_easy_setopt(easy, CURLOPT_POST, 1L);
      curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                       static_cast<curl_off_t>(transfer.bodyLength));
      break;
    }
    case TaskSource::Body::stream: {
      // A length the request states is kept; otherwise the body goes out in chunks.
      if (auto stated = request.valueForHTTPHeaderField("Content-Length")) {
        char* end = nullptr;
        errno = 0;
        const long long length = std::strtoll(stated->c_str(), &end, 10);
        if (errno == 0 && end && *end == '\0' && !stated->empty() && length >= 0) {
          transfer.bodyLength = length;
        }
      }
      curl_easy_setopt(easy, CURLOPT_POST, 1L);
      if (transfer.bodyLength >= 0) {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(transfer.bodyLength));
      } else {
        transfer.headers = curl_slist_append(transfer.headers, "Transfer-Encoding: chunked");
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.headers);
      }
      transfer.awaitingBodyStream = true;
      break;
    }
  }
  if (transfer.bodyKind != TaskSource::Body::data) {
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, &readCallback);
    curl_easy_setopt(easy, CURLOPT_READDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &seekCallback);
    curl_easy_setopt(easy, CURLOPT_SEEKDATA, &transfer);
  }
  std::lock_guard lock(transfer.shared->mutex);
  transfer.shared->bytesExpectedToSend = transfer.bodyLength;
  return true;
}

void SessionCore::askForBodyStream(Transfer& transfer) {
  auto delegate = this->delegate();
  if (!delegate) {
    transfer.awaitingBodyStream = false;
    finish(transfer, makeError(URLError(URLError::Code::requestBodyStreamExhausted,
                                        currentURL(transfer), "no body stream was provided")));
    return;
  }
  auto answer = std::make_shared<OnceHandler<InputStreamPtr>>(
      [core = weak_from_this(), identifier = transfer.task->taskIdentifier()](InputStreamPtr s) {
        if (auto c = core.lock()) {
          c->post([c, identifier, s] { c->provideBodyStream(identifier, s); });
        }
      });
  auto task = transfer.task;
  deliver(
      [task, answer](URLSessionDelegate& delegate,
                     const std::shared_ptr<URLSession>& session) mutable {
        std::function<void(InputStreamPtr)> handler = [answer](InputStreamPtr stream) {
          answer->call(std::move(stream));
        };
        answer.reset();  // from here only the handler holds the answer
        delegate.needNewBodyStream(session, task, std::move(handler));
      },
      transfer.keepAlive);
}

ErrorPtr SessionCore::bodyReadError(const Transfer& transfer) {
  ErrorPtr cause = transfer.bodyError;
  if (!cause && transfer.bodyStream) cause = transfer.bodyStream->streamError();
  return makeError(URLError(
      URLError::Code::requestBodyStreamExhausted, currentURL(transfer),
      "reading the body failed" + (cause ? ": " + cause->debugDescription() : std::string())));
}

void SessionCore::reportSent(Transfer& transfer, curl_off_t uploaded) {
  {
    std::lock_guard lock(transfer.shared->mutex);
    transfer.shared->bytesSent = uploaded;
  }
  // A body sent again (after a redirect) counts afresh.
  if (uploaded < transfer.reportedSent) transfer.reportedSent = 0;
  const std::int64_t step = uploaded - transfer.reportedSent;
  if (step <= 0) return;
  transfer.reportedSent = uploaded;
  auto task = transfer.task;
  const std::int64_t total = uploaded;
  const std::int64_t expected = transfer.bodyLength;
  deliver(
      [task, step, total, expected](URLSessionDelegate& delegate,
                                    const std::shared_ptr<URLSession>& session) {
        delegate.didSendBodyData(session, task, step, total, expected);
      },
      transfer.keepAlive);
}

bool SessionCore::setUpDownloadFile(Transfer& transfer, const TaskSource* source) {
  if (source && source->resume && reopenPartialFile(transfer, *source->resume)) {
    const DownloadResumeRecord& record = *source->resume;
    transfer.resumeOffset = record.bytesReceived;
    transfer.downloadWritten = record.bytesReceived;
    const std::string range = "Range: bytes=" + std::to_string(record.bytesReceived) + "-";
    const std::string ifRange = "If-Range: " + *record.ifRangeValue();
    transfer.headers = curl_slist_append(transfer.headers, range.c_str());
    transfer.headers = curl_slist_append(transfer.headers, ifRange.c_str());
    return true;
  }
  return createDownloadFile(transfer);
}

bool SessionCore::createDownloadFile(Transfer& transfer) {
  std::string pattern =
      FileManager::defaultManager()->temporaryDirectory() + "/" + kDownloadFilePrefix + "XXXXXX";
  const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) {
    const int code = errno;
    finish(transfer, makeError(URLError(URLError::Code::cannotCreateFile, currentURL(transfer),
                                        std::string("the download file: ") + std::strerror(code))));
    return false;
  }
  transfer.downloadFd = fd;
  transfer.downloadPath = pattern;
  return true;
}

// The partial file of resume data is reopened only when it is one of our own download files,
// in the temporary directory, and holds at least the bytes the record counts; resume data is
// bytes from outside and must not steer writes anywhere else.
bool SessionCore::reopenPartialFile(Transfer& transfer, const DownloadResumeRecord& record) {
  if (!record.ifRangeValue()) return false;
  const std::string& path = record.temporaryPath;
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return false;
  const std::string directory = path.substr(0, slash);
  const std::string name = path.substr(slash + 1);
  if (directory != FileManager::defaultManager()->temporaryDirectory() ||
      !name.starts_with(kDownloadFilePrefix) || name.find("..") != std::string::npos) {
    return false;
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() ||
      info.st_nlink != 1 || info.st_size < record.bytesReceived ||
      ::ftruncate(fd, static_cast<off_t>(record.bytesReceived)) != 0 ||
      ::lseek(fd, 0, SEEK_END) < 0) {
    ::close(fd);
    return false;
  }
  transfer.downloadFd = fd;
  transfer.downloadPath = path;
  return true;
}

void SessionCore::onDownloadResponse(Transfer& transfer, const HTTPURLResponse& response) {
  transfer.downloadStatus = response.statusCode();
  transfer.entityTag = response.valueForHTTPHeaderField("ETag");
  transfer.lastModified = response.valueForHTTPHeaderField("Last-Modified");
  if (auto encoding = response.valueForHTTPHeaderField("Content-Encoding")) {
    transfer.decodedBody = lowercase(*encoding) != "identity";
  }
  const std::int64_t length = response.expectedContentLength();
  if (transfer.resumeOffset == 0) {
    transfer.downloadExpected = length;
    return;
  }
  // A continuation: only a 206 that starts where the file ends is appended. Anything else is
  // the whole entity (or an error page), written from the start.
  bool continued = false;
  if (response.statusCode() == 206) {
    const auto range = response.valueForHTTPHeaderField("Content-Range").value_or("");
    long long first = -1;
    if (std::sscanf(range.c_str(), "bytes %lld-", &first) == 1 && first == transfer.resumeOffset) {
      continued = true;
    } else {
      transfer.downloadError =
          makeError(URLError(URLError::Code::badServerResponse, currentURL(transfer),
                             "the server continued at another offset"));
      return;
    }
  }
  if (!continued) {
    transfer.resumeOffset = 0;
    transfer.downloadWritten = 0;
    if (::ftruncate(transfer.downloadFd, 0) != 0 || ::lseek(transfer.downloadFd, 0, SEEK_SET) < 0) {
      transfer.downloadError =
          makeError(URLError(URLError::Code::cannotWriteToFile, currentURL(transfer),
                             "the partial file cannot be started again"));
      return;
    }
  }
  transfer.downloadExpected = length < 0 ? -1 : transfer.resumeOffset + length;
  auto task = std::static_pointer_cast<URLSessionDownloadTask>(transfer.task);
  const std::int64_t offset = transfer.resumeOffset;
  const std::int64_t expected = transfer.downloadExpected;
  deliver(
      [task, offset, expected](URLSessionDelegate& delegate,
                               const std::shared_ptr<URLSession>& session) {
        delegate.didResumeAtOffset(session, task, offset, expected);
      },
      transfer.keepAlive);
}

std::optional<Bytes> SessionCore::resumeDataFor(Transfer& transfer) {
  if (!transfer.isDownload || transfer.downloadFd < 0 || transfer.downloadPath.empty()) {
    return std::nullopt;
  }
  // Only a body the server would continue: part of the entity itself, with a validator,
  // and counted in the server's own bytes.
  if (transfer.downloadStatus != 200 && transfer.downloadStatus != 206) return std::nullopt;
  if (transfer.decodedBody || transfer.downloadError) return std::nullopt;
  DownloadResumeRecord record;
  record.request = *transfer.task->originalRequest_;
  record.temporaryPath = transfer.downloadPath;
  record.bytesReceived = transfer.downloadWritten;
  record.entityTag = transfer.entityTag;
  record.lastModified = transfer.lastModified;
  if (!record.ifRangeValue()) return std::nullopt;
  transfer.keepDownloadFile = true;
  return record.encode();
}

ErrorPtr SessionCore::downloadFailure(Transfer& transfer, const URLError& error) {
  return makeError(error.withResumeData(resumeDataFor(transfer)));
}

void SessionCore::finishDownload(Transfer& transfer) {
  if (transfer.downloadError) {
    finish(transfer, transfer.downloadError);
    return;
  }
  if (transfer.downloadFd >= 0) ::close(transfer.downloadFd);
  transfer.downloadFd = -1;
  const std::string path = transfer.downloadPath;
  struct stat info {};
  ::lstat(path.c_str(), &info);
  // The delegate gets the file; what it leaves in place is removed after it returns (the very
  // file: not one that took its name meanwhile).
  auto task = std::static_pointer_cast<URLSessionDownloadTask>(transfer.task);
  transfer.keepDownloadFile = deliver(
      [task, path, device = info.st_dev, inode = info.st_ino](
          URLSessionDelegate& delegate, const std::shared_ptr<URLSession>& session) {
        delegate.didFinishDownloadingToURL(session, task, URL::fileURLWithPath(path, false));
        struct stat left {};
        if (::lstat(path.c_str(), &left) == 0 && left.st_dev == device && left.st_ino == inode) {
          ::unlink(path.c_str());
        }
      },
      transfer.keepAlive);
  finish(transfer, nullptr);
}

void SessionCore::onHeaderLine(Transfer& transfer, std::string_view raw) {
  std::string_view line = raw;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
    line.remove_suffix(1);
  if (line.starts_with("HTTP/")) {
    transfer.inHead = true;
    transfer.auth.headStarted();
    transfer.headLines.clear();
    transfer.headStart = Date::now();
    auto space = line.find(' ');
    transfer.headVersion = line.substr(0, space);
    transfer.headStatus = 0;
    if (space != std::string_view::npos) {
      // As atoi reads it: blanks, a sign, digits; anything else ends the number.
      transfer.headStatus = std::atoi(std::string(line.substr(space + 1)).c_str());
    }
    return;
  }
  if (!transfer.inHead) return;  // trailers after the body
  if (!line.empty()) {
    transfer.headLines.emplace_back(line);
    return;
  }
  // The end of a head.
  transfer.inHead = false;
  int status = transfer.headStatus;
  if (status >= 100 && status < 200) return;
  char* effective = nullptr;
  curl_easy_getinfo(transfer.easy, CURLINFO_EFFECTIVE_URL, &effective);
  auto responseURL = effective ? parseEffectiveURL(effective) : std::nullopt;
  if (!responseURL) responseURL = currentURL(transfer);
  // Only this thread changes the current request: reading it needs no lock.
  const auto& currentRequest = transfer.shared->currentRequest;
  if (responseURL) {
    URLSessionTaskTransactionMetrics metrics;
    if (currentRequest) metrics.request = *currentRequest;
    metrics.response = std::make_shared<const HTTPURLResponse>(HTTPURLResponse::fromHeaderLines(
        std::move(*responseURL), status, transfer.headVersion, transfer.headLines, true));
    metrics.responseStartDate = transfer.headStart;
    metrics.resourceFetchType = URLSessionTaskTransactionMetrics::ResourceFetchType::networkLoad;
    transfer.transactions.push_back(std::move(metrics));
  }
  if (considerRedirect(transfer, status)) return;
  if (considerAuthentication(transfer, status)) return;
  if (!transfer.transactions.empty()) {
    const auto& current = currentRequest ? currentRequest : transfer.task->originalRequest_;
    if (current) {
      transfer.cache.onResponse(*current, !transfer.requestReplaced,
                                transfer.transactions.back().response);
    }
  }
  // Every byte of the body that went out is told before the answer.
  curl_off_t uploaded = 0;
  curl_easy_getinfo(transfer.easy, CURLINFO_SIZE_UPLOAD_T, &uploaded);
  if (uploaded > transfer.reportedSent) reportSent(transfer, uploaded);
  transfer.responseDelivered = false;
  deliverResponse(transfer);
}

void SessionCore::deliverResponse(Transfer& transfer) {
  transfer.responseDelivered = true;
  URLResponsePtr response;
  if (!transfer.transactions.empty() && transfer.transactions.back().response) {
    response = transfer.transactions.back().response;
  } else {
    auto url = currentURL(transfer);
    if (!url) return;
    response = std::make_shared<const HTTPURLResponse>(HTTPURLResponse::fromHeaderLines(
        *url, transfer.headStatus, transfer.headVersion, transfer.headLines, true));
  }
  {
    std::lock_guard lock(transfer.shared->mutex);
    transfer.shared->response = response;
    transfer.shared->bytesExpectedToReceive = response->expectedContentLength();
  }
  if (transfer.isDownload) {
    // A download is not asked about: its body goes into the file.
    if (auto http = std::dynamic_pointer_cast<const HTTPURLResponse>(response)) {
      onDownloadResponse(transfer, *http);
    }
    return;
  }
  if (!hasDelegate()) return;  // nobody to ask: the body flows
  transfer.awaitingDisposition = true;

  auto answer = std::make_shared<DispositionAnswer>();
  answer->core = weak_from_this();
  answer->shared = transfer.shared;
  answer->identifier = transfer.task->taskIdentifier();
  transfer.answer = answer;
  auto task = std::static_pointer_cast<URLSessionDataTask>(transfer.task);
  deliver(
      [task, response, answer = std::move(answer)](
          URLSessionDelegate& delegate, const std::shared_ptr<URLSession>& session) mutable {
        std::function<void(URLSessionDelegate::ResponseDisposition)> handler =
            [hold = std::make_shared<DispositionAnswer::HandlerHold>(answer)](
                URLSessionDelegate::ResponseDisposition d) { hold->answer->give(d); };
        {
          const DispositionAnswer::InCall inCall(*answer);
          delegate.didReceiveResponse(session, task, response, std::move(handler));
        }
        if (answer->allowedDuringCall) {
          answer->allowedDuringCall = false;
          auto core = answer->core.lock();
          if (!core || !core->endOnDelegateQueue(*answer, delegate, session, task)) {
            answer->post(URLSessionDelegate::ResponseDisposition::allow);
          }
        }
      },
      transfer.keepAlive);
}

thread_local DispositionAnswer* DispositionAnswer::tlsInCall = nullptr;

void DispositionAnswer::give(URLSessionDelegate::ResponseDisposition disposition) {
  if (answered.exchange(true)) return;
  if (disposition == URLSessionDelegate::ResponseDisposition::allow && tlsInCall == this) {
    allowedDuringCall = true;  // taken up when the delegate's call returns
    return;
  }
  post(disposition);
}

void DispositionAnswer::post(URLSessionDelegate::ResponseDisposition disposition) {
  if (auto c = core.lock()) {
    c->post([c, id = identifier, disposition] { c->answerDisposition(id, disposition); });
  }
}

void SessionCore::prepareEnd(Transfer& transfer) {
  // Only a plain data task whose end needs nothing more of the I/O thread: no upload stream
  // to close, no stored body to serve, no failure or bound still to report.
  if (!transfer.answer || transfer.task->kind_ != URLSessionTask::Kind::data ||
      transfer.bodyStream || transfer.failureAfterHeldBody || transfer.limitError ||
      transfer.cancelled || transfer.cache.deliversStoredBody()) {
    return;
  }
  const std::int64_t maximum = configuration_.maximumBodyBytes;
  if (maximum > 0 &&
      transfer.bodyReceived + static_cast<std::int64_t>(transfer.heldBody.size()) > maximum) {
    return;
  }
  DispositionAnswer& answer = *transfer.answer;
  answer.body = std::move(transfer.heldBody);
  transfer.heldBody.clear();
  // The cache is left as it is, for the end this thread would deliver if it took it back.
  if ((answer.proposal = transfer.cache.proposalWith(answer.body))) {
    answer.cache = transfer.cache.cache();
    answer.storeRequest = transfer.cache.storeRequest();
  }
  answer.metrics = metricsOf(transfer, Date::now());
  answer.end.store(DispositionAnswer::prepared, std::memory_order_release);
}

bool SessionCore::reclaimEnd(Transfer& transfer) {
  if (!transfer.answer) return true;
  auto answer = std::move(transfer.answer);
  int end = answer->end.load(std::memory_order_acquire);
  while (end != DispositionAnswer::endedOnDelegateQueue &&
         !answer->end.compare_exchange_weak(end, DispositionAnswer::claimedByLoop)) {
  }
  if (end == DispositionAnswer::endedOnDelegateQueue) return false;
  if (end == DispositionAnswer::prepared) {
    transfer.heldBody = std::move(answer->body);
    transfer.transactions = std::move(answer->metrics.transactionMetrics);
  }
  return true;
}

bool SessionCore::endOnDelegateQueue(DispositionAnswer& answer, URLSessionDelegate& delegate,
                                     const std::shared_ptr<URLSession>& session,
                                     const std::shared_ptr<URLSessionDataTask>& task) {
  TaskShared& shared = *answer.shared;
  {
    std::lock_guard lock(shared.mutex);
    // Suspended, cancelled or held since the response came: the I/O thread sees to it.
    if (shared.state != URLSessionTask::State::running || shared.receiveHolds.load() > 0) {
      return false;
    }
    int prepared = DispositionAnswer::prepared;
    if (!answer.end.compare_exchange_strong(prepared, DispositionAnswer::endedOnDelegateQueue,
                                            std::memory_order_acq_rel)) {
      return false;
    }
    shared.state = URLSessionTask::State::completed;
    shared.error = nullptr;
    shared.bytesReceived += static_cast<std::int64_t>(answer.body.size());
  }
  hub_->taskCompleted(answer.identifier);
  answer.metrics.taskInterval.duration =
      std::max(0.0, Date::now() - answer.metrics.taskInterval.start);
  if (!answer.body.empty()) delegate.didReceiveData(session, task, answer.body);
  Bytes().swap(answer.body);
  if (answer.proposal) {
    askToCache(delegate, session, task, std::exchange(answer.proposal, nullptr),
               std::move(answer.cache), std::move(answer.storeRequest));
  }
  delegate.didFinishCollectingMetrics(session, task, answer.metrics);
  delegate.didCompleteWithError(session, task, nullptr);
  // The transfer itself is the I/O thread's to let go.
  post([core = shared_from_this(), id = answer.identifier] { core->settleEnded(id); });
  return true;
}

void SessionCore::settleEnded(std::uint64_t identifier) {
  auto it = transfers_.find(identifier);
  if (it == transfers_.end()) return;
  taskGone(*it->second->shared);
  retire(it);
}

void SessionCore::serveFromCache(Transfer& transfer, const URLRequest& request) {
  transfer.transactions.push_back(transfer.cache.localTransaction(request, Date::now()));
  deliverResponse(transfer);
  if (transfer.awaitingDisposition) {
    transfer.completionPending = true;  // the body follows the delegate's allow
    return;
  }
  finish(transfer, nullptr);
}

void SessionCore::completeFromCache(Transfer& transfer) {
  auto task = std::dynamic_pointer_cast<URLSessionDataTask>(transfer.task);
  if (!task) return;
  if (auto body = transfer.cache.takeStoredBody()) {
    {
      std::lock_guard lock(transfer.shared->mutex);
      transfer.shared->bytesReceived += static_cast<std::int64_t>(body->size());
    }
    if (!body->empty()) {
      deliver(
          [task, chunk = std::move(*body)](URLSessionDelegate& delegate,
                                           const std::shared_ptr<URLSession>& session) {
            delegate.didReceiveData(session, task, chunk);
          },
          transfer.keepAlive);
    }
  }
  auto proposal = transfer.cache.takeProposal();
  if (!proposal) return;
  auto cache = transfer.cache.cache();
  auto request = transfer.cache.takeStoreRequest();
  if (!hasDelegate()) return TransferCache::store(cache, proposal, request);
  deliver(
      [task, proposal, cache, request = std::move(request)](
          URLSessionDelegate& delegate, const std::shared_ptr<URLSession>& session) mutable {
        askToCache(delegate, session, task, proposal, std::move(cache), std::move(request));
      },
      transfer.keepAlive);
}

void SessionCore::onDone(Transfer& transfer, CURLcode result) {
  // A web socket's connection is up: the handle stays attached for the socket's whole life.
  if (transfer.webSocket && result == CURLE_OK && !transfer.cancelled) {
    transfer.webSocket->connected(transfer.easy);
    return;
  }
  removeFromMulti(transfer);
  if (transfer.cancelled) return;
  if (result != CURLE_OK && !transfer.heldBody.empty()) {
    transfer.failureAfterHeldBody = result;
    return;
  }
  if (transfer.limitError) {
    finish(transfer, transfer.limitError);
    return;
  }
  if (transfer.isDownload && !transfer.awaitingRedirect && !transfer.nextRequest &&
      !transfer.tooManyRedirects && !transfer.auth.deferred()) {
    if (!transfer.responseDelivered && result == CURLE_OK) deliverResponse(transfer);
    if (transfer.downloadError) {
      finish(transfer, transfer.downloadError);
      return;
    }
    if (result == CURLE_OK) {
      finishDownload(transfer);
      return;
    }
  }
  if (transfer.bodyExhausted) {
    finish(transfer,
           makeError(URLError(URLError::Code::requestBodyStreamExhausted, currentURL(transfer),
                              "the body stream cannot be sent again")));
    return;
  }
  if (transfer.bodyError) {
    finish(transfer, bodyReadError(transfer));
    return;
  }
  if (result == CURLE_OK && transfer.tooManyRedirects) {
    finish(transfer, makeError(URLError(URLError::Code::httpTooManyRedirects, currentURL(transfer),
                                        "more than 16 redirects")));
    return;
  }
  if (result == CURLE_OK && transfer.auth.deferred() && settleAuthentication(transfer)) return;
  if (result == CURLE_OK && transfer.awaitingRedirect) {
    transfer.redirectTransferDone = true;
    return;
  }
  if (result == CURLE_OK && transfer.nextRequest) {
    loadNextRequest(transfer);
    return;
  }
  if (result == CURLE_OK) {
    if (!transfer.responseDelivered) deliverResponse(transfer);
    if (transfer.awaitingDisposition || !transfer.heldBody.empty()) {
      transfer.completionPending = true;
      if (transfer.awaitingDisposition) prepareEnd(transfer);
      return;
    }
    finish(transfer, nullptr);
    return;
  }
  URLError::Code code = URLError::codeForCurlResult(result);
  if (transfer.handshakeFailure) {
    code = *transfer.handshakeFailure;
  } else if (transfer.clientCertificateAsked && !transfer.responseDelivered) {
    code = transfer.clientCertificateSent ? URLError::Code::clientCertificateRejected
                                          : URLError::Code::clientCertificateRequired;
  }
  if (code == URLError::Code::cancelled) {
    finish(transfer, cancelledError(transfer));
    return;
  }
  bool connectivity = code == URLError::Code::cannotConnectToHost ||
                      code == URLError::Code::cannotFindHost ||
                      code == URLError::Code::notConnectedToInternet;
  if (connectivity && configuration_.waitsForConnectivity && !transfer.responseDelivered) {
    if (!transfer.toldWaiting) {
      transfer.toldWaiting = true;
      auto task = transfer.task;
      deliver(
          [task](URLSessionDelegate& delegate, const std::shared_ptr<URLSession>& session) {
            delegate.taskIsWaitingForConnectivity(session, task);
          },
          transfer.keepAlive);
    }
    transfer.retryAtUptime = systemUptime() + 1.0;
    noteDeadline(transfer.retryAtUptime);
    return;
  }
  std::string detail = transfer.errorBuffer[0] ? std::string(transfer.errorBuffer)
                                               : std::string(curl_easy_strerror(result));
  const URLError error(code, currentURL(transfer), detail);
  finish(transfer, transfer.isDownload ? downloadFailure(transfer, error) : makeError(error));
}

void SessionCore::removeFromMulti(Transfer& transfer) {
  if (transfer.inMulti) {
    curl_multi_remove_handle(multi_, transfer.easy);
    transfer.inMulti = false;
  }
}

bool SessionCore::handOnHeldBody(Transfer& transfer) {
  if (transfer.heldBody.empty() || transfer.cancelled || transfer.awaitingDisposition ||
      transfer.suspended || transfer.shared->receiveHolds.load() > 0) {
    return false;
  }
  const auto held = transfer.heldBody.size();
  const size_t result =
      receiveBody(&transfer, reinterpret_cast<const char*>(transfer.heldBody.data()), held);
  if (result == CURL_WRITEFUNC_PAUSE) return false;  // held on until the delegate catches up
  Bytes().swap(transfer.heldBody);
  if (result != held) {
    removeFromMulti(transfer);
    finish(transfer, transfer.limitError);
    return true;
  }
  if (transfer.completionPending) {
    finish(transfer, nullptr);
    return true;
  }
  if (auto failure = transfer.failureAfterHeldBody) {
    transfer.failureAfterHeldBody.reset();
    onDone(transfer, *failure);
    return true;
  }
  return false;
}

void SessionCore::updatePause(Transfer& transfer) {
  if (handOnHeldBody(transfer)) return;
  if (!transfer.easy || !transfer.inMulti) return;
  if (transfer.suspended) {
    curl_easy_pause(transfer.easy, CURLPAUSE_ALL);
    transfer.keepAlive.reset();
  } else if (transfer.shared->receiveHolds.load() > 0) {
    curl_easy_pause(transfer.easy, CURLPAUSE_RECV);
  } else if (!transfer.awaitingDisposition && !transfer.awaitingRedirect) {
    curl_easy_pause(transfer.easy, CURLPAUSE_CONT);
  }
}

void SessionCore::checkTimers() {
  double now = systemUptime();
  std::vector<Transfer*> expired;
  for (auto& [identifier, transfer] : transfers_) {
    if (transfer->cancelled) continue;
    if (transfer->challengeWait) continue;  // the wait keeps its own deadline
    if (transfer->webSocket && transfer->webSocket->isConnected()) continue;
    bool waiting = !transfer->inMulti && transfer->retryAtUptime > 0;
    if (!transfer->inMulti && !waiting) continue;
    if (waiting && now >= transfer->retryAtUptime &&
        now - transfer->startUptime < configuration_.timeoutIntervalForResource) {
      // Try the connection again, from a clean slate.
      transfer->retryAtUptime = 0;
      transfer->inHead = false;
      transfer->headStatus = 0;
      transfer->headLines.clear();
      transfer->transactions.clear();
      transfer->lastActivityUptime = 0;
      transfer->errorBuffer[0] = 0;
      if (curl_multi_add_handle(multi_, transfer->easy) == CURLM_OK) transfer->inMulti = true;
      // Back in the transfers the walk below times, with its resource time-out.
      if (configuration_.timeoutIntervalForResource > 0)
        noteDeadline(transfer->startUptime + configuration_.timeoutIntervalForResource);
      continue;
    }
    if (waiting) {
      if (now - transfer->startUptime >= configuration_.timeoutIntervalForResource) {
        expired.push_back(transfer.get());
      }
      continue;
    }
    const double idle = idleLimit(*transfer);
    bool held = transfer->suspended || transfer->awaitingDisposition ||
                transfer->shared->receiveHolds.load() > 0;
    bool idleExpired = !held && idle > 0 && transfer->lastActivityUptime > 0 &&
                       now - transfer->lastActivityUptime >= idle;
    bool overall = configuration_.timeoutIntervalForResource > 0 &&
                   now - transfer->startUptime >= configuration_.timeoutIntervalForResource;
    if (idleExpired || overall) expired.push_back(transfer.get());
  }
  for (Transfer* transfer : expired) {
    removeFromMulti(*transfer);
    const URLError error(URLError::Code::timedOut, currentURL(*transfer),
                         "no progress within the time-out");
    finish(*transfer, transfer->isDownload ? downloadFailure(*transfer, error) : makeError(error));
  }
}

double SessionCore::idleLimit(const Transfer& transfer) const {
  return std::min(configuration_.timeoutIntervalForRequest,
                  transfer.task->originalRequest_->timeoutInterval);
}

void SessionCore::touch(Transfer& transfer) {
  const double now = systemUptime();
  transfer.lastActivityUptime = now;
  const double limit = idleLimit(transfer);
  if (limit > 0) noteDeadline(now + limit);
}

double SessionCore::nextDeadline() {
  double next = 0;
  auto consider = [&](double t) {
    if (t > 0 && (next == 0 || t < next)) next = t;
  };
  for (auto& [identifier, transfer] : transfers_) {
    if (transfer->retryAtUptime > 0) consider(transfer->retryAtUptime);
    if (!transfer->inMulti) continue;
    if (transfer->webSocket && transfer->webSocket->isConnected()) continue;
    const double idle = idleLimit(*transfer);
    if (transfer->lastActivityUptime > 0 && idle > 0 && !transfer->suspended &&
        !transfer->awaitingDisposition && transfer->shared->receiveHolds.load() == 0) {
      consider(transfer->lastActivityUptime + idle);
    }
    if (configuration_.timeoutIntervalForResource > 0) {
      consider(transfer->startUptime + configuration_.timeoutIntervalForResource);
    }
  }
  return next;
}

URLSessionTaskMetrics SessionCore::metricsOf(Transfer& transfer, Date end) {
  URLSessionTaskMetrics metrics;
  metrics.taskInterval.start = transfer.task->createdAt_;
  metrics.taskInterval.duration = std::max(0.0, end - transfer.task->createdAt_);
  metrics.redirectCount = transfer.redirectCount;
  metrics.transactionMetrics = std::move(transfer.transactions);
  if (transfer.easy && !metrics.transactionMetrics.empty()) {
    auto& last = metrics.transactionMetrics.back();
    curl_off_t nameLookup = 0, connect = 0, appConnect = 0, preTransfer = 0, startTransfer = 0,
               total = 0, redirectTime = 0;
    curl_easy_getinfo(transfer.easy, CURLINFO_NAMELOOKUP_TIME_T, &nameLookup);
    curl_easy_getinfo(transfer.easy, CURLINFO_CONNECT_TIME_T, &connect);
    curl_easy_getinfo(transfer.easy, CURLINFO_APPCONNECT_TIME_T, &appConnect);
    curl_easy_getinfo(transfer.easy, CURLINFO_PRETRANSFER_TIME_T, &preTransfer);
    curl_easy_getinfo(transfer.easy, CURLINFO_STARTTRANSFER_TIME_T, &startTransfer);
    curl_easy_getinfo(transfer.easy, CURLINFO_TOTAL_TIME_T, &total);
    curl_easy_getinfo(transfer.easy, CURLINFO_REDIRECT_TIME_T, &redirectTime);
    // libcurl counts every phase from the start of the transfer, redirects included.
    Date start = transfer.fetchStart;
    last.fetchStartDate = start + static_cast<double>(redirectTime) / 1e6;
    long reused = 0;
    curl_easy_getinfo(transfer.easy, CURLINFO_NUM_CONNECTS, &reused);
    last.isReusedConnection = reused == 0;
    if (!last.isReusedConnection) {
      last.domainLookupStartDate = last.fetchStartDate;
      last.domainLookupEndDate = dateAfter(start, nameLookup);
      last.connectStartDate = last.domainLookupEndDate;
      last.connectEndDate = dateAfter(start, appConnect > 0 ? appConnect : connect);
      if (appConnect > 0) {
        last.secureConnectionStartDate = dateAfter(start, connect);
        last.secureConnectionEndDate = dateAfter(start, appConnect);
      }
    }
    last.requestStartDate = dateAfter(start, preTransfer);
    last.requestEndDate = last.requestStartDate;
    if (!last.responseStartDate) last.responseStartDate = dateAfter(start, startTransfer);
    last.responseEndDate = dateAfter(start, total);
    long version = 0;
    curl_easy_getinfo(transfer.easy, CURLINFO_HTTP_VERSION, &version);
    if (version == CURL_HTTP_VERSION_2_0) {
      last.networkProtocolName = "h2";
    } else if (version == CURL_HTTP_VERSION_1_0) {
      last.networkProtocolName = "http/1.0";
    } else if (version != 0) {
      last.networkProtocolName = "http/1.1";
    }
    char* ip = nullptr;
    curl_easy_getinfo(transfer.easy, CURLINFO_PRIMARY_IP, &ip);
    if (ip && *ip) last.remoteAddress = std::string(ip);
    long port = 0;
    curl_easy_getinfo(transfer.easy, CURLINFO_PRIMARY_PORT, &port);
    if (port > 0) last.remotePort = static_cast<int>(port);
    curl_off_t uploaded = 0, downloaded = 0;
    curl_easy_getinfo(transfer.easy, CURLINFO_SIZE_UPLOAD_T, &uploaded);
    curl_easy_getinfo(transfer.easy, CURLINFO_SIZE_DOWNLOAD_T, &downloaded);
    last.countOfRequestBodyBytesSent = uploaded;
    last.countOfResponseBodyBytesReceived = downloaded;
  }
  return metrics;
}

void SessionCore::finish(Transfer& transfer, ErrorPtr error) {
  if (!reclaimEnd(transfer)) return;  // ended on the delegate queue, which said so
  if (!error) completeFromCache(transfer);
  removeFromMulti(transfer);
  transfer.awaitingBodyStream = false;
  transfer.releaseDownloadFile();
  if (transfer.bodyStream) transfer.bodyStream->close();
  URLSessionTaskMetrics metrics = metricsOf(transfer, Date::now());

  {
    std::lock_guard lock(transfer.shared->mutex);
    transfer.shared->state = URLSessionTask::State::completed;
    transfer.shared->error = error;
  }
  hub_->taskCompleted(transfer.task->taskIdentifier());
  taskGone(*transfer.shared);
  if (transfer.task->kind_ == URLSessionTask::Kind::webSocket) {
    static_cast<URLSessionWebSocketTask&>(*transfer.task).connection_->ended(error);
  }

  auto task = transfer.task;
  auto session = transfer.keepAlive ? transfer.keepAlive : owner_.lock();
  deliver(
      [task, metrics = std::move(metrics)](URLSessionDelegate& delegate,
                                           const std::shared_ptr<URLSession>& s) {
        delegate.didFinishCollectingMetrics(s, task, metrics);
      },
      session);
  deliver(
      [task, error](URLSessionDelegate& delegate, const std::shared_ptr<URLSession>& s) {
        delegate.didCompleteWithError(s, task, error);
      },
      session);

  auto it = transfers_.find(task->taskIdentifier());
  if (it != transfers_.end()) {
    retire(it);
  } else {
    checkInvalidation();
  }
}

void SessionCore::retire(Transfers::iterator it) {
  // The transfer may still be referenced by the caller's frame; it goes at the next turn.
  if (it->second->webSocket) --webSocketTransfers_;
  finished_.push_back(std::move(it->second));
  transfers_.erase(it);
  checkInvalidation();
}

void SessionCore::finishQuietly(Transfer& transfer) {
  transfer.releaseDownloadFile();
  std::lock_guard lock(transfer.shared->mutex);
  if (transfer.shared->state != URLSessionTask::State::completed) {
    transfer.shared->state = URLSessionTask::State::completed;
    transfer.shared->error = makeError(URLError(URLError::Code::cancelled));
  }
}

// --- The session's loops ------------------------------------------------------------------------

namespace {
// Past this many tasks at once on the first loop of a session that bounds no host's
// connections, a second loop starts.
constexpr int kSpillWithoutBound = 8;
}  // namespace

SessionHub::SessionHub(URLSessionConfiguration configuration,
                       std::shared_ptr<URLSessionDelegate> delegate,
                       std::shared_ptr<OperationQueue> delegateQueue)
    : configuration_(std::move(configuration)),
      delegateQueue_(std::move(delegateQueue)),
      delegate_(std::move(delegate)),
      hasDelegate_(delegate_ != nullptr) {
  ensureCurlInitialized();
  if (configuration_.httpCookieStorage) {
    share_ = configuration_.httpCookieStorage->curlShare();
  } else {
    share_ = makeShare(shareLocks_, true);
    ownsShare_ = true;
  }
  // Requests that handle no cookies must not see the cookie store at all.
  plainShare_ = makeShare(plainShareLocks_, false);
  // Halving fewer than four connections would leave a loop too few; a machine with few cores
  // gains nothing from a second thread.
  const int limit = configuration_.httpMaximumConnectionsPerHost;
  if ((limit <= 0 || limit >= 4) && std::thread::hardware_concurrency() >= 4) {
    maximumCores_ = 2;
    spillAt_ = limit > 0 ? limit - limit / 2 : kSpillWithoutBound;
  }
}

SessionHub::~SessionHub() {
  if (ownsShare_) curl_share_cleanup(share_);
  curl_share_cleanup(plainShare_);
}

CURLSH* SessionHub::makeShare(ShareLocks& locks, bool cookies) {
  CURLSH* share = curl_share_init();
  curl_share_setopt(share, CURLSHOPT_LOCKFUNC,
                    +[](CURL*, curl_lock_data data, curl_lock_access, void* locks) {
                      static_cast<ShareLocks*>(locks)->at(std::size_t(data)).lock();
                    });
  curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, +[](CURL*, curl_lock_data data, void* locks) {
    static_cast<ShareLocks*>(locks)->at(std::size_t(data)).unlock();
  });
  curl_share_setopt(share, CURLSHOPT_USERDATA, &locks);
  if (cookies) curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
  curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  return share;
}

void SessionHub::start(const std::shared_ptr<SessionHub>& self,
                       const std::shared_ptr<URLSession>& owner) {
  self_ = self;
  owner_ = owner;
  const int limit = configuration_.httpMaximumConnectionsPerHost;
  // With no bound, neither loop has one.
  first_ = std::make_shared<SessionCore>(self, maximumCores_ > 1 && limit > 0 ? spillAt_ : limit);
  cores_.push_back(first_);
  first_->start(owner);
}

std::shared_ptr<SessionCore> SessionHub::coreForNewTask() {
  std::shared_ptr<SessionCore> chosen;
  {
    std::lock_guard lock(mutex_);
    if (!stopped_ && cores_.size() < maximumCores_ && !invalidated_ &&
        first_->assignedTasks().load(std::memory_order_relaxed) >= spillAt_) {
      auto owner = owner_.lock();
      auto self = self_.lock();
      if (owner && self) {
        const int limit = configuration_.httpMaximumConnectionsPerHost;
        auto core = std::make_shared<SessionCore>(self, limit > 0 ? limit / 2 : 0);
        core->start(owner);
        cores_.push_back(core);
      }
    }
    // The loop with the fewest tasks for the connections it may open.
    chosen = first_;
    for (const auto& core : cores_) {
      const long load = core->assignedTasks().load(std::memory_order_relaxed);
      const long chosenLoad = chosen->assignedTasks().load(std::memory_order_relaxed);
      if (load * chosen->weight() < chosenLoad * core->weight()) chosen = core;
    }
  }
  chosen->assignedTasks().fetch_add(1, std::memory_order_relaxed);
  return chosen;
}

void SessionHub::shutdown() {
  std::vector<std::shared_ptr<SessionCore>> cores;
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    cores.swap(cores_);
    first_.reset();  // the loops hold the hub: nothing may hold them back
  }
  for (auto& core : cores)
    core->shutdown();
}

void SessionHub::invalidate(bool cancelTasks) {
  {
    std::lock_guard lock(mutex_);
    if (invalidated_ && !cancelTasks) return;
    invalidated_ = true;
  }
  if (cancelTasks) {
    for (auto& task : liveTasks())
      task->cancel();
  }
  invalidateWhenDone_.store(true, std::memory_order_release);
  for (auto& core : cores())
    core->post([core = core.get()] { core->checkInvalidation(); });
}

void SessionHub::invalidateOnce() {
  if (invalidationStarted_.exchange(true)) return;
  // Each loop hands on what it gathered at the end of its turn, before it takes the next
  // turn's commands: once every loop has run this one, the completions of all tasks are on
  // the delegate queue, and the invalidation goes after them.
  auto loops = cores();
  auto remaining = std::make_shared<std::atomic<std::size_t>>(loops.size());
  auto hub = self_.lock();
  for (auto& core : loops) {
    auto arrive = [core = core.get(), remaining] {
      if (remaining->fetch_sub(1) == 1) core->deliverInvalidation();
    };
    if (!core->post(arrive) && remaining->fetch_sub(1) == 1 && hub) {
      hub->releaseDelegate();  // the session is going: nobody to tell
    }
  }
}

void SessionCore::checkInvalidation() {
  if (!hub_->invalidating() || hub_->hasLiveTasks()) return;
  hub_->invalidateOnce();
}

void SessionCore::deliverInvalidation() {
  auto hub = hub_;
  const bool delivered = deliver(
      [hub](URLSessionDelegate& delegate, const std::shared_ptr<URLSession>& session) {
        delegate.didBecomeInvalidWithError(session, nullptr);
        hub->releaseDelegate();
      });
  if (!delivered) hub->releaseDelegate();
}

// The connection of a web socket: libcurl opens it (TCP, TLS and trust, as for data tasks) in
// connect-only mode over HTTP/1.1, so ALPN offers only "http/1.1"; the upgrade and the frames
// are the connection object's.
void SessionCore::setUpWebSocket(Transfer& transfer) {
  const URLRequest& request = *transfer.task->originalRequest_;
  start(transfer, request);
  auto fail = [&](URLError::Code code, std::string detail) {
    finish(transfer, makeError(URLError(code, request.url, std::move(detail))));
  };
  if (!request.url) return fail(URLError::Code::badURL, "the request has no URL");
  const URL& url = *request.url;
  const std::string scheme = lowercase(url.scheme().value_or(""));
  const bool secure = scheme == "wss" || scheme == "https";
  if (!secure && scheme != "ws" && scheme != "http") {
    return fail(url.isAbsolute() ? URLError::Code::unsupportedURL : URLError::Code::badURL,
                "only ws, wss, http and https URLs open web sockets");
  }
  if (!url.host() || url.host()->empty()) return fail(URLError::Code::badURL, "no host");
  HTTPHeaderFields fields = request.allHTTPHeaderFields().value_or(HTTPHeaderFields());
  if (configuration_.httpAdditionalHeaders) {
    for (const auto& [name, value] : *configuration_.httpAdditionalHeaders) {
      if (!fields.contains(name)) fields.set(name, value);
    }
  }
  const std::string key = makeWebSocketKey();
  std::string problem;
  auto upgrade = makeWebSocketRequest(url, fields, key, problem);
  if (!upgrade) return fail(URLError::Code::badURL, problem);

  std::string host = url.host().value_or("");
  if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
  const std::string connectURL = (secure ? "https://" : "http://") + host + ":" +
                                 std::to_string(url.port().value_or(secure ? 443 : 80)) + "/";
  CURL* easy = curl_easy_init();
  transfer.easy = easy;
  curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
  curl_easy_setopt(easy, CURLOPT_URL, connectURL.c_str());
  curl_easy_setopt(easy, CURLOPT_CONNECT_ONLY, 1L);
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.errorBuffer);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(easy, CURLOPT_SSL_SESSIONID_CACHE, 0L);
  curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
  curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
  curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &sslContextCallback);
  curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, &transfer);
  curl_easy_setopt(easy, CURLOPT_SHARE, plainShare_);
  const double timeout =
      std::min(configuration_.timeoutIntervalForRequest, request.timeoutInterval);
  if (timeout > 0) {
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout * 1000.0));
  }

  auto& task = static_cast<URLSessionWebSocketTask&>(*transfer.task);
  transfer.webSocket = task.connection_;
  ++webSocketTransfers_;
  Transfer* raw = &transfer;
  std::weak_ptr<URLSessionWebSocketTask> weakTask =
      std::static_pointer_cast<URLSessionWebSocketTask>(transfer.task);
  WebSocketConnection::TransferHooks hooks;
  hooks.deliver = [this, raw](WebSocketConnection::DelegateCall call) {
    deliver(std::move(call), raw->keepAlive);
  };
  hooks.setResponse = [raw](URLResponsePtr response) {
    std::lock_guard lock(raw->shared->mutex);
    raw->shared->response = std::move(response);
  };
  hooks.finish = [this, raw](ErrorPtr error) { finish(*raw, std::move(error)); };
  transfer.webSocket->start(weakTask, std::move(hooks), url, std::move(*upgrade), key,
                            offeredWebSocketProtocols(fields), timeout);
  if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
    return fail(URLError::Code::unknown, "the connection could not be started");
  }
  transfer.inMulti = true;
}

}  // namespace net_detail

// --- Task ------------------------------------------------------------------------------------

URLSessionTask::URLSessionTask(Kind kind, std::uint64_t identifier, URLRequest request,
                               std::shared_ptr<net_detail::SessionCore> core,
                               std::shared_ptr<const net_detail::TaskSource> source)
    : kind_(kind),
      identifier_(identifier),
      originalRequest_(std::move(request)),
      core_(std::move(core)),
      shared_(std::make_shared<net_detail::TaskShared>()),
      source_(std::move(source)),
      createdAt_(Date::now()) {}

URLSessionTask::~URLSessionTask() {
  if (core_) core_->taskGone(*shared_);
}

std::optional<URLRequest> URLSessionTask::currentRequest() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->currentRequest ? shared_->currentRequest : originalRequest_;
}

URLResponsePtr URLSessionTask::response() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->response;
}

URLSessionTask::State URLSessionTask::state() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->state;
}

ErrorPtr URLSessionTask::error() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->error;
}

std::int64_t URLSessionTask::countOfBytesReceived() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->bytesReceived;
}

std::int64_t URLSessionTask::countOfBytesExpectedToReceive() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->bytesExpectedToReceive;
}

std::int64_t URLSessionTask::countOfBytesSent() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->bytesSent;
}

std::int64_t URLSessionTask::countOfBytesExpectedToSend() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->bytesExpectedToSend;
}

std::string URLSessionTask::taskDescription() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->description;
}

void URLSessionTask::setTaskDescription(std::string description) {
  std::lock_guard lock(shared_->mutex);
  shared_->description = std::move(description);
}

void URLSessionTask::resume() {
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->state != State::suspended) return;
    shared_->state = State::running;
  }
  auto self = shared_from_this();
  auto session = core_->owner();
  if (!session || !core_->post([core = core_.get(), self, session = std::move(session)] {
        core->resumeTask(self, session);
      })) {
    std::lock_guard lock(shared_->mutex);
    shared_->state = State::completed;
    shared_->error = makeError(URLError(URLError::Code::cancelled, originalRequest_->url));
  }
}

void URLSessionTask::suspend() {
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->state != State::running) return;
    shared_->state = State::suspended;
  }
  core_->post([core = core_.get(), id = identifier_] { core->suspendTask(id); });
}

void URLSessionTask::cancel() {
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->state != State::running && shared_->state != State::suspended) return;
    shared_->state = State::canceling;
  }
  std::shared_ptr<net_detail::ChallengeWait> wait;
  {
    std::lock_guard lock(shared_->mutex);
    wait = shared_->challengeWait.lock();
  }
  if (wait) wait->end(URLError::Code::cancelled);
  auto self = shared_from_this();
  if (!core_->post([core = core_.get(), self] { core->cancelTask(self); })) {
    std::lock_guard lock(shared_->mutex);
    shared_->state = State::completed;
    shared_->error = makeError(URLError(URLError::Code::cancelled, originalRequest_->url));
  }
}

void URLSessionDataTask::holdReceiving() {
  shared_->receiveHolds.fetch_add(1);
  core_->post([core = core_.get(), id = taskIdentifier()] { core->updateReceiveHold(id); });
}

void URLSessionDataTask::releaseReceiving() {
  int holds = shared_->receiveHolds.load();
  while (holds > 0 && !shared_->receiveHolds.compare_exchange_weak(holds, holds - 1)) {
  }
  if (holds <= 0) return;
  core_->post([core = core_.get(), id = taskIdentifier()] { core->updateReceiveHold(id); });
}

void URLSessionDownloadTask::cancelByProducingResumeData(
    std::function<void(std::optional<Bytes>)> completionHandler) {
  auto handler =
      std::make_shared<net_detail::OnceHandler<std::optional<Bytes>>>(std::move(completionHandler));
  // The answer never comes inside this call: without a transfer to ask, it goes out on a
  // queue of its own.
  auto answerLater = [handler] {
    DispatchQueue::global()->async([handler] { handler->call(std::nullopt); });
  };
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->state != State::running && shared_->state != State::suspended) {
      answerLater();
      return;
    }
    shared_->state = State::canceling;
  }
  auto self = shared_from_this();
  if (!core_->post([core = core_.get(), self, handler] {
        core->cancelTaskProducingResumeData(self, handler);
      })) {
    {
      std::lock_guard lock(shared_->mutex);
      shared_->state = State::completed;
      shared_->error = makeError(URLError(URLError::Code::cancelled, originalRequest_->url));
    }
    answerLater();
  }
}

URLSessionWebSocketTask::URLSessionWebSocketTask(std::uint64_t identifier, URLRequest request,
                                                 std::shared_ptr<net_detail::SessionCore> core)
    : URLSessionTask(Kind::webSocket, identifier, std::move(request), core),
      connection_(std::make_shared<net_detail::WebSocketConnection>(
          net_detail::WebSocketConnection::SessionHooks{
              [weak = std::weak_ptr(core)](std::function<void()> command) {
                auto core = weak.lock();
                return core && core->post(std::move(command));
              },
              [weak = std::weak_ptr(core),
               queue = core->delegateQueue()](std::function<void()> call) {
                if (auto core = weak.lock()) {
                  core->onDelegateQueue(std::move(call));
                } else {
                  queue->addOperation(std::move(call));
                }
              }})) {}

void URLSessionWebSocketTask::cancel(CloseCode closeCode, std::optional<Bytes> reason) {
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->state != State::running && shared_->state != State::suspended) return;
    shared_->state = State::canceling;
  }
  auto self = shared_from_this();
  if (!core_->post([core = core_.get(), self, code = static_cast<int>(closeCode),
                    reason = std::move(reason)]() mutable {
        core->cancelTask(self, code, std::move(reason));
      })) {
    std::lock_guard lock(shared_->mutex);
    shared_->state = State::completed;
    shared_->error = makeError(URLError(URLError::Code::cancelled, originalRequest_->url));
  }
}

// --- Session ---------------------------------------------------------------------------------

std::shared_ptr<URLSession> URLSession::make(URLSessionConfiguration configuration,
                                             std::shared_ptr<URLSessionDelegate> delegate,
                                             std::shared_ptr<OperationQueue> delegateQueue) {
  if (configuration.identifier) {
    fatal(
        "URLSession: background sessions (configurations with an identifier) are not "
        "supported");
  }
  if (!delegateQueue) {
    delegateQueue = std::make_shared<OperationQueue>("org.tovarine.urlsession.delegateQueue");
  }
  auto session = std::shared_ptr<URLSession>(new URLSession());
  auto hub = std::make_shared<net_detail::SessionHub>(
      std::move(configuration), std::move(delegate), std::move(delegateQueue));
  hub->start(hub, session);
  session->core_ = hub->firstCore();
  return session;
}

URLSession::~URLSession() {
  if (core_) core_->hub()->shutdown();
}

const URLSessionConfiguration& URLSession::configuration() const {
  return core_->configuration();
}

std::shared_ptr<URLSessionDelegate> URLSession::delegate() const {
  return core_->delegate();
}

const std::shared_ptr<OperationQueue>& URLSession::delegateQueue() const {
  return core_->delegateQueue();
}

std::string URLSession::sessionDescription() const {
  std::lock_guard lock(descriptionMutex_);
  return description_;
}

void URLSession::setSessionDescription(std::string description) {
  std::lock_guard lock(descriptionMutex_);
  description_ = std::move(description);
}

void URLSession::adopt(const std::shared_ptr<URLSessionTask>& task) {
  if (!core_->hub()->registerTask(task)) {
    // An invalidated session starts nothing: the task is born cancelled and never reports.
    std::lock_guard lock(task->shared_->mutex);
    task->shared_->state = URLSessionTask::State::completed;
    task->shared_->error = makeError(URLError(
        URLError::Code::cancelled, task->originalRequest_->url, "the session was invalidated"));
    return;
  }
  core_->deliver(
      [task](URLSessionDelegate& delegate, const std::shared_ptr<URLSession>& session) {
        delegate.didCreateTask(session, task);
      },
      shared_from_this());
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTask(URLRequest request) {
  net_detail::SessionHub& hub = *core_->hub();
  auto task = std::shared_ptr<URLSessionDataTask>(new URLSessionDataTask(
      URLSessionTask::Kind::data, hub.nextTaskIdentifier(), std::move(request), hub.coreForNewTask()));
  adopt(task);
  return task;
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTask(URLRequest request, Bytes bodyData) {
  net_detail::SessionHub& hub = *core_->hub();
  auto source = std::make_shared<net_detail::TaskSource>();
  source->body = net_detail::TaskSource::Body::data;
  source->data = std::move(bodyData);
  auto task = std::shared_ptr<URLSessionUploadTask>(
      new URLSessionUploadTask(URLSessionTask::Kind::upload, hub.nextTaskIdentifier(),
                               std::move(request), hub.coreForNewTask(), std::move(source)));
  adopt(task);
  return task;
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTask(URLRequest request,
                                                             const URL& fileURL) {
  net_detail::SessionHub& hub = *core_->hub();
  auto source = std::make_shared<net_detail::TaskSource>();
  source->body = net_detail::TaskSource::Body::file;
  // Anything but a file URL names no file that can be opened.
  source->filePath = fileURL.isFileURL() ? fileURL.path() : std::string();
  auto task = std::shared_ptr<URLSessionUploadTask>(
      new URLSessionUploadTask(URLSessionTask::Kind::upload, hub.nextTaskIdentifier(),
                               std::move(request), hub.coreForNewTask(), std::move(source)));
  adopt(task);
  return task;
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithStreamedRequest(
    URLRequest request) {
  net_detail::SessionHub& hub = *core_->hub();
  auto source = std::make_shared<net_detail::TaskSource>();
  source->body = net_detail::TaskSource::Body::stream;
  auto task = std::shared_ptr<URLSessionUploadTask>(
      new URLSessionUploadTask(URLSessionTask::Kind::upload, hub.nextTaskIdentifier(),
                               std::move(request), hub.coreForNewTask(), std::move(source)));
  adopt(task);
  return task;
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTask(URLRequest request) {
  net_detail::SessionHub& hub = *core_->hub();
  auto task = std::shared_ptr<URLSessionDownloadTask>(new URLSessionDownloadTask(
      URLSessionTask::Kind::download, hub.nextTaskIdentifier(), std::move(request), hub.coreForNewTask()));
  adopt(task);
  return task;
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTask(URL url) {
  return downloadTask(URLRequest(std::move(url)));
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithResumeData(
    const Bytes& resumeData) {
  net_detail::SessionHub& hub = *core_->hub();
  auto source = std::make_shared<net_detail::TaskSource>();
  auto record = DownloadResumeRecord::decode(resumeData);
  URLRequest request;
  if (record) {
    request = record->request;
    source->resume = std::move(record);
  } else {
    source->unreadableResumeData = true;
  }
  auto task = std::shared_ptr<URLSessionDownloadTask>(
      new URLSessionDownloadTask(URLSessionTask::Kind::download, hub.nextTaskIdentifier(),
                                 std::move(request), hub.coreForNewTask(), std::move(source)));
  adopt(task);
  return task;
}

std::shared_ptr<URLSessionWebSocketTask> URLSession::webSocketTask(URLRequest request) {
  net_detail::SessionHub& hub = *core_->hub();
  auto task = std::shared_ptr<URLSessionWebSocketTask>(
      new URLSessionWebSocketTask(hub.nextTaskIdentifier(), std::move(request), hub.coreForNewTask()));
  adopt(task);
  return task;
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTask(URL url) {
  return dataTask(URLRequest(std::move(url)));
}

void URLSession::finishTasksAndInvalidate() {
  core_->hub()->invalidate(false);
}

void URLSession::invalidateAndCancel() {
  core_->hub()->invalidate(true);
}

void URLSession::getAllTasks(
    std::function<void(std::vector<std::shared_ptr<URLSessionTask>>)> completion) {
  auto tasks = core_->hub()->liveTasks();
  core_->delegateQueue()->addOperation(
      [tasks = std::move(tasks), completion = std::move(completion)] { completion(tasks); });
}

}  // namespace platform

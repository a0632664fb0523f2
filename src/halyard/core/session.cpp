#include "halyard/core/session.h"

#include <algorithm>
#include <cctype>
#include <typeinfo>

#include "halyard/core/duvavuraz_uvevirarivero.h"
#include "halyard/core/halyard_info.h"
#include "halyard/core/http_header_views.h"
#include "halyard/core/request_helpers.h"
#include "platform/foundation/log.h"
#include "platform/net/url_error.h"

namespace halyard {

namespace {

// A body maker that is the body itself. Made out of line: inlined into the factories, g++ 12
// takes the variant's move for a read of uninitialised memory.
template <class Case>
[[gnu::noinline]] std::shared_ptr<const Uploadable> makeUploadable(Case body) {
  return std::make_shared<const Uploadable>(Uploadable::Storage(std::move(body)));
}

void precondition(bool condition, const char* what) {
  if (!condition) platform::fatal(std::string("Precondition failed: ") + what);
}

// A URL-loading session that was invalidated hands out tasks that are completed from the
// start (cancelled) and never report anything, so the request would wait for good. Such a
// task is recorded and its completion told to the request here. True when that happened.
bool completeRefusedTask(const URLSessionTaskPtr& task, const RequestPtr& request) {
  if (task->state() != platform::URLSessionTask::State::completed) return false;
  request->recordTask(task);
  platform::ErrorPtr error = task->error();
  if (!error) error = platform::makeError(platform::URLError(platform::URLError::Code::cancelled));
  request->recordTaskCompletion(task, toHalyardErrorOrElse(error, [](const ErrorPtr& e) {
                                  return HalyardError::sessionTaskFailed(e);
                                }));
  return true;
}

}  // namespace

// ---- Convertible records ---------------------------------------------------------------------

platform::URLRequest Session::RequestConvertible::toURLRequest() const {
  platform::URLRequest request = urlRequestFromConvertible(url, method, headers);
  if (requestModifier) requestModifier(request);
  // Without an encoding the parameters still go out, the way the default encoding writes them.
  if (!encoding) {
    return defaultParameterEncoding()->encodeParameterDictionary(URLRequestValue(request),
                                                                 parameters);
  }
  return encoding->encodeParameterDictionary(URLRequestValue(request), parameters);
}

platform::URLRequest Session::ParameterlessRequestConvertible::toURLRequest() const {
  platform::URLRequest request = urlRequestFromConvertible(url, method, headers);
  if (requestModifier) requestModifier(request);
  return request;
}

// ---- Construction ----------------------------------------------------------------------------

platform::URLSessionConfiguration Session::defaultConfiguration() {
  return makeDefaultConfigurationWithHeaders();
}

std::shared_ptr<Session> Session::initWithConfiguration(
    platform::URLSessionConfiguration configuration, std::shared_ptr<SessionDelegate> delegate,
    platform::DispatchQueuePtr rootQueue, bool startRequestsImmediately,
    platform::DispatchQueuePtr requestQueue, platform::DispatchQueuePtr serializationQueue,
    std::shared_ptr<RequestInterceptor> interceptor,
    std::shared_ptr<ServerTrustManager> serverTrustManager,
    std::shared_ptr<RedirectHandler> redirectHandler,
    std::shared_ptr<CachedResponseHandler> cachedResponseHandler,
    std::vector<EventMonitorPtr> eventMonitors) {
  precondition(!configuration.identifier, "background sessions are not supported");
  if (!delegate) delegate = std::make_shared<SessionDelegate>();
  // The session's own serial queue over the caller's, so that the caller's other work and the
  // session's never mix; the main queue is used as it is. Without a queue from the caller the
  // session's own queue is made directly, sparing every root-queue item a second hop.
  platform::DispatchQueuePtr serialRootQueue;
  if (!rootQueue) {
    serialRootQueue =
        platform::DispatchQueue::serial(HalyardInfo::labelPrefix + ".session.rootQueue");
  } else if (rootQueue == platform::DispatchQueue::main()) {
    serialRootQueue = rootQueue;
  } else {
    serialRootQueue = platform::DispatchQueue::serial(rootQueue->label(), rootQueue);
  }
  auto delegateQueue = std::make_shared<platform::OperationQueue>(
      serialRootQueue->label() + ".sessionDelegate", serialRootQueue);
  auto session = platform::URLSession::make(std::move(configuration), delegate, delegateQueue);
  return init(std::move(session), std::move(delegate), std::move(serialRootQueue),
              startRequestsImmediately, std::move(requestQueue), std::move(serializationQueue),
              std::move(interceptor), std::move(serverTrustManager), std::move(redirectHandler),
              std::move(cachedResponseHandler), std::move(eventMonitors));
}

std::shared_ptr<Session> Session::init(std::shared_ptr<platform::URLSession> session,
                                       std::shared_ptr<SessionDelegate> delegate,
                                       platform::DispatchQueuePtr rootQueue,
                                       bool startRequestsImmediately,
                                       platform::DispatchQueuePtr requestQueue,
                                       platform::DispatchQueuePtr serializationQueue,
                                       std::shared_ptr<RequestInterceptor> interceptor,
                                       std::shared_ptr<ServerTrustManager> serverTrustManager,
                                       std::shared_ptr<RedirectHandler> redirectHandler,
                                       std::shared_ptr<CachedResponseHandler> cachedResponseHandler,
                                       std::vector<EventMonitorPtr> eventMonitors) {
  precondition(!session->configuration().identifier, "background sessions are not supported");
  const auto& delegateQueue = session->delegateQueue();
  precondition(delegateQueue && delegateQueue->underlyingQueue() == rootQueue,
               "the session's delegate queue must run on the root queue");
  std::shared_ptr<Session> result(
      new Session(std::move(session), std::move(delegate), std::move(rootQueue),
                  startRequestsImmediately, std::move(requestQueue), std::move(serializationQueue),
                  std::move(interceptor), std::move(serverTrustManager), std::move(redirectHandler),
                  std::move(cachedResponseHandler), std::move(eventMonitors)));
  result->delegate_->setEventMonitor(result->eventMonitor_);
  result->delegate_->setStateProvider(std::weak_ptr<SessionStateProvider>(result));
  return result;
}

namespace {
std::vector<EventMonitorPtr> allMonitors(const std::vector<EventMonitorPtr>& defaults,
                                         std::vector<EventMonitorPtr> given) {
  std::vector<EventMonitorPtr> monitors = defaults;
  for (auto& monitor : given)
    monitors.push_back(std::move(monitor));
  return monitors;
}
}  // namespace

Session::Session(std::shared_ptr<platform::URLSession> session,
                 std::shared_ptr<SessionDelegate> delegate, platform::DispatchQueuePtr rootQueue,
                 bool startRequestsImmediately, platform::DispatchQueuePtr requestQueue,
                 platform::DispatchQueuePtr serializationQueue,
                 std::shared_ptr<RequestInterceptor> interceptor,
                 std::shared_ptr<ServerTrustManager> serverTrustManager,
                 std::shared_ptr<RedirectHandler> redirectHandler,
                 std::shared_ptr<CachedResponseHandler> cachedResponseHandler,
                 std::vector<EventMonitorPtr> eventMonitors)
    : defaultEventMonitors_{std::make_shared<DuvavurazUvevirarivero>()},
      session_(std::move(session)),
      delegate_(std::move(delegate)),
      rootQueue_(std::move(rootQueue)),
      startRequestsImmediately_(startRequestsImmediately),
      requestQueue_(requestQueue ? std::move(requestQueue)
                                 : platform::DispatchQueue::serial(
                                       rootQueue_->label() + ".requestQueue", rootQueue_)),
      serializationQueue_(serializationQueue
                              ? std::move(serializationQueue)
                              : platform::DispatchQueue::serial(
                                    rootQueue_->label() + ".serializationQueue", rootQueue_)),
      interceptor_(std::move(interceptor)),
      serverTrustManager_(std::move(serverTrustManager)),
      redirectHandler_(std::move(redirectHandler)),
      cachedResponseHandler_(std::move(cachedResponseHandler)),
      eventMonitor_(CompositeEventMonitor::initWithMonitors(
          allMonitors(defaultEventMonitors_, std::move(eventMonitors)))) {}

const std::shared_ptr<Session>& Session::defaultSession() {
  // Built once and never released: requests may still refer to it while the process exits.
  static const std::shared_ptr<Session>* session = new std::shared_ptr<Session>(
      initWithConfiguration(defaultConfiguration(), std::make_shared<SessionDelegate>()));
  return *session;
}

const std::shared_ptr<Session>& sharedSession() {
  return Session::defaultSession();
}

Session::~Session() {
  finishRequestsOnDeinit();
  session_->invalidateAndCancel();
}

void Session::finishRequestsOnDeinit() {
  for (const auto& request : requestTaskMap_.requests()) {
    rootQueue_->async([request] { request->complete(HalyardError::sessionDeinitialized()); });
  }
}

// ---- Active requests -------------------------------------------------------------------------

void Session::visitActiveRequests(std::function<void(const RequestSet&)> visitor) {
  rootQueue_->async([self = shared_from_this(), visitor = std::move(visitor)] {
    const RequestSet copy = self->activeRequests_;
    visitor(copy);
  });
}

void Session::cancelActiveRequests(platform::DispatchQueuePtr queue,
                                   std::function<void()> completion) {
  visitActiveRequests(
      [queue = std::move(queue), completion = std::move(completion)](const RequestSet& requests) {
        for (const auto& request : requests)
          request->cancel();
        if (completion) queue->async(completion);
      });
}

// ---- Performing ------------------------------------------------------------------------------

void Session::performRequest(const RequestPtr& request) {
  rootQueue_->async([self = shared_from_this(), request] {
    if (request->isCancelled()) return;
    self->activeRequests_.insert(request);
    self->requestQueue_->async([self, request] {
      self->requestQueue_->dispatchPrecondition();
      request->performWith(*self);
    });
  });
}

void Session::performWithConvertible(const RequestPtr& request,
                                     const URLRequestConvertible& convertible) {
  setUpURLRequest(request, convertible);
}

void Session::performUploadRequest(const std::shared_ptr<UploadRequest>& request) {
  auto self = shared_from_this();
  setUpURLRequest(request, *request->upload(),
                  [self, request] { return self->makeUploadableForRequest(request); });
}

void Session::performDownloadRequest(const std::shared_ptr<DownloadRequest>& request) {
  requestQueue_->dispatchPrecondition();
  const auto& downloadable = request->downloadable();
  if (const auto* fromRequest =
          std::get_if<DownloadRequest::Downloadable::Request>(&downloadable.storage)) {
    setUpURLRequest(request, *fromRequest->convertible);
    return;
  }
  const auto& data = std::get<DownloadRequest::Downloadable::ResumeData>(downloadable.storage).data;
  rootQueue_->async(
      [self = shared_from_this(), request, data] { self->startResumeDataTask(data, request); });
}

void Session::startResumeDataTask(const platform::Bytes& resumeData,
                                  const std::shared_ptr<DownloadRequest>& request) {
  rootQueue_->dispatchPrecondition();
  if (request->isCancelled()) return;
  auto task = request->makeResumeDataTask(resumeData, session_);
  if (completeRefusedTask(task, request)) return;
  requestTaskMap_.setTask(task, request);
  request->recordTask(task);
  request->mutableState().mutateValue(
      [&](Request::MutableState& state) { syncTaskState(task, state.state, request); });
}

bool Session::makeUploadableForRequest(const std::shared_ptr<UploadRequest>& request) {
  try {
    Uploadable uploadable = request->upload()->toUploadable();
    rootQueue_->async(
        [request, uploadable = std::move(uploadable)] { request->recordUploadable(uploadable); });
    return true;
  } catch (...) {
    const HalyardError error = toHalyardErrorOrElse(
        currentError(), [](const ErrorPtr& e) { return HalyardError::createUploadableFailed(e); });
    rootQueue_->async([request, error] { request->recordUploadableFailure(error); });
    return false;
  }
}

void Session::setUpURLRequest(const RequestPtr& request, const URLRequestConvertible& convertible,
                              std::function<bool()> gate) {
  requestQueue_->dispatchPrecondition();
  auto initial = makeInitialURLRequest(request, convertible);
  if (!initial) return;
  auto adapter = combinedAdapter(request);
  if (!adapter && !gate) {
    recordAndStartURLRequest(request, std::move(initial));
    return;
  }
  rootQueue_->async([request, initial] { request->recordInitialURLRequest(*initial); });
  if (request->isCancelled()) return;
  if (adapter) {
    adaptURLRequest(request, adapter, initial, std::move(gate));
  } else {
    startTaskUnlessGateCloses(request, std::move(initial), gate);
  }
}

std::shared_ptr<const platform::URLRequest> Session::makeInitialURLRequest(
    const RequestPtr& request, const URLRequestConvertible& convertible) {
  std::optional<platform::URLRequest> initial;
  try {
    initial = convertible.toURLRequest();
    validateNoBodyInGET(*initial);
  } catch (...) {
    const HalyardError error = toHalyardErrorOrElse(
        currentError(), [](const ErrorPtr& e) { return HalyardError::createURLRequestFailed(e); });
    rootQueue_->async([request, error] { request->recordURLRequestCreationFailure(error); });
    return nullptr;
  }
  // One immutable copy serves every step that reads the initial request.
  return std::make_shared<const platform::URLRequest>(std::move(*initial));
}

void Session::recordAndStartURLRequest(const RequestPtr& request,
                                       std::shared_ptr<const platform::URLRequest> initial) {
  // Nothing comes between recording the request and starting its task: both go to the root
  // queue as one item.
  const bool start = !request->isCancelled();
  rootQueue_->async([self = shared_from_this(), request, initial = std::move(initial), start] {
    request->recordInitialURLRequest(*initial);
    if (start) self->startTaskForURLRequest(*initial, request);
  });
}

void Session::adaptURLRequest(const RequestPtr& request,
                              const std::shared_ptr<RequestAdapter>& adapter,
                              const std::shared_ptr<const platform::URLRequest>& initial,
                              std::function<bool()> gate) {
  // The adapter may answer later, on any thread; everything after it goes to the root queue.
  auto self = shared_from_this();
  adapter->adaptWithState(
      *initial, RequestAdapterState{request->id(), self},
      [self, request, initial, gate = std::move(gate)](AdaptationResult result) {
        self->didAdaptURLRequest(request, initial, gate, std::move(result));
      });
}

void Session::didAdaptURLRequest(const RequestPtr& request,
                                 const std::shared_ptr<const platform::URLRequest>& initial,
                                 const std::function<bool()>& gate, AdaptationResult result) {
  ErrorPtr failure;
  if (result) {
    try {
      validateNoBodyInGET(*result);
    } catch (...) {
      failure = currentError();
    }
  } else {
    failure = result.error();
  }
  if (failure) {
    const HalyardError error = HalyardError::requestAdaptationFailed(failure);
    rootQueue_->async(
        [request, initial, error] { request->recordAdaptationFailure(*initial, error); });
    return;
  }
  auto adapted = std::make_shared<const platform::URLRequest>(std::move(*result));
  rootQueue_->async(
      [request, initial, adapted] { request->recordAdaptedURLRequest(*initial, *adapted); });
  startTaskUnlessGateCloses(request, std::move(adapted), gate);
}

void Session::startTaskUnlessGateCloses(const RequestPtr& request,
                                        std::shared_ptr<const platform::URLRequest> urlRequest,
                                        const std::function<bool()>& gate) {
  if (gate && !gate()) return;
  rootQueue_->async([self = shared_from_this(), request, urlRequest = std::move(urlRequest)] {
    self->startTaskForURLRequest(*urlRequest, request);
  });
}

void Session::startTaskForURLRequest(const platform::URLRequest& urlRequest,
                                     const RequestPtr& request) {
  rootQueue_->dispatchPrecondition();
  request->recordFinalURLRequest(urlRequest);
  if (request->isCancelled()) return;
  auto task = request->makeTask(urlRequest, session_);
  if (completeRefusedTask(task, request)) return;
  requestTaskMap_.setTask(task, request);
  request->recordTask(task);
  rootQueue_->dispatchPrecondition();
  request->mutableState().mutateValue(
      [&](Request::MutableState& state) { syncTaskState(task, state.state, request); });
}

void Session::syncTaskState(const URLSessionTaskPtr& task, Request::State state,
                            const RequestPtr& request) {
  switch (state) {
    case Request::State::initialized:
    case Request::State::finished:
      break;
    case Request::State::resumed:
      request->scheduleTaskNotification(&Request::notifyTaskResumed, task);
      task->resume();
      break;
    case Request::State::suspended:
      request->scheduleTaskNotification(&Request::notifyTaskSuspended, task);
      task->suspend();
      break;
    case Request::State::cancelled:
      request->scheduleTaskNotification(&Request::notifyTaskCancelled, task);
      task->resume();
      task->cancel();
      break;
  }
}

std::shared_ptr<RequestAdapter> Session::combinedAdapter(const RequestPtr& request) const {
  const auto& own = request->interceptor();
  if (own && interceptor_) {
    return std::make_shared<Interceptor>(Interceptor::Adapters{own, interceptor_},
                                         Interceptor::Retriers{});
  }
  if (own) return own;
  return interceptor_;
}

std::shared_ptr<RequestRetrier> Session::combinedRetrier(const RequestPtr& request) const {
  const auto& own = request->interceptor();
  if (own && interceptor_) {
    return std::make_shared<Interceptor>(Interceptor::Adapters{},
                                         Interceptor::Retriers{own, interceptor_});
  }
  if (own) return own;
  return interceptor_;
}

// ---- RequestDelegate -------------------------------------------------------------------------

const platform::URLSessionConfiguration& Session::urlConfiguration() const {
  return session_->configuration();
}

void Session::cleanUpAfterRequest(const RequestPtr& request) {
  activeRequests_.erase(request);
}

void Session::decideRetryForRequest(const RequestPtr& request, const HalyardError& error,
                                    RetryCompletion completion) {
  auto retrier = combinedRetrier(request);
  if (!retrier) {
    rootQueue_->async(
        [completion = std::move(completion)] { completion(RetryResult::doNotRetry()); });
    return;
  }
  auto self = shared_from_this();
  const ErrorPtr originalError = makeErrorPtr(error);
  retrier->decideRetry(
      request, self, originalError,
      [self, originalError, completion = std::move(completion)](RetryResult result) {
        // The retrier may answer anywhere; the request hears the answer on the root queue.
        self->rootQueue_->async([originalError, completion, result = std::move(result)] {
          if (result.isDoNotRetryWithError()) {
            completion(RetryResult::doNotRetryWithError(
                makeErrorPtr(HalyardError::requestRetryFailed(result.error(), originalError))));
          } else {
            completion(result);
          }
        });
      });
}

void Session::retryRequestAfterDelay(const RequestPtr& request, std::optional<double> delay) {
  rootQueue_->async([self = shared_from_this(), request, delay] {
    auto retry = [self, request] {
      if (request->isCancelled()) return;
      request->prepareRetry();
      self->performRequest(request);
    };
    if (delay) {
      runAfter(self->rootQueue_, *delay, retry);
    } else {
      retry();
    }
  });
}

// ---- SessionStateProvider --------------------------------------------------------------------

RequestPtr Session::requestForTask(const URLSessionTaskPtr& task) {
  rootQueue_->dispatchPrecondition();
  return requestTaskMap_.requestForTask(task);
}

void Session::didGatherMetricsForTask(const URLSessionTaskPtr& task) {
  rootQueue_->dispatchPrecondition();
  const auto events = requestTaskMap_.eventsForTask(task);
  if (!events) {
    platform::fatal("RequestTaskMap consistency error: no events corresponding to task found.");
  }
  if (events->metricsGathered) {
    platform::fatal("RequestTaskMap consistency error: duplicate metricsGatheredForTask call.");
  }
  if (!events->completed) {
    requestTaskMap_.setEvents(task, {false, true});
    return;
  }
  requestTaskMap_.removeTask(task);
  if (auto waiting = waitingCompletions_.find(task); waiting != waitingCompletions_.end()) {
    auto completion = std::move(waiting->second);
    waitingCompletions_.erase(waiting);
    completion();
  }
}

void Session::didCompleteTask(const URLSessionTaskPtr& task, std::function<void()> completion) {
  rootQueue_->dispatchPrecondition();
  const auto events = requestTaskMap_.eventsForTask(task);
  if (!events) {
    platform::fatal("RequestTaskMap consistency error: no events corresponding to task found.");
  }
  if (events->completed) {
    platform::fatal("RequestTaskMap consistency error: duplicate completionReceivedForTask call.");
  }
  if (!events->metricsGathered) {
    requestTaskMap_.setEvents(task, {true, false});
    waitingCompletions_[task] = std::move(completion);
    return;
  }
  requestTaskMap_.removeTask(task);
  completion();
}

bool Session::sameOrigin(const std::optional<platform::URL>& url,
                         const platform::URLProtectionSpace& space) {
  if (!url || !space.protocol()) return false;
  auto lower = [](std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
  };
  const std::string scheme = lower(url->scheme().value_or(""));
  const int port = url->port().value_or(scheme == "https" ? 443 : scheme == "http" ? 80 : -1);
  return scheme == lower(*space.protocol()) &&
         lower(url->host().value_or("")) == lower(space.host()) && port == space.port();
}

std::optional<platform::URLCredential> Session::credentialForTask(
    const URLSessionTaskPtr& task, const platform::URLProtectionSpace& space) {
  rootQueue_->dispatchPrecondition();
  // The request's own credential goes only to the origins the request itself addressed; a
  // server it was redirected to gets what the storage holds for its space, or nothing.
  if (auto request = requestTaskMap_.requestForTask(task)) {
    if (auto credential = request->credential()) {
      for (const auto& urlRequest : request->requests()) {
        if (sameOrigin(urlRequest.url, space)) return credential;
      }
    }
  }
  const auto& storage = session_->configuration().urlCredentialStorage;
  if (!storage) return std::nullopt;
  return storage->defaultCredential(space);
}

void Session::cancelRequestsForSessionInvalidation(const ErrorPtr& error) {
  rootQueue_->dispatchPrecondition();
  for (const auto& request : requestTaskMap_.requests()) {
    request->complete(HalyardError::sessionInvalidated(error));
  }
}

}  // namespace halyard

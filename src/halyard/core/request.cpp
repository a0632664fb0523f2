#include "halyard/core/request.h"

#include "halyard/core/halyard_info.h"
#include "halyard/core/request_delegate.h"
#include "halyard/core/request_performer.h"
#include "halyard/core/value_description.h"
#include "platform/foundation/log.h"

namespace halyard {

namespace {

bool isOneOf(Request::State state, std::initializer_list<Request::State> states) {
  for (auto candidate : states) {
    if (state == candidate) return true;
  }
  return false;
}

}  // namespace

const std::string& Request::didResumeName() {
  static const std::string name = HalyardInfo::labelPrefix + ".notification.name.request.didResume";
  return name;
}
const std::string& Request::didSuspendName() {
  static const std::string name =
      HalyardInfo::labelPrefix + ".notification.name.request.didSuspend";
  return name;
}
const std::string& Request::didCancelName() {
  static const std::string name = HalyardInfo::labelPrefix + ".notification.name.request.didCancel";
  return name;
}
const std::string& Request::didFinishName() {
  static const std::string name = HalyardInfo::labelPrefix + ".notification.name.request.didFinish";
  return name;
}
const std::string& Request::didResumeTaskName() {
  static const std::string name =
      HalyardInfo::labelPrefix + ".notification.name.request.didResumeTask";
  return name;
}
const std::string& Request::didSuspendTaskName() {
  static const std::string name =
      HalyardInfo::labelPrefix + ".notification.name.request.didSuspendTask";
  return name;
}
const std::string& Request::didCancelTaskName() {
  static const std::string name =
      HalyardInfo::labelPrefix + ".notification.name.request.didCancelTask";
  return name;
}
const std::string& Request::didCompleteTaskName() {
  static const std::string name =
      HalyardInfo::labelPrefix + ".notification.name.request.didCompleteTask";
  return name;
}

const std::string& requestNotificationKey() {
  static const std::string key = HalyardInfo::labelPrefix + ".notification.key.request";
  return key;
}

RequestPtr requestFromUserInfo(const platform::Notification& notification) {
  auto entry = notification.userInfo.find(requestNotificationKey());
  if (entry == notification.userInfo.end()) return nullptr;
  if (auto request = std::any_cast<RequestPtr>(&entry->second)) return *request;
  return nullptr;
}

Request::Request(RequestContext context)
    : id_(std::move(context.id)),
      underlyingQueue_(std::move(context.underlyingQueue)),
      serializationQueue_(std::move(context.serializationQueue)),
      eventMonitor_(std::move(context.eventMonitor)),
      interceptor_(std::move(context.interceptor)),
      delegate_(std::move(context.delegate)),
      uploadProgress_(std::make_shared<platform::Progress>(0)),
      downloadProgress_(std::make_shared<platform::Progress>(0)) {}

// ---- State -----------------------------------------------------------------------------------

std::shared_ptr<RequestDelegate> Request::delegate() const {
  return delegate_.mutateValue([](std::weak_ptr<RequestDelegate>& d) { return d.lock(); });
}

void Request::setDelegate(std::weak_ptr<RequestDelegate> delegate) {
  delegate_.replaceValue(std::move(delegate));
}

Request::State Request::state() const {
  return mutableState_.valueAtKeyPath(&MutableState::state);
}

std::optional<Request::ProgressHandlerEntry> Request::uploadProgressHandler() const {
  return mutableState_.valueAtKeyPath(&MutableState::uploadProgressHandler);
}

void Request::setUploadProgressHandlerEntry(std::optional<ProgressHandlerEntry> entry) {
  mutableState_.setValueAtKeyPath(&MutableState::uploadProgressHandler, std::move(entry));
}

std::optional<Request::ProgressHandlerEntry> Request::downloadProgressHandler() const {
  return mutableState_.valueAtKeyPath(&MutableState::downloadProgressHandler);
}

void Request::setDownloadProgressHandlerEntry(std::optional<ProgressHandlerEntry> entry) {
  mutableState_.setValueAtKeyPath(&MutableState::downloadProgressHandler, std::move(entry));
}

std::shared_ptr<RedirectHandler> Request::redirectHandler() const {
  return mutableState_.valueAtKeyPath(&MutableState::redirectHandler);
}

std::shared_ptr<CachedResponseHandler> Request::cachedResponseHandler() const {
  return mutableState_.valueAtKeyPath(&MutableState::cachedResponseHandler);
}

std::optional<platform::URLCredential> Request::credential() const {
  return mutableState_.valueAtKeyPath(&MutableState::credential);
}

void Request::setCredential(std::optional<platform::URLCredential> credential) {
  mutableState_.setValueAtKeyPath(&MutableState::credential, std::move(credential));
}

std::vector<platform::URLRequest> Request::requests() const {
  return mutableState_.valueAtKeyPath(&MutableState::requests);
}

std::optional<platform::URLRequest> Request::firstRequest() const {
  return mutableState_.mutateValue([](MutableState& s) -> std::optional<platform::URLRequest> {
    if (s.requests.empty()) return std::nullopt;
    return s.requests.front();
  });
}

std::optional<platform::URLRequest> Request::lastRequest() const {
  return mutableState_.mutateValue([](MutableState& s) -> std::optional<platform::URLRequest> {
    if (s.requests.empty()) return std::nullopt;
    return s.requests.back();
  });
}

std::vector<platform::URLRequest> Request::taskRequests() const {
  std::vector<platform::URLRequest> result;
  for (const auto& task : tasks()) {
    if (auto request = task->currentRequest()) result.push_back(std::move(*request));
  }
  return result;
}

platform::HTTPURLResponsePtr Request::httpResponse() const {
  const auto task = lastTask();
  if (!task) return nullptr;
  return std::dynamic_pointer_cast<const platform::HTTPURLResponse>(task->response());
}

std::vector<URLSessionTaskPtr> Request::tasks() const {
  return mutableState_.valueAtKeyPath(&MutableState::tasks);
}

URLSessionTaskPtr Request::firstTask() const {
  return mutableState_.mutateValue(
      [](MutableState& s) { return s.tasks.empty() ? nullptr : s.tasks.front(); });
}

URLSessionTaskPtr Request::lastTask() const {
  return mutableState_.mutateValue(
      [](MutableState& s) { return s.tasks.empty() ? nullptr : s.tasks.back(); });
}

std::vector<TaskMetricsPtr> Request::gatheredMetrics() const {
  return mutableState_.valueAtKeyPath(&MutableState::metrics);
}

TaskMetricsPtr Request::firstMetrics() const {
  return mutableState_.mutateValue(
      [](MutableState& s) { return s.metrics.empty() ? nullptr : s.metrics.front(); });
}

TaskMetricsPtr Request::lastMetrics() const {
  return mutableState_.mutateValue(
      [](MutableState& s) { return s.metrics.empty() ? nullptr : s.metrics.back(); });
}

std::int64_t Request::retryCount() const {
  return mutableState_.valueAtKeyPath(&MutableState::retryCount);
}

std::optional<HalyardError> Request::error() const {
  return mutableState_.valueAtKeyPath(&MutableState::error);
}

void Request::setError(std::optional<HalyardError> error) {
  mutableState_.setValueAtKeyPath(&MutableState::error, std::move(error));
}

// ---- Lifecycle hooks -------------------------------------------------------------------------

void Request::recordInitialURLRequest(const platform::URLRequest& request) {
  underlyingQueue_->dispatchPrecondition();
  mutableState_.mutateValue([&](MutableState& s) { s.requests.push_back(request); });
  if (eventMonitor_) eventMonitor_->requestDidCreateInitialURLRequest(shared_from_this(), request);
}

void Request::recordURLRequestCreationFailure(const HalyardError& error) {
  underlyingQueue_->dispatchPrecondition();
  setError(error);
  mutableState_.mutateValue([&](MutableState& s) { runPendingCURLHandler(s); });
  if (eventMonitor_) {
    eventMonitor_->requestDidFailToCreateURLRequestWithError(shared_from_this(), error);
  }
  retryOrComplete(error);
}

void Request::recordAdaptedURLRequest(const platform::URLRequest& initial,
                                      const platform::URLRequest& adapted) {
  underlyingQueue_->dispatchPrecondition();
  mutableState_.mutateValue([&](MutableState& s) { s.requests.push_back(adapted); });
  if (eventMonitor_) {
    eventMonitor_->requestDidAdaptInitialRequestToAdaptedRequest(shared_from_this(), initial,
                                                                 adapted);
  }
}

void Request::recordAdaptationFailure(const platform::URLRequest& request,
                                      const HalyardError& error) {
  underlyingQueue_->dispatchPrecondition();
  setError(error);
  mutableState_.mutateValue([&](MutableState& s) { runPendingCURLHandler(s); });
  if (eventMonitor_) {
    eventMonitor_->requestDidFailToAdaptURLRequestWithError(shared_from_this(), request, error);
  }
  retryOrComplete(error);
}

void Request::recordFinalURLRequest(const platform::URLRequest& request) {
  underlyingQueue_->dispatchPrecondition();
  mutableState_.mutateValue([&](MutableState& s) {
    if (s.urlRequestHandler) {
      s.urlRequestHandler->queue->async(
          [handler = s.urlRequestHandler->handler, request] { handler(request); });
    }
    runPendingCURLHandler(s);
  });
  if (eventMonitor_) eventMonitor_->requestDidCreateURLRequest(shared_from_this(), request);
}

void Request::recordTask(const URLSessionTaskPtr& task) {
  underlyingQueue_->dispatchPrecondition();
  mutableState_.mutateValue([&](MutableState& s) {
    s.tasks.push_back(task);
    if (s.urlSessionTaskHandler) {
      s.urlSessionTaskHandler->queue->async(
          [handler = s.urlSessionTaskHandler->handler, task] { handler(task); });
    }
  });
  if (eventMonitor_) eventMonitor_->requestDidCreateTask(shared_from_this(), task);
}

void Request::notifyResumed() {
  underlyingQueue_->dispatchPrecondition();
  if (eventMonitor_) eventMonitor_->requestDidResume(shared_from_this());
}

void Request::notifyTaskResumed(const URLSessionTaskPtr& task) {
  underlyingQueue_->dispatchPrecondition();
  if (eventMonitor_) eventMonitor_->requestDidResumeTask(shared_from_this(), task);
}

void Request::notifySuspended() {
  underlyingQueue_->dispatchPrecondition();
  if (eventMonitor_) eventMonitor_->requestDidSuspend(shared_from_this());
}

void Request::notifyTaskSuspended(const URLSessionTaskPtr& task) {
  underlyingQueue_->dispatchPrecondition();
  if (eventMonitor_) eventMonitor_->requestDidSuspendTask(shared_from_this(), task);
}

void Request::notifyCancelled() {
  underlyingQueue_->dispatchPrecondition();
  mutableState_.mutateValue([](MutableState& s) {
    if (!s.error) s.error = HalyardError::explicitlyCancelled();
  });
  if (eventMonitor_) eventMonitor_->requestDidCancel(shared_from_this());
}

void Request::notifyTaskCancelled(const URLSessionTaskPtr& task) {
  underlyingQueue_->dispatchPrecondition();
  if (eventMonitor_) eventMonitor_->requestDidCancelTask(shared_from_this(), task);
}

void Request::scheduleTaskNotification(void (Request::*notify)(const URLSessionTaskPtr&),
                                       URLSessionTaskPtr task) {
  // Queued before the task is told: once told, it may end on the I/O thread at once, and its
  // completion must not reach this queue ahead of the notice. The caller holds the state lock
  // until the task has been told, so the notice takes that lock once before it runs: monitors
  // still hear of the change only after the task has seen it.
  underlyingQueue_->async([self = shared_from_this(), notify, task = std::move(task)] {
    self->mutableState_.mutateValue([](MutableState&) {});
    ((*self).*notify)(task);
  });
}

void Request::recordMetrics(const TaskMetricsPtr& metrics) {
  underlyingQueue_->dispatchPrecondition();
  mutableState_.mutateValue([&](MutableState& s) { s.metrics.push_back(metrics); });
  if (eventMonitor_) eventMonitor_->requestDidGatherMetrics(shared_from_this(), metrics);
}

void Request::recordEarlyTaskFailure(const URLSessionTaskPtr& task, const HalyardError& error) {
  underlyingQueue_->dispatchPrecondition();
  setError(error);
  if (eventMonitor_)
    eventMonitor_->requestDidFailTaskEarlyWithError(shared_from_this(), task, error);
}

void Request::recordTaskCompletion(const URLSessionTaskPtr& task,
                                   const std::optional<HalyardError>& error) {
  underlyingQueue_->dispatchPrecondition();
  // An earlier cancellation or early failure wins over the task's own error.
  mutableState_.mutateValue([&](MutableState& s) {
    if (!s.error) s.error = error;
  });
  std::vector<std::function<void()>> steps;
  validators_.mutateValue([&](std::vector<std::function<void()>>& list) { steps = list; });
  for (const auto& validate : steps)
    validate();
  if (eventMonitor_)
    eventMonitor_->requestDidCompleteTaskWithError(shared_from_this(), task, error);
  retryOrComplete(this->error());
}

void Request::prepareRetry() {
  underlyingQueue_->dispatchPrecondition();
  mutableState_.mutateValue([](MutableState& s) { s.retryCount += 1; });
  resetState();
  if (eventMonitor_) eventMonitor_->requestIsRetrying(shared_from_this());
}

void Request::retryOrComplete(const std::optional<HalyardError>& error) {
  underlyingQueue_->dispatchPrecondition();
  auto delegate = this->delegate();
  if (state() == State::cancelled || !error || !delegate) {
    complete(std::nullopt);
    return;
  }
  auto self = shared_from_this();
  delegate->decideRetryForRequest(self, *error, [self, delegate](RetryResult result) {
    // A cancel while the decision was pending has finished the request already; answering
    // now would finish it a second time.
    if (self->state() == State::cancelled) return;
    if (result.isRetry()) {
      delegate->retryRequestAfterDelay(self, std::nullopt);
    } else if (auto delay = result.delay()) {
      delegate->retryRequestAfterDelay(self, *delay);
    } else if (result.isDoNotRetry()) {
      self->complete(std::nullopt);
    } else {
      self->complete(
          toHalyardErrorOrFail(result.error(), "Received retryError was not already HalyardError"));
    }
  });
}

void Request::complete(const std::optional<HalyardError>& error) {
  underlyingQueue_->dispatchPrecondition();
  const bool alreadyFinishing = mutableState_.mutateValue([&](MutableState& s) {
    if (s.isFinishing) return true;
    s.isFinishing = true;
    if (error) s.error = error;
    return false;
  });
  // A second finishing step during a running serializer pass does nothing.
  if (alreadyFinishing) return;
  runNextResponseSerializer();
  if (eventMonitor_) eventMonitor_->requestDidFinish(shared_from_this());
}

// ---- Response-serializer pipeline ------------------------------------------------------------

void Request::appendResponseSerializer(MutableState& s, std::function<void()> step) {
  s.responseSerializers.push_back(std::make_shared<const std::function<void()>>(std::move(step)));
  if (s.state == State::finished) s.state = State::resumed;
  // A pass that has ended is started again, once: a second step added before the new pass
  // picks it up must not start another pass, or the first step would run twice.
  if (s.responseSerializerProcessingFinished && !s.isFinishing) {
    s.responseSerializerProcessingFinished = false;
    s.isFinishing = true;
    underlyingQueue_->async([self = shared_from_this()] { self->runNextResponseSerializer(); });
  }
  // Only a request nobody has started yet is started: one the caller suspended, before or
  // after registering, stays suspended.
  if (s.state == State::initialized) {
    underlyingQueue_->async([self = shared_from_this()] {
      auto delegate = self->delegate();
      if (delegate && delegate->startsImmediately()) {
        self->mutableState_.mutateValue([&](MutableState& state) {
          if (state.state == State::initialized) self->applyResume(state);
        });
      }
    });
  }
}

void Request::runNextResponseSerializer() {
  std::shared_ptr<const std::function<void()>> next;
  std::vector<std::function<void()>> completions;
  std::vector<std::shared_ptr<const std::function<void()>>> finishedSteps;
  // Taking the next step and ending the pass happen in one lock hold, so a step added
  // concurrently is either taken by this pass or finds the pass ended and starts a new one.
  mutableState_.mutateValue([&](MutableState& s) {
    const std::size_t index = s.responseSerializerCompletions.size();
    if (index < s.responseSerializers.size()) {
      next = s.responseSerializers[index];
      return;
    }
    completions = std::move(s.responseSerializerCompletions);
    finishedSteps = std::move(s.responseSerializers);
    s.responseSerializerCompletions.clear();
    s.responseSerializers.clear();
    if (isOneOf(s.state, {State::initialized, State::resumed, State::suspended})) {
      s.state = State::finished;
    }
    s.responseSerializerProcessingFinished = true;
    s.isFinishing = false;
  });
  if (next) {
    serializationQueue_->async([next = std::move(next)] { (*next)(); });
    return;
  }
  for (const auto& completion : completions)
    completion();
  runFinishHandlersAndCleanUp();
}

void Request::recordSerializerCompletion(std::function<void()> completion) {
  mutableState_.mutateValue(
      [&](MutableState& s) { s.responseSerializerCompletions.push_back(std::move(completion)); });
  runNextResponseSerializer();
}

void Request::runFinishHandlersAndCleanUp() {
  // Taken and emptied in one hold, so a handler added meanwhile is never dropped unseen.
  std::vector<std::function<void()>> handlers;
  mutableState_.mutateValue([&](MutableState& s) { handlers.swap(s.finishHandlers); });
  for (const auto& handler : handlers)
    handler();
  if (auto delegate = this->delegate()) delegate->cleanUpAfterRequest(shared_from_this());
}

void Request::addFinishHandler(std::function<void()> handler) {
  // Checked and appended in one hold, so no handler is lost to a pass that ends in between.
  const bool runNow = mutableState_.mutateValue([&](MutableState& s) {
    if (s.responseSerializerProcessingFinished && !s.isFinishing) return true;
    s.finishHandlers.push_back(handler);
    return false;
  });
  if (runNow) handler();
}

// ---- Attempt state ---------------------------------------------------------------------------

void Request::resetState() {
  setError(std::nullopt);
  uploadProgress_->setTotalUnitCount(0);
  uploadProgress_->setCompletedUnitCount(0);
  downloadProgress_->setTotalUnitCount(0);
  downloadProgress_->setCompletedUnitCount(0);
  mutableState_.mutateValue([](MutableState& s) {
    s.isFinishing = false;
    s.responseSerializerCompletions.clear();
    s.serializerRetryPending = false;
  });
}

void Request::updateUploadProgress(std::int64_t bytesSent, std::int64_t bytesExpected) {
  uploadProgress_->setTotalUnitCount(bytesExpected);
  uploadProgress_->setCompletedUnitCount(bytesSent);
  if (auto entry = uploadProgressHandler()) {
    entry->queue->async([self = shared_from_this()] { self->runUploadProgressHandler(); });
  }
}

void Request::runUploadProgressHandler() {
  // The handler in place now runs, even if it was replaced after the progress changed.
  if (auto entry = uploadProgressHandler()) entry->handler(uploadProgress_);
}

URLSessionTaskPtr Request::makeTask(const platform::URLRequest&, const URLSessionPtr&) {
  platform::fatal("Subclasses must override.");
}

void Request::performWith(RequestPerformer&) {
  platform::fatal("Attempted to perform unsupported Request subclass: " +
                  unqualifiedTypeName(typeid(*this)));
}

// ---- Public operations -----------------------------------------------------------------------

void Request::applyResume(MutableState& s) {
  if (!isOneOf(s.state, {State::initialized, State::suspended})) return;
  s.state = State::resumed;
  auto self = shared_from_this();
  underlyingQueue_->async([self] { self->notifyResumed(); });
  if (!s.tasks.empty()) {
    const auto& task = s.tasks.back();
    if (task->state() != platform::URLSessionTask::State::completed) {
      scheduleTaskNotification(&Request::notifyTaskResumed, task);
      task->resume();
    }
  }
}

void Request::applySuspend(MutableState& s) {
  if (!isOneOf(s.state, {State::initialized, State::resumed})) return;
  s.state = State::suspended;
  auto self = shared_from_this();
  underlyingQueue_->async([self] { self->notifySuspended(); });
  if (!s.tasks.empty()) {
    const auto& task = s.tasks.back();
    if (task->state() != platform::URLSessionTask::State::completed) {
      scheduleTaskNotification(&Request::notifyTaskSuspended, task);
      task->suspend();
    }
  }
}

void Request::applyCancel(MutableState& s) {
  if (s.state == State::cancelled || s.state == State::finished) return;
  s.state = State::cancelled;
  auto self = shared_from_this();
  underlyingQueue_->async([self] { self->notifyCancelled(); });
  if (!s.tasks.empty() && s.tasks.back()->state() != platform::URLSessionTask::State::completed) {
    const auto task = s.tasks.back();
    scheduleTaskNotification(&Request::notifyTaskCancelled, task);
    task->resume();
    task->cancel();
  } else {
    scheduleFinishAfterCancel(s);
  }
}

void Request::scheduleFinishAfterCancel(MutableState& s) {
  auto self = shared_from_this();
  if (!s.serializerRetryPending) {
    underlyingQueue_->async([self] { self->complete(std::nullopt); });
    return;
  }
  // The pass is held by a failed step waiting on its retry, which a cancelled request never
  // gets: finishing now would find the pass still running and do nothing, for good.
  s.serializerRetryPending = false;
  underlyingQueue_->async([self] { self->restartFinishing(); });
}

void Request::restartFinishing() {
  underlyingQueue_->dispatchPrecondition();
  // Completions gathered before the failed step were never handed out; every step runs again,
  // so each handler hears the outcome once. The pass is the one already reported as finishing.
  mutableState_.mutateValue([](MutableState& s) {
    s.responseSerializerCompletions.clear();
    s.isFinishing = true;
  });
  runNextResponseSerializer();
}

Request& Request::cancel() {
  mutableState_.mutateValue([&](MutableState& s) { applyCancel(s); });
  return *this;
}

Request& Request::suspend() {
  mutableState_.mutateValue([&](MutableState& s) { applySuspend(s); });
  return *this;
}

Request& Request::resume() {
  mutableState_.mutateValue([&](MutableState& s) { applyResume(s); });
  return *this;
}

Request& Request::authenticateWithUserPassword(std::string user, std::string password,
                                               platform::URLCredential::Persistence persistence) {
  setCredential(platform::URLCredential(std::move(user), std::move(password), persistence));
  return *this;
}

Request& Request::authenticateWithCredential(platform::URLCredential credential) {
  setCredential(std::move(credential));
  return *this;
}

Request& Request::setDownloadProgressHandler(platform::DispatchQueuePtr queue,
                                             ProgressHandler handler) {
  setDownloadProgressHandlerEntry(ProgressHandlerEntry{std::move(handler), std::move(queue)});
  return *this;
}

Request& Request::setUploadProgressHandler(platform::DispatchQueuePtr queue,
                                           ProgressHandler handler) {
  setUploadProgressHandlerEntry(ProgressHandlerEntry{std::move(handler), std::move(queue)});
  return *this;
}

Request& Request::setRedirectHandler(std::shared_ptr<RedirectHandler> handler) {
  mutableState_.mutateValue([&](MutableState& s) {
    if (s.redirectHandler)
      platform::fatal("Precondition failed: a redirect handler is already set");
    s.redirectHandler = std::move(handler);
  });
  return *this;
}

Request& Request::setCachedResponseHandler(std::shared_ptr<CachedResponseHandler> handler) {
  mutableState_.mutateValue([&](MutableState& s) {
    if (s.cachedResponseHandler) {
      platform::fatal("Precondition failed: a cached response handler is already set");
    }
    s.cachedResponseHandler = std::move(handler);
  });
  return *this;
}

Request& Request::setURLRequestCreationHandler(
    platform::DispatchQueuePtr queue, std::function<void(const platform::URLRequest&)> handler) {
  mutableState_.mutateValue([&](MutableState& s) {
    if (!s.requests.empty()) {
      queue->async([handler, request = s.requests.back()] { handler(request); });
    }
    s.urlRequestHandler = URLRequestHandlerEntry{std::move(queue), std::move(handler)};
  });
  return *this;
}

Request& Request::setTaskCreationHandler(platform::DispatchQueuePtr queue,
                                         std::function<void(const URLSessionTaskPtr&)> handler) {
  mutableState_.mutateValue([&](MutableState& s) {
    if (!s.tasks.empty()) queue->async([handler, task = s.tasks.back()] { handler(task); });
    s.urlSessionTaskHandler = TaskHandlerEntry{std::move(queue), std::move(handler)};
  });
  return *this;
}

}  // namespace halyard

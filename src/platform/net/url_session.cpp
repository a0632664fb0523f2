#include "platform/net/url_session.h"

#include <utility>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/log.h"
#include "platform/net/download_resume_data.h"
#include "platform/net/session/detail/once_handler.h"
#include "platform/net/session/session_hub.h"
#include "platform/net/session/session_loop.h"
#include "platform/net/session/task_shared.h"
#include "platform/net/session/task_source.h"
#include "platform/net/tls_challenge.h"
#include "platform/net/web_socket_connection.h"

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
void URLSessionDelegate::didReceiveOwnedData(const SessionPtr& session, const DataTaskPtr& task,
                                             Bytes&& data) {
  didReceiveData(session, task, data);
}
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
void URLSessionDelegate::didOpenWithProtocol(const SessionPtr&, const WebSocketTaskPtr&,
                                             std::optional<std::string>) {}
void URLSessionDelegate::didCloseWithCode(const SessionPtr&, const WebSocketTaskPtr&,
                                          URLSessionWebSocketCloseCode, std::optional<Bytes>) {}

// --- Configuration --------------------------------------------------------------------------

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
  auto hub = std::make_shared<net_detail::SessionHub>(std::move(configuration), std::move(delegate),
                                                      std::move(delegateQueue));
  hub->start(hub, session);
  session->loop_ = hub->firstLoop();
  return session;
}

URLSession::~URLSession() {
  if (loop_) loop_->hub()->shutdown();
}

const URLSessionConfiguration& URLSession::configuration() const {
  return loop_->configuration();
}

std::shared_ptr<URLSessionDelegate> URLSession::delegate() const {
  return loop_->delegate();
}

const std::shared_ptr<OperationQueue>& URLSession::delegateQueue() const {
  return loop_->delegateQueue();
}

void URLSession::adopt(const std::shared_ptr<URLSessionTask>& task) {
  if (!loop_->hub()->registerTask(task)) {
    // An invalidated session starts nothing: the task is born cancelled and never reports.
    std::lock_guard lock(task->shared_->mutex);
    task->shared_->state = URLSessionTask::State::completed;
    task->shared_->error = makeError(URLError(
        URLError::Code::cancelled, task->originalRequest_->url, "the session was invalidated"));
    return;
  }
  loop_->deliver(
      [task](URLSessionDelegate& delegate, const std::shared_ptr<URLSession>& session) {
        delegate.didCreateTask(session, task);
      },
      shared_from_this());
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTask(URLRequest request) {
  net_detail::SessionHub& hub = *loop_->hub();
  auto chosenLoop = hub.loopForNewTask(request.url);
  auto task = std::shared_ptr<URLSessionDataTask>(
      new URLSessionDataTask(URLSessionTask::Kind::data, hub.nextTaskIdentifier(),
                             std::move(request), std::move(chosenLoop)));
  adopt(task);
  return task;
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTask(URLRequest request, Bytes bodyData) {
  net_detail::SessionHub& hub = *loop_->hub();
  auto source = std::make_shared<net_detail::TaskSource>();
  source->body = net_detail::TaskSource::Body::data;
  source->data = std::move(bodyData);
  auto chosenLoop = hub.loopForNewTask(request.url);
  auto task = std::shared_ptr<URLSessionUploadTask>(
      new URLSessionUploadTask(URLSessionTask::Kind::upload, hub.nextTaskIdentifier(),
                               std::move(request), std::move(chosenLoop), std::move(source)));
  adopt(task);
  return task;
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTask(URLRequest request,
                                                             const URL& fileURL) {
  net_detail::SessionHub& hub = *loop_->hub();
  auto source = std::make_shared<net_detail::TaskSource>();
  source->body = net_detail::TaskSource::Body::file;
  // Anything but a file URL names no file that can be opened.
  source->filePath = fileURL.isFileURL() ? fileURL.path() : std::string();
  auto chosenLoop = hub.loopForNewTask(request.url);
  auto task = std::shared_ptr<URLSessionUploadTask>(
      new URLSessionUploadTask(URLSessionTask::Kind::upload, hub.nextTaskIdentifier(),
                               std::move(request), std::move(chosenLoop), std::move(source)));
  adopt(task);
  return task;
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithStreamedRequest(
    URLRequest request) {
  net_detail::SessionHub& hub = *loop_->hub();
  auto source = std::make_shared<net_detail::TaskSource>();
  source->body = net_detail::TaskSource::Body::stream;
  auto chosenLoop = hub.loopForNewTask(request.url);
  auto task = std::shared_ptr<URLSessionUploadTask>(
      new URLSessionUploadTask(URLSessionTask::Kind::upload, hub.nextTaskIdentifier(),
                               std::move(request), std::move(chosenLoop), std::move(source)));
  adopt(task);
  return task;
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTask(URLRequest request) {
  net_detail::SessionHub& hub = *loop_->hub();
  auto chosenLoop = hub.loopForNewTask(request.url);
  auto task = std::shared_ptr<URLSessionDownloadTask>(
      new URLSessionDownloadTask(URLSessionTask::Kind::download, hub.nextTaskIdentifier(),
                                 std::move(request), std::move(chosenLoop)));
  adopt(task);
  return task;
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTask(URL url) {
  return downloadTask(URLRequest(std::move(url)));
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithResumeData(
    const Bytes& resumeData) {
  net_detail::SessionHub& hub = *loop_->hub();
  auto source = std::make_shared<net_detail::TaskSource>();
  auto record = DownloadResumeRecord::decode(resumeData);
  URLRequest request;
  if (record) {
    request = record->request;
    source->resume = std::move(record);
  } else {
    source->unreadableResumeData = true;
  }
  auto chosenLoop = hub.loopForNewTask(request.url);
  auto task = std::shared_ptr<URLSessionDownloadTask>(
      new URLSessionDownloadTask(URLSessionTask::Kind::download, hub.nextTaskIdentifier(),
                                 std::move(request), std::move(chosenLoop), std::move(source)));
  adopt(task);
  return task;
}

std::shared_ptr<URLSessionWebSocketTask> URLSession::webSocketTask(URLRequest request) {
  net_detail::SessionHub& hub = *loop_->hub();
  auto task = std::shared_ptr<URLSessionWebSocketTask>(new URLSessionWebSocketTask(
      hub.nextTaskIdentifier(), std::move(request), hub.loopForNewTask()));
  adopt(task);
  return task;
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTask(URL url) {
  return dataTask(URLRequest(std::move(url)));
}

void URLSession::finishTasksAndInvalidate() {
  loop_->hub()->invalidate(false);
}

void URLSession::invalidateAndCancel() {
  loop_->hub()->invalidate(true);
}

void URLSession::getAllTasks(
    std::function<void(std::vector<std::shared_ptr<URLSessionTask>>)> completion) {
  auto tasks = loop_->hub()->liveTasks();
  loop_->delegateQueue()->addOperation(
      [tasks = std::move(tasks), completion = std::move(completion)] { completion(tasks); });
}

}  // namespace platform

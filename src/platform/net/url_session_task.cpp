#include "platform/net/url_session.h"

#include <utility>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/log.h"
#include "platform/net/download_resume_data.h"
#include "platform/net/session/detail/once_handler.h"
#include "platform/net/session/session_hub.h"
#include "platform/net/session/task_commands.h"
#include "platform/net/session/task_shared.h"
#include "platform/net/session/task_source.h"
#include "platform/net/tls_challenge.h"
#include "platform/net/web_socket_connection.h"

namespace platform {

// --- Task ------------------------------------------------------------------------------------

URLSessionTask::URLSessionTask(Kind kind, std::uint64_t identifier, URLRequest request,
                               std::shared_ptr<net_detail::TaskCommands> engine,
                               std::shared_ptr<const net_detail::TaskSource> source)
    : kind_(kind),
      identifier_(identifier),
      originalRequest_(std::move(request)),
      engine_(std::move(engine)),
      shared_(std::make_shared<net_detail::TaskShared>()),
      source_(std::move(source)),
      createdAt_(Date::now()) {}

URLSessionTask::~URLSessionTask() {
  if (engine_) engine_->taskGone(*shared_);
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
  if (!engine_->resume(shared_from_this())) {
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
  engine_->suspend(identifier_);
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
  if (!engine_->cancel(shared_from_this(), 1001, std::nullopt)) {
    std::lock_guard lock(shared_->mutex);
    shared_->state = State::completed;
    shared_->error = makeError(URLError(URLError::Code::cancelled, originalRequest_->url));
  }
}

void URLSessionDataTask::holdReceiving() {
  shared_->receiveHolds.fetch_add(1);
  engine_->receiveHoldChanged(taskIdentifier());
}

void URLSessionDataTask::releaseReceiving() {
  int holds = shared_->receiveHolds.load();
  while (holds > 0 && !shared_->receiveHolds.compare_exchange_weak(holds, holds - 1)) {
  }
  if (holds <= 0) return;
  engine_->receiveHoldChanged(taskIdentifier());
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
  if (!engine_->cancelProducingResumeData(shared_from_this(), handler)) {
    {
      std::lock_guard lock(shared_->mutex);
      shared_->state = State::completed;
      shared_->error = makeError(URLError(URLError::Code::cancelled, originalRequest_->url));
    }
    answerLater();
  }
}

URLSessionWebSocketTask::URLSessionWebSocketTask(std::uint64_t identifier, URLRequest request,
                                                 std::shared_ptr<net_detail::TaskCommands> engine)
    : URLSessionTask(Kind::webSocket, identifier, std::move(request), engine),
      connection_(std::make_shared<net_detail::WebSocketConnection>(engine->webSocketHooks())) {}

void URLSessionWebSocketTask::cancel(CloseCode closeCode, std::optional<Bytes> reason) {
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->state != State::running && shared_->state != State::suspended) return;
    shared_->state = State::canceling;
  }
  if (!engine_->cancel(shared_from_this(), static_cast<int>(closeCode), std::move(reason))) {
    std::lock_guard lock(shared_->mutex);
    shared_->state = State::completed;
    shared_->error = makeError(URLError(URLError::Code::cancelled, originalRequest_->url));
  }
}

}  // namespace platform

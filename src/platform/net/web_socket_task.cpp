#include <poll.h>

#include <algorithm>
#include <cstring>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/utf8.h"
#include "platform/net/web_socket_connection.h"

namespace platform {

namespace net_detail {

namespace {

// How long a closing socket waits for the other side.
constexpr double kCloseWait = 2.0;

bool isSendableCloseCode(int code) {
  return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) ||
         (code >= 3000 && code <= 4999);
}

// A close frame's payload holds 125 bytes: two for the code, at most 123 for the reason, cut
// where a character begins.
Bytes closeReasonToSend(int code, std::optional<Bytes> reason) {
  if (code == 0 || !reason ||
      !utf8::isValid(
          std::string_view(reinterpret_cast<const char*>(reason->data()), reason->size())))
    return {};
  Bytes out = std::move(*reason);
  out.resize(utf8::characterBoundaryBefore(
      std::string_view(reinterpret_cast<const char*>(out.data()), out.size()), 123));
  return out;
}

}  // namespace

// Operations still waiting when the last holder lets go (the session stopped before the task
// ended) still answer, once.
WebSocketConnection::~WebSocketConnection() {
  failOperations(error(URLError::Code::cancelled, "the session has ended"));
}

std::int64_t WebSocketConnection::maximumMessageSize() const {
  std::lock_guard lock(mutex_);
  return maximumMessageSize_;
}

void WebSocketConnection::setMaximumMessageSize(std::int64_t size) {
  std::lock_guard lock(mutex_);
  maximumMessageSize_ = std::max<std::int64_t>(0, size);
}

URLSessionWebSocketCloseCode WebSocketConnection::closeCode() const {
  std::lock_guard lock(mutex_);
  return static_cast<URLSessionWebSocketCloseCode>(closeCode_);
}

std::optional<Bytes> WebSocketConnection::closeReason() const {
  std::lock_guard lock(mutex_);
  return closeReason_;
}

ErrorPtr WebSocketConnection::error(URLError::Code code, std::string detail) const {
  return makeError(URLError(code, url_, std::move(detail)));
}

void WebSocketConnection::start(std::weak_ptr<URLSessionWebSocketTask> task, TransferHooks hooks,
                                std::optional<URL> url, std::string request, std::string key,
                                std::vector<std::string> offered, double timeout) {
  task_ = std::move(task);
  transfer_ = std::move(hooks);
  url_ = std::move(url);
  request_ = std::move(request);
  key_ = std::move(key);
  offered_ = std::move(offered);
  timeout_ = timeout;
  phase_ = Phase::connecting;
}

void WebSocketConnection::connected(CURL* easy) {
  easy_ = easy;
  phase_ = Phase::upgrading;
  upgradeDeadline_ = timeout_ > 0 ? systemUptime() + timeout_ : 0;
}

void WebSocketConnection::setSuspended(bool suspended) {
  suspended_ = suspended;
}

std::optional<curl_waitfd> WebSocketConnection::waitDescriptor() const {
  if (!easy_ || suspended_ || phase_ == Phase::done) return std::nullopt;
  curl_socket_t socket = CURL_SOCKET_BAD;
  if (curl_easy_getinfo(easy_, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK ||
      socket == CURL_SOCKET_BAD) {
    return std::nullopt;
  }
  curl_waitfd wait{socket, 0, 0};
  const bool backPressure = phase_ == Phase::open && (receivedBytes_ >= maximumMessageSize() ||
                                                      (framer_ && framer_->outputBacklogged()));
  if (!backPressure) wait.events |= POLLIN;
  const bool output =
      phase_ == Phase::upgrading ? requestSent_ < request_.size() : framer_ && framer_->wantWrite();
  if (output) wait.events |= POLLOUT;
  return wait;
}

double WebSocketConnection::deadline() const {
  if (phase_ == Phase::upgrading) return upgradeDeadline_;
  if (phase_ == Phase::closing) return closeDeadline_;
  return 0;
}

std::ptrdiff_t WebSocketConnection::read(std::uint8_t* buffer, std::size_t size) {
  if (suspended_) return WebSocketFramer::wouldBlock;
  if (phase_ == Phase::open && receivedBytes_ >= maximumMessageSize()) {
    return WebSocketFramer::wouldBlock;  // kept messages fill the bound: TCP pushes back
  }
  auto& early = answer_.remainder();
  if (remainderRead_ < early.size()) {
    const std::size_t n = std::min(size, early.size() - remainderRead_);
    std::memcpy(buffer, early.data() + remainderRead_, n);
    remainderRead_ += n;
    if (remainderRead_ == early.size()) {
      early.clear();
      remainderRead_ = 0;
    }
    return static_cast<std::ptrdiff_t>(n);
  }
  std::size_t got = 0;
  const CURLcode result = curl_easy_recv(easy_, buffer, size, &got);
  if (result == CURLE_AGAIN) return WebSocketFramer::wouldBlock;
  if (result != CURLE_OK) return WebSocketFramer::failed;
  return got == 0 ? WebSocketFramer::ended : static_cast<std::ptrdiff_t>(got);
}

std::ptrdiff_t WebSocketConnection::write(const std::uint8_t* bytes, std::size_t size) {
  if (suspended_) return WebSocketFramer::wouldBlock;
  std::size_t sent = 0;
  const CURLcode result = curl_easy_send(easy_, bytes, size, &sent);
  if (result == CURLE_AGAIN) return WebSocketFramer::wouldBlock;
  if (result != CURLE_OK) return WebSocketFramer::failed;
  return static_cast<std::ptrdiff_t>(sent);
}

void WebSocketConnection::service() {
  if (!easy_ || phase_ == Phase::done) return;
  if (phase_ == Phase::upgrading) upgrade();
  if (phase_ == Phase::open || phase_ == Phase::closing) frames();
}

void WebSocketConnection::upgrade() {
  if (upgradeDeadline_ > 0 && systemUptime() >= upgradeDeadline_) {
    return finish(error(URLError::Code::timedOut, "the server did not answer the upgrade in time"));
  }
  if (suspended_) return;
  while (requestSent_ < request_.size()) {
    const auto n = write(reinterpret_cast<const std::uint8_t*>(request_.data()) + requestSent_,
                         request_.size() - requestSent_);
    if (n == WebSocketFramer::wouldBlock) return;
    if (n < 0) {
      return finish(error(URLError::Code::networkConnectionLost, "the upgrade could not be sent"));
    }
    requestSent_ += static_cast<std::size_t>(n);
  }
  std::uint8_t buffer[16 * 1024];
  while (answer_.state() == WebSocketAnswerReader::State::incomplete) {
    std::size_t got = 0;
    const CURLcode result = curl_easy_recv(easy_, buffer, sizeof buffer, &got);
    if (result == CURLE_AGAIN) return;
    if (result != CURLE_OK || got == 0) {
      return finish(error(URLError::Code::networkConnectionLost,
                          "the connection ended before the answer to the upgrade"));
    }
    answer_.feed(std::span<const std::uint8_t>(buffer, got));
  }
  if (answer_.state() == WebSocketAnswerReader::State::tooLarge) {
    return finish(error(URLError::Code::badServerResponse, "the answer head exceeds 64 KiB"));
  }
  if (answer_.state() == WebSocketAnswerReader::State::malformed) {
    return finish(error(URLError::Code::badServerResponse, "the answer head is malformed"));
  }
  if (url_) {
    transfer_.setResponse(std::make_shared<HTTPURLResponse>(
        *url_, answer_.statusCode(), answer_.httpVersion(), answer_.headerFields()));
  }
  std::optional<std::string> protocol;
  if (auto problem = checkWebSocketAnswer(answer_, key_, offered_, protocol)) {
    return finish(error(URLError::Code::badServerResponse, *problem));
  }
  open(std::move(protocol));
}

void WebSocketConnection::open(std::optional<std::string> protocol) {
  phase_ = Phase::open;
  framer_ = std::make_unique<WebSocketFramer>(*this, *this,
                                              static_cast<std::uint64_t>(maximumMessageSize()));
  if (auto task = task_.lock()) {
    transfer_.deliver(
        [task, protocol](URLSessionDelegate& delegate, const std::shared_ptr<URLSession>& session) {
          delegate.didOpenWithProtocol(session, task, protocol);
        });
  }
  for (auto& [identifier, message] : waitingSends_)
    framer_->queueMessage(message, identifier);
  waitingSends_.clear();
  for (std::uint64_t counter : waitingPings_) {
    Bytes payload(8);
    for (int i = 0; i < 8; ++i)
      payload[i] = static_cast<std::uint8_t>(counter >> (56 - 8 * i));
    framer_->queuePing(payload);
  }
  waitingPings_.clear();
}

void WebSocketConnection::frames() {
  framer_->pump();
  deliverReceives();
  if (phase_ == Phase::done) return;
  const auto& failure = framer_->failure();
  if (failure) {
    // The peer broke the protocol: our close went out (or could not); nothing more is read.
    auto failed = error(failure->error, failure->detail);
    if (phase_ != Phase::closing) {
      phase_ = Phase::closing;
      closeDeadline_ = systemUptime() + kCloseWait;
      failOperations(failed);
    }
    if (framer_->peerEnded() || framer_->transportFailed() || systemUptime() >= closeDeadline_) {
      return finish(failed);
    }
    return;
  }
  if (framer_->closeReceived() && phase_ == Phase::open) {
    phase_ = Phase::closing;
    closeDeadline_ = systemUptime() + kCloseWait;
  }
  const bool ended = framer_->peerEnded() || framer_->transportFailed();
  if (phase_ == Phase::closing) {
    const bool done = ended || systemUptime() >= closeDeadline_ ||
                      (cancelling_ && framer_->closeReceived() && !framer_->wantWrite());
    if (!done) return;
    if (cancelling_) return finish(error(URLError::Code::cancelled, "cancelled"));
    return finish(framer_->closeReceived()
                      ? nullptr
                      : error(URLError::Code::networkConnectionLost, "the connection ended"));
  }
  if (ended) {
    finish(
        error(URLError::Code::networkConnectionLost, "the connection ended without a close frame"));
  }
}

bool WebSocketConnection::cancel(int code, std::optional<Bytes> reason) {
  if (phase_ == Phase::done) return true;
  if (!isSendableCloseCode(code)) code = 0;
  Bytes payload = closeReasonToSend(code, std::move(reason));
  if (phase_ != Phase::open) {
    if (phase_ == Phase::closing) return true;
    return false;
  }
  cancelling_ = true;
  phase_ = Phase::closing;
  closeDeadline_ = systemUptime() + kCloseWait;
  framer_->queueClose(code, payload);
  failOperations(error(URLError::Code::cancelled, "cancelled"));
  frames();
  return true;
}

void WebSocketConnection::onMessage(Message message) {
  if (cancelling_) return;  // data after our close is dropped
  receivedBytes_ +=
      static_cast<std::int64_t>(message.isText() ? message.text().size() : message.data().size());
  received_.push_back(std::move(message));
  deliverReceives();
}

void WebSocketConnection::deliverReceives() {
  while (!receives_.empty() && !received_.empty()) {
    auto handler = std::move(receives_.front().second);
    receives_.pop_front();
    Message message = std::move(received_.front());
    received_.pop_front();
    receivedBytes_ -=
        static_cast<std::int64_t>(message.isText() ? message.text().size() : message.data().size());
    later([handler = std::move(handler), message = std::move(message)]() mutable {
      handler(std::move(message));
    });
  }
}

void WebSocketConnection::onPong(const std::vector<std::uint8_t>& payload) {
  if (payload.size() != 8) return;  // not one of ours
  std::uint64_t counter = 0;
  for (std::uint8_t b : payload)
    counter = (counter << 8) | b;
  // A peer may answer only the newest ping: a pong answers every ping up to its own.
  while (!pings_.empty() && pings_.front().counter <= counter) {
    auto handler = std::move(pings_.front().handler);
    pings_.pop_front();
    later([handler = std::move(handler)] { handler(nullptr); });
  }
}

void WebSocketConnection::onClose(int code, std::optional<std::vector<std::uint8_t>> reason) {
  {
    std::lock_guard lock(mutex_);
    closeCode_ = code;
    closeReason_ = reason;
  }
  if (closeReported_) return;
  closeReported_ = true;
  // What still waits can no longer happen; it is answered before the close is reported.
  failOperations(error(URLError::Code::networkConnectionLost, "the server closed the socket"));
  if (auto task = task_.lock()) {
    transfer_.deliver([task, code, reason](URLSessionDelegate& delegate,
                                           const std::shared_ptr<URLSession>& session) {
      delegate.didCloseWithCode(session, task, static_cast<URLSessionWebSocketCloseCode>(code),
                                reason);
    });
  }
}

void WebSocketConnection::onSent(std::uint64_t identifier) {
  while (!sends_.empty() && sends_.front().first <= identifier) {
    auto handler = std::move(sends_.front().second);
    const bool isThis = sends_.front().first == identifier;
    sends_.pop_front();
    later([handler = std::move(handler), isThis] {
      handler(isThis ? nullptr : makeError(URLError(URLError::Code::networkConnectionLost)));
    });
  }
}

void WebSocketConnection::send(Message message, std::function<void(ErrorPtr)> handler) {
  if (message.isText() && !utf8::isValid(message.text())) {
    return later([handler = std::move(handler),
                  failed = error(URLError::Code::cannotDecodeRawData, "the text is not UTF-8")] {
      handler(failed);
    });
  }
  if (phase_ == Phase::done || phase_ == Phase::closing) {
    return later([handler = std::move(handler), failed = closedError()] { handler(failed); });
  }
  const std::uint64_t identifier = ++nextOrder_;
  sends_.emplace_back(identifier, std::move(handler));
  if (phase_ == Phase::open) {
    framer_->queueMessage(message, identifier);
    frames();
  } else {
    waitingSends_.emplace_back(identifier, std::move(message));
  }
}

void WebSocketConnection::receive(std::function<void(std::expected<Message, ErrorPtr>)> handler) {
  if (phase_ == Phase::done || phase_ == Phase::closing) {
    // Messages kept before the end are still handed out.
    if (!received_.empty()) {
      receives_.emplace_back(++nextOrder_, std::move(handler));
      return deliverReceives();
    }
    return later([handler = std::move(handler), failed = closedError()] {
      handler(std::unexpected(failed));
    });
  }
  receives_.emplace_back(++nextOrder_, std::move(handler));
  // A message kept earlier goes first, before reading on can end the socket.
  deliverReceives();
  if (phase_ == Phase::open) frames();
}

void WebSocketConnection::sendPing(std::function<void(ErrorPtr)> handler) {
  if (phase_ == Phase::done || phase_ == Phase::closing) {
    return later([handler = std::move(handler), failed = closedError()] { handler(failed); });
  }
  const std::uint64_t counter = ++pingCounter_;
  pings_.push_back(Ping{counter, ++nextOrder_, std::move(handler)});
  if (phase_ != Phase::open) {
    waitingPings_.push_back(counter);
    return;
  }
  Bytes payload(8);
  for (int i = 0; i < 8; ++i)
    payload[i] = static_cast<std::uint8_t>(counter >> (56 - 8 * i));
  framer_->queuePing(payload);
  frames();
}

void WebSocketConnection::failOperations(const ErrorPtr& failed) {
  // A receive that a message already kept can answer has not failed: it gets the message.
  deliverReceives();
  // In the order they were asked for.
  std::vector<std::pair<std::uint64_t, std::function<void()>>> failures;
  for (auto& [order, handler] : sends_)
    failures.emplace_back(order, [handler = std::move(handler), failed] { handler(failed); });
  for (auto& [order, handler] : receives_) {
    failures.emplace_back(
        order, [handler = std::move(handler), failed] { handler(std::unexpected(failed)); });
  }
  for (auto& ping : pings_) {
    failures.emplace_back(ping.order,
                          [handler = std::move(ping.handler), failed] { handler(failed); });
  }
  sends_.clear();
  receives_.clear();
  pings_.clear();
  waitingSends_.clear();
  waitingPings_.clear();
  std::sort(failures.begin(), failures.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& [order, call] : failures)
    later(std::move(call));
}

void WebSocketConnection::finish(ErrorPtr failed) {
  if (phase_ == Phase::done) return;
  phase_ = Phase::done;
  auto finishTransfer = std::move(transfer_.finish);
  if (finishTransfer) finishTransfer(std::move(failed));  // calls `ended`
}

void WebSocketConnection::ended(const ErrorPtr& failed) {
  phase_ = Phase::done;
  easy_ = nullptr;
  finalError_ = failed;
  failOperations(closedError());
  transfer_ = {};
}

ErrorPtr WebSocketConnection::closedError() const {
  // After a failed task, what comes later fails as the task did.
  if (phase_ == Phase::done && finalError_) return finalError_;
  return error(URLError::Code::networkConnectionLost, "the socket is closed");
}

}  // namespace net_detail

// --- Task ------------------------------------------------------------------------------------

URLSessionWebSocketTask::~URLSessionWebSocketTask() = default;

std::int64_t URLSessionWebSocketTask::maximumMessageSize() const {
  return connection_->maximumMessageSize();
}

void URLSessionWebSocketTask::setMaximumMessageSize(std::int64_t size) {
  connection_->setMaximumMessageSize(size);
}

URLSessionWebSocketTask::CloseCode URLSessionWebSocketTask::closeCode() const {
  return connection_->closeCode();
}

std::optional<Bytes> URLSessionWebSocketTask::closeReason() const {
  return connection_->closeReason();
}

namespace {

// A handler whose command never ran (the session stopped) still answers, once.
template <class Handler, class Value>
void postOrFail(net_detail::WebSocketConnection& connection, std::function<void()> command,
                const std::shared_ptr<Handler>& handler, Value failure) {
  if (connection.post(std::move(command))) return;
  DispatchQueue::global()->async([handler, failure] {
    if (*handler) (*handler)(failure);
  });
}

ErrorPtr sessionGone() {
  return makeError(URLError(URLError::Code::cancelled, std::nullopt, "the session has ended"));
}

}  // namespace

void URLSessionWebSocketTask::send(Message message, std::function<void(ErrorPtr)> handler) {
  auto shared = std::make_shared<std::function<void(ErrorPtr)>>(std::move(handler));
  postOrFail(
      *connection_,
      [connection = connection_, message = std::move(message), shared]() mutable {
        connection->send(std::move(message), std::move(*shared));
        *shared = nullptr;
      },
      shared, sessionGone());
}

void URLSessionWebSocketTask::receive(
    std::function<void(std::expected<Message, ErrorPtr>)> handler) {
  auto shared =
      std::make_shared<std::function<void(std::expected<Message, ErrorPtr>)>>(std::move(handler));
  postOrFail(
      *connection_,
      [connection = connection_, shared]() mutable {
        connection->receive(std::move(*shared));
        *shared = nullptr;
      },
      shared, std::expected<Message, ErrorPtr>(std::unexpected(sessionGone())));
}

void URLSessionWebSocketTask::sendPing(std::function<void(ErrorPtr)> handler) {
  auto shared = std::make_shared<std::function<void(ErrorPtr)>>(std::move(handler));
  postOrFail(
      *connection_,
      [connection = connection_, shared]() mutable {
        connection->sendPing(std::move(*shared));
        *shared = nullptr;
      },
      shared, sessionGone());
}

}  // namespace platform

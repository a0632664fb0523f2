#pragma once

// The I/O-thread side of a web-socket task: the upgrade over a connection libcurl opened in
// connect-only mode, then frames through `WebSocketFramer`. Everything but the few fields
// under `mutex_` belongs to the session's I/O thread.

#include <curl/curl.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/net/url_session.h"
#include "platform/net/web_socket_framer.h"
#include "platform/net/web_socket_handshake.h"

namespace platform::net_detail {

class WebSocketConnection : public WebSocketFramer::Transport, public WebSocketFramer::Handler {
 public:
  using Message = URLSessionWebSocketTask::Message;
  using DelegateCall = std::function<void(URLSessionDelegate&, const std::shared_ptr<URLSession>&)>;

  // What the session lends the connection.
  struct SessionHooks {
    // Runs on the I/O thread; false when the session has stopped.
    std::function<bool(std::function<void()>)> post;
    // Runs on the delegate queue, whether or not there is a delegate.
    std::function<void(std::function<void()>)> onDelegateQueue;
  };
  // What the transfer lends it once started.
  struct TransferHooks {
    std::function<void(DelegateCall)> deliver;
    std::function<void(URLResponsePtr)> setResponse;
    // Ends the task: metrics, then completion.
    std::function<void(ErrorPtr)> finish;
  };

  explicit WebSocketConnection(SessionHooks hooks) : hooks_(std::move(hooks)) {}
  ~WebSocketConnection() override;

  // --- Any thread ---
  std::int64_t maximumMessageSize() const;
  void setMaximumMessageSize(std::int64_t size);
  URLSessionWebSocketCloseCode closeCode() const;
  std::optional<Bytes> closeReason() const;
  bool post(std::function<void()> command) { return hooks_.post(std::move(command)); }

  // --- I/O thread ---
  void start(std::weak_ptr<URLSessionWebSocketTask> task, TransferHooks hooks,
             std::optional<URL> url, std::string request, std::string key,
             std::vector<std::string> offered, double timeout);
  // libcurl has the connection up (TCP and TLS).
  void connected(CURL* easy);
  // Another step of the upgrade or the frames; called on every turn of the I/O loop.
  void service();
  // The socket to watch and for what, when there is one.
  std::optional<curl_waitfd> waitDescriptor() const;
  // The next moment `service` must run at the latest, 0 when none.
  double deadline() const;
  bool isConnected() const { return easy_ != nullptr; }
  void setSuspended(bool suspended);
  // Closes with a handshake; false when the socket is not open (the task simply ends).
  bool cancel(int code, std::optional<Bytes> reason);
  // The task ended: every operation still waiting fails with `error`.
  void ended(const ErrorPtr& error);

  void send(Message message, std::function<void(ErrorPtr)> handler);
  void receive(std::function<void(std::expected<Message, ErrorPtr>)> handler);
  void sendPing(std::function<void(ErrorPtr)> handler);

 private:
  enum class Phase { idle, connecting, upgrading, open, closing, done };

  std::ptrdiff_t read(std::uint8_t* buffer, std::size_t size) override;
  std::ptrdiff_t write(const std::uint8_t* bytes, std::size_t size) override;
  void onMessage(Message message) override;
  void onPong(const std::vector<std::uint8_t>& payload) override;
  void onClose(int code, std::optional<std::vector<std::uint8_t>> reason) override;
  void onSent(std::uint64_t identifier) override;

  void upgrade();
  void open(std::optional<std::string> protocol);
  void frames();
  void finish(ErrorPtr error);
  void failOperations(const ErrorPtr& error);
  void deliverReceives();
  ErrorPtr error(URLError::Code code, std::string detail) const;
  void later(std::function<void()> call) { hooks_.onDelegateQueue(std::move(call)); }
  ErrorPtr closedError() const;

  const SessionHooks hooks_;
  mutable std::mutex mutex_;
  std::int64_t maximumMessageSize_ = 1048576;  // under mutex_
  int closeCode_ = 0;                          // under mutex_
  std::optional<Bytes> closeReason_;           // under mutex_

  std::weak_ptr<URLSessionWebSocketTask> task_;
  TransferHooks transfer_;
  Phase phase_ = Phase::idle;
  bool suspended_ = false;
  CURL* easy_ = nullptr;
  std::optional<URL> url_;
  std::string request_;
  std::size_t requestSent_ = 0;
  std::string key_;
  std::vector<std::string> offered_;
  double timeout_ = 60;
  double upgradeDeadline_ = 0;
  double closeDeadline_ = 0;
  WebSocketAnswerReader answer_;
  std::size_t remainderRead_ = 0;
  std::unique_ptr<WebSocketFramer> framer_;
  bool cancelling_ = false;
  bool closeReported_ = false;
  ErrorPtr finalError_;  // what the task ended with

  // Every send, receive and ping in call order; a send's number also names its message.
  std::uint64_t nextOrder_ = 0;
  std::deque<std::pair<std::uint64_t, Message>> waitingSends_;  // before the socket opened
  std::deque<std::pair<std::uint64_t, std::function<void(ErrorPtr)>>> sends_;
  std::deque<std::pair<std::uint64_t, std::function<void(std::expected<Message, ErrorPtr>)>>>
      receives_;
  std::deque<Message> received_;
  std::int64_t receivedBytes_ = 0;
  std::uint64_t pingCounter_ = 0;
  std::deque<std::uint64_t> waitingPings_;  // before the socket opened
  struct Ping {
    std::uint64_t counter;
    std::uint64_t order;
    std::function<void(ErrorPtr)> handler;
  };
  std::deque<Ping> pings_;
};

}  // namespace platform::net_detail

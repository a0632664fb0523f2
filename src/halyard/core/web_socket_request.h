#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "halyard/core/halyard_error.h"
#include "halyard/core/protected.h"
#include "halyard/core/request.h"
#include "halyard/core/response_serializer.h"
#include "halyard/core/url_convertible.h"
#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/date.h"
#include "platform/net/url_session.h"

namespace halyard {

// A request that runs over a web-socket task: it connects, sends and receives whole messages,
// pings and closes. Raw incoming events go to handlers registered with `addEventHandler`; the
// typed streams (`streamSerializer`, `streamDecodable`, `streamMessages`, …) build on them and
// deliver on the caller's queue.
//
// Sends asked for before the task exists wait, and go out in call order the moment it is
// recorded. Every send is answered exactly once: by the task, or at once when the request has
// ended. Two locks are involved; where both are held, the socket lock comes first.
class WebSocketRequest : public Request {
 public:
  using Task = platform::URLSessionWebSocketTask;
  using TaskPtr = std::shared_ptr<Task>;
  using Message = Task::Message;
  using CloseCode = Task::CloseCode;
  // Success, or the error the send ended with.
  using SendResult = std::expected<void, platform::ErrorPtr>;
  using SendCompletion = std::function<void(const SendResult&)>;

  struct Configuration {
    // The sub-protocol to ask the server for.
    std::optional<std::string> protocol;
    // The largest message the task accepts, in bytes.
    std::int64_t maximumMessageSize = 1'048'576;
    // Seconds between automatic pings; none pings only when asked.
    std::optional<double> pingInterval;

    static Configuration makeDefault() { return {}; }
    static Configuration withProtocol(std::string protocol) {
      Configuration c;
      c.protocol = std::move(protocol);
      return c;
    }
    static Configuration withMaximumMessageSize(std::int64_t size) {
      Configuration c;
      c.maximumMessageSize = size;
      return c;
    }
    static Configuration withPingInterval(double seconds) {
      Configuration c;
      c.pingInterval = seconds;
      return c;
    }
  };

  struct Completion {
    std::optional<platform::URLRequest> request;
    // The answer to the upgrade: the 101, or the refusal.
    platform::HTTPURLResponsePtr response;
    TaskMetricsPtr metrics;
    std::optional<HalyardError> error;
  };

  struct Connected {
    std::optional<std::string> protocol;
  };
  struct Disconnected {
    CloseCode closeCode;
    // Never empty: an empty reason arrives as none.
    std::optional<platform::Bytes> reason;
  };
  // What raw handlers receive, in this order for one connection: connected, messages,
  // disconnected (only after a close frame), completed.
  using IncomingEvent = std::variant<Connected, Message, Disconnected, Completion>;
  using IncomingEventHandler = std::function<void(const IncomingEvent&)>;

  struct PingResponse {
    struct Pong {
      platform::Date start;
      platform::Date end;
      // Seconds on the monotonic clock, not end minus start.
      double latency = 0;
    };
    struct Failed {
      platform::ErrorPtr error;
    };
    // The request was not running, or had no connection to ping on.
    struct Unsent {};
    std::variant<Pong, Failed, Unsent> value;

    const Pong* pong() const { return std::get_if<Pong>(&value); }
    platform::ErrorPtr error() const {
      const auto* failed = std::get_if<Failed>(&value);
      return failed ? failed->error : nullptr;
    }
    bool isUnsent() const { return std::holds_alternative<Unsent>(value); }
  };
  using PingResponseHandler = std::function<void(const PingResponse&)>;

  // ---- Typed events ----------------------------------------------------------------------------

  template <class Success>
  struct ReceivedMessage {
    Success value;
  };
  template <class Failure>
  struct SerializerFailed {
    Failure error;
  };

  // One event of a typed stream. It refers to its request weakly, so a kept event never keeps
  // the request alive; the operations on it do nothing once the request is gone.
  template <class Success, class Failure>
  struct Event {
    using Kind = std::variant<Connected, ReceivedMessage<Success>, SerializerFailed<Failure>,
                              Disconnected, Completion>;
    std::weak_ptr<WebSocketRequest> socket;
    Kind kind;

    Event(std::weak_ptr<WebSocketRequest> request, Kind kind)
        : socket(std::move(request)), kind(std::move(kind)) {}

    std::optional<Success> messageValue() const {
      if (const auto* received = std::get_if<ReceivedMessage<Success>>(&kind)) {
        return received->value;
      }
      return std::nullopt;
    }
    // Two overloads rather than a default reason: g++ 12 under ThreadSanitizer takes the move of
    // an empty default for a read of the bytes it does not hold.
    void close(CloseCode code) const {
      if (auto request = socket.lock()) request->close(code);
    }
    void close(CloseCode code, std::optional<platform::Bytes> reason) const {
      if (auto request = socket.lock()) request->close(code, std::move(reason));
    }
    void cancel() const {
      if (auto request = socket.lock()) request->cancel();
    }
    void sendPing(platform::DispatchQueuePtr queue, PingResponseHandler handler) const {
      if (auto request = socket.lock()) request->sendPing(std::move(queue), std::move(handler));
    }
  };

  // The failure type of streams that cannot fail.
  struct Never {};

  // What `streamDecodableEvents` fails with: the data decoder's error. (A message is always
  // bytes or text, so there is no message the decoder cannot be given.)
  struct DecodingError : platform::Error {
    explicit DecodingError(platform::ErrorPtr decoding) : decoding(std::move(decoding)) {}
    platform::ErrorPtr decoding;

    std::string localizedDescription() const override;
  };

  WebSocketRequest(RequestContext context, URLRequestConvertiblePtr convertible,
                   Configuration configuration);

  const URLRequestConvertiblePtr& convertible() const { return convertible_; }
  const Configuration& configuration() const { return configuration_; }

  // ---- Raw events ------------------------------------------------------------------------------
  // `handler` runs on the serialization queue; `queue` is kept with it for the typed streams.
  // A handler added after the request finished gets only `completed`.
  WebSocketRequest& addEventHandler(platform::DispatchQueuePtr queue, IncomingEventHandler handler);

  // ---- Typed streams ---------------------------------------------------------------------------
  // `Serializer` has `Output`, `Failure` and `decode(const Message&)`, which may throw.
  template <class Serializer>
  WebSocketRequest& streamSerializer(
      Serializer serializer, platform::DispatchQueuePtr queue,
      std::function<void(const Event<typename Serializer::Output, typename Serializer::Failure>&)>
          handler);
  template <class Value, class Decoder = platform::JSONDecoder>
  WebSocketRequest& streamDecodableEvents(
      platform::DispatchQueuePtr queue, Decoder decoder,
      std::function<void(const Event<Value, DecodingError>&)> handler);
  // Only successfully decoded values; everything else is dropped.
  template <class Value, class Decoder = platform::JSONDecoder>
  WebSocketRequest& streamDecodable(platform::DispatchQueuePtr queue, Decoder decoder,
                                    std::function<void(const Value&)> handler);
  WebSocketRequest& streamMessageEvents(platform::DispatchQueuePtr queue,
                                        std::function<void(const Event<Message, Never>&)> handler);
  // Only the messages; connection, disconnection and completion are dropped.
  WebSocketRequest& streamMessages(platform::DispatchQueuePtr queue,
                                   std::function<void(const Message&)> handler);

  // ---- Socket operations (any thread) ----------------------------------------------------------
  // `completionHandler` runs once on `queue`: when the task has written the message or failed
  // to, or at once when the request has ended (with `explicitlyCancelled` after a cancel).
  void sendMessage(Message message, platform::DispatchQueuePtr queue,
                   SendCompletion completionHandler);
  // Answers `Unsent` when the request is not running or has no connection yet.
  void sendPing(platform::DispatchQueuePtr queue, PingResponseHandler handler);
  // Closes with `code` and `reason`; the request then completes without the cancellation
  // error. Does nothing once cancelled or finished.
  WebSocketRequest& close(CloseCode code, std::optional<platform::Bytes> reason = std::nullopt);

  // ---- Called by the session delegate (underlying queue) ---------------------------------------
  void didConnect(std::optional<std::string> protocol);
  void didDisconnect(CloseCode closeCode, std::optional<platform::Bytes> reason);

  // ---- Overrides -------------------------------------------------------------------------------
  URLSessionTaskPtr makeTask(const platform::URLRequest& request,
                             const URLSessionPtr& session) override;
  void performWith(RequestPerformer& performer) override;
  void recordTask(const URLSessionTaskPtr& task) override;
  void recordTaskCompletion(const URLSessionTaskPtr& task,
                            const std::optional<HalyardError>& error) override;
  Request& cancel() override;
  void complete(const std::optional<HalyardError>& error) override;
  void resetState() override;

 private:
  struct EnqueuedSend {
    Message message;
    platform::DispatchQueuePtr queue;
    SendCompletion completionHandler;
  };
  struct HandlerEntry {
    platform::DispatchQueuePtr queue;
    IncomingEventHandler handler;
  };
  struct SocketMutableState {
    std::vector<EnqueuedSend> enqueuedSends;
    std::vector<HandlerEntry> handlers;
    std::shared_ptr<platform::DispatchWorkItem> pingTimerItem;
    // The task sends go to, set in the same hold that flushes `enqueuedSends`, so a send
    // either waits in the queue or goes to the task, never both and never out of order.
    TaskPtr task;
    // The request ended: sends are answered at once instead of waiting for a task.
    bool sendsEnded = false;
    // Which chain of automatic pings may go on; stopping or starting afresh moves it, so a
    // pong already under way for an earlier chain starts nothing.
    std::uint64_t pingChain = 0;
    // The task whose receive loop still runs. Messages that arrived before a close frame can
    // still be waiting in the task when it reports the close and completes, so the
    // disconnection and the completion wait here until the loop has handed them all on.
    TaskPtr listeningTask;
    std::optional<Disconnected> pendingDisconnect;
    std::optional<std::optional<HalyardError>> pendingCompletion;
  };

  std::shared_ptr<WebSocketRequest> sharedSelf() {
    return std::static_pointer_cast<WebSocketRequest>(shared_from_this());
  }
  void dispatch(const IncomingEvent& event);
  void listen(const TaskPtr& task);
  // The receive loop of `task` ended: what waited for it goes out.
  void didStopListening(const TaskPtr& task);
  // Under the socket lock: `s` is the locked value.
  void flushEnqueuedSends(SocketMutableState& s);
  void startAutomaticPing(SocketMutableState& s, double interval, std::uint64_t chain);
  void stopAutomaticPing();
  void applyClose(MutableState& state, CloseCode code, std::optional<platform::Bytes> reason);
  void didClose();
  // The error a send gets when the request has ended: `explicitlyCancelled` after a cancel,
  // else the request's error, else "not connected"; with `requestErrorFirst` the request's
  // error wins over the cancel.
  platform::ErrorPtr endedSendError(bool requestErrorFirst);
  static void sendOnTask(const TaskPtr& task, Message message, platform::DispatchQueuePtr queue,
                         SendCompletion completionHandler);

  mutable Protected<SocketMutableState> socketMutableState_;
  // `close` asked the task to close: the task's cancellation that follows is not the
  // request's error. (The task reports it after the close step ran, so the step alone cannot
  // clear it.)
  std::atomic<bool> closeAsked_{false};
  const URLRequestConvertiblePtr convertible_;
  const Configuration configuration_;
};

using WebSocketRequestPtr = std::shared_ptr<WebSocketRequest>;

// Reads a message's bytes, or its text as UTF-8, with a data decoder.
template <class Value, class Decoder = platform::JSONDecoder>
requires DataDecoder<Decoder, Value>
struct DecodableWebSocketMessageDecoder {
  using Output = Value;
  using Failure = WebSocketRequest::DecodingError;

  explicit DecodableWebSocketMessageDecoder(Decoder decoder) : decoder(std::move(decoder)) {}

  Value decode(const WebSocketRequest::Message& message) const;

  Decoder decoder;
};

// The decoder of JSON messages.
template <class Value>
DecodableWebSocketMessageDecoder<Value> jsonMessageDecoder(
    platform::JSONDecoder decoder = platform::JSONDecoder()) {
  return DecodableWebSocketMessageDecoder<Value>(std::move(decoder));
}

// ---- Template implementation ------------------------------------------------------------------

template <class Value, class Decoder>
requires DataDecoder<Decoder, Value> Value
DecodableWebSocketMessageDecoder<Value, Decoder>::decode(const WebSocketRequest::Message& message)
const {
  // Text is read as its UTF-8 bytes, so text and bytes of the same content decode alike.
  const std::span<const std::uint8_t> bytes =
      message.isText()
          ? std::span<const std::uint8_t>(
                reinterpret_cast<const std::uint8_t*>(message.text().data()), message.text().size())
          : std::span<const std::uint8_t>(message.data());
  try {
    return decoder.template decode<Value>(bytes);
  } catch (...) {
    throw WebSocketRequest::DecodingError(currentError());
  }
}

template <class Serializer>
WebSocketRequest& WebSocketRequest::streamSerializer(
    Serializer serializer, platform::DispatchQueuePtr queue,
    std::function<void(const Event<typename Serializer::Output, typename Serializer::Failure>&)>
        handler) {
  using Output = typename Serializer::Output;
  using Failure = typename Serializer::Failure;
  using TypedEvent = Event<Output, Failure>;
  using Kind = typename TypedEvent::Kind;
  std::weak_ptr<WebSocketRequest> weak = sharedSelf();
  // Runs on the serialization queue: decoding happens there, delivery on the caller's queue.
  auto raw = [weak, queue, handler, serializer = std::move(serializer)](const IncomingEvent& in) {
    Kind kind = std::visit(
        [&](const auto& event) -> Kind {
          using E = std::decay_t<decltype(event)>;
          if constexpr (std::is_same_v<E, Message>) {
            try {
              return ReceivedMessage<Output>{serializer.decode(event)};
            } catch (const Failure& failure) {
              return SerializerFailed<Failure>{failure};
            } catch (...) {
              if constexpr (std::is_constructible_v<Failure, platform::ErrorPtr>) {
                return SerializerFailed<Failure>{Failure(currentError())};
              } else {
                throw;
              }
            }
          } else {
            return event;
          }
        },
        in);
    queue->async([weak, handler, kind = std::move(kind)] { handler(TypedEvent(weak, kind)); });
  };
  return addEventHandler(queue, std::move(raw));
}

template <class Value, class Decoder>
WebSocketRequest& WebSocketRequest::streamDecodableEvents(
    platform::DispatchQueuePtr queue, Decoder decoder,
    std::function<void(const Event<Value, DecodingError>&)> handler) {
  return streamSerializer(DecodableWebSocketMessageDecoder<Value, Decoder>(std::move(decoder)),
                          std::move(queue), std::move(handler));
}

template <class Value, class Decoder>
WebSocketRequest& WebSocketRequest::streamDecodable(platform::DispatchQueuePtr queue,
                                                    Decoder decoder,
                                                    std::function<void(const Value&)> handler) {
  return streamDecodableEvents<Value, Decoder>(
      std::move(queue), std::move(decoder),
      [handler = std::move(handler)](const Event<Value, DecodingError>& event) {
        if (auto value = event.messageValue()) handler(*value);
      });
}

}  // namespace halyard

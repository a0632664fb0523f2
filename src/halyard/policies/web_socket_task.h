#pragma once

// A web-socket request's events and messages as asynchronous sequences, and its sends awaited.
//
// As for data streams, every iteration registers its own handler on a serial queue of its own,
// and leaving a loop early cancels the still running request when the stream was made
// `automaticallyCancelling` (the default).

#include <exception>
#include <memory>
#include <optional>
#include <utility>

#include "halyard/core/halyard_error.h"
#include "halyard/core/web_socket_request.h"
#include "halyard/policies/data_task.h"
#include "halyard/policies/stream_of.h"
#include "platform/coding/json_decoder.h"
#include "platform/concurrency/checked_continuation.h"

namespace halyard {

class WebSocketTask {
 public:
  using Message = WebSocketRequest::Message;
  using CloseCode = WebSocketRequest::CloseCode;
  using Never = WebSocketRequest::Never;
  template <class Success, class Failure>
  using Event = WebSocketRequest::Event<Success, Failure>;
  template <class Element>
  using BufferingPolicy = typename StreamOf<Element>::BufferingPolicy;

  explicit WebSocketTask(std::shared_ptr<WebSocketRequest> request)
      : request_(std::move(request)) {}

  const std::shared_ptr<WebSocketRequest>& request() const { return request_; }

  // Every event: connected, the messages, disconnected, then completed.
  StreamOf<Event<Message, Never>> streamingMessageEvents(
      bool automaticallyCancelling = true,
      BufferingPolicy<Event<Message, Never>> bufferingPolicy =
          BufferingPolicy<Event<Message, Never>>::unbounded()) const {
    return makeSequence<Event<Message, Never>, Message, Never>(
        automaticallyCancelling, bufferingPolicy,
        [](const Event<Message, Never>& event) { return std::optional(event); },
        [](WebSocketRequest& r, platform::DispatchQueuePtr q,
           std::function<void(const Event<Message, Never>&)> h) {
          r.streamMessageEvents(std::move(q), std::move(h));
        });
  }

  // Only the received messages; the sequence ends with the socket's completion.
  StreamOf<Message> streamingMessages(
      bool automaticallyCancelling = true,
      BufferingPolicy<Message> bufferingPolicy = BufferingPolicy<Message>::unbounded()) const {
    return makeSequence<Message, Message, Never>(
        automaticallyCancelling, bufferingPolicy,
        [](const Event<Message, Never>& event) { return event.messageValue(); },
        [](WebSocketRequest& r, platform::DispatchQueuePtr q,
           std::function<void(const Event<Message, Never>&)> h) {
          r.streamMessageEvents(std::move(q), std::move(h));
        });
  }

  template <class T, class Decoder = platform::JSONDecoder>
  StreamOf<Event<T, WebSocketRequest::DecodingError>> streamingDecodableEvents(
      Decoder decoder = Decoder(), bool automaticallyCancelling = true,
      BufferingPolicy<Event<T, WebSocketRequest::DecodingError>> bufferingPolicy =
          BufferingPolicy<Event<T, WebSocketRequest::DecodingError>>::unbounded()) const {
    using E = Event<T, WebSocketRequest::DecodingError>;
    return makeSequence<E, T, WebSocketRequest::DecodingError>(
        automaticallyCancelling, bufferingPolicy,
        [](const E& event) { return std::optional(event); },
        [decoder](WebSocketRequest& r, platform::DispatchQueuePtr q,
                  std::function<void(const E&)> h) {
          r.streamDecodableEvents<T, Decoder>(std::move(q), decoder, std::move(h));
        });
  }

  // Only the messages that decoded.
  template <class T, class Decoder = platform::JSONDecoder>
  StreamOf<T> streamingDecodable(
      Decoder decoder = Decoder(), bool automaticallyCancelling = true,
      BufferingPolicy<T> bufferingPolicy = BufferingPolicy<T>::unbounded()) const {
    using E = Event<T, WebSocketRequest::DecodingError>;
    return makeSequence<T, T, WebSocketRequest::DecodingError>(
        automaticallyCancelling, bufferingPolicy,
        [](const E& event) { return event.messageValue(); },
        [decoder](WebSocketRequest& r, platform::DispatchQueuePtr q,
                  std::function<void(const E&)> h) {
          r.streamDecodableEvents<T, Decoder>(std::move(q), decoder, std::move(h));
        });
  }

  // Awaitable: returns once the message was written, or throws the error the send ended with
  // (the request's own error when it ended first; the cancellation after a cancel). It is
  // answered exactly once, so it never waits for ever.
  auto send(Message message) const {
    auto request = request_;
    auto wait = platform::withCheckedThrowingContinuation<bool>(
        "send(_:)", [request, message = std::move(message)](
                        platform::CheckedThrowingContinuation<bool> continuation) mutable {
          request->sendMessage(std::move(message), makeStreamCompletionQueue(request->id()),
                               [continuation](const WebSocketRequest::SendResult& result) {
                                 if (result) {
                                   continuation.resume(true);
                                 } else {
                                   continuation.resumeThrowing(asHalyardError(result.error()));
                                 }
                               });
        });
    return detail::MappedAwaiter(std::move(wait), [](bool) {});
  }

  // Stops the automatic ping, then closes with `closeCode` and `reason`.
  void close(CloseCode closeCode, std::optional<platform::Bytes> reason = std::nullopt) const {
    request_->close(closeCode, std::move(reason));
  }
  // Stops the automatic ping, then cancels.
  void cancel() const { request_->cancel(); }
  void resume() const { request_->resume(); }
  void suspend() const { request_->suspend(); }

 private:
  static HalyardError asHalyardError(const platform::ErrorPtr& error) {
    return toHalyardErrorOrElse(
        error, [](const ErrorPtr& e) { return HalyardError::sessionTaskFailed(e); });
  }

  template <class Element, class Success, class Failure, class Select, class Register>
  StreamOf<Element> makeSequence(bool automaticallyCancelling,
                                 BufferingPolicy<Element> bufferingPolicy, Select select,
                                 Register registerHandler) const {
    using Continuation = typename StreamOf<Element>::Continuation;
    using E = Event<Success, Failure>;
    auto request = request_;
    std::function<void()> onTermination = [request, automaticallyCancelling] {
      if (automaticallyCancelling) request->cancel();
    };
    auto builder = [request, select, registerHandler](Continuation continuation) {
      registerHandler(*request, makeStreamCompletionQueue(request->id()),
                      [continuation, select](const E& event) {
                        if (auto value = select(event)) continuation.yield(std::move(*value));
                        if (std::holds_alternative<WebSocketRequest::Completion>(event.kind)) {
                          continuation.finish();
                        }
                      });
    };
    return StreamOf<Element>(bufferingPolicy, std::move(onTermination), std::move(builder));
  }

  std::shared_ptr<WebSocketRequest> request_;
};

}  // namespace halyard

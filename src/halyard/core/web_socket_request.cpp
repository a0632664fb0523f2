#include "halyard/core/web_socket_request.h"

#include <cerrno>
#include <utility>

#include "halyard/core/http_header_views.h"
#include "halyard/core/request_performer.h"
#include "halyard/core/request_steps.h"
#include "halyard/core/value_description.h"
#include "platform/foundation/log.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/stream_state.h"
#include "platform/net/url_error.h"

namespace halyard {

std::string WebSocketRequest::DecodingError::localizedDescription() const {
  return "The message could not be decoded: " +
         (decoding ? decoding->localizedDescription() : std::string("unknown error"));
}

WebSocketRequest::WebSocketRequest(RequestContext context, URLRequestConvertiblePtr convertible,
                                   Configuration configuration)
    : Request(std::move(context)),
      convertible_(std::move(convertible)),
      configuration_(std::move(configuration)) {}

// ---- Raw events --------------------------------------------------------------------------------

WebSocketRequest& WebSocketRequest::addEventHandler(platform::DispatchQueuePtr queue,
                                                    IncomingEventHandler handler) {
  // The stored wrapper only schedules, so no caller code runs under the socket lock.
  auto wrapper = [serialization = serializationQueue(), handler](const IncomingEvent& event) {
    serialization->async([handler, event] { handler(event); });
  };
  socketMutableState_.mutateValue([&](SocketMutableState& s) {
    s.handlers.push_back({std::move(queue), std::move(wrapper)});
  });
  auto self = sharedSelf();
  request_steps::appendSerializer(*this, [self, handler] {
    self->recordSerializerCompletion([self, handler] {
      self->serializationQueue()->async([self, handler] {
        platform::HTTPURLResponsePtr response;
        if (auto task = self->lastTask()) {
          response = std::dynamic_pointer_cast<const platform::HTTPURLResponse>(task->response());
        }
        handler(Completion{self->lastRequest(), response, self->lastMetrics(), self->error()});
      });
    });
  });
  return *this;
}

void WebSocketRequest::dispatch(const IncomingEvent& event) {
  const auto handlers = socketMutableState_.valueAtKeyPath(&SocketMutableState::handlers);
  for (const auto& entry : handlers)
    entry.handler(event);
}

WebSocketRequest& WebSocketRequest::streamMessageEvents(
    platform::DispatchQueuePtr queue, std::function<void(const Event<Message, Never>&)> handler) {
  using TypedEvent = Event<Message, Never>;
  std::weak_ptr<WebSocketRequest> weak = sharedSelf();
  auto raw = [weak, queue, handler](const IncomingEvent& in) {
    TypedEvent::Kind kind = std::visit(
        [](const auto& event) -> TypedEvent::Kind {
          if constexpr (std::is_same_v<std::decay_t<decltype(event)>, Message>) {
            return ReceivedMessage<Message>{event};
          } else {
            return event;
          }
        },
        in);
    queue->async([weak, handler, kind = std::move(kind)] { handler(TypedEvent(weak, kind)); });
  };
  return addEventHandler(queue, std::move(raw));
}

WebSocketRequest& WebSocketRequest::streamMessages(platform::DispatchQueuePtr queue,
                                                   std::function<void(const Message&)> handler) {
  return streamMessageEvents(
      std::move(queue), [handler = std::move(handler)](const Event<Message, Never>& event) {
        if (const auto* received = std::get_if<ReceivedMessage<Message>>(&event.kind)) {
          handler(received->value);
        }
      });
}

// ---- Socket operations -------------------------------------------------------------------------

void WebSocketRequest::sendOnTask(const TaskPtr& task, Message message,
                                  platform::DispatchQueuePtr queue,
                                  SendCompletion completionHandler) {
  task->send(std::move(message),
             [queue = std::move(queue),
              completionHandler = std::move(completionHandler)](platform::ErrorPtr error) {
               queue->async([completionHandler, error] {
                 completionHandler(error ? SendResult(std::unexpected(error)) : SendResult());
               });
             });
}

platform::ErrorPtr WebSocketRequest::endedSendError(bool requestErrorFirst) {
  return mutableState().readValue([&](const MutableState& s) -> platform::ErrorPtr {
    if (requestErrorFirst && s.error) return makeErrorPtr(*s.error);
    if (s.state == State::cancelled) return makeErrorPtr(HalyardError::explicitlyCancelled());
    if (s.error) return makeErrorPtr(*s.error);
    return platform::makeError(platform::StreamError(ENOTCONN, "The socket is not connected."));
  });
}

void WebSocketRequest::sendMessage(Message message, platform::DispatchQueuePtr queue,
                                   SendCompletion completionHandler) {
  // Deciding and acting in one socket-lock hold: the task is recorded and the waiting sends
  // flushed in a hold of the same lock, so a send can neither be stranded in the queue nor
  // overtake the ones that waited. The task only posts to its own thread, so sending under
  // the lock runs no caller code.
  const bool ended = socketMutableState_.mutateValue([&](SocketMutableState& s) {
    const State state = this->state();
    if (s.sendsEnded || state == State::cancelled || state == State::finished) return true;
    if (s.task) {
      sendOnTask(s.task, std::move(message), queue, completionHandler);
    } else {
      s.enqueuedSends.push_back({std::move(message), queue, completionHandler});
    }
    return false;
  });
  if (!ended) return;
  queue->async([completionHandler, error = endedSendError(false)] {
    completionHandler(std::unexpected(error));
  });
}

void WebSocketRequest::sendPing(platform::DispatchQueuePtr queue, PingResponseHandler handler) {
  auto unsent = [&] { queue->async([handler] { handler(PingResponse{PingResponse::Unsent{}}); }); };
  if (state() != State::resumed) {
    unsent();
    return;
  }
  const platform::Date start = platform::Date::now();
  const double startUptime = platform::systemUptime();
  const TaskPtr task = socketMutableState_.valueAtKeyPath(&SocketMutableState::task);
  // A request whose task does not exist yet has nothing to ping; it says so rather than
  // leave the handler waiting for ever.
  if (!task) {
    unsent();
    return;
  }
  task->sendPing([queue, handler, start, startUptime](platform::ErrorPtr error) {
    if (error) {
      queue->async([handler, error] { handler(PingResponse{PingResponse::Failed{error}}); });
      return;
    }
    const platform::Date end = platform::Date::now();
    const double latency = platform::systemUptime() - startUptime;
    queue->async([handler, start, end, latency] {
      handler(PingResponse{PingResponse::Pong{start, end, latency}});
    });
  });
}

WebSocketRequest& WebSocketRequest::close(CloseCode code, std::optional<platform::Bytes> reason) {
  stopAutomaticPing();
  mutableState().mutateValue([&](MutableState& s) { applyClose(s, code, std::move(reason)); });
  return *this;
}

void WebSocketRequest::applyClose(MutableState& s, CloseCode code,
                                  std::optional<platform::Bytes> reason) {
  if (s.state != State::initialized && s.state != State::resumed && s.state != State::suspended) {
    return;
  }
  s.state = State::cancelled;
  auto self = sharedSelf();
  underlyingQueue()->async([self] { self->didClose(); });
  if (!s.tasks.empty() && s.tasks.back()->state() != platform::URLSessionTask::State::completed) {
    const auto task = s.tasks.back();
    scheduleTaskNotification(&Request::notifyTaskCancelled, task);
    // Resumed first, so that the task gathers its metrics on the way out.
    task->resume();
    if (auto socket = std::dynamic_pointer_cast<Task>(task)) {
      closeAsked_ = true;
      socket->cancel(code, std::move(reason));
    } else {
      task->cancel();
    }
  } else {
    underlyingQueue()->async([self] { self->complete(std::nullopt); });
  }
}

void WebSocketRequest::recordTaskCompletion(const URLSessionTaskPtr& task,
                                            const std::optional<HalyardError>& error) {
  bool closing = closeAsked_.load();
  if (closing && error && error->isSessionTaskFailed()) {
    const auto* urlError = dynamic_cast<const platform::URLError*>(error->wrappedError().get());
    closing = urlError && urlError->code() == platform::URLError::Code::cancelled;
  } else {
    closing = false;
  }
  Request::recordTaskCompletion(task, closing ? std::nullopt : error);
}

void WebSocketRequest::didClose() {
  underlyingQueue()->dispatchPrecondition();
  mutableState().mutateValue([](MutableState& s) {
    if (!s.error || !s.error->isSessionTaskFailed()) return;
    const auto* urlError = dynamic_cast<const platform::URLError*>(s.error->wrappedError().get());
    if (urlError && urlError->code() == platform::URLError::Code::cancelled) s.error.reset();
  });
  if (const auto& monitor = eventMonitor()) monitor->requestDidCancel(shared_from_this());
}

// ---- Session-delegate hooks --------------------------------------------------------------------

void WebSocketRequest::didConnect(std::optional<std::string> protocol) {
  underlyingQueue()->dispatchPrecondition();
  dispatch(Connected{std::move(protocol)});
  if (const auto interval = configuration_.pingInterval) {
    socketMutableState_.mutateValue([&](SocketMutableState& s) {
      // A new connection starts a new chain; pongs of an earlier one start nothing.
      startAutomaticPing(s, *interval, ++s.pingChain);
    });
  }
}

void WebSocketRequest::didDisconnect(CloseCode closeCode, std::optional<platform::Bytes> reason) {
  underlyingQueue()->dispatchPrecondition();
  stopAutomaticPing();
  Disconnected event{closeCode, std::move(reason)};
  const bool later = socketMutableState_.mutateValue([&](SocketMutableState& s) {
    if (!s.listeningTask) return false;
    s.pendingDisconnect = event;
    return true;
  });
  if (!later) dispatch(event);
}

// ---- Internal steps ----------------------------------------------------------------------------

void WebSocketRequest::listen(const TaskPtr& task) {
  std::weak_ptr<WebSocketRequest> weak = sharedSelf();
  task->receive([weak, task](std::expected<Message, platform::ErrorPtr> result) {
    auto self = weak.lock();
    if (!self) return;
    // A failed receive ends the loop without an event of its own: the task's completion
    // reaches the request through the session delegate.
    if (!result) {
      self->didStopListening(task);
      return;
    }
    self->dispatch(std::move(*result));
    self->listen(task);
  });
}

void WebSocketRequest::didStopListening(const TaskPtr& task) {
  std::optional<Disconnected> disconnect;
  std::optional<std::optional<HalyardError>> completion;
  socketMutableState_.mutateValue([&](SocketMutableState& s) {
    // The loop of a task a retry replaced holds nothing back.
    if (s.listeningTask != task) return;
    s.listeningTask.reset();
    disconnect = std::exchange(s.pendingDisconnect, std::nullopt);
    completion = std::exchange(s.pendingCompletion, std::nullopt);
  });
  auto self = sharedSelf();
  underlyingQueue()->async(
      [self, disconnect = std::move(disconnect), completion = std::move(completion)] {
        if (disconnect) self->dispatch(*disconnect);
        if (completion) self->complete(*completion);
      });
}

void WebSocketRequest::flushEnqueuedSends(SocketMutableState& s) {
  auto sends = std::move(s.enqueuedSends);
  s.enqueuedSends.clear();
  for (auto& send : sends)
    sendOnTask(s.task, std::move(send.message), std::move(send.queue),
               std::move(send.completionHandler));
}

void WebSocketRequest::startAutomaticPing(SocketMutableState& s, double interval,
                                          std::uint64_t chain) {
  // Whatever was pending belongs to a chain this one replaces.
  if (s.pingTimerItem) s.pingTimerItem->cancel();
  s.pingTimerItem.reset();
  if (state() != State::resumed) return;
  std::weak_ptr<WebSocketRequest> weak = sharedSelf();
  auto item = std::make_shared<platform::DispatchWorkItem>([weak, interval, chain] {
    auto self = weak.lock();
    if (!self || self->state() != State::resumed) return;
    self->sendPing(self->underlyingQueue(), [weak, interval, chain](const PingResponse& response) {
      // An error or an unsent ping ends the chain.
      if (!response.pong()) return;
      auto self = weak.lock();
      if (!self) return;
      self->socketMutableState_.mutateValue([&](SocketMutableState& s) {
        if (s.pingChain == chain) self->startAutomaticPing(s, interval, chain);
      });
    });
  });
  s.pingTimerItem = item;
  underlyingQueue()->asyncAfter(interval, item);
}

void WebSocketRequest::stopAutomaticPing() {
  socketMutableState_.mutateValue([](SocketMutableState& s) {
    if (s.pingTimerItem) s.pingTimerItem->cancel();
    s.pingTimerItem.reset();
    ++s.pingChain;
  });
}

// ---- Overrides ---------------------------------------------------------------------------------

URLSessionTaskPtr WebSocketRequest::makeTask(const platform::URLRequest& request,
                                             const URLSessionPtr& session) {
  platform::URLRequest copy = request;
  if (configuration_.protocol) {
    HTTPHeaders headers;
    headers.mergeDictionary(httpHeaders(copy).toDictionary());
    headers.replaceOrAppend(HTTPHeader::makeWebSocketProtocol(*configuration_.protocol));
    setHTTPHeaders(copy, headers);
  }
  auto task = session->webSocketTask(copy);
  task->setMaximumMessageSize(configuration_.maximumMessageSize);
  return task;
}

void WebSocketRequest::performWith(RequestPerformer& performer) {
  performer.performWithConvertible(shared_from_this(), *convertible());
}

void WebSocketRequest::recordTask(const URLSessionTaskPtr& task) {
  Request::recordTask(task);
  auto socket = std::dynamic_pointer_cast<Task>(task);
  if (!socket) {
    platform::fatal("Invalid task of type " + unqualifiedTypeName(typeid(*task)) +
                    " created for WebSocketRequest.");
  }
  socketMutableState_.mutateValue([&](SocketMutableState& s) {
    s.task = socket;
    s.listeningTask = socket;
    s.pendingDisconnect.reset();
    s.pendingCompletion.reset();
    flushEnqueuedSends(s);
  });
  listen(socket);
}

Request& WebSocketRequest::cancel() {
  stopAutomaticPing();
  return Request::cancel();
}

void WebSocketRequest::complete(const std::optional<HalyardError>& error) {
  // Sends that never got a task are answered now, and later ones at once.
  bool deferred = false;
  auto stranded = socketMutableState_.mutateValue([&](SocketMutableState& s) {
    // The completion follows the last message: the loop of an ended task stops as soon as
    // the task is drained. A request ended while its task still runs (its session went
    // away) does not wait for it.
    if (s.listeningTask && s.listeningTask->state() == platform::URLSessionTask::State::completed) {
      deferred = true;
      s.pendingCompletion = error;
      return std::vector<EnqueuedSend>();
    }
    s.sendsEnded = true;
    auto sends = std::move(s.enqueuedSends);
    s.enqueuedSends.clear();
    return sends;
  });
  if (deferred) return;
  Request::complete(error);
  if (stranded.empty()) return;
  // They end with what ended the request.
  const platform::ErrorPtr failure = endedSendError(true);
  for (auto& send : stranded) {
    send.queue->async([handler = std::move(send.completionHandler), failure] {
      handler(std::unexpected(failure));
    });
  }
}

void WebSocketRequest::resetState() {
  Request::resetState();
  socketMutableState_.mutateValue([](SocketMutableState& s) { s.sendsEnded = false; });
}

}  // namespace halyard

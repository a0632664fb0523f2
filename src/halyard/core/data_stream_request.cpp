#include "halyard/core/data_stream_request.h"

#include "halyard/core/request_performer.h"
#include "halyard/core/request_steps.h"

namespace halyard {

void DataStreamRequest::CancellationToken::cancel() const {
  if (auto strong = request.lock()) strong->cancel();
}

DataStreamRequest::DataStreamRequest(RequestContext context, URLRequestConvertiblePtr convertible,
                                     bool automaticallyCancelOnStreamError)
    : Request(std::move(context)),
      convertible_(std::move(convertible)),
      automaticallyCancelOnStreamError_(automaticallyCancelOnStreamError) {}

// ---- Registration ------------------------------------------------------------------------------

DataStreamRequest& DataStreamRequest::streamAsData(platform::DispatchQueuePtr queue,
                                                   Handler<platform::Bytes, Never> handler) {
  std::weak_ptr<DataStreamRequest> weak = sharedSelf();
  // Raw chunks skip the serialization queue and the event monitor, and are moved, not copied,
  // into their events.
  auto deliver = [weak, queue, handler](ChunkBatch batch) {
    auto self = weak.lock();
    if (!self) return;
    queue->async([self, handler, batch = std::move(batch)]() mutable {
      const std::int64_t bytes = bytesIn(batch);
      for (auto& chunk : batch) {
        self->runOrCancelOnError([&] {
          handler(Stream<platform::Bytes, Never>{
              Event<platform::Bytes, Never>::stream(std::move(chunk)), self->token()});
        });
      }
      self->finishStreamExecution(batch.size(), bytes);
    });
  };
  return registerStream(std::move(deliver), queue, completionFor(std::move(handler)));
}

DataStreamRequest& DataStreamRequest::streamAsString(platform::DispatchQueuePtr queue,
                                                     Handler<std::string, Never> handler) {
  std::weak_ptr<DataStreamRequest> weak = sharedSelf();
  auto deliver = [weak, queue, handler](ChunkBatch batch) {
    auto self = weak.lock();
    if (!self) return;
    self->serializationQueue()->async([self, queue, handler, batch = std::move(batch)] {
      const std::int64_t bytes = bytesIn(batch);
      std::vector<std::string> texts;
      texts.reserve(batch.size());
      for (const auto& chunk : batch)
        texts.push_back(StringStreamSerializer().serializeChunk(chunk));
      self->underlyingQueue()->async([self, queue, handler, bytes, texts = std::move(texts)] {
        for (const auto& text : texts)
          self->reportParsedValue(AnyValue::of(text));
        queue->async([self, handler, bytes, texts]() mutable {
          for (auto& text : texts) {
            self->runOrCancelOnError([&] {
              handler(Stream<std::string, Never>{
                  Event<std::string, Never>::stream(std::move(text)), self->token()});
            });
          }
          self->finishStreamExecution(texts.size(), bytes);
        });
      });
    });
  };
  return registerStream(std::move(deliver), queue, completionFor(std::move(handler)));
}

DataStreamRequest& DataStreamRequest::registerStream(
    std::function<void(ChunkBatch)> deliver, platform::DispatchQueuePtr queue,
    std::function<void(Completion)> completeOne) {
  streamMutableState_.mutateValue(
      [&](StreamMutableState& s) { s.streams.push_back(std::move(deliver)); });
  enqueueStreamCompletion(std::move(queue), std::move(completeOne));
  return *this;
}

DataStreamRequest& DataStreamRequest::setResponseDispositionHandler(
    platform::DispatchQueuePtr queue, ResponseDispositionHandler handler) {
  streamMutableState_.mutateValue([&](StreamMutableState& s) {
    s.httpResponseHandler = HTTPResponseHandler{std::move(queue), std::move(handler)};
  });
  return *this;
}

DataStreamRequest& DataStreamRequest::setResponseHandler(
    platform::DispatchQueuePtr queue,
    std::function<void(const platform::HTTPURLResponsePtr&)> handler) {
  return setResponseDispositionHandler(std::move(queue),
                                       request_steps::allowingAfter(std::move(handler)));
}

DataStreamRequest& DataStreamRequest::appendValidator(Validation validation) {
  // The request owns its validators, so the step may refer to it without owning it.
  auto step = [this, validation = std::move(validation)] {
    if (error()) return;
    const auto response = httpResponse();
    if (!response) return;
    const auto urlRequest = lastRequest();
    const ValidationResult result = validation(urlRequest, response);
    if (!result) {
      setError(toHalyardErrorOrElse(result.error(), [](const ErrorPtr& e) {
        return HalyardError::responseValidationFailed(
            HalyardError::ResponseValidationFailureReason::CustomValidationFailed{e});
      }));
    }
    if (const auto& monitor = eventMonitor()) {
      monitor->requestDidValidateRequestResponseWithResult(sharedSelf(), urlRequest, response,
                                                           result);
    }
  };
  validators().mutateValue(
      [&](std::vector<std::function<void()>>& list) { list.push_back(std::move(step)); });
  return *this;
}

platform::InputStreamPtr DataStreamRequest::makeInputStream(std::int64_t bufferSize) {
  auto pair = platform::makeBoundStreamPair(bufferSize);
  std::shared_ptr<InputStreamBridge> replaced;
  streamMutableState_.mutateValue([&](StreamMutableState& s) {
    replaced = std::move(s.bridge);
    s.bridge = nullptr;
    s.outputStream = nullptr;
    if (!pair) return;
    pair->outputStream->open();
    s.outputStream = pair->outputStream;
    s.bridge = InputStreamBridge::make(pair->outputStream, bufferSize, underlyingQueue());
  });
  // The earlier reader gets what was already under way, then the end of its stream.
  if (replaced) underlyingQueue()->async([replaced] { replaced->abandon(); });
  // A bridge made after the request finished would otherwise never meet its end.
  if (isFinished() && pair) {
    auto made = streamMutableState_.valueAtKeyPath(&StreamMutableState::bridge);
    if (made) underlyingQueue()->async([made] { made->finish(); });
  }
  resume();
  return pair ? pair->inputStream : nullptr;
}

// ---- Delegate callbacks ------------------------------------------------------------------------

void DataStreamRequest::receiveData(platform::Bytes chunk) {
  auto self = sharedSelf();
  // Read before the stream lock: the two locks are never held together.
  const auto task = std::dynamic_pointer_cast<platform::URLSessionDataTask>(lastTask());
  bool firstArrived = false;
  streamMutableState_.mutateValue([&](StreamMutableState& s) {
    if (s.bridge) {
      underlyingQueue()->async([self, bridge = s.bridge,
                                copy = s.streams.empty() ? std::move(chunk) : chunk] {
        bridge->write(copy,
                      std::dynamic_pointer_cast<platform::URLSessionDataTask>(self->lastTask()));
      });
    }
    if (s.streams.empty()) return;
    s.numberOfExecutingStreams += std::int64_t(s.streams.size());
    s.executingBytes += std::int64_t(s.streams.size() * chunk.size());
    // Holding and releasing only post to the I/O thread, so they are safe under the lock, and
    // doing them there keeps a hold and its release in order.
    if ((s.numberOfExecutingStreams > kHoldAboveDeliveries || s.executingBytes > kHoldAboveBytes) &&
        !s.heldForHandlers && task) {
      s.heldForHandlers = task;
      task->holdReceiving();
    }
    firstArrived = s.arrivedChunks.empty();
    s.arrivedChunks.emplace_back(std::move(chunk), s.streams.size());
  });
  // Posted after the lock: the chunks wait under it, and whatever arrives before this turn
  // joins them.
  if (firstArrived) underlyingQueue()->async([self] { self->handOnArrivedChunks(); });
}

void DataStreamRequest::handOnArrivedChunks() {
  std::vector<std::pair<platform::Bytes, std::size_t>> arrived;
  std::vector<std::function<void(ChunkBatch)>> streams;
  streamMutableState_.mutateValue([&](StreamMutableState& s) {
    arrived.swap(s.arrivedChunks);
    streams = s.streams;
  });
  for (std::size_t index = 0; index < streams.size(); ++index) {
    ChunkBatch batch;
    for (auto& [chunk, handlers] : arrived) {
      if (index >= handlers) continue;
      // The last handler a chunk is for takes it; the others get copies.
      batch.push_back(index + 1 == handlers ? std::move(chunk) : chunk);
    }
    if (!batch.empty()) streams[index](std::move(batch));
  }
}

void DataStreamRequest::answerHTTPResponse(
    const platform::HTTPURLResponsePtr& response,
    std::function<void(platform::URLSessionDelegate::ResponseDisposition)> completionHandler) {
  request_steps::answerHTTPResponse(
      sharedSelf(), streamMutableState_.valueAtKeyPath(&StreamMutableState::httpResponseHandler),
      response, std::move(completionHandler));
}

// ---- Internal steps ----------------------------------------------------------------------------

void DataStreamRequest::runOrCancelOnError(const std::function<void()>& step) {
  try {
    step();
  } catch (...) {
    // The error goes in first, so the request ends with it rather than with a plain cancel.
    setError(toHalyardErrorOrElse(currentError(), [](const ErrorPtr& e) {
      return HalyardError::responseSerializationFailed(
          HalyardError::ResponseSerializationFailureReason::CustomSerializationFailed{e});
    }));
    cancel();
  }
}

void DataStreamRequest::enqueueStreamCompletion(platform::DispatchQueuePtr queue,
                                                std::function<void(Completion)> completeOne) {
  auto self = sharedSelf();
  request_steps::appendSerializer(*this, [self, queue, completeOne] {
    self->underlyingQueue()->async([self, queue, completeOne] {
      self->recordSerializerCompletion([self, queue, completeOne] {
        const bool now = self->streamMutableState_.mutateValue([&](StreamMutableState& s) {
          if (s.numberOfExecutingStreams == 0) return true;
          s.enqueuedCompletionEvents.push_back(
              [self, queue, completeOne] { self->deliverStreamCompletion(queue, completeOne); });
          return false;
        });
        if (now) self->deliverStreamCompletion(queue, completeOne);
      });
    });
  });
}

void DataStreamRequest::deliverStreamCompletion(const platform::DispatchQueuePtr& queue,
                                                std::function<void(Completion)> completeOne) {
  auto self = sharedSelf();
  queue->async([self, completeOne = std::move(completeOne)] {
    platform::HTTPURLResponsePtr response;
    if (auto task = self->lastTask()) {
      response = std::dynamic_pointer_cast<const platform::HTTPURLResponse>(task->response());
    }
    completeOne(Completion{self->lastRequest(), response, self->lastMetrics(), self->error()});
  });
}

std::int64_t DataStreamRequest::bytesIn(const ChunkBatch& batch) {
  std::int64_t bytes = 0;
  for (const auto& chunk : batch)
    bytes += std::int64_t(chunk.size());
  return bytes;
}

void DataStreamRequest::finishStreamExecution(std::size_t deliveries, std::int64_t bytes) {
  std::vector<std::function<void()>> due;
  streamMutableState_.mutateValue([&](StreamMutableState& s) {
    s.numberOfExecutingStreams -= std::int64_t(deliveries);
    s.executingBytes -= bytes;
    if (s.heldForHandlers && s.numberOfExecutingStreams <= kReleaseAtDeliveries &&
        s.executingBytes <= kReleaseAtBytes) {
      s.heldForHandlers->releaseReceiving();
      s.heldForHandlers.reset();
    }
    if (s.numberOfExecutingStreams == 0) due.swap(s.enqueuedCompletionEvents);
  });
  if (due.empty()) return;
  underlyingQueue()->async([due = std::move(due)] {
    for (const auto& event : due)
      event();
  });
}

void DataStreamRequest::reportParsedValue(const std::expected<AnyValue, HalyardError>& result) {
  if (const auto& monitor = eventMonitor())
    monitor->requestDidParseStreamValue(sharedSelf(), result);
}

// ---- Overrides ---------------------------------------------------------------------------------

void DataStreamRequest::complete(const std::optional<HalyardError>& error) {
  const auto bridge = streamMutableState_.valueAtKeyPath(&StreamMutableState::bridge);
  // The reader gets what still waits, then the end of the stream.
  if (bridge) underlyingQueue()->async([bridge] { bridge->finish(); });
  Request::complete(error);
}

URLSessionTaskPtr DataStreamRequest::makeTask(const platform::URLRequest& request,
                                              const URLSessionPtr& session) {
  auto task = session->dataTask(request);
  // The reader takes the body as it comes: it is never kept whole, so the bound of bodies kept
  // in memory is not the stream's.
  task->setStreamsBody(true);
  return task;
}

void DataStreamRequest::performWith(RequestPerformer& performer) {
  performer.performWithConvertible(shared_from_this(), *convertible());
}

}  // namespace halyard

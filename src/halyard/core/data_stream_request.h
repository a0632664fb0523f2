#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "halyard/core/data_stream_serializers.h"
#include "halyard/core/input_stream_bridge.h"
#include "halyard/core/protected.h"
#include "halyard/core/request.h"
#include "halyard/core/response.h"
#include "halyard/core/url_convertible.h"
#include "platform/foundation/input_stream.h"

namespace halyard {

class DataStreamRequest;
template <class Value>
class DataStreamPublisher;

// A request whose body is never gathered: each chunk goes to every registered handler as it
// arrives, raw, as text or through a serializer, and each handler gets one final `complete`
// event. The body can also be read as an input stream.
class DataStreamRequest : public Request {
 public:
  // The failure type of handlers that cannot fail.
  struct Never {};

  struct Completion {
    std::optional<platform::URLRequest> request;
    platform::HTTPURLResponsePtr response;
    TaskMetricsPtr metrics;
    std::optional<HalyardError> error;
  };

  // Refers to its request without keeping it alive.
  struct CancellationToken {
    std::weak_ptr<DataStreamRequest> request;
    // Cancels the request as `cancel` does, if it still exists.
    void cancel() const;
  };

  template <class Success, class Failure>
  struct Event {
    using Result = std::expected<Success, Failure>;
    std::variant<Result, Completion> value;

    static Event stream(Result result) { return Event{std::move(result)}; }
    static Event complete(Completion completion) { return Event{std::move(completion)}; }
  };

  // What a stream handler receives.
  template <class Success, class Failure>
  struct Stream {
    using Result = std::expected<Success, Failure>;
    Event<Success, Failure> event;
    CancellationToken token;

    std::optional<Result> result() const {
      if (const auto* r = std::get_if<Result>(&event.value)) return *r;
      return std::nullopt;
    }
    std::optional<Success> value() const {
      if (const auto* r = std::get_if<Result>(&event.value); r && r->has_value()) return **r;
      return std::nullopt;
    }
    std::optional<Failure> error() const {
      if (const auto* r = std::get_if<Result>(&event.value); r && !r->has_value()) {
        return r->error();
      }
      return std::nullopt;
    }
    std::optional<Completion> completion() const {
      if (const auto* c = std::get_if<Completion>(&event.value)) return *c;
      return std::nullopt;
    }
    void cancel() const { token.cancel(); }
  };

  // May throw: a throw on a chunk cancels the request with that error.
  template <class Success, class Failure>
  using Handler = std::function<void(const Stream<Success, Failure>&)>;

  using ResponseDispositionHandler = std::function<void(const platform::HTTPURLResponsePtr&,
                                                        std::function<void(ResponseDisposition)>)>;
  struct HTTPResponseHandler {
    platform::DispatchQueuePtr queue;
    ResponseDispositionHandler handler;
  };
  // (last URL request, HTTP response) → success, or failure with an error.
  using Validation = std::function<ValidationResult(const std::optional<platform::URLRequest>&,
                                                    const platform::HTTPURLResponsePtr&)>;

  // Chunks that arrived together, handed to one handler together, in order.
  using ChunkBatch = std::vector<platform::Bytes>;
  struct StreamMutableState {
    platform::OutputStreamPtr outputStream;
    std::vector<std::function<void(ChunkBatch)>> streams;
    // Chunks taken in and not yet handed on, each with the number of handlers registered when
    // it came: a handler registered later never sees it.
    std::vector<std::pair<platform::Bytes, std::size_t>> arrivedChunks;
    std::int64_t numberOfExecutingStreams = 0;
    // The bytes of those deliveries, each counted once per handler.
    std::int64_t executingBytes = 0;
    std::vector<std::function<void()>> enqueuedCompletionEvents;
    std::optional<HTTPResponseHandler> httpResponseHandler;
    // What feeds `outputStream`, so that no byte is lost to a slow reader.
    std::shared_ptr<InputStreamBridge> bridge;
    // The data task while receiving is held for handlers that fell behind.
    std::shared_ptr<platform::URLSessionDataTask> heldForHandlers;
  };

  // Handlers that fall this many chunk deliveries, or bytes, behind hold the transfer until
  // they are back down to the lower marks, so that a slow handler queue pushes the server back
  // instead of gathering the body in memory. Chunks come in many sizes, so both are counted.
  static constexpr std::int64_t kHoldAboveDeliveries = 256;
  static constexpr std::int64_t kReleaseAtDeliveries = 64;
  static constexpr std::int64_t kHoldAboveBytes = 4 << 20;
  static constexpr std::int64_t kReleaseAtBytes = 1 << 20;

  DataStreamRequest(RequestContext context, URLRequestConvertiblePtr convertible,
                    bool automaticallyCancelOnStreamError);

  const URLRequestConvertiblePtr& convertible() const { return convertible_; }
  bool automaticallyCancelOnStreamError() const { return automaticallyCancelOnStreamError_; }
  Protected<StreamMutableState>& streamMutableState() { return streamMutableState_; }

  // ---- Registration ----------------------------------------------------------------------------
  DataStreamRequest& streamAsData(platform::DispatchQueuePtr queue,
                                  Handler<platform::Bytes, Never> handler);
  // Each chunk decoded as UTF-8 on its own, ill-formed sequences replaced by U+FFFD.
  DataStreamRequest& streamAsString(platform::DispatchQueuePtr queue,
                                    Handler<std::string, Never> handler);
  template <DataStreamSerializer Serializer>
  DataStreamRequest& addStreamHandler(
      Serializer serializer, platform::DispatchQueuePtr queue,
      Handler<typename Serializer::SerializedObject, HalyardError> handler);
  template <class T, class Decoder = platform::JSONDecoder>
  DataStreamRequest& streamAsDecodable(platform::DispatchQueuePtr queue, Decoder decoder,
                                       DataPreprocessorPtr preprocessor,
                                       Handler<T, HalyardError> handler) {
    return addStreamHandler(
        DecodableStreamSerializer<T, Decoder>(std::move(decoder), std::move(preprocessor)),
        std::move(queue), std::move(handler));
  }
  DataStreamRequest& setResponseDispositionHandler(platform::DispatchQueuePtr queue,
                                                   ResponseDispositionHandler handler);
  // The handler sees each response head; the transfer always goes on.
  DataStreamRequest& setResponseHandler(
      platform::DispatchQueuePtr queue,
      std::function<void(const platform::HTTPURLResponsePtr&)> handler);
  DataStreamRequest& appendValidator(Validation validation);

  // ---- Validation ----------------------------------------------------------------------------
  // A stream gathers no body, so these look at the response head only.
  DataStreamRequest& validateStatusCodes(std::vector<int> acceptableStatusCodes);
  DataStreamRequest& validateStatusCodes(StatusCodeRange acceptableStatusCodes);
  // The acceptable types are asked for each time the check runs.
  DataStreamRequest& validateContentTypes(
      std::function<std::vector<std::string>()> acceptableContentTypes);
  DataStreamRequest& validateContentTypes(std::vector<std::string> acceptableContentTypes);
  // Status 200 to 299 and a content type acceptable for the request's "Accept" header.
  DataStreamRequest& validateStatusAndContentType();

  // The body as an input stream over a buffer of `bufferSize` bytes (none below 1); starts the
  // request. A second call ends the earlier stream.
  platform::InputStreamPtr makeInputStream(std::int64_t bufferSize);

  // ---- Awaiting and publishing (halyard/policies/data_stream_task.h, request_streams.h and
  // response_publishers.h) ------------------------------------------------------------------------
  using AsyncResponseHandler =
      std::function<platform::Task<ResponseDisposition>(platform::HTTPURLResponsePtr)>;
  using AsyncResponseObserver = std::function<platform::Task<void>(platform::HTTPURLResponsePtr)>;
  DataStreamRequest& onHTTPResponseAsync(AsyncResponseHandler handler);
  DataStreamRequest& onHTTPResponseAsyncAllowing(AsyncResponseObserver handler);
  StreamOf<platform::HTTPURLResponsePtr> httpResponseStream(
      platform::AsyncStream<platform::HTTPURLResponsePtr>::BufferingPolicy bufferingPolicy =
          platform::AsyncStream<platform::HTTPURLResponsePtr>::BufferingPolicy::unbounded());
  DataStreamPublisher<platform::Bytes> publishData(platform::DispatchQueuePtr queue);
  DataStreamPublisher<std::string> publishString(platform::DispatchQueuePtr queue);
  template <class T, class Decoder = platform::JSONDecoder>
  DataStreamPublisher<T> publishDecodable(platform::DispatchQueuePtr queue, Decoder decoder,
                                          DataPreprocessorPtr dataPreprocessor);

  // ---- Called by the session delegate ---------------------------------------------------------
  // On the underlying queue. Chunks that arrive before the handlers' turn on that queue are
  // handed to each handler's queue in one piece of work.
  void receiveData(platform::Bytes chunk);
  void answerHTTPResponse(
      const platform::HTTPURLResponsePtr& response,
      std::function<void(platform::URLSessionDelegate::ResponseDisposition)> completionHandler);

  // ---- Overrides -------------------------------------------------------------------------------
  void complete(const std::optional<HalyardError>& error) override;
  URLSessionTaskPtr makeTask(const platform::URLRequest& request,
                             const URLSessionPtr& session) override;
  void performWith(RequestPerformer& performer) override;

 private:
  std::shared_ptr<DataStreamRequest> sharedSelf() {
    return std::static_pointer_cast<DataStreamRequest>(shared_from_this());
  }
  CancellationToken token() { return CancellationToken{sharedSelf()}; }

  // Registers one handler: `deliver` hands a batch of chunks on and ends with
  // `finishStreamExecution` for all of them; `completeOne` delivers the handler's `complete`
  // event.
  DataStreamRequest& registerStream(std::function<void(ChunkBatch)> deliver,
                                    platform::DispatchQueuePtr queue,
                                    std::function<void(Completion)> completeOne);
  void runOrCancelOnError(const std::function<void()>& step);
  void enqueueStreamCompletion(platform::DispatchQueuePtr queue,
                               std::function<void(Completion)> completeOne);
  void deliverStreamCompletion(const platform::DispatchQueuePtr& queue,
                               std::function<void(Completion)> completeOne);
  // Hands the chunks that arrived since the last turn to their handlers.
  void handOnArrivedChunks();
  // `deliveries` chunks of `bytes` in all were handled by one handler.
  void finishStreamExecution(std::size_t deliveries, std::int64_t bytes);
  static std::int64_t bytesIn(const ChunkBatch& batch);
  void reportParsedValue(const std::expected<AnyValue, HalyardError>& result);

  template <class Success, class Failure>
  std::function<void(Completion)> completionFor(Handler<Success, Failure> handler) {
    std::weak_ptr<DataStreamRequest> weak = sharedSelf();
    return [handler = std::move(handler), weak](Completion completion) {
      try {
        handler(Stream<Success, Failure>{Event<Success, Failure>::complete(std::move(completion)),
                                         CancellationToken{weak}});
      } catch (...) {
        // A throw on the final event changes nothing.
      }
    };
  }

  mutable Protected<StreamMutableState> streamMutableState_;
  const URLRequestConvertiblePtr convertible_;
  const bool automaticallyCancelOnStreamError_;
};

using DataStreamRequestPtr = std::shared_ptr<DataStreamRequest>;

// ---- Template implementation ------------------------------------------------------------------

template <DataStreamSerializer Serializer>
DataStreamRequest& DataStreamRequest::addStreamHandler(
    Serializer serializer, platform::DispatchQueuePtr queue,
    Handler<typename Serializer::SerializedObject, HalyardError> handler) {
  using Value = typename Serializer::SerializedObject;
  using Result = std::expected<Value, HalyardError>;
  std::weak_ptr<DataStreamRequest> weak = sharedSelf();
  // The stored closure refers to the request weakly; each hop of a chunk under way keeps it.
  auto deliver = [weak, queue, handler, serializer = std::move(serializer)](ChunkBatch batch) {
    auto self = weak.lock();
    if (!self) return;
    self->serializationQueue()->async([self, queue, handler, serializer,
                                       batch = std::move(batch)] {
      const std::int64_t bytes = bytesIn(batch);
      std::vector<Result> results;
      results.reserve(batch.size());
      for (const auto& chunk : batch) {
        results.push_back([&]() -> Result {
          try {
            return serializer.serializeChunk(chunk);
          } catch (...) {
            return std::unexpected(toHalyardErrorOrElse(currentError(), [](const ErrorPtr& e) {
              return HalyardError::responseSerializationFailed(
                  HalyardError::ResponseSerializationFailureReason::CustomSerializationFailed{e});
            }));
          }
        }());
      }
      self->underlyingQueue()->async([self, queue, handler, bytes, results = std::move(results)] {
        for (const auto& result : results) {
          self->reportParsedValue(result
                                      ? std::expected<AnyValue, HalyardError>(AnyValue::of(*result))
                                      : std::unexpected(result.error()));
          if (!result && self->automaticallyCancelOnStreamError()) self->cancel();
        }
        queue->async([self, handler, bytes, results]() mutable {
          for (auto& result : results) {
            self->runOrCancelOnError([&] {
              handler(Stream<Value, HalyardError>{
                  Event<Value, HalyardError>::stream(std::move(result)), self->token()});
            });
          }
          self->finishStreamExecution(results.size(), bytes);
        });
      });
    });
  };
  return registerStream(std::move(deliver), queue, completionFor(std::move(handler)));
}

}  // namespace halyard

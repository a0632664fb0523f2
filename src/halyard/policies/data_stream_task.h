#pragma once

// A data stream request's chunks as asynchronous sequences.
//
// Every iteration registers a handler of its own, on a serial queue of its own, so the events
// of one loop keep their order while loops over the same request run side by side. Leaving a
// loop early cancels a still running request when the stream was made `automaticallyCancelling`
// (the default: the loop owns the request), and leaves it alone otherwise.

#include <memory>
#include <string>
#include <utility>

#include "halyard/core/data_stream_request.h"
#include "halyard/core/halyard_error.h"
#include "halyard/core/response_serializer.h"
#include "halyard/policies/data_task.h"
#include "halyard/policies/stream_of.h"
#include "platform/coding/json_decoder.h"

namespace halyard {

class DataStreamTask {
 public:
  template <class Success, class Failure>
  using Stream = DataStreamRequest::Stream<Success, Failure>;
  template <class Success, class Failure>
  using Sequence = StreamOf<Stream<Success, Failure>>;
  template <class Success, class Failure>
  using BufferingPolicy = typename Sequence<Success, Failure>::BufferingPolicy;
  using Never = DataStreamRequest::Never;

  explicit DataStreamTask(std::shared_ptr<DataStreamRequest> request)
      : request_(std::move(request)) {}

  const std::shared_ptr<DataStreamRequest>& request() const { return request_; }

  // Each chunk as it came, then the `complete` event.
  Sequence<platform::Bytes, Never> streamingData(
      bool automaticallyCancelling = true,
      BufferingPolicy<platform::Bytes, Never> bufferingPolicy =
          BufferingPolicy<platform::Bytes, Never>::unbounded()) const {
    return makeSequence<platform::Bytes, Never>(
        automaticallyCancelling, bufferingPolicy,
        [](DataStreamRequest& r, platform::DispatchQueuePtr q, Handler<platform::Bytes, Never> h) {
          r.streamAsData(std::move(q), std::move(h));
        });
  }

  // Each chunk as text (ill-formed UTF-8 replaced, never failing), then `complete`.
  Sequence<std::string, Never> streamingStrings(
      bool automaticallyCancelling = true,
      BufferingPolicy<std::string, Never> bufferingPolicy =
          BufferingPolicy<std::string, Never>::unbounded()) const {
    return makeSequence<std::string, Never>(
        automaticallyCancelling, bufferingPolicy,
        [](DataStreamRequest& r, platform::DispatchQueuePtr q, Handler<std::string, Never> h) {
          r.streamAsString(std::move(q), std::move(h));
        });
  }

  // Each chunk decoded as JSON into a `T`; a chunk that does not decode is a failure element.
  template <class T>
  Sequence<T, HalyardError> streamingDecodables(
      bool automaticallyCancelling = true,
      BufferingPolicy<T, HalyardError> bufferingPolicy =
          BufferingPolicy<T, HalyardError>::unbounded()) const {
    auto serializer = DecodableStreamSerializer<T, platform::JSONDecoder>(
        platform::JSONDecoder(), std::make_shared<PassthroughPreprocessor>());
    return streamingResponses(std::move(serializer), automaticallyCancelling, bufferingPolicy);
  }

  template <DataStreamSerializer Serializer>
  Sequence<typename Serializer::SerializedObject, HalyardError> streamingResponses(
      Serializer serializer, bool automaticallyCancelling = true,
      BufferingPolicy<typename Serializer::SerializedObject, HalyardError> bufferingPolicy =
          BufferingPolicy<typename Serializer::SerializedObject, HalyardError>::unbounded()) const {
    using Value = typename Serializer::SerializedObject;
    return makeSequence<Value, HalyardError>(
        automaticallyCancelling, bufferingPolicy,
        [serializer = std::move(serializer)](DataStreamRequest& r, platform::DispatchQueuePtr q,
                                             Handler<Value, HalyardError> h) {
          r.addStreamHandler(serializer, std::move(q), std::move(h));
        });
  }

  void cancel() const { request_->cancel(); }
  void resume() const { request_->resume(); }
  void suspend() const { request_->suspend(); }

 private:
  template <class Success, class Failure>
  using Handler = DataStreamRequest::Handler<Success, Failure>;

  template <class Success, class Failure, class Register>
  Sequence<Success, Failure> makeSequence(bool automaticallyCancelling,
                                          BufferingPolicy<Success, Failure> bufferingPolicy,
                                          Register registerHandler) const {
    using Continuation = typename Sequence<Success, Failure>::Continuation;
    auto request = request_;
    std::function<void()> onTermination = [request, automaticallyCancelling] {
      // `cancel` acts only on a request still initialized, resumed or suspended.
      if (automaticallyCancelling) request->cancel();
    };
    auto builder = [request, registerHandler](Continuation continuation) {
      auto queue = makeStreamCompletionQueue(request->id());
      registerHandler(*request, std::move(queue),
                      [continuation](const Stream<Success, Failure>& stream) {
                        continuation.yield(stream);
                        if (stream.completion()) continuation.finish();
                      });
    };
    return Sequence<Success, Failure>(bufferingPolicy, std::move(onTermination),
                                      std::move(builder));
  }

  std::shared_ptr<DataStreamRequest> request_;
};

// ---- Asynchronous response handlers of stream requests -----------------------------------------

inline DataStreamRequest& DataStreamRequest::onHTTPResponseAsync(AsyncResponseHandler handler) {
  return setResponseDispositionHandler(
      underlyingQueue(),
      [handler = std::move(handler)](const platform::HTTPURLResponsePtr& response,
                                     std::function<void(ResponseDisposition)> disposition) {
        detail::answerResponseAsync(handler, response, std::move(disposition));
      });
}

inline DataStreamRequest& DataStreamRequest::onHTTPResponseAsyncAllowing(
    AsyncResponseObserver handler) {
  return onHTTPResponseAsync([handler = std::move(handler)](platform::HTTPURLResponsePtr r) {
    return detail::allowAfter(handler, std::move(r));
  });
}

}  // namespace halyard

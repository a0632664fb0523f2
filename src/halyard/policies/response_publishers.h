#pragma once

// A request's outcome as a publisher.
//
// A publisher is only a request and a closure that registers a handler on it: nothing touches
// the request until a subscriber asks for a value. The first demand registers the handler once
// and resumes the request; later demand does nothing. Cancelling cancels the request. The
// publishers never fail: errors travel inside the responses, and only the `value` operators
// turn them into a failure completion.

#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "halyard/core/data_request.h"
#include "halyard/core/data_stream_request.h"
#include "halyard/core/download_request.h"
#include "halyard/core/halyard_error.h"
#include "halyard/core/response_serializer.h"
#include "platform/reactive/publisher.h"

namespace halyard {

namespace detail {

// One subscription of a request publisher. The subscriber is taken out and `downstream`
// emptied in one hold, so demand arriving from two threads at once registers one handler and
// resumes the request once.
template <class RequestType, class Output>
class RequestSubscription : public platform::Subscription {
 public:
  using Downstream = platform::SubscriberPtr<Output, platform::Never>;
  using Handler = std::function<void(const Output&)>;
  using Register = std::function<std::shared_ptr<RequestType>(Handler)>;

  RequestSubscription(Downstream downstream, std::shared_ptr<RequestType> request,
                      Register registerHandler, std::function<bool(const Output&)> isLast,
                      std::function<void(RequestType&)> cancelRequest)
      : downstream_(std::move(downstream)),
        request_(std::move(request)),
        register_(std::move(registerHandler)),
        isLast_(std::move(isLast)),
        cancelRequest_(std::move(cancelRequest)) {}

  void request(platform::Demand) override {
    Downstream subscriber;
    {
      std::lock_guard lock(mutex_);
      subscriber = std::move(downstream_);
      downstream_.reset();
    }
    if (!subscriber) return;
    auto registered = register_([subscriber, isLast = isLast_](const Output& output) {
      // Every element is sent whatever the remaining demand: a response or a chunk that came
      // cannot be held back by the request.
      subscriber->receive(output);
      if (isLast(output)) subscriber->receive(platform::Completion<platform::Never>::finished());
    });
    if (registered) registered->resume();
  }

  void cancel() override {
    cancelRequest_(*request_);
    std::lock_guard lock(mutex_);
    downstream_.reset();
  }

 private:
  std::mutex mutex_;
  Downstream downstream_;
  std::shared_ptr<RequestType> request_;
  Register register_;
  std::function<bool(const Output&)> isLast_;
  std::function<void(RequestType&)> cancelRequest_;
};

// What the three publishers share: a request, and the closure that registers a handler on it.
template <class RequestType, class OutputType>
class RequestPublisher {
 public:
  using Output = OutputType;
  using Failure = platform::Never;
  using Handler = std::function<void(const Output&)>;
  using Register = std::function<std::shared_ptr<RequestType>(Handler)>;

  RequestPublisher(std::shared_ptr<RequestType> request, Register registerHandler)
      : request_(std::move(request)), register_(std::move(registerHandler)) {}

  const std::shared_ptr<RequestType>& request() const { return request_; }

 protected:
  void subscribe(platform::SubscriberPtr<Output, Failure> subscriber,
                 std::function<bool(const Output&)> isLast,
                 std::function<void(RequestType&)> cancelRequest) const {
    auto inner = std::make_shared<RequestSubscription<RequestType, Output>>(
        subscriber, request_, register_, std::move(isLast), std::move(cancelRequest));
    subscriber->receive(platform::SubscriptionPtr(std::move(inner)));
  }

  std::shared_ptr<RequestType> request_;
  Register register_;
};

// `sink` of every request publisher.
template <class Self, class Output>
struct Sinkable {
  [[nodiscard]] platform::Cancellable sink(
      std::function<void(platform::Completion<platform::Never>)> receiveCompletion,
      std::function<void(Output)> receiveValue) const {
    return platform::AnyPublisher<Output, platform::Never>(static_cast<const Self&>(*this))
        .sink(std::move(receiveCompletion), std::move(receiveValue));
  }
};

// `result` and `value` of a publisher of single responses.
template <class Self, class Output, class Value>
struct ResponseOperators : Sinkable<Self, Output> {
  using Result = std::expected<Value, HalyardError>;

  platform::AnyPublisher<Result, platform::Never> result() const {
    return platform::AnyPublisher<Output, platform::Never>(static_cast<const Self&>(*this))
        .map([](Output response) { return std::move(response.result); });
  }

  // The value, or a failure completion with the response's error.
  platform::AnyPublisher<Value, HalyardError> value() const {
    return platform::AnyPublisher<Output, platform::Never>(static_cast<const Self&>(*this))
        .template setFailureType<HalyardError>()
        .flatMap(platform::Demand::unlimited(), [](Output response) {
          return platform::ResultPublisher<Value, HalyardError>(std::move(response.result));
        });
  }
};

}  // namespace detail

// Publishes one data response, then finishes.
template <class Value>
class DataResponsePublisher
    : public detail::RequestPublisher<DataRequest, DataResponse<Value>>,
      public detail::ResponseOperators<DataResponsePublisher<Value>, DataResponse<Value>, Value> {
  using Base = detail::RequestPublisher<DataRequest, DataResponse<Value>>;

 public:
  using typename Base::Failure;
  using typename Base::Output;
  using typename Base::Register;

  DataResponsePublisher(std::shared_ptr<DataRequest> request, Register responseHandler)
      : Base(std::move(request), std::move(responseHandler)) {}

  template <class Serializer>
  requires DataResponseSerializerProtocol<Serializer> &&
      std::derived_from<Serializer, ResponseSerializer>
  static DataResponsePublisher initWithSerializer(std::shared_ptr<DataRequest> request,
                                                  platform::DispatchQueuePtr queue,
                                                  Serializer serializer) {
    return initWithDataSerializer(std::move(request), std::move(queue), std::move(serializer));
  }

  template <DataResponseSerializerProtocol Serializer>
  static DataResponsePublisher initWithDataSerializer(std::shared_ptr<DataRequest> request,
                                                      platform::DispatchQueuePtr queue,
                                                      Serializer serializer) {
    std::weak_ptr<DataRequest> weak = request;
    return DataResponsePublisher(
        request, [weak, queue, serializer](typename Base::Handler handler) {
          auto request = weak.lock();
          if (request) request->responseWithDataSerializer(queue, serializer, std::move(handler));
          return request;
        });
  }

  void receive(platform::SubscriberPtr<Output, Failure> subscriber) const {
    this->subscribe(
        std::move(subscriber), [](const Output&) { return true; },
        [](DataRequest& r) { r.cancel(); });
  }
};

// Publishes one download response, then finishes. Cancelling keeps no resume data.
template <class Value>
class DownloadResponsePublisher
    : public detail::RequestPublisher<DownloadRequest, DownloadResponse<Value>>,
      public detail::ResponseOperators<DownloadResponsePublisher<Value>, DownloadResponse<Value>,
                                       Value> {
  using Base = detail::RequestPublisher<DownloadRequest, DownloadResponse<Value>>;

 public:
  using typename Base::Failure;
  using typename Base::Output;
  using typename Base::Register;

  DownloadResponsePublisher(std::shared_ptr<DownloadRequest> request, Register responseHandler)
      : Base(std::move(request), std::move(responseHandler)) {}

  template <class Serializer>
  requires DownloadResponseSerializerProtocol<Serializer> &&
      std::derived_from<Serializer, ResponseSerializer>
  static DownloadResponsePublisher initWithSerializer(std::shared_ptr<DownloadRequest> request,
                                                      platform::DispatchQueuePtr queue,
                                                      Serializer serializer) {
    return initWithDownloadSerializer(std::move(request), std::move(queue), std::move(serializer));
  }

  template <DownloadResponseSerializerProtocol Serializer>
  static DownloadResponsePublisher initWithDownloadSerializer(
      std::shared_ptr<DownloadRequest> request, platform::DispatchQueuePtr queue,
      Serializer serializer) {
    std::weak_ptr<DownloadRequest> weak = request;
    return DownloadResponsePublisher(
        request, [weak, queue, serializer](typename Base::Handler handler) {
          auto request = weak.lock();
          if (request) {
            request->responseWithDownloadSerializer(queue, serializer, std::move(handler));
          }
          return request;
        });
  }

  void receive(platform::SubscriberPtr<Output, Failure> subscriber) const {
    this->subscribe(
        std::move(subscriber), [](const Output&) { return true; },
        [](DownloadRequest& r) { r.cancelProducingResumeData(false); });
  }
};

// Publishes every piece of a streamed body, then finishes after the `complete` event.
template <class Value>
class DataStreamPublisher
    : public detail::RequestPublisher<DataStreamRequest,
                                      DataStreamRequest::Stream<Value, HalyardError>>,
      public detail::Sinkable<DataStreamPublisher<Value>,
                              DataStreamRequest::Stream<Value, HalyardError>> {
  using Base =
      detail::RequestPublisher<DataStreamRequest, DataStreamRequest::Stream<Value, HalyardError>>;

 public:
  using typename Base::Failure;
  using typename Base::Output;
  using typename Base::Register;
  using Result = std::expected<Value, HalyardError>;

  DataStreamPublisher(std::shared_ptr<DataStreamRequest> request, Register streamHandler)
      : Base(std::move(request), std::move(streamHandler)) {}

  template <DataStreamSerializer Serializer>
  static DataStreamPublisher initWithSerializer(std::shared_ptr<DataStreamRequest> request,
                                                platform::DispatchQueuePtr queue,
                                                Serializer serializer) {
    std::weak_ptr<DataStreamRequest> weak = request;
    return DataStreamPublisher(request, [weak, queue, serializer](typename Base::Handler handler) {
      auto request = weak.lock();
      if (request) request->addStreamHandler(serializer, queue, std::move(handler));
      return request;
    });
  }

  void receive(platform::SubscriberPtr<Output, Failure> subscriber) const {
    this->subscribe(
        std::move(subscriber), [](const Output& stream) { return stream.completion().has_value(); },
        [](DataStreamRequest& r) { r.cancel(); });
  }

  // Each piece's result; a completion with an error gives a last failure, one without nothing.
  platform::AnyPublisher<Result, platform::Never> result() const {
    return platform::AnyPublisher<Output, platform::Never>(*this).compactMap(
        [](Output stream) -> std::optional<Result> {
          if (auto result = stream.result()) return std::move(*result);
          if (auto completion = stream.completion(); completion && completion->error) {
            return Result(std::unexpect, *completion->error);
          }
          return std::nullopt;
        });
  }

  platform::AnyPublisher<Value, HalyardError> value() const {
    return result().template setFailureType<HalyardError>().flatMap(
        platform::Demand::unlimited(),
        [](Result r) { return platform::ResultPublisher<Value, HalyardError>(std::move(r)); });
  }
};

// ---- Publishing operations of the request types -------------------------------------------------

inline DataResponsePublisher<platform::Bytes> DataRequest::publishData(
    platform::DispatchQueuePtr queue, DataPreprocessorPtr dataPreprocessor,
    EmptyResponseCodes emptyResponseCodes, EmptyRequestMethods emptyRequestMethods) {
  return DataResponsePublisher<platform::Bytes>::initWithSerializer(
      sharedSelf(), std::move(queue),
      DataResponseSerializer(std::move(dataPreprocessor), std::move(emptyResponseCodes),
                             std::move(emptyRequestMethods)));
}

inline DataResponsePublisher<std::string> DataRequest::publishString(
    platform::DispatchQueuePtr queue, DataPreprocessorPtr dataPreprocessor,
    std::optional<platform::StringEncoding> encoding, EmptyResponseCodes emptyResponseCodes,
    EmptyRequestMethods emptyRequestMethods) {
  return DataResponsePublisher<std::string>::initWithSerializer(
      sharedSelf(), std::move(queue),
      StringResponseSerializer(std::move(dataPreprocessor), encoding, std::move(emptyResponseCodes),
                               std::move(emptyRequestMethods)));
}

template <class T, class Decoder>
DataResponsePublisher<T> DataRequest::publishDecodable(platform::DispatchQueuePtr queue,
                                                       DataPreprocessorPtr dataPreprocessor,
                                                       Decoder decoder,
                                                       EmptyResponseCodes emptyResponseCodes,
                                                       EmptyRequestMethods emptyRequestMethods) {
  return DataResponsePublisher<T>::initWithSerializer(
      sharedSelf(), std::move(queue),
      DecodableResponseSerializer<T, Decoder>(std::move(dataPreprocessor), std::move(decoder),
                                              std::move(emptyResponseCodes),
                                              std::move(emptyRequestMethods)));
}

inline DataResponsePublisher<std::optional<platform::Bytes>> DataRequest::publishUnserialized(
    platform::DispatchQueuePtr queue) {
  using Publisher = DataResponsePublisher<std::optional<platform::Bytes>>;
  std::weak_ptr<DataRequest> weak = sharedSelf();
  return Publisher(sharedSelf(), [weak, queue](Publisher::Handler handler) {
    auto request = weak.lock();
    if (request) request->responseUnserialized(queue, std::move(handler));
    return request;
  });
}

inline DownloadResponsePublisher<platform::Bytes> DownloadRequest::publishData(
    platform::DispatchQueuePtr queue, DataPreprocessorPtr dataPreprocessor,
    EmptyResponseCodes emptyResponseCodes, EmptyRequestMethods emptyRequestMethods) {
  return DownloadResponsePublisher<platform::Bytes>::initWithSerializer(
      sharedSelf(), std::move(queue),
      DataResponseSerializer(std::move(dataPreprocessor), std::move(emptyResponseCodes),
                             std::move(emptyRequestMethods)));
}

inline DownloadResponsePublisher<std::string> DownloadRequest::publishString(
    platform::DispatchQueuePtr queue, DataPreprocessorPtr dataPreprocessor,
    std::optional<platform::StringEncoding> encoding, EmptyResponseCodes emptyResponseCodes,
    EmptyRequestMethods emptyRequestMethods) {
  return DownloadResponsePublisher<std::string>::initWithSerializer(
      sharedSelf(), std::move(queue),
      StringResponseSerializer(std::move(dataPreprocessor), encoding, std::move(emptyResponseCodes),
                               std::move(emptyRequestMethods)));
}

template <class T, class Decoder>
DownloadResponsePublisher<T> DownloadRequest::publishDecodable(
    platform::DispatchQueuePtr queue, DataPreprocessorPtr dataPreprocessor, Decoder decoder,
    EmptyResponseCodes emptyResponseCodes, EmptyRequestMethods emptyRequestMethods) {
  return DownloadResponsePublisher<T>::initWithSerializer(
      sharedSelf(), std::move(queue),
      DecodableResponseSerializer<T, Decoder>(std::move(dataPreprocessor), std::move(decoder),
                                              std::move(emptyResponseCodes),
                                              std::move(emptyRequestMethods)));
}

inline DownloadResponsePublisher<std::optional<platform::URL>> DownloadRequest::publishUnserialized(
    platform::DispatchQueuePtr queue) {
  using Publisher = DownloadResponsePublisher<std::optional<platform::URL>>;
  std::weak_ptr<DownloadRequest> weak = sharedSelf();
  return Publisher(sharedSelf(), [weak, queue](Publisher::Handler handler) {
    auto request = weak.lock();
    if (request) request->responseUnserialized(queue, std::move(handler));
    return request;
  });
}

inline DataStreamPublisher<platform::Bytes> DataStreamRequest::publishData(
    platform::DispatchQueuePtr queue) {
  return DataStreamPublisher<platform::Bytes>::initWithSerializer(sharedSelf(), std::move(queue),
                                                                  PassthroughStreamSerializer());
}

inline DataStreamPublisher<std::string> DataStreamRequest::publishString(
    platform::DispatchQueuePtr queue) {
  return DataStreamPublisher<std::string>::initWithSerializer(sharedSelf(), std::move(queue),
                                                              StringStreamSerializer());
}

template <class T, class Decoder>
DataStreamPublisher<T> DataStreamRequest::publishDecodable(platform::DispatchQueuePtr queue,
                                                           Decoder decoder,
                                                           DataPreprocessorPtr dataPreprocessor) {
  return DataStreamPublisher<T>::initWithSerializer(
      sharedSelf(), std::move(queue),
      DecodableStreamSerializer<T, Decoder>(std::move(decoder), std::move(dataPreprocessor)));
}

}  // namespace halyard

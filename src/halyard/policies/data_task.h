#pragma once

// Awaiting a data request's serialized response from a coroutine.

#include <memory>
#include <string>
#include <utility>

#include "halyard/core/data_request.h"
#include "halyard/core/halyard_error.h"
#include "halyard/core/response.h"
#include "halyard/core/response_serializer.h"
#include "platform/concurrency/checked_continuation.h"
#include "platform/concurrency/task.h"

namespace halyard {

namespace detail {

// Forwards an awaiter and turns its result on the way out, so a getter can hand the caller's
// own task the wait (and with it the caller's cancellation) instead of starting a task of its
// own.
template <class Inner, class Fn>
class MappedAwaiter {
 public:
  MappedAwaiter(Inner inner, Fn fn) : inner_(std::move(inner)), fn_(std::move(fn)) {}
  bool await_ready() { return inner_.await_ready(); }
  template <class H>
  auto await_suspend(H h) {
    return inner_.await_suspend(h);
  }
  decltype(auto) await_resume() { return fn_(inner_.await_resume()); }

 private:
  Inner inner_;
  Fn fn_;
};

}  // namespace detail

// One unstructured task that waits for the request's serializer; any number of callers and
// copies may await its response. With `shouldAutomaticallyCancel`, cancelling a task that
// awaits `response` cancels the request too; without it, awaiting does not own the request.
template <class RequestType, class ResponseType, class Value>
class ResponseTask {
 public:
  using Response = ResponseType;
  using Result = std::expected<Value, HalyardError>;

  ResponseTask(std::shared_ptr<RequestType> request, platform::Task<Response> task,
               bool shouldAutomaticallyCancel)
      : request_(std::move(request)),
        task_(std::move(task)),
        shouldAutomaticallyCancel_(shouldAutomaticallyCancel) {}

  const std::shared_ptr<RequestType>& request() const { return request_; }
  const platform::Task<Response>& task() const { return task_; }
  bool shouldAutomaticallyCancel() const { return shouldAutomaticallyCancel_; }

  auto response() const {
    auto task = task_;
    const bool propagate = shouldAutomaticallyCancel_;
    return platform::withTaskCancellationHandler(task_, [task, propagate] {
      if (propagate) task.cancel();
    });
  }
  auto result() const {
    return detail::MappedAwaiter(response(), [](Response r) { return std::move(r.result); });
  }
  // The success value; a failure is thrown as its `HalyardError`.
  auto value() const {
    return detail::MappedAwaiter(result(), [](Result r) {
      if (!r) throw r.error();
      return std::move(*r);
    });
  }

  void cancel() const { task_.cancel(); }
  void resume() const { request_->resume(); }
  void suspend() const { request_->suspend(); }

 private:
  std::shared_ptr<RequestType> request_;
  platform::Task<Response> task_;
  bool shouldAutomaticallyCancel_;
};

namespace detail {

template <class Value, class Serializer>
platform::Task<DataResponse<Value>> runDataTask(std::shared_ptr<DataRequest> request,
                                                Serializer serializer) {
  auto onCancel = [request] { request->cancel(); };
  auto wait = platform::withCheckedContinuation<DataResponse<Value>>(
      "dataTask(automaticallyCancelling:forResponse:)",
      [request, serializer](platform::CheckedContinuation<DataResponse<Value>> continuation) {
        request->responseWithDataSerializer(
            request->underlyingQueue(), serializer,
            [continuation](const DataResponse<Value>& response) { continuation.resume(response); });
      });
  co_return co_await platform::withTaskCancellationHandler(std::move(wait), onCancel);
}

// Runs an asynchronous response handler as a task of its own and hands its answer to the
// transfer. A handler that throws cancels: letting a body in that nobody vetted would be the
// worse guess, and never answering would hold the transfer for ever.
template <class Handler, class Disposition>
platform::Task<void> answerResponseAsync(Handler handler, platform::HTTPURLResponsePtr response,
                                         std::function<void(Disposition)> disposition) {
  std::optional<Disposition> answer;
  try {
    auto task = handler(response);
    answer = co_await task;
  } catch (...) {
    answer = Disposition::cancel;
  }
  disposition(*answer);
}

template <class Handler>
platform::Task<Request::ResponseDisposition> allowAfter(Handler handler,
                                                        platform::HTTPURLResponsePtr response) {
  auto task = handler(response);
  co_await task;
  co_return Request::ResponseDisposition::allow;
}

}  // namespace detail

template <DataResponseSerializerProtocol Serializer>
DataTask<typename Serializer::SerializedObject> DataRequest::makeSerializingTask(
    Serializer serializer, bool automaticallyCancelling) {
  using Value = typename Serializer::SerializedObject;
  auto self = sharedSelf();
  auto task = detail::runDataTask<Value>(self, std::move(serializer));
  return DataTask<Value>(self, std::move(task), automaticallyCancelling);
}

template <DataResponseSerializerProtocol Serializer>
DataTask<typename Serializer::SerializedObject> DataRequest::serializingResponseWithDataSerializer(
    Serializer serializer, bool automaticallyCancelling) {
  return makeSerializingTask(std::move(serializer), automaticallyCancelling);
}

inline DataTask<platform::Bytes> DataRequest::serializingData(
    DataPreprocessorPtr dataPreprocessor, EmptyResponseCodes emptyResponseCodes,
    EmptyRequestMethods emptyRequestMethods, bool automaticallyCancelling) {
  return makeSerializingTask(
      DataResponseSerializer(std::move(dataPreprocessor), std::move(emptyResponseCodes),
                             std::move(emptyRequestMethods)),
      automaticallyCancelling);
}

inline DataTask<std::string> DataRequest::serializingString(
    DataPreprocessorPtr dataPreprocessor, std::optional<platform::StringEncoding> encoding,
    EmptyResponseCodes emptyResponseCodes, EmptyRequestMethods emptyRequestMethods,
    bool automaticallyCancelling) {
  return makeSerializingTask(
      StringResponseSerializer(std::move(dataPreprocessor), encoding, std::move(emptyResponseCodes),
                               std::move(emptyRequestMethods)),
      automaticallyCancelling);
}

template <class T, class Decoder>
DataTask<T> DataRequest::serializingDecodable(DataPreprocessorPtr dataPreprocessor, Decoder decoder,
                                              EmptyResponseCodes emptyResponseCodes,
                                              EmptyRequestMethods emptyRequestMethods,
                                              bool automaticallyCancelling) {
  return makeSerializingTask(DecodableResponseSerializer<T, Decoder>(
                                 std::move(dataPreprocessor), std::move(decoder),
                                 std::move(emptyResponseCodes), std::move(emptyRequestMethods)),
                             automaticallyCancelling);
}

inline DataRequest& DataRequest::onHTTPResponseAsync(AsyncResponseHandler handler) {
  return setResponseDispositionHandler(
      underlyingQueue(),
      [handler = std::move(handler)](const platform::HTTPURLResponsePtr& response,
                                     std::function<void(ResponseDisposition)> disposition) {
        detail::answerResponseAsync(handler, response, std::move(disposition));
      });
}

inline DataRequest& DataRequest::onHTTPResponseAsyncAllowing(AsyncResponseObserver handler) {
  return onHTTPResponseAsync([handler = std::move(handler)](platform::HTTPURLResponsePtr r) {
    return detail::allowAfter(handler, std::move(r));
  });
}

}  // namespace halyard

#pragma once

// Awaiting a data request's serialized response from a coroutine.

#include <memory>
#include <string>
#include <utility>

#include "halyard/core/data_request.h"
#include "halyard/core/halyard_error.h"
#include "halyard/core/response.h"
#include "halyard/encoding/response_serializer.h"
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

template <class Value>
using DataTask = ResponseTask<DataRequest, DataResponse<Value>, Value>;

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

}  // namespace detail

// A task for the response `serializer` makes of the request's body.
template <DataResponseSerializerProtocol Serializer>
DataTask<typename Serializer::SerializedObject> makeSerializingTask(
    const std::shared_ptr<DataRequest>& request, Serializer serializer,
    bool automaticallyCancelling) {
  using Value = typename Serializer::SerializedObject;
  auto task = detail::runDataTask<Value>(request, std::move(serializer));
  return DataTask<Value>(request, std::move(task), automaticallyCancelling);
}

inline DataTask<platform::Bytes> serializingData(const std::shared_ptr<DataRequest>& request,
                                                 DataPreprocessorPtr dataPreprocessor,
                                                 EmptyResponseCodes emptyResponseCodes,
                                                 EmptyRequestMethods emptyRequestMethods,
                                                 bool automaticallyCancelling) {
  return makeSerializingTask(
      request,
      DataResponseSerializer(std::move(dataPreprocessor), std::move(emptyResponseCodes),
                             std::move(emptyRequestMethods)),
      automaticallyCancelling);
}

template <class T, class Decoder>
DataTask<T> serializingDecodable(const std::shared_ptr<DataRequest>& request,
                                 DataPreprocessorPtr dataPreprocessor, Decoder decoder,
                                 EmptyResponseCodes emptyResponseCodes,
                                 EmptyRequestMethods emptyRequestMethods,
                                 bool automaticallyCancelling) {
  return makeSerializingTask(request,
                             DecodableResponseSerializer<T, Decoder>(
                                 std::move(dataPreprocessor), std::move(decoder),
                                 std::move(emptyResponseCodes), std::move(emptyRequestMethods)),
                             automaticallyCancelling);
}

}  // namespace halyard

#pragma once

#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "halyard/core/received_body.h"
#include "halyard/core/request.h"
#include "halyard/core/request_delegate.h"
#include "halyard/core/request_steps.h"
#include "halyard/core/response.h"
#include "halyard/core/response_serializer.h"
#include "halyard/core/url_convertible.h"
#include "platform/foundation/process_info.h"

namespace halyard {

class DataRequest;
// Awaiting and publishing a data request's response (halyard/policies/data_task.h and
// halyard/policies/response_publishers.h).
template <class RequestType, class ResponseType, class Value>
class ResponseTask;
template <class Value>
using DataTask = ResponseTask<DataRequest, DataResponse<Value>, Value>;
template <class Value>
class DataResponsePublisher;

// A request whose response body is gathered in memory.
class DataRequest : public Request {
 public:
  using ResponseDispositionHandler = std::function<void(const platform::HTTPURLResponsePtr&,
                                                        std::function<void(ResponseDisposition)>)>;
  struct HTTPResponseHandler {
    platform::DispatchQueuePtr queue;
    ResponseDispositionHandler handler;
  };
  struct DataMutableState {
    std::optional<ReceivedBody> data;  // absent until the first piece arrives
    std::optional<HTTPResponseHandler> httpResponseHandler;
  };
  // (last URL request, HTTP response, body) → success, or failure with an error.
  using Validation = std::function<ValidationResult(const std::optional<platform::URLRequest>&,
                                                    const platform::HTTPURLResponsePtr&,
                                                    const std::optional<platform::Bytes>&)>;
  template <class Value>
  using CompletionHandler = std::function<void(const DataResponse<Value>&)>;

  DataRequest(RequestContext context, URLRequestConvertiblePtr convertible);

  const URLRequestConvertiblePtr& convertible() const { return convertible_; }

  // The body bytes received so far; absent until the first chunk arrives.
  virtual std::optional<platform::Bytes> data() const;
  virtual void appendReceivedData(const platform::Bytes& chunk);
  // Answers the platform's question whether to go on after an HTTP response: at once (on the
  // underlying queue) with allow, or through the stored response handler.
  void answerHTTPResponse(
      const platform::HTTPURLResponsePtr& response,
      std::function<void(platform::URLSessionDelegate::ResponseDisposition)> completionHandler);
  virtual void updateDownloadProgress();

  virtual DataRequest& appendValidator(Validation validation);
  virtual DataRequest& setResponseDispositionHandler(platform::DispatchQueuePtr queue,
                                                     ResponseDispositionHandler handler);
  virtual DataRequest& setResponseHandler(
      platform::DispatchQueuePtr queue,
      std::function<void(const platform::HTTPURLResponsePtr&)> handler);

  // ---- Validation ----------------------------------------------------------------------------
  virtual DataRequest& validateStatusCodes(std::vector<int> acceptableStatusCodes);
  virtual DataRequest& validateStatusCodes(StatusCodeRange acceptableStatusCodes);
  // The acceptable types are asked for each time the check runs.
  virtual DataRequest& validateContentTypes(
      std::function<std::vector<std::string>()> acceptableContentTypes);
  virtual DataRequest& validateContentTypes(std::vector<std::string> acceptableContentTypes);
  // Status 200 to 299 and a content type acceptable for the request's "Accept" header.
  virtual DataRequest& validateStatusAndContentType();

  // ---- Response handlers ---------------------------------------------------------------------
  virtual DataRequest& responseUnserialized(
      platform::DispatchQueuePtr queue,
      CompletionHandler<std::optional<platform::Bytes>> completionHandler);

  template <DataResponseSerializerProtocol Serializer>
  DataRequest& appendSerializingStep(
      platform::DispatchQueuePtr queue, Serializer serializer,
      CompletionHandler<typename Serializer::SerializedObject> completionHandler);
  template <DataResponseSerializerProtocol Serializer>
  DataRequest& responseWithDataSerializer(
      platform::DispatchQueuePtr queue, Serializer serializer,
      CompletionHandler<typename Serializer::SerializedObject> completionHandler) {
    return appendSerializingStep(std::move(queue), std::move(serializer),
                                 std::move(completionHandler));
  }
  template <class Serializer>
  requires DataResponseSerializerProtocol<Serializer> &&
      std::derived_from<Serializer, ResponseSerializer>
          DataRequest& responseWithSerializer(
              platform::DispatchQueuePtr queue, Serializer serializer,
              CompletionHandler<typename Serializer::SerializedObject> completionHandler) {
    return appendSerializingStep(std::move(queue), std::move(serializer),
                                 std::move(completionHandler));
  }

  virtual DataRequest& responseAsData(platform::DispatchQueuePtr queue,
                                      DataPreprocessorPtr dataPreprocessor,
                                      EmptyResponseCodes emptyResponseCodes,
                                      EmptyRequestMethods emptyRequestMethods,
                                      CompletionHandler<platform::Bytes> completionHandler);
  virtual DataRequest& responseAsString(platform::DispatchQueuePtr queue,
                                        DataPreprocessorPtr dataPreprocessor,
                                        std::optional<platform::StringEncoding> encoding,
                                        EmptyResponseCodes emptyResponseCodes,
                                        EmptyRequestMethods emptyRequestMethods,
                                        CompletionHandler<std::string> completionHandler);
  virtual DataRequest& responseAsJSON(platform::DispatchQueuePtr queue,
                                      DataPreprocessorPtr dataPreprocessor,
                                      EmptyResponseCodes emptyResponseCodes,
                                      EmptyRequestMethods emptyRequestMethods, unsigned options,
                                      CompletionHandler<platform::Value> completionHandler);
  template <class T, class Decoder = platform::JSONDecoder>
  DataRequest& responseAsDecodable(platform::DispatchQueuePtr queue,
                                   DataPreprocessorPtr dataPreprocessor, Decoder decoder,
                                   EmptyResponseCodes emptyResponseCodes,
                                   EmptyRequestMethods emptyRequestMethods,
                                   CompletionHandler<T> completionHandler) {
    return appendSerializingStep(std::move(queue),
                                 DecodableResponseSerializer<T, Decoder>(
                                     std::move(dataPreprocessor), std::move(decoder),
                                     std::move(emptyResponseCodes), std::move(emptyRequestMethods)),
                                 std::move(completionHandler));
  }

  // The same with the standard arguments: the main queue, the pass-through preprocessor, no
  // fixed encoding, empty bodies allowed for 204, 205 and HEAD, a new JSON decoder.
  DataRequest& responseUnserialized(
      CompletionHandler<std::optional<platform::Bytes>> completionHandler);
  DataRequest& responseAsData(CompletionHandler<platform::Bytes> completionHandler,
                              platform::DispatchQueuePtr queue = nullptr);
  DataRequest& responseAsString(CompletionHandler<std::string> completionHandler,
                                platform::DispatchQueuePtr queue = nullptr);
  DataRequest& responseAsJSON(CompletionHandler<platform::Value> completionHandler,
                              platform::DispatchQueuePtr queue = nullptr);
  template <class T>
  DataRequest& responseAsDecodable(CompletionHandler<T> completionHandler,
                                   platform::DispatchQueuePtr queue = nullptr) {
    return request_steps::standardResponseAsDecodable<T>(*this, std::move(completionHandler),
                                                         std::move(queue));
  }

  // ---- Awaiting (include halyard/policies/data_task.h) -----------------------------------------
  // Each registers its serializer at once, completing on the underlying queue. With
  // `automaticallyCancelling`, cancelling a task that awaits the response cancels the request.
  DataTask<platform::Bytes> serializingData(DataPreprocessorPtr dataPreprocessor,
                                            EmptyResponseCodes emptyResponseCodes,
                                            EmptyRequestMethods emptyRequestMethods,
                                            bool automaticallyCancelling);
  DataTask<std::string> serializingString(DataPreprocessorPtr dataPreprocessor,
                                          std::optional<platform::StringEncoding> encoding,
                                          EmptyResponseCodes emptyResponseCodes,
                                          EmptyRequestMethods emptyRequestMethods,
                                          bool automaticallyCancelling);
  template <class T, class Decoder = platform::JSONDecoder>
  DataTask<T> serializingDecodable(DataPreprocessorPtr dataPreprocessor, Decoder decoder,
                                   EmptyResponseCodes emptyResponseCodes,
                                   EmptyRequestMethods emptyRequestMethods,
                                   bool automaticallyCancelling);
  template <DataResponseSerializerProtocol Serializer>
  DataTask<typename Serializer::SerializedObject> makeSerializingTask(Serializer serializer,
                                                                      bool automaticallyCancelling);
  template <DataResponseSerializerProtocol Serializer>
  DataTask<typename Serializer::SerializedObject> serializingResponseWithDataSerializer(
      Serializer serializer, bool automaticallyCancelling);
  // A handler run as a task of its own for each response head; its answer lets the body in or
  // cancels the request (a handler that throws cancels it).
  using AsyncResponseHandler =
      std::function<platform::Task<ResponseDisposition>(platform::HTTPURLResponsePtr)>;
  using AsyncResponseObserver = std::function<platform::Task<void>(platform::HTTPURLResponsePtr)>;
  DataRequest& onHTTPResponseAsync(AsyncResponseHandler handler);
  // The body is let in once the handler has returned.
  DataRequest& onHTTPResponseAsyncAllowing(AsyncResponseObserver handler);
  // Each response head, the body let in (include halyard/policies/request_streams.h).
  StreamOf<platform::HTTPURLResponsePtr> httpResponseStream(
      platform::AsyncStream<platform::HTTPURLResponsePtr>::BufferingPolicy bufferingPolicy =
          platform::AsyncStream<platform::HTTPURLResponsePtr>::BufferingPolicy::unbounded());

  // ---- Publishing (include halyard/policies/response_publishers.h) -----------------------------
  // Nothing touches the request until a subscriber asks for a value.
  DataResponsePublisher<platform::Bytes> publishData(platform::DispatchQueuePtr queue,
                                                     DataPreprocessorPtr dataPreprocessor,
                                                     EmptyResponseCodes emptyResponseCodes,
                                                     EmptyRequestMethods emptyRequestMethods);
  DataResponsePublisher<std::string> publishString(platform::DispatchQueuePtr queue,
                                                   DataPreprocessorPtr dataPreprocessor,
                                                   std::optional<platform::StringEncoding> encoding,
                                                   EmptyResponseCodes emptyResponseCodes,
                                                   EmptyRequestMethods emptyRequestMethods);
  template <class T, class Decoder = platform::JSONDecoder>
  DataResponsePublisher<T> publishDecodable(platform::DispatchQueuePtr queue,
                                            DataPreprocessorPtr dataPreprocessor, Decoder decoder,
                                            EmptyResponseCodes emptyResponseCodes,
                                            EmptyRequestMethods emptyRequestMethods);
  DataResponsePublisher<std::optional<platform::Bytes>> publishUnserialized(
      platform::DispatchQueuePtr queue);

  // ---- Overrides -----------------------------------------------------------------------------
  void resetState() override;
  void recordTaskCompletion(const URLSessionTaskPtr& task,
                            const std::optional<HalyardError>& error) override;
  URLSessionTaskPtr makeTask(const platform::URLRequest& request,
                             const URLSessionPtr& session) override;
  void performWith(RequestPerformer& performer) override;

 protected:
  Protected<DataMutableState>& dataMutableState() { return dataMutableState_; }

 private:
  std::shared_ptr<DataRequest> sharedSelf() {
    return std::static_pointer_cast<DataRequest>(shared_from_this());
  }
  template <class Value>
  DataResponse<Value> makeResponse(double serializationDuration,
                                   std::expected<Value, HalyardError> result) {
    return DataResponse<Value>{lastRequest(), httpResponse(),        data(),
                               lastMetrics(), serializationDuration, std::move(result)};
  }
  template <class Value>
  void finishSerializingStep(std::expected<Value, HalyardError> result, double duration,
                             platform::DispatchQueuePtr queue,
                             CompletionHandler<Value> completionHandler);

  mutable Protected<DataMutableState> dataMutableState_;
  const URLRequestConvertiblePtr convertible_;
};

using DataRequestPtr = std::shared_ptr<DataRequest>;

// ---- Template implementation ------------------------------------------------------------------

template <DataResponseSerializerProtocol Serializer>
DataRequest& DataRequest::appendSerializingStep(
    platform::DispatchQueuePtr queue, Serializer serializer,
    CompletionHandler<typename Serializer::SerializedObject> completionHandler) {
  using Value = typename Serializer::SerializedObject;
  auto self = sharedSelf();
  request_steps::appendSerializingStep<Value>(
      *this,
      [self, serializer = std::move(serializer)] {
        const auto error = self->error();
        return serializer.serializeResponseData(self->lastRequest(), self->httpResponse(),
                                                self->data(),
                                                error ? makeErrorPtr(*error) : nullptr);
      },
      [self, queue = std::move(queue), completionHandler = std::move(completionHandler)](
          std::expected<Value, HalyardError> result, double duration) {
        self->finishSerializingStep<Value>(std::move(result), duration, queue, completionHandler);
      });
  return *this;
}

template <class Value>
void DataRequest::finishSerializingStep(std::expected<Value, HalyardError> result, double duration,
                                        platform::DispatchQueuePtr queue,
                                        CompletionHandler<Value> completionHandler) {
  auto self = sharedSelf();
  DataResponse<Value> response = makeResponse<Value>(duration, std::move(result));
  // The type-erased copy of the response is made only when some monitor will read it.
  if (const auto& monitor = eventMonitor();
      eventReachesAnyone(monitor, EventMonitorEvent::requestDidParseResponseValue)) {
    monitor->requestDidParseResponseValue(
        self, response.mapValue([](const Value& value) { return AnyValue::of(value); }));
  }
  request_steps::deliverOrRetry(
      self, std::move(response), std::move(queue), std::move(completionHandler),
      [self, duration](const HalyardError& error) {
        return self->makeResponse<Value>(duration,
                                         std::expected<Value, HalyardError>(std::unexpect, error));
      });
}

}  // namespace halyard

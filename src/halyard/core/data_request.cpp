#include "halyard/core/data_request.h"

#include <new>

#include "halyard/core/request_performer.h"
#include "halyard/core/request_steps.h"
#include "platform/net/url_error.h"

namespace halyard {

DataRequest::DataRequest(RequestContext context, URLRequestConvertiblePtr convertible)
    : Request(std::move(context)), convertible_(std::move(convertible)) {}

std::optional<platform::Bytes> DataRequest::data() const {
  return dataMutableState_.mutateValue([](DataMutableState& s) -> std::optional<platform::Bytes> {
    if (!s.data) return std::nullopt;
    return s.data->joined();
  });
}

void DataRequest::appendReceivedData(const platform::Bytes& chunk) {
  try {
    dataMutableState_.mutateValue([&](DataMutableState& s) {
      if (!s.data) s.data.emplace();
      s.data->append(chunk);
    });
  } catch (const std::bad_alloc&) {
    // A body that cannot be kept ends this request, never the process: what was kept goes, the
    // error is set before the cancel so that it wins over the cancel's own.
    dataMutableState_.mutateValue([](DataMutableState& s) { s.data.reset(); });
    auto task = lastTask();
    const auto current = task ? task->currentRequest() : std::nullopt;
    setError(HalyardError::sessionTaskFailed(
        platform::makeError(platform::URLError(platform::URLError::Code::dataLengthExceedsMaximum,
                                               current ? std::optional(current->url) : std::nullopt,
                                               "the response could not be kept: out of memory"))));
    if (task) task->cancel();
    return;
  }
  updateDownloadProgress();
}

void DataRequest::updateDownloadProgress() {
  const auto received = dataMutableState_.mutateValue([](DataMutableState& s) -> std::int64_t {
    return s.data ? std::int64_t(s.data->size()) : 0;
  });
  std::int64_t expected = -1;
  if (auto task = lastTask()) {
    if (auto response = task->response()) expected = response->expectedContentLength();
  }
  downloadProgress()->setTotalUnitCount(expected);
  downloadProgress()->setCompletedUnitCount(received);
  request_steps::scheduleDownloadProgressHandler(sharedSelf());
}

void DataRequest::answerHTTPResponse(
    const platform::HTTPURLResponsePtr& response,
    std::function<void(platform::URLSessionDelegate::ResponseDisposition)> completionHandler) {
  request_steps::answerHTTPResponse(
      sharedSelf(), dataMutableState_.valueAtKeyPath(&DataMutableState::httpResponseHandler),
      response, std::move(completionHandler));
}

DataRequest& DataRequest::appendValidator(Validation validation) {
  auto step =
      request_steps::validationStep(this, &DataRequest::data, std::move(validation),
                                    &EventMonitor::requestDidValidateRequestResponseDataWithResult);
  validators().mutateValue(
      [&](std::vector<std::function<void()>>& list) { list.push_back(std::move(step)); });
  return *this;
}

DataRequest& DataRequest::setResponseDispositionHandler(platform::DispatchQueuePtr queue,
                                                        ResponseDispositionHandler handler) {
  dataMutableState_.setValueAtKeyPath(&DataMutableState::httpResponseHandler,
                                      std::optional<HTTPResponseHandler>(HTTPResponseHandler{
                                          std::move(queue), std::move(handler)}));
  return *this;
}

DataRequest& DataRequest::setResponseHandler(
    platform::DispatchQueuePtr queue,
    std::function<void(const platform::HTTPURLResponsePtr&)> handler) {
  return setResponseDispositionHandler(std::move(queue),
                                       request_steps::allowingAfter(std::move(handler)));
}

DataRequest& DataRequest::responseUnserialized(
    platform::DispatchQueuePtr queue,
    CompletionHandler<std::optional<platform::Bytes>> completionHandler) {
  using Result = std::expected<std::optional<platform::Bytes>, HalyardError>;
  auto self = sharedSelf();
  request_steps::appendSerializer(*this, [self, queue = std::move(queue),
                                          completionHandler = std::move(completionHandler)] {
    const auto error = self->error();
    Result result = error ? Result(std::unexpect, *error) : Result(self->data());
    self->underlyingQueue()->async([self, result = std::move(result), queue, completionHandler] {
      auto response = self->makeResponse<std::optional<platform::Bytes>>(0, result);
      if (const auto& monitor = self->eventMonitor()) {
        monitor->requestDidParseResponse(self, response);
      }
      request_steps::deliver(self, queue, completionHandler, std::move(response));
    });
  });
  return *this;
}

DataRequest& DataRequest::responseAsData(platform::DispatchQueuePtr queue,
                                         DataPreprocessorPtr dataPreprocessor,
                                         EmptyResponseCodes emptyResponseCodes,
                                         EmptyRequestMethods emptyRequestMethods,
                                         CompletionHandler<platform::Bytes> completionHandler) {
  return appendSerializingStep(
      std::move(queue),
      DataResponseSerializer(std::move(dataPreprocessor), std::move(emptyResponseCodes),
                             std::move(emptyRequestMethods)),
      std::move(completionHandler));
}

DataRequest& DataRequest::responseAsString(platform::DispatchQueuePtr queue,
                                           DataPreprocessorPtr dataPreprocessor,
                                           std::optional<platform::StringEncoding> encoding,
                                           EmptyResponseCodes emptyResponseCodes,
                                           EmptyRequestMethods emptyRequestMethods,
                                           CompletionHandler<std::string> completionHandler) {
  return appendSerializingStep(
      std::move(queue),
      StringResponseSerializer(std::move(dataPreprocessor), encoding, std::move(emptyResponseCodes),
                               std::move(emptyRequestMethods)),
      std::move(completionHandler));
}

DataRequest& DataRequest::responseAsJSON(platform::DispatchQueuePtr queue,
                                         DataPreprocessorPtr dataPreprocessor,
                                         EmptyResponseCodes emptyResponseCodes,
                                         EmptyRequestMethods emptyRequestMethods, unsigned options,
                                         CompletionHandler<platform::Value> completionHandler) {
  return appendSerializingStep(
      std::move(queue),
      JSONResponseSerializer(std::move(dataPreprocessor), std::move(emptyResponseCodes),
                             std::move(emptyRequestMethods), options),
      std::move(completionHandler));
}

DataRequest& DataRequest::responseUnserialized(
    CompletionHandler<std::optional<platform::Bytes>> completionHandler) {
  return responseUnserialized(platform::DispatchQueue::main(), std::move(completionHandler));
}

DataRequest& DataRequest::responseAsData(CompletionHandler<platform::Bytes> completionHandler,
                                         platform::DispatchQueuePtr queue) {
  return request_steps::standardResponseAsData(*this, std::move(completionHandler),
                                               std::move(queue));
}

DataRequest& DataRequest::responseAsString(CompletionHandler<std::string> completionHandler,
                                           platform::DispatchQueuePtr queue) {
  return request_steps::standardResponseAsString(*this, std::move(completionHandler),
                                                 std::move(queue));
}

DataRequest& DataRequest::responseAsJSON(CompletionHandler<platform::Value> completionHandler,
                                         platform::DispatchQueuePtr queue) {
  return responseAsJSON(
      request_steps::orMainQueue(std::move(queue)), ResponseSerializer::defaultDataPreprocessor(),
      ResponseSerializer::standardEmptyResponseCodes(),
      ResponseSerializer::standardEmptyRequestMethods(),
      platform::JSONSerialization::fragmentsAllowed, std::move(completionHandler));
}

void DataRequest::resetState() {
  Request::resetState();
  dataMutableState_.mutateValue([](DataMutableState& s) { s.data.reset(); });
}

void DataRequest::recordTaskCompletion(const URLSessionTaskPtr& task,
                                       const std::optional<HalyardError>& error) {
  // A body that passed the session's bound was cut short: what was kept of it is not the body,
  // and it goes now rather than being copied into every response that reports the failure.
  const auto* failure =
      error ? dynamic_cast<const platform::URLError*>(error->wrappedError().get()) : nullptr;
  if (failure && failure->code() == platform::URLError::Code::dataLengthExceedsMaximum) {
    dataMutableState_.mutateValue([](DataMutableState& s) { s.data.reset(); });
  }
  Request::recordTaskCompletion(task, error);
}

URLSessionTaskPtr DataRequest::makeTask(const platform::URLRequest& request,
                                        const URLSessionPtr& session) {
  return session->dataTask(request);
}

void DataRequest::performWith(RequestPerformer& performer) {
  performer.performWithConvertible(shared_from_this(), *convertible());
}

}  // namespace halyard

#include "halyard/core/download_request.h"

#include "halyard/core/request_performer.h"

namespace halyard {

DownloadRequest::DownloadRequest(RequestContext context, Downloadable downloadable,
                                 Destination destination)
    : Request(std::move(context)),
      downloadable_(std::move(downloadable)),
      destination_(std::move(destination)) {}

std::string DownloadRequest::safeFileName(const std::string& suggested) {
  const auto separator = suggested.find_last_of("/\\");
  std::string name = separator == std::string::npos ? suggested : suggested.substr(separator + 1);
  if (name.empty() || name == "." || name == ".." || name.find('\0') != std::string::npos) {
    return "Unknown";
  }
  return name;
}

DownloadRequest::Destination DownloadRequest::makeSuggestedDestination(
    platform::SearchPathDirectory directory, platform::SearchPathDomainMask domain,
    Options options) {
  return [directory, domain, options](const platform::URL& temporaryURL,
                                      const platform::HTTPURLResponsePtr& response) {
    const auto directories =
        platform::FileManager::defaultManager()->pathsForDirectory(directory, domain);
    // Without a directory the file stays beside its temporary file, under the name a download
    // without destination gets: left at the temporary location itself, it would be deleted
    // once the transfer is over.
    if (directories.empty() || !response) {
      return DestinationResult{temporaryURL.deletingLastPathComponent().appendingPathComponent(
                                   "Halyard_" + temporaryURL.lastPathComponent()),
                               options};
    }
    // The name comes from the server: it may only name a file inside the directory.
    const std::string name = safeFileName(response->suggestedFilename());
    return DestinationResult{
        platform::URL::fileURLWithPath(directories.front(), true).appendingPathComponent(name),
        options};
  };
}

std::optional<platform::Bytes> DownloadRequest::resumeData() const {
  if (auto stored =
          mutableDownloadState_.valueAtKeyPath(&DownloadRequestMutableState::resumeData)) {
    return stored;
  }
  const auto recorded = error();
  if (!recorded) return std::nullopt;
  return recorded->resumeDataFromError();
}

std::optional<platform::URL> DownloadRequest::fileURL() const {
  return mutableDownloadState_.valueAtKeyPath(&DownloadRequestMutableState::fileURL);
}

URLSessionTaskPtr DownloadRequest::makeTask(const platform::URLRequest& request,
                                            const URLSessionPtr& session) {
  return session->downloadTask(request);
}

void DownloadRequest::performWith(RequestPerformer& performer) {
  performer.performDownloadRequest(std::static_pointer_cast<DownloadRequest>(shared_from_this()));
}

URLSessionTaskPtr DownloadRequest::makeResumeDataTask(const platform::Bytes& resumeData,
                                                      const URLSessionPtr& session) {
  return session->downloadTaskWithResumeData(resumeData);
}

DownloadRequest& DownloadRequest::cancel() {
  return cancelProducingResumeData(false);
}

DownloadRequest& DownloadRequest::cancelProducingResumeData(bool produceResumeData) {
  std::optional<ResumeDataHandler> handler;
  if (produceResumeData) handler = [](const std::optional<platform::Bytes>&) {};
  mutableState().mutateValue([&](MutableState& state) { applyCancel(state, handler); });
  return *this;
}

DownloadRequest& DownloadRequest::cancelWithResumeDataHandler(ResumeDataHandler handler) {
  mutableState().mutateValue([&](MutableState& state) {
    applyCancel(state, std::optional<ResumeDataHandler>(std::move(handler)));
  });
  return *this;
}

void DownloadRequest::applyCancel(MutableState& state) {
  applyCancel(state, std::nullopt);
}

void DownloadRequest::applyCancel(MutableState& state, std::optional<ResumeDataHandler> handler) {
  if (state.state == State::cancelled || state.state == State::finished) return;
  state.state = State::cancelled;
  auto self = sharedSelf();
  underlyingQueue()->async([self] { self->notifyCancelled(); });
  auto task = state.tasks.empty()
                  ? nullptr
                  : std::dynamic_pointer_cast<platform::URLSessionDownloadTask>(state.tasks.back());
  if (!task || task->state() == platform::URLSessionTask::State::completed) {
    scheduleFinishAfterCancel(state);
    return;
  }
  if (!handler) {
    scheduleTaskNotification(&Request::notifyTaskCancelled, task);
    task->resume();
    task->cancel();
    return;
  }
  task->resume();
  task->cancelByProducingResumeData([self, task, handler = std::move(*handler)](
                                        std::optional<platform::Bytes> data) {
    self->mutableDownloadState_.setValueAtKeyPath(&DownloadRequestMutableState::resumeData, data);
    self->underlyingQueue()->async(
        [self, task] { self->notifyTaskCancelled(URLSessionTaskPtr(task)); });
    handler(data);
  });
}

void DownloadRequest::didFinishDownloading(
    const URLSessionTaskPtr& task, const std::expected<platform::URL, HalyardError>& result) {
  if (const auto& monitor = eventMonitor()) {
    monitor->requestDidFinishDownloadingUsingTaskWithResult(sharedSelf(), task, result);
  }
  if (result) {
    mutableDownloadState_.setValueAtKeyPath(&DownloadRequestMutableState::fileURL, *result);
  } else {
    setError(result.error());
  }
}

void DownloadRequest::updateDownloadProgress(std::int64_t bytesWritten,
                                             std::int64_t totalBytesExpected) {
  downloadProgress()->setTotalUnitCount(totalBytesExpected);
  downloadProgress()->setCompletedUnitCount(downloadProgress()->completedUnitCount() +
                                            bytesWritten);
  request_steps::scheduleDownloadProgressHandler(sharedSelf());
}

DownloadRequest& DownloadRequest::appendValidator(Validation validation) {
  auto step = request_steps::validationStep(
      this, &DownloadRequest::fileURL, std::move(validation),
      &EventMonitor::requestDidValidateRequestResponseFileURLWithResult);
  validators().mutateValue(
      [&](std::vector<std::function<void()>>& list) { list.push_back(std::move(step)); });
  return *this;
}

void DownloadRequest::resetState() {
  Request::resetState();
  mutableDownloadState_.mutateValue([](DownloadRequestMutableState& s) {
    s.resumeData.reset();
    s.fileURL.reset();
  });
}

// ---- Response handlers -------------------------------------------------------------------------

DownloadRequest& DownloadRequest::responseUnserialized(
    platform::DispatchQueuePtr queue,
    CompletionHandler<std::optional<platform::URL>> completionHandler) {
  using Result = std::expected<std::optional<platform::URL>, HalyardError>;
  auto self = sharedSelf();
  request_steps::appendSerializer(*this, [self, queue = std::move(queue),
                                          completionHandler = std::move(completionHandler)] {
    const auto file = self->fileURL();
    const auto error = self->error();
    Result result = error ? Result(std::unexpect, *error) : Result(file);
    self->underlyingQueue()->async([self, result = std::move(result), queue, completionHandler] {
      auto response = self->makeResponse<std::optional<platform::URL>>(0, result);
      if (const auto& monitor = self->eventMonitor()) {
        monitor->requestDidParseDownloadResponse(self, response);
      }
      request_steps::deliver(self, queue, completionHandler, std::move(response));
    });
  });
  return *this;
}

DownloadRequest& DownloadRequest::responseAsData(
    platform::DispatchQueuePtr queue, DataPreprocessorPtr dataPreprocessor,
    EmptyResponseCodes emptyResponseCodes, EmptyRequestMethods emptyRequestMethods,
    CompletionHandler<platform::Bytes> completionHandler) {
  return responseWithDownloadSerializer(
      std::move(queue),
      DataResponseSerializer(std::move(dataPreprocessor), std::move(emptyResponseCodes),
                             std::move(emptyRequestMethods)),
      std::move(completionHandler));
}

DownloadRequest& DownloadRequest::responseAsString(
    platform::DispatchQueuePtr queue, DataPreprocessorPtr dataPreprocessor,
    std::optional<platform::StringEncoding> encoding, EmptyResponseCodes emptyResponseCodes,
    EmptyRequestMethods emptyRequestMethods, CompletionHandler<std::string> completionHandler) {
  return responseWithDownloadSerializer(
      std::move(queue),
      StringResponseSerializer(std::move(dataPreprocessor), encoding, std::move(emptyResponseCodes),
                               std::move(emptyRequestMethods)),
      std::move(completionHandler));
}

DownloadRequest& DownloadRequest::responseAsJSON(
    platform::DispatchQueuePtr queue, DataPreprocessorPtr dataPreprocessor,
    EmptyResponseCodes emptyResponseCodes, EmptyRequestMethods emptyRequestMethods,
    unsigned options, CompletionHandler<platform::Value> completionHandler) {
  return responseWithDownloadSerializer(
      std::move(queue),
      JSONResponseSerializer(std::move(dataPreprocessor), std::move(emptyResponseCodes),
                             std::move(emptyRequestMethods), options),
      std::move(completionHandler));
}

DownloadRequest& DownloadRequest::responseUnserialized(
    CompletionHandler<std::optional<platform::URL>> completionHandler) {
  return responseUnserialized(platform::DispatchQueue::main(), std::move(completionHandler));
}

DownloadRequest& DownloadRequest::responseAsURL(
    CompletionHandler<platform::URL> completionHandler) {
  return responseAsURL(platform::DispatchQueue::main(), std::move(completionHandler));
}

DownloadRequest& DownloadRequest::responseAsData(
    CompletionHandler<platform::Bytes> completionHandler, platform::DispatchQueuePtr queue) {
  return request_steps::standardResponseAsData(*this, std::move(completionHandler),
                                               std::move(queue));
}

DownloadRequest& DownloadRequest::responseAsString(CompletionHandler<std::string> completionHandler,
                                                   platform::DispatchQueuePtr queue) {
  return request_steps::standardResponseAsString(*this, std::move(completionHandler),
                                                 std::move(queue));
}

}  // namespace halyard

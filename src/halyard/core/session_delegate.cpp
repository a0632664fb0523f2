#include "halyard/core/session_delegate.h"

#include "halyard/core/data_request.h"
#include "halyard/core/data_stream_request.h"
#include "halyard/core/download_request.h"
#include "halyard/core/upload_request.h"
#include "halyard/core/web_socket_request.h"

namespace halyard {

void SessionDelegate::didBecomeInvalidWithError(const SessionPtr& session,
                                                platform::ErrorPtr error) {
  if (eventMonitor_) eventMonitor_->sessionDidBecomeInvalidWithError(session, error);
  if (auto provider = stateProvider()) provider->cancelRequestsForSessionInvalidation(error);
}

void SessionDelegate::taskIsWaitingForConnectivity(const SessionPtr& session, const TaskPtr& task) {
  if (eventMonitor_) eventMonitor_->taskIsWaitingForConnectivity(session, task);
}

void SessionDelegate::didFinishCollectingMetrics(const SessionPtr& session, const TaskPtr& task,
                                                 const platform::URLSessionTaskMetrics& metrics) {
  auto shared = std::make_shared<const platform::URLSessionTaskMetrics>(metrics);
  if (eventMonitor_) eventMonitor_->taskDidFinishCollectingMetrics(session, task, shared);
  if (auto request = typedRequest<Request>(task)) request->recordMetrics(shared);
  if (auto provider = stateProvider()) provider->didGatherMetricsForTask(task);
}

void SessionDelegate::didCompleteWithError(const SessionPtr& session, const TaskPtr& task,
                                           platform::ErrorPtr error) {
  if (eventMonitor_) eventMonitor_->taskDidComplete(session, task, error);
  auto provider = stateProvider();
  if (!provider) return;
  auto request = std::dynamic_pointer_cast<Request>(provider->requestForTask(task));
  provider->didCompleteTask(task, [request, task, error] {
    if (!request) return;
    std::optional<HalyardError> halyardError;
    if (error) {
      halyardError = toHalyardErrorOrElse(
          error, [](const ErrorPtr& e) { return HalyardError::sessionTaskFailed(e); });
    }
    request->recordTaskCompletion(task, halyardError);
  });
}

void SessionDelegate::didReceiveResponse(
    const SessionPtr& session, const DataTaskPtr& task, const platform::URLResponsePtr& response,
    std::function<void(ResponseDisposition)> completionHandler) {
  if (eventMonitor_) eventMonitor_->dataTaskDidReceiveResponse(session, task, response);
  auto httpResponse = std::dynamic_pointer_cast<const platform::HTTPURLResponse>(response);
  if (!httpResponse) {
    completionHandler(ResponseDisposition::allow);
    return;
  }
  if (auto request = typedRequest<DataRequest>(task)) {
    request->answerHTTPResponse(httpResponse, std::move(completionHandler));
    return;
  }
  if (auto request = typedRequest<DataStreamRequest>(task)) {
    request->answerHTTPResponse(httpResponse, std::move(completionHandler));
    return;
  }
  completionHandler(ResponseDisposition::allow);
}

void SessionDelegate::didReceiveData(const SessionPtr& session, const DataTaskPtr& task,
                                     const platform::Bytes& data) {
  receiveBody(session, task, data, nullptr);
}

void SessionDelegate::didReceiveOwnedData(const SessionPtr& session, const DataTaskPtr& task,
                                          platform::Bytes&& data) {
  receiveBody(session, task, data, &data);
}

void SessionDelegate::receiveBody(const SessionPtr& session, const DataTaskPtr& task,
                                  const platform::Bytes& data, platform::Bytes* owned) {
  if (eventMonitor_) eventMonitor_->dataTaskDidReceiveData(session, task, data);
  auto provider = stateProvider();
  if (!provider) return;
  const auto request = provider->requestForTask(task);
  // Bytes for a task without a data request are dropped. A data request gathers the pieces into
  // blocks of its own and reads them where they are; a stream keeps each piece, so it takes one
  // it may own.
  if (auto* gathering = dynamic_cast<DataRequest*>(request.get())) {
    gathering->appendReceivedData(data);
  } else if (auto* stream = dynamic_cast<DataStreamRequest*>(request.get())) {
    stream->receiveData(owned ? std::move(*owned) : data);
  }
}

void SessionDelegate::didSendBodyData(const SessionPtr& session, const TaskPtr& task,
                                      std::int64_t bytesSent, std::int64_t totalBytesSent,
                                      std::int64_t totalBytesExpectedToSend) {
  if (eventMonitor_) {
    eventMonitor_->taskDidSendBodyData(session, task, bytesSent, totalBytesSent,
                                       totalBytesExpectedToSend);
  }
  if (auto request = typedRequest<Request>(task)) {
    request->updateUploadProgress(totalBytesSent, totalBytesExpectedToSend);
  }
}

void SessionDelegate::needNewBodyStream(
    const SessionPtr& session, const TaskPtr& task,
    std::function<void(platform::InputStreamPtr)> completionHandler) {
  if (eventMonitor_) eventMonitor_->taskNeedNewBodyStream(session, task);
  if (auto request = typedRequest<UploadRequest>(task)) {
    completionHandler(request->provideInputStream());
    return;
  }
  completionHandler(nullptr);
}

void SessionDelegate::didOpenWithProtocol(const SessionPtr&, const WebSocketTaskPtr& task,
                                          std::optional<std::string> protocol) {
  if (auto request = typedRequest<WebSocketRequest>(task)) request->didConnect(std::move(protocol));
}

void SessionDelegate::didCloseWithCode(const SessionPtr&, const WebSocketTaskPtr& task,
                                       platform::URLSessionWebSocketCloseCode closeCode,
                                       std::optional<platform::Bytes> reason) {
  if (reason && reason->empty()) reason.reset();
  if (auto request = typedRequest<WebSocketRequest>(task)) {
    request->didDisconnect(closeCode, std::move(reason));
  }
}

void SessionDelegate::didWriteData(const SessionPtr& session, const DownloadTaskPtr& task,
                                   std::int64_t bytesWritten, std::int64_t totalBytesWritten,
                                   std::int64_t totalBytesExpectedToWrite) {
  if (eventMonitor_) {
    eventMonitor_->downloadTaskDidWriteData(session, task, bytesWritten, totalBytesWritten,
                                            totalBytesExpectedToWrite);
  }
  if (auto request = typedRequest<DownloadRequest>(task)) {
    request->updateDownloadProgress(bytesWritten, totalBytesExpectedToWrite);
  }
}

void SessionDelegate::didResumeAtOffset(const SessionPtr& session, const DownloadTaskPtr& task,
                                        std::int64_t fileOffset, std::int64_t expectedTotalBytes) {
  if (eventMonitor_) {
    eventMonitor_->downloadTaskDidResumeAtOffset(session, task, fileOffset, expectedTotalBytes);
  }
  if (auto request = typedRequest<DownloadRequest>(task)) {
    request->updateDownloadProgress(fileOffset, expectedTotalBytes);
  }
}

void SessionDelegate::didFinishDownloadingToURL(const SessionPtr& session,
                                                const DownloadTaskPtr& task,
                                                const platform::URL& location) {
  if (eventMonitor_) eventMonitor_->downloadTaskDidFinishDownloadingToURL(session, task, location);
  auto request = typedRequest<DownloadRequest>(task);
  if (!request) return;

  using Options = DownloadRequest::Options;
  platform::URL destination = location;
  Options options;
  const auto response = request->httpResponse();
  if (response && request->destination()) {
    auto chosen = request->destination()(location, response);
    destination = std::move(chosen.destinationURL);
    options = chosen.options;
  } else {
    destination = location.deletingLastPathComponent().appendingPathComponent(
        "Halyard_" + location.lastPathComponent());
  }
  if (eventMonitor_) eventMonitor_->requestDidCreateDestinationURL(request, destination);

  try {
    if (options.contains(Options::replaceExistingFile()) &&
        fileManager_->fileExistsAtPath(destination.path())) {
      fileManager_->removeItemAtPath(destination.path());
    }
    if (options.contains(Options::createParentDirectories())) {
      fileManager_->createDirectoryAtPath(destination.deletingLastPathComponent().path(), true);
    }
    fileManager_->moveItemAtPath(location.path(), destination.path());
  } catch (...) {
    request->didFinishDownloading(task, std::unexpected(HalyardError::downloadedFileMoveFailed(
                                            currentError(), location, destination)));
    return;
  }
  request->didFinishDownloading(task, destination);
}

}  // namespace halyard

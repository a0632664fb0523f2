#include "halyard/core/upload_request.h"

#include <algorithm>

#include "halyard/core/request_performer.h"
#include "platform/foundation/log.h"

namespace halyard {

UploadRequest::UploadRequest(RequestContext context, UploadConvertiblePtr upload,
                             platform::FileManagerPtr fileManager)
    : DataRequest(std::move(context), upload),
      upload_(std::move(upload)),
      fileManager_(fileManager ? std::move(fileManager) : platform::FileManager::defaultManager()) {
}

void UploadRequest::setUploadable(std::shared_ptr<const Uploadable> uploadable) {
  uploadable_ = std::move(uploadable);
}

void UploadRequest::recordUploadable(const Uploadable& uploadable) {
  underlyingQueue()->dispatchPrecondition();
  uploadable_ = std::make_shared<const Uploadable>(uploadable);
  if (const auto* file = std::get_if<Uploadable::File>(&uploadable.storage);
      file && file->shouldRemove &&
      std::find(temporaryFiles_.begin(), temporaryFiles_.end(), file->url) ==
          temporaryFiles_.end()) {
    temporaryFiles_.push_back(file->url);
  }
  if (const auto& monitor = eventMonitor()) {
    monitor->requestDidCreateUploadable(sharedUpload(), uploadable_);
  }
}

void UploadRequest::recordUploadableFailure(const HalyardError& error) {
  underlyingQueue()->dispatchPrecondition();
  setError(error);
  if (const auto& monitor = eventMonitor()) {
    monitor->requestDidFailToCreateUploadableWithError(sharedUpload(), error);
  }
  retryOrComplete(error);
}

platform::InputStreamPtr UploadRequest::provideInputStream() {
  if (!uploadable_) {
    platform::fatal("Attempting to access the input stream but the uploadable doesn't exist.");
  }
  const auto* stream = std::get_if<Uploadable::Stream>(&uploadable_->storage);
  if (!stream) {
    platform::fatal(
        "Attempted to access the stream of an UploadRequest that wasn't created with one.");
  }
  if (const auto& monitor = eventMonitor()) {
    monitor->requestDidProvideInputStream(sharedUpload(), stream->stream);
  }
  return stream->stream;
}

void UploadRequest::resetState() {
  uploadable_.reset();
  DataRequest::resetState();
}

URLSessionTaskPtr UploadRequest::makeTask(const platform::URLRequest& request,
                                          const URLSessionPtr& session) {
  if (!uploadable_) {
    platform::fatal(
        "Attempting to create a URLSessionUploadTask when Uploadable value doesn't exist.");
  }
  return std::visit(
      [&](const auto& body) -> URLSessionTaskPtr {
        using Body = std::decay_t<decltype(body)>;
        if constexpr (std::is_same_v<Body, Uploadable::Data>) {
          return session->uploadTask(request, body.data);
        } else if constexpr (std::is_same_v<Body, Uploadable::File>) {
          return session->uploadTask(request, body.url);
        } else {
          return session->uploadTaskWithStreamedRequest(request);
        }
      },
      uploadable_->storage);
}

void UploadRequest::performWith(RequestPerformer& performer) {
  performer.performUploadRequest(std::static_pointer_cast<UploadRequest>(shared_from_this()));
}

void UploadRequest::runFinishHandlersAndCleanUp() {
  for (const auto& file : temporaryFiles_) {
    // A body file that is already gone, or cannot be removed, changes nothing of the outcome.
    try {
      fileManager_->removeItemAtPath(file.path());
    } catch (...) {
    }
  }
  temporaryFiles_.clear();
  DataRequest::runFinishHandlersAndCleanUp();
}

}  // namespace halyard

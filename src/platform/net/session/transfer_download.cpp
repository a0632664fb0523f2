#include "platform/net/session/session_loop.h"

#include <curl/curl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <utility>

#include "platform/net/download_resume_data.h"
#include "platform/net/session/detail/once_handler.h"
#include "platform/net/session/transfer.h"
#include "platform/net/url_error.h"

namespace platform::net_detail {

bool SessionLoop::setUpDownloadFile(Transfer& transfer, const TaskSource* source) {
  if (source && source->resume && transfer.download.reopen(*source->resume)) {
    const DownloadResumeRecord& record = *source->resume;
    const std::string range = "Range: bytes=" + std::to_string(record.bytesReceived) + "-";
    const std::string ifRange = "If-Range: " + *record.ifRangeValue();
    transfer.headers = curl_slist_append(transfer.headers, range.c_str());
    transfer.headers = curl_slist_append(transfer.headers, ifRange.c_str());
    return true;
  }
  if (const int code = transfer.download.create(); code != 0) {
    finish(transfer, makeError(URLError(URLError::Code::cannotCreateFile, currentURL(transfer),
                                        std::string("the download file: ") + std::strerror(code))));
    return false;
  }
  return true;
}

void SessionLoop::onDownloadResponse(Transfer& transfer, const HTTPURLResponse& response) {
  if (!transfer.download.noteResponse(response, currentURL(transfer))) return;
  auto task = std::static_pointer_cast<URLSessionDownloadTask>(transfer.task);
  const std::int64_t offset = transfer.download.resumeOffset;
  const std::int64_t expected = transfer.download.expected;
  deliver(
      [task, offset, expected](URLSessionDelegate& delegate,
                               const std::shared_ptr<URLSession>& session) {
        delegate.didResumeAtOffset(session, task, offset, expected);
      },
      transfer.keepAlive);
}

std::optional<Bytes> SessionLoop::resumeDataFor(Transfer& transfer) {
  return transfer.download.takeResumeData(*transfer.task->originalRequest());
}

ErrorPtr SessionLoop::downloadFailure(Transfer& transfer, const URLError& error) {
  return makeError(error.withResumeData(resumeDataFor(transfer)));
}

void SessionLoop::finishDownload(Transfer& transfer) {
  if (transfer.download.error) {
    finish(transfer, transfer.download.error);
    return;
  }
  if (transfer.download.fd >= 0) ::close(transfer.download.fd);
  transfer.download.fd = -1;
  const std::string path = transfer.download.path;
  struct stat info {};
  ::lstat(path.c_str(), &info);
  // The delegate gets the file; what it leaves in place is removed after it returns (the very
  // file: not one that took its name meanwhile).
  auto task = std::static_pointer_cast<URLSessionDownloadTask>(transfer.task);
  transfer.download.keepFile = deliver(
      [task, path, device = info.st_dev, inode = info.st_ino](
          URLSessionDelegate& delegate, const std::shared_ptr<URLSession>& session) {
        delegate.didFinishDownloadingToURL(session, task, URL::fileURLWithPath(path, false));
        struct stat left {};
        if (::lstat(path.c_str(), &left) == 0 && left.st_dev == device && left.st_ino == inode) {
          ::unlink(path.c_str());
        }
      },
      transfer.keepAlive);
  finish(transfer, nullptr);
}

void SessionLoop::cancelTaskProducingResumeData(
    const std::shared_ptr<URLSessionTask>& task,
    const std::shared_ptr<OnceHandler<std::optional<Bytes>>>& handler) {
  auto it = transfers_.find(task->taskIdentifier());
  if (it == transfers_.end() || it->second->phase == Phase::cancelled) {
    // Never started, or already ending: nothing to continue from.
    cancelTask(task);
    handler->call(std::nullopt);
    return;
  }
  Transfer& transfer = *it->second;
  if (transfer.tls.challengeWait) {
    // As for a plain cancel: the handshake ends by itself once its wait is over and the
    // transfer then fails as cancelled; taking the connection away mid-handshake would strand
    // it. Nothing of this connection's body has come yet, so the data is what the transfer
    // could continue from already.
    handler->call(resumeDataFor(transfer));
    transfer.tls.challengeWait->end(URLError::Code::cancelled);
    return;
  }
  moveTo(transfer, TransferEvent::cancel);
  removeFromMulti(transfer);
  auto resumeData = resumeDataFor(transfer);
  // The handler hears of the data before the task's completion goes out, so whoever keeps
  // it has it when the completion arrives.
  handler->call(resumeData);
  auto error = URLError(URLError::Code::cancelled, currentURL(transfer));
  finish(transfer, makeError(error.withResumeData(std::move(resumeData))));
}

}  // namespace platform::net_detail

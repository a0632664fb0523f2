#include "platform/net/session/session_loop.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/foundation/file_manager.h"
#include "platform/net/download_resume_data.h"
#include "platform/net/session/detail/once_handler.h"
#include "platform/net/session/detail/session_helpers.h"
#include "platform/net/session/transfer.h"
#include "platform/net/url_error.h"

namespace platform::net_detail {

namespace {

// Temporary files of downloads: made here, and the only files a continuation may reopen.
constexpr const char* kDownloadFilePrefix = "download-";

}  // namespace

bool SessionLoop::setUpDownloadFile(Transfer& transfer, const TaskSource* source) {
  if (source && source->resume && reopenPartialFile(transfer, *source->resume)) {
    const DownloadResumeRecord& record = *source->resume;
    transfer.download.resumeOffset = record.bytesReceived;
    transfer.download.written = record.bytesReceived;
    const std::string range = "Range: bytes=" + std::to_string(record.bytesReceived) + "-";
    const std::string ifRange = "If-Range: " + *record.ifRangeValue();
    transfer.headers = curl_slist_append(transfer.headers, range.c_str());
    transfer.headers = curl_slist_append(transfer.headers, ifRange.c_str());
    return true;
  }
  return createDownloadFile(transfer);
}

bool SessionLoop::createDownloadFile(Transfer& transfer) {
  std::string pattern =
      FileManager::defaultManager()->temporaryDirectory() + "/" + kDownloadFilePrefix + "XXXXXX";
  const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) {
    const int code = errno;
    finish(transfer, makeError(URLError(URLError::Code::cannotCreateFile, currentURL(transfer),
                                        std::string("the download file: ") + std::strerror(code))));
    return false;
  }
  transfer.download.fd = fd;
  transfer.download.path = pattern;
  return true;
}

// The partial file of resume data is reopened only when it is one of our own download files,
// in the temporary directory, and holds at least the bytes the record counts; resume data is
// bytes from outside and must not steer writes anywhere else.
bool SessionLoop::reopenPartialFile(Transfer& transfer, const DownloadResumeRecord& record) {
  if (!record.ifRangeValue()) return false;
  const std::string& path = record.temporaryPath;
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return false;
  const std::string directory = path.substr(0, slash);
  const std::string name = path.substr(slash + 1);
  if (directory != FileManager::defaultManager()->temporaryDirectory() ||
      !name.starts_with(kDownloadFilePrefix) || name.find("..") != std::string::npos) {
    return false;
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() ||
      info.st_nlink != 1 || info.st_size < record.bytesReceived ||
      ::ftruncate(fd, static_cast<off_t>(record.bytesReceived)) != 0 ||
      ::lseek(fd, 0, SEEK_END) < 0) {
    ::close(fd);
    return false;
  }
  transfer.download.fd = fd;
  transfer.download.path = path;
  return true;
}

void SessionLoop::onDownloadResponse(Transfer& transfer, const HTTPURLResponse& response) {
  transfer.download.status = response.statusCode();
  transfer.download.entityTag = response.valueForHTTPHeaderField("ETag");
  transfer.download.lastModified = response.valueForHTTPHeaderField("Last-Modified");
  if (auto encoding = response.valueForHTTPHeaderField("Content-Encoding")) {
    transfer.download.decodedBody = lowercase(*encoding) != "identity";
  }
  const std::int64_t length = response.expectedContentLength();
  if (transfer.download.resumeOffset == 0) {
    transfer.download.expected = length;
    return;
  }
  // A continuation: only a 206 that starts where the file ends is appended. Anything else is
  // the whole entity (or an error page), written from the start.
  bool continued = false;
  if (response.statusCode() == 206) {
    const auto range = response.valueForHTTPHeaderField("Content-Range").value_or("");
    long long first = -1;
    if (std::sscanf(range.c_str(), "bytes %lld-", &first) == 1 &&
        first == transfer.download.resumeOffset) {
      continued = true;
    } else {
      transfer.download.error =
          makeError(URLError(URLError::Code::badServerResponse, currentURL(transfer),
                             "the server continued at another offset"));
      return;
    }
  }
  if (!continued) {
    transfer.download.resumeOffset = 0;
    transfer.download.written = 0;
    if (::ftruncate(transfer.download.fd, 0) != 0 ||
        ::lseek(transfer.download.fd, 0, SEEK_SET) < 0) {
      transfer.download.error =
          makeError(URLError(URLError::Code::cannotWriteToFile, currentURL(transfer),
                             "the partial file cannot be started again"));
      return;
    }
  }
  transfer.download.expected = length < 0 ? -1 : transfer.download.resumeOffset + length;
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
  if (!transfer.download.active || transfer.download.fd < 0 || transfer.download.path.empty()) {
    return std::nullopt;
  }
  // Only a body the server would continue: part of the entity itself, with a validator,
  // and counted in the server's own bytes.
  if (transfer.download.status != 200 && transfer.download.status != 206) return std::nullopt;
  if (transfer.download.decodedBody || transfer.download.error) return std::nullopt;
  DownloadResumeRecord record;
  record.request = *transfer.task->originalRequest_;
  record.temporaryPath = transfer.download.path;
  record.bytesReceived = transfer.download.written;
  record.entityTag = transfer.download.entityTag;
  record.lastModified = transfer.download.lastModified;
  if (!record.ifRangeValue()) return std::nullopt;
  transfer.download.keepFile = true;
  return record.encode();
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
  if (it == transfers_.end() || it->second->cancelled) {
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
  transfer.cancelled = true;
  removeFromMulti(transfer);
  auto resumeData = resumeDataFor(transfer);
  // The handler hears of the data before the task's completion goes out, so whoever keeps
  // it has it when the completion arrives.
  handler->call(resumeData);
  auto error = URLError(URLError::Code::cancelled, currentURL(transfer));
  finish(transfer, makeError(error.withResumeData(std::move(resumeData))));
}

}  // namespace platform::net_detail

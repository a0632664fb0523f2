#include "platform/net/session/downloads.h"

#include <curl/curl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "platform/net/download_resume_data.h"
#include "platform/net/session/transfer.h"
#include "platform/net/session/transfer_engine.h"
#include "platform/net/session/transfer_timers.h"

namespace platform::net_detail {

bool Downloads::setUp(Transfer& transfer, const TaskSource* source) {
  if (source && source->resume && transfer.download.reopen(*source->resume)) {
    const DownloadResumeRecord& record = *source->resume;
    const std::string range = "Range: bytes=" + std::to_string(record.bytesReceived) + "-";
    const std::string ifRange = "If-Range: " + *record.ifRangeValue();
    transfer.headers = curl_slist_append(transfer.headers, range.c_str());
    transfer.headers = curl_slist_append(transfer.headers, ifRange.c_str());
    return true;
  }
  if (const int code = transfer.download.create(); code != 0) {
    engine_.finish(
        transfer, makeError(URLError(URLError::Code::cannotCreateFile, engine_.currentURL(transfer),
                                     std::string("the download file: ") + std::strerror(code))));
    return false;
  }
  return true;
}

void Downloads::onResponse(Transfer& transfer, const HTTPURLResponse& response) {
  if (!transfer.download.noteResponse(response, engine_.currentURL(transfer))) return;
  auto task = std::static_pointer_cast<URLSessionDownloadTask>(transfer.task);
  const std::int64_t offset = transfer.download.resumeOffset;
  const std::int64_t expected = transfer.download.expected;
  engine_.deliverCall(
      [task, offset, expected](URLSessionDelegate& delegate,
                               const std::shared_ptr<URLSession>& session) {
        delegate.didResumeAtOffset(session, task, offset, expected);
      },
      transfer.keepAlive);
}

std::optional<Bytes> Downloads::resumeData(Transfer& transfer) {
  if (!isDownload(transfer)) return std::nullopt;
  auto data = transfer.download.takeResumeData(*transfer.task->originalRequest());
  if (data) moveTo(transfer, TransferEvent::fileHandedOn);
  return data;
}

ErrorPtr Downloads::failure(Transfer& transfer, const URLError& error) {
  return makeError(error.withResumeData(resumeData(transfer)));
}

size_t Downloads::write(Transfer& transfer, const char* data, size_t length) {
  // Anything but all of it ends the transfer with a write error.
  if (transfer.download.error || transfer.download.fd < 0) return 0;
  for (size_t done = 0; done < length;) {
    const ssize_t written = ::write(transfer.download.fd, data + done, length - done);
    if (written > 0) {
      done += static_cast<size_t>(written);
    } else if (written == 0 || errno != EINTR) {
      const int code = written == 0 ? ENOSPC : errno;
      transfer.download.error =
          makeError(URLError(URLError::Code::cannotWriteToFile, engine_.currentURL(transfer),
                             std::string("writing the download failed: ") + std::strerror(code)));
      return 0;
    }
  }
  const auto step = static_cast<std::int64_t>(length);
  transfer.download.written += step;
  {
    std::lock_guard lock(transfer.shared->mutex);
    transfer.shared->bytesReceived += step;
  }
  engine_.timers().touch(transfer);
  auto task = std::static_pointer_cast<URLSessionDownloadTask>(transfer.task);
  const std::int64_t total = transfer.download.written;
  const std::int64_t expected = transfer.download.expected;
  engine_.deliverCall(
      [task, step, total, expected](URLSessionDelegate& delegate,
                                    const std::shared_ptr<URLSession>& session) {
        delegate.didWriteData(session, task, step, total, expected);
      },
      transfer.keepAlive);
  return length;
}

void Downloads::complete(Transfer& transfer) {
  if (transfer.download.error) {
    engine_.finish(transfer, transfer.download.error);
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
  const bool handedOn = engine_.deliverCall(
      [task, path, device = info.st_dev, inode = info.st_ino](
          URLSessionDelegate& delegate, const std::shared_ptr<URLSession>& session) {
        delegate.didFinishDownloadingToURL(session, task, URL::fileURLWithPath(path, false));
        struct stat left {};
        if (::lstat(path.c_str(), &left) == 0 && left.st_dev == device && left.st_ino == inode) {
          ::unlink(path.c_str());
        }
      },
      transfer.keepAlive);
  if (handedOn) moveTo(transfer, TransferEvent::fileHandedOn);
  engine_.finish(transfer, nullptr);
}

}  // namespace platform::net_detail

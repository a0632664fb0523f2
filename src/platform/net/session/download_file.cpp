#include "platform/net/session/download_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "platform/foundation/file_manager.h"
#include "platform/net/session/detail/session_helpers.h"

namespace platform::net_detail {

namespace {

// Temporary files of downloads: made here, and the only files a continuation may reopen.
constexpr const char* kDownloadFilePrefix = "download-";

}  // namespace

int DownloadFile::create() {
  std::string pattern =
      FileManager::defaultManager()->temporaryDirectory() + "/" + kDownloadFilePrefix + "XXXXXX";
  const int created = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (created < 0) return errno;
  fd = created;
  path = pattern;
  return 0;
}

// The partial file of resume data is reopened only when it is one of our own download files,
// in the temporary directory, and holds at least the bytes the record counts; resume data is
// bytes from outside and must not steer writes anywhere else.
bool DownloadFile::reopen(const DownloadResumeRecord& record) {
  if (!record.ifRangeValue()) return false;
  const std::string& partial = record.temporaryPath;
  const auto slash = partial.find_last_of('/');
  if (slash == std::string::npos) return false;
  const std::string directory = partial.substr(0, slash);
  const std::string name = partial.substr(slash + 1);
  if (directory != FileManager::defaultManager()->temporaryDirectory() ||
      !name.starts_with(kDownloadFilePrefix) || name.find("..") != std::string::npos) {
    return false;
  }
  const int opened = ::open(partial.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (opened < 0) return false;
  struct stat info {};
  if (::fstat(opened, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() ||
      info.st_nlink != 1 || info.st_size < record.bytesReceived ||
      ::ftruncate(opened, static_cast<off_t>(record.bytesReceived)) != 0 ||
      ::lseek(opened, 0, SEEK_END) < 0) {
    ::close(opened);
    return false;
  }
  fd = opened;
  path = partial;
  resumeOffset = record.bytesReceived;
  written = record.bytesReceived;
  return true;
}

bool DownloadFile::noteResponse(const HTTPURLResponse& response, const std::optional<URL>& url) {
  status = response.statusCode();
  entityTag = response.valueForHTTPHeaderField("ETag");
  lastModified = response.valueForHTTPHeaderField("Last-Modified");
  if (auto encoding = response.valueForHTTPHeaderField("Content-Encoding")) {
    decodedBody = lowercase(*encoding) != "identity";
  }
  const std::int64_t length = response.expectedContentLength();
  if (resumeOffset == 0) {
    expected = length;
    return false;
  }
  // A continuation: only a 206 that starts where the file ends is appended. Anything else is
  // the whole entity (or an error page), written from the start.
  bool continued = false;
  if (response.statusCode() == 206) {
    const auto range = response.valueForHTTPHeaderField("Content-Range").value_or("");
    long long first = -1;
    if (std::sscanf(range.c_str(), "bytes %lld-", &first) == 1 && first == resumeOffset) {
      continued = true;
    } else {
      error = makeError(URLError(URLError::Code::badServerResponse, url,
                                 "the server continued at another offset"));
      return false;
    }
  }
  if (!continued) {
    resumeOffset = 0;
    written = 0;
    if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) < 0) {
      error = makeError(URLError(URLError::Code::cannotWriteToFile, url,
                                 "the partial file cannot be started again"));
      return false;
    }
  }
  expected = length < 0 ? -1 : resumeOffset + length;
  return true;
}

std::optional<Bytes> DownloadFile::takeResumeData(const URLRequest& original) {
  if (fd < 0 || path.empty()) return std::nullopt;
  // Only a body the server would continue: part of the entity itself, with a validator,
  // and counted in the server's own bytes.
  if (status != 200 && status != 206) return std::nullopt;
  if (decodedBody || error) return std::nullopt;
  DownloadResumeRecord record;
  record.request = original;
  record.temporaryPath = path;
  record.bytesReceived = written;
  record.entityTag = entityTag;
  record.lastModified = lastModified;
  if (!record.ifRangeValue()) return std::nullopt;
  return record.encode();
}

void DownloadFile::release(bool handedOn) {
  if (fd >= 0) ::close(fd);
  fd = -1;
  if (!handedOn && !path.empty()) ::unlink(path.c_str());
  path.clear();
}

}  // namespace platform::net_detail

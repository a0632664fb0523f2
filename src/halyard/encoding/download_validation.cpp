// Validation of downloads: status codes, and content types for a downloaded file.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "halyard/core/download_request.h"
#include "halyard/encoding/response_validation.h"

namespace halyard {

namespace {

using Reason = HalyardError::ResponseValidationFailureReason;

ValidationResult failure(Reason::Storage reason) {
  return std::unexpected(makeErrorPtr(HalyardError::responseValidationFailed(std::move(reason))));
}

// Whether the file can be read and holds nothing. Only its size matters here, so it is opened
// and asked, never read (a downloaded file can be large).
std::optional<bool> readableFileIsEmpty(const platform::URL& fileURL) {
  const int fd = ::open(fileURL.path().c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  const bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  ::close(fd);
  if (!ok) return std::nullopt;
  return info.st_size == 0;
}

}  // namespace

DownloadRequest& DownloadRequest::validateStatusCodes(std::vector<int> acceptableStatusCodes) {
  return appendValidator(validation::statusCodeValidator<std::optional<platform::URL>>(
      validation::isAnyOf(std::move(acceptableStatusCodes))));
}

DownloadRequest& DownloadRequest::validateStatusCodes(StatusCodeRange acceptableStatusCodes) {
  return appendValidator(validation::statusCodeValidator<std::optional<platform::URL>>(
      [range = acceptableStatusCodes](int code) { return range.contains(code); }));
}

DownloadRequest& DownloadRequest::validateContentTypes(
    std::function<std::vector<std::string>()> acceptableContentTypes) {
  return appendValidator([types = std::move(acceptableContentTypes)](
                             const std::optional<platform::URLRequest>&,
                             const platform::HTTPURLResponsePtr& response,
                             const std::optional<platform::URL>& fileURL) -> ValidationResult {
    if (!fileURL) return failure(Reason::DataFileNil{});
    const auto empty = readableFileIsEmpty(*fileURL);
    if (!empty) return failure(Reason::DataFileReadFailed{*fileURL});
    // An empty body has no content type worth checking.
    if (*empty) return {};
    return validation::validateContentType(types(), *response);
  });
}

DownloadRequest& DownloadRequest::validateContentTypes(
    std::vector<std::string> acceptableContentTypes) {
  return validateContentTypes([types = std::move(acceptableContentTypes)] { return types; });
}

DownloadRequest& DownloadRequest::validateStatusAndContentType() {
  // The request owns its validators, so the closure may refer to it without owning it.
  DownloadRequest* request = this;
  validateStatusCodes(StatusCodeRange{200, 300});
  return validateContentTypes([request] { return request->acceptableContentTypes(); });
}

}  // namespace halyard

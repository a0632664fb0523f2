#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/net/download_resume_data.h"
#include "platform/net/http_url_response.h"
#include "platform/net/url_error.h"
#include "platform/net/url_request.h"

namespace platform::net_detail {

// A download's temporary file: made for the task, or the partial file of resume data reopened,
// written as the body comes, and what the task may be continued from. The transfer releases it
// when it ends: removed unless it was handed on (which the transfer's life keeps). I/O thread
// only.
struct DownloadFile {
  int fd = -1;
  std::string path;
  std::int64_t written = 0;       // bytes in the file
  std::int64_t resumeOffset = 0;  // asked for with Range
  std::int64_t expected = -1;
  int status = 0;
  std::optional<std::string> entityTag;
  std::optional<std::string> lastModified;
  // A content encoding was undone: offsets are not the server's. Data of the response (its
  // encoding), not a step of the transfer's life.
  bool decodedBody = false;
  ErrorPtr error;

  // A new file in the temporary directory; the error number when none could be made.
  int create();
  // Reopens the partial file `record` names, cut to the bytes it counts, to go on where it
  // stopped; false when it is not one of our own download files or does not hold those bytes.
  bool reopen(const DownloadResumeRecord& record);
  // The response head arrived: its validators are kept, and a continuation that the server
  // did not continue where the file ends starts again from the first byte. True when the
  // delegate is to hear that the download resumed at `resumeOffset`.
  bool noteResponse(const HTTPURLResponse& response, const std::optional<URL>& url);
  // What the download can be continued from, asked for as `original`; the file is then the
  // resume data's, and to be kept.
  std::optional<Bytes> takeResumeData(const URLRequest& original);

  // Closes the file, and removes it unless it was handed on.
  void release(bool handedOn);
};

}  // namespace platform::net_detail

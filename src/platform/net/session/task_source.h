#pragma once

#include <optional>
#include <string>

#include "platform/net/download_resume_data.h"
#include "platform/net/url_session.h"

namespace platform::net_detail {

// What a task starts from besides its request: an upload's body, or a continued download's
// record.
struct TaskSource {
  enum class Body { none, data, file, stream };
  Body body = Body::none;
  Bytes data;
  std::string filePath;
  std::optional<DownloadResumeRecord> resume;
  bool unreadableResumeData = false;
};

}  // namespace platform::net_detail

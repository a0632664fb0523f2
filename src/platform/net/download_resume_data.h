#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/net/url_request.h"

namespace platform {

// What a download task needs to continue where an earlier one stopped: the request, the
// partial file and how much of it is good, and the validators that tell whether the server
// still has the same entity. Carried as opaque bytes (a versioned JSON record) by resume data.
struct DownloadResumeRecord {
  static constexpr int currentVersion = 1;

  URLRequest request;
  std::string temporaryPath;
  std::int64_t bytesReceived = 0;
  std::optional<std::string> entityTag;
  std::optional<std::string> lastModified;

  Bytes encode() const;
  // Nothing for bytes that are not a record of a version this program reads, or whose
  // request has no URL.
  static std::optional<DownloadResumeRecord> decode(const Bytes& data);

  // The value of "If-Range" for the continuation: the entity tag when the server gave a strong
  // one, else the modification date.
  std::optional<std::string> ifRangeValue() const;
};

}  // namespace platform

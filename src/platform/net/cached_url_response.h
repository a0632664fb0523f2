#pragma once

#include <any>
#include <memory>
#include <optional>

#include "platform/net/http_url_response.h"
#include "platform/net/url_request.h"

namespace platform {

// A response as a URL cache keeps it: the head, the whole body, what the program attached, and
// where it may be kept.
class CachedURLResponse {
 public:
  enum class StoragePolicy { allowed, allowedInMemoryOnly, notAllowed };

  CachedURLResponse(URLResponsePtr response, Bytes data, std::any userInfo = {},
                    StoragePolicy storagePolicy = StoragePolicy::allowed)
      : response_(std::move(response)),
        data_(std::move(data)),
        userInfo_(std::move(userInfo)),
        storagePolicy_(storagePolicy) {}

  const URLResponsePtr& response() const { return response_; }
  const Bytes& data() const { return data_; }
  const std::any& userInfo() const { return userInfo_; }
  StoragePolicy storagePolicy() const { return storagePolicy_; }

 private:
  URLResponsePtr response_;
  Bytes data_;
  std::any userInfo_;
  StoragePolicy storagePolicy_;
};

using CachedURLResponsePtr = std::shared_ptr<const CachedURLResponse>;

}  // namespace platform

#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>

#include "halyard/core/protected.h"
#include "halyard/core/upload_request.h"
#include "halyard/encoding/multipart_form_data.h"

namespace halyard {

// A request description joined with a multipart form: the request gets the form's content
// type, and the body is the form encoded once — in memory below the threshold, otherwise into
// a temporary file the upload request removes when it ends. That one outcome (a failure
// included) answers every later request for the body.
class MultipartUpload : public UploadConvertible {
 public:
  MultipartUpload(std::uint64_t encodingMemoryThreshold, URLRequestConvertiblePtr request,
                  MultipartFormDataPtr multipartFormData);

  std::uint64_t encodingMemoryThreshold() const { return encodingMemoryThreshold_; }
  const URLRequestConvertiblePtr& request() const { return request_; }
  const platform::FileManagerPtr& fileManager() const { return fileManager_; }
  Protected<MultipartFormDataPtr>& multipartFormData() const { return multipartFormData_; }

  // The stored request with exactly one Content-Type: the form's.
  platform::URLRequest toURLRequest() const override;
  Uploadable toUploadable() const override;

  // Encodes the form. Bodies that go to a file are written into a directory only this user
  // can enter (made 0700 under the temporary directory); the file itself is new and private.
  Uploadable build() const;

 private:
  // The directory of body files; throws when it cannot be made private.
  std::string privateDirectory() const;

  const std::uint64_t encodingMemoryThreshold_;
  const URLRequestConvertiblePtr request_;
  const platform::FileManagerPtr fileManager_;
  mutable Protected<MultipartFormDataPtr> multipartFormData_;
  mutable Protected<std::optional<std::expected<Uploadable, platform::ErrorPtr>>> result_;
};

using MultipartUploadPtr = std::shared_ptr<MultipartUpload>;

}  // namespace halyard

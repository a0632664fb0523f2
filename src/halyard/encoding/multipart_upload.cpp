#include "halyard/encoding/multipart_upload.h"

#include <unistd.h>

#include <cerrno>

#include "halyard/core/halyard_info.h"
#include "halyard/core/http_header_views.h"

namespace halyard {

MultipartUpload::MultipartUpload(std::uint64_t encodingMemoryThreshold,
                                 URLRequestConvertiblePtr request,
                                 MultipartFormDataPtr multipartFormData)
    : encodingMemoryThreshold_(encodingMemoryThreshold),
      request_(std::move(request)),
      fileManager_(multipartFormData->fileManager()),
      multipartFormData_(std::move(multipartFormData)) {}

platform::URLRequest MultipartUpload::toURLRequest() const {
  platform::URLRequest urlRequest = request_->toURLRequest();
  const std::string contentType = multipartFormData_.mutateValue(
      [](MultipartFormDataPtr& form) { return form->contentType(); });
  HTTPHeaders headers = httpHeaders(urlRequest);
  headers.replaceOrAppend("Content-Type", contentType);
  setHTTPHeaders(urlRequest, headers);
  return urlRequest;
}

Uploadable MultipartUpload::toUploadable() const {
  auto result = result_.mutateValue([&](auto& stored) {
    if (!stored) {
      try {
        stored.emplace(build());
      } catch (...) {
        stored.emplace(std::unexpected(currentError()));
      }
    }
    return *stored;
  });
  if (!result) throwError(result.error());
  return *result;
}

std::string MultipartUpload::privateDirectory() const {
  // Two levels, both only for this user: a shared temporary directory must not let anyone
  // else see, swap or plant body files.
  const std::string manager =
      fileManager_->temporaryDirectory() + "/" + HalyardInfo::labelPrefix + ".manager";
  const std::string directory = manager + "/multipart.form.data";
  for (const std::string& path : {manager, directory}) {
    fileManager_->createDirectoryAtPath(path, true, 0700);
    const auto attributes = fileManager_->attributesOfItemAtPath(path);
    if (attributes.type != platform::FileAttributes::Type::directory ||
        attributes.ownerID != geteuid() || (attributes.posixPermissions & 077) != 0) {
      throw platform::FileError(EACCES, "used for body files (it is not private)", path);
    }
  }
  return directory;
}

Uploadable MultipartUpload::build() const {
  const std::uint64_t length = multipartFormData_.mutateValue(
      [](MultipartFormDataPtr& form) { return form->totalBodyLength(); });
  if (length < encodingMemoryThreshold_) {
    return Uploadable::data(multipartFormData_.mutateValue(
        [](MultipartFormDataPtr& form) { return form->encodeAll(); }));
  }
  const std::string directory = privateDirectory();
  const platform::URL fileURL =
      platform::URL::fileURLWithPath(directory + "/" + platform::UUID().uuidString(), false);
  try {
    multipartFormData_.mutateValue(
        [&](MultipartFormDataPtr& form) { form->writeEncoded(fileURL); });
  } catch (...) {
    const auto error = currentError();
    try {
      fileManager_->removeItemAtPath(fileURL.path());
    } catch (...) {
    }
    throwError(error);
  }
  return Uploadable::file(fileURL, true);
}

}  // namespace halyard

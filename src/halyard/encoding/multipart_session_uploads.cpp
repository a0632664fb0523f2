// The session's multipart factories stand beside the multipart upload they build, as the
// validation members of the requests stand beside the validation: the session's header knows
// the form by name only, and the core does not include the encoders.

#include <memory>

#include "halyard/core/session.h"
#include "halyard/encoding/multipart_upload.h"

namespace halyard {

std::shared_ptr<UploadRequest> Session::makeBuiltMultipartUploadToURL(
    MultipartFormBuilder builder, URLConvertible url, std::uint64_t encodingMemoryThreshold,
    HTTPMethod method, std::optional<HTTPHeaders> headers,
    std::shared_ptr<RequestInterceptor> interceptor, platform::FileManagerPtr fileManager,
    RequestModifier requestModifier) {
  auto form = std::make_shared<MultipartFormData>(fileManager);
  if (builder) builder(*form);
  return makeMultipartUpload(
      std::move(form),
      std::make_shared<const ParameterlessRequestConvertible>(
          std::move(url), std::move(method), std::move(headers), std::move(requestModifier)),
      encodingMemoryThreshold, std::move(interceptor), std::move(fileManager));
}

std::shared_ptr<UploadRequest> Session::makeBuiltMultipartUpload(
    MultipartFormBuilder builder, URLRequestConvertiblePtr convertible,
    std::uint64_t encodingMemoryThreshold, std::shared_ptr<RequestInterceptor> interceptor,
    platform::FileManagerPtr fileManager) {
  auto form = std::make_shared<MultipartFormData>(fileManager);
  if (builder) builder(*form);
  return makeMultipartUpload(std::move(form), std::move(convertible), encodingMemoryThreshold,
                             std::move(interceptor), std::move(fileManager));
}

std::shared_ptr<UploadRequest> Session::makeMultipartUploadToURL(
    MultipartFormDataPtr multipartFormData, URLConvertible url,
    std::uint64_t encodingMemoryThreshold, HTTPMethod method, std::optional<HTTPHeaders> headers,
    std::shared_ptr<RequestInterceptor> interceptor, platform::FileManagerPtr fileManager,
    RequestModifier requestModifier) {
  auto convertible = std::make_shared<const ParameterlessRequestConvertible>(
      std::move(url), std::move(method), std::move(headers), std::move(requestModifier));
  return makeUploadRequest(
      std::make_shared<const MultipartUpload>(encodingMemoryThreshold, std::move(convertible),
                                              std::move(multipartFormData)),
      std::move(interceptor), std::move(fileManager));
}

std::shared_ptr<UploadRequest> Session::makeMultipartUpload(
    MultipartFormDataPtr multipartFormData, URLRequestConvertiblePtr convertible,
    std::uint64_t encodingMemoryThreshold, std::shared_ptr<RequestInterceptor> interceptor,
    platform::FileManagerPtr fileManager) {
  return makeUploadRequest(
      std::make_shared<const MultipartUpload>(encodingMemoryThreshold, std::move(convertible),
                                              std::move(multipartFormData)),
      std::move(interceptor), std::move(fileManager));
}

}  // namespace halyard

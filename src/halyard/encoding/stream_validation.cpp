// Validation of data stream requests: status codes and content types of the response head.

#include "halyard/core/data_stream_request.h"
#include "halyard/encoding/response_validation.h"

namespace halyard {

DataStreamRequest& DataStreamRequest::validateStatusCodes(std::vector<int> acceptableStatusCodes) {
  return appendValidator(
      validation::statusCodeValidator<>(validation::isAnyOf(std::move(acceptableStatusCodes))));
}

DataStreamRequest& DataStreamRequest::validateStatusCodes(StatusCodeRange acceptableStatusCodes) {
  return appendValidator(validation::statusCodeValidator<>(
      [range = acceptableStatusCodes](int code) { return range.contains(code); }));
}

DataStreamRequest& DataStreamRequest::validateContentTypes(
    std::function<std::vector<std::string>()> acceptableContentTypes) {
  // Unlike a data request's, the check cannot be spared for an empty body: the chunks were handed
  // on as they came, so nothing tells here whether there were any.
  return appendValidator([types = std::move(acceptableContentTypes)](
                             const std::optional<platform::URLRequest>&,
                             const platform::HTTPURLResponsePtr& response) -> ValidationResult {
    return validation::validateContentType(types(), *response);
  });
}

DataStreamRequest& DataStreamRequest::validateContentTypes(
    std::vector<std::string> acceptableContentTypes) {
  return validateContentTypes([types = std::move(acceptableContentTypes)] { return types; });
}

DataStreamRequest& DataStreamRequest::validateStatusAndContentType() {
  // The request owns its validators, so the closure may refer to it without owning it.
  DataStreamRequest* request = this;
  validateStatusCodes(StatusCodeRange{200, 300});
  return validateContentTypes([request] { return request->acceptableContentTypes(); });
}

}  // namespace halyard

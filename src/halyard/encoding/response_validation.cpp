#include "halyard/encoding/response_validation.h"

#include <algorithm>

#include "halyard/core/data_request.h"

namespace halyard {

namespace {

using Reason = HalyardError::ResponseValidationFailureReason;

ValidationResult failure(Reason::Storage reason) {
  return std::unexpected(makeErrorPtr(HalyardError::responseValidationFailed(std::move(reason))));
}

std::vector<std::string> sorted(std::vector<std::string> types) {
  std::sort(types.begin(), types.end());
  return types;
}

// The response's media type as the server wrote it: the platform's own reading of it is
// lower-cased, and media types are compared exactly.
std::optional<std::string> mediaTypeAsGiven(const platform::HTTPURLResponse& response) {
  const auto header = response.valueForHTTPHeaderField("Content-Type");
  if (!header) return response.mimeType();
  std::string_view text = *header;
  text = text.substr(0, text.find(';'));
  const char* whitespace = " \t\n\r\v\f";
  const auto first = text.find_first_not_of(whitespace);
  if (first == std::string_view::npos) return response.mimeType();
  const auto last = text.find_last_not_of(whitespace);
  return std::string(text.substr(first, last - first + 1));
}

}  // namespace

ContentTypeParts ContentTypeParts::parse(std::string_view text) {
  const char* whitespace = " \t\n\r\v\f";
  const auto first = text.find_first_not_of(whitespace);
  text = first == std::string_view::npos ? std::string_view() : text.substr(first);
  const auto last = text.find_last_not_of(whitespace);
  text = last == std::string_view::npos ? std::string_view() : text.substr(0, last + 1);
  if (const auto semicolon = text.find(';'); semicolon != std::string_view::npos) {
    text = text.substr(0, semicolon);
  }
  const auto firstSlash = text.find('/');
  const auto lastSlash = text.rfind('/');
  return {std::string(text.substr(0, firstSlash)),
          std::string(lastSlash == std::string_view::npos ? text : text.substr(lastSlash + 1))};
}

bool ContentTypeParts::matches(const ContentTypeParts& response) const {
  return (type == response.type || type == "*") && (subtype == response.subtype || subtype == "*");
}

namespace validation {

ValidationResult validateStatusCode(int statusCode, const std::function<bool(int)>& acceptable) {
  if (acceptable(statusCode)) return {};
  return failure(Reason::UnacceptableStatusCode{statusCode});
}

ValidationResult validateContentType(const std::vector<std::string>& acceptableContentTypes,
                                     const platform::HTTPURLResponse& response) {
  if (const auto mimeType = mediaTypeAsGiven(response)) {
    const auto responseParts = ContentTypeParts::parse(*mimeType);
    for (const auto& acceptable : acceptableContentTypes) {
      if (ContentTypeParts::parse(acceptable).matches(responseParts)) return {};
    }
    return failure(Reason::UnacceptableContentType{sorted(acceptableContentTypes), *mimeType});
  }
  for (const auto& acceptable : acceptableContentTypes) {
    const auto parts = ContentTypeParts::parse(acceptable);
    if (parts.type == "*" && parts.subtype == "*") return {};
  }
  return failure(Reason::MissingContentType{sorted(acceptableContentTypes)});
}

std::function<bool(int)> isAnyOf(std::vector<int> codes) {
  return [codes = std::move(codes)](int code) {
    return std::find(codes.begin(), codes.end(), code) != codes.end();
  };
}

}  // namespace validation

std::vector<std::string> Request::acceptableContentTypes() const {
  const auto request = lastRequest();
  const auto accept = request ? request->valueForHTTPHeaderField("Accept") : std::nullopt;
  if (!accept) return {"*/*"};
  // Split at every comma; pieces stay untrimmed (the parser trims them) and empty ones count.
  std::vector<std::string> pieces;
  std::string_view rest = *accept;
  while (true) {
    const auto comma = rest.find(',');
    pieces.emplace_back(rest.substr(0, comma));
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return pieces;
}

DataRequest& DataRequest::validateStatusCodes(std::vector<int> acceptableStatusCodes) {
  return appendValidator(validation::statusCodeValidator<std::optional<platform::Bytes>>(
      validation::isAnyOf(std::move(acceptableStatusCodes))));
}

DataRequest& DataRequest::validateStatusCodes(StatusCodeRange acceptableStatusCodes) {
  return appendValidator(validation::statusCodeValidator<std::optional<platform::Bytes>>(
      [range = acceptableStatusCodes](int code) { return range.contains(code); }));
}

DataRequest& DataRequest::validateContentTypes(
    std::function<std::vector<std::string>()> acceptableContentTypes) {
  return appendValidator([types = std::move(acceptableContentTypes)](
                             const std::optional<platform::URLRequest>&,
                             const platform::HTTPURLResponsePtr& response,
                             const std::optional<platform::Bytes>& data) -> ValidationResult {
    // An empty body has no content type worth checking.
    if (!data || data->empty()) return {};
    return validation::validateContentType(types(), *response);
  });
}

DataRequest& DataRequest::validateContentTypes(std::vector<std::string> acceptableContentTypes) {
  return validateContentTypes([types = std::move(acceptableContentTypes)] { return types; });
}

DataRequest& DataRequest::validateStatusAndContentType() {
  // The request owns its validators, so the closure may refer to it without owning it.
  DataRequest* request = this;
  validateStatusCodes(StatusCodeRange{200, 300});
  return validateContentTypes([request] { return request->acceptableContentTypes(); });
}

}  // namespace halyard

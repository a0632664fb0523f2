#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "halyard/core/event_monitor.h"
#include "halyard/core/halyard_error.h"
#include "platform/net/http_url_response.h"
#include "platform/net/url_request.h"

namespace halyard {

// A media type split into its type and subtype ("text/html; charset=utf-8" → text, html).
struct ContentTypeParts {
  std::string type;
  std::string subtype;

  // Every text parses: blanks and line breaks are trimmed at both ends, parameters after the
  // first ';' dropped; the type is the first piece between slashes and the subtype the last.
  static ContentTypeParts parse(std::string_view text);

  // Whether this acceptable type matches `response` ("*" matches on this side only).
  bool matches(const ContentTypeParts& response) const;

  bool operator==(const ContentTypeParts&) const = default;
};

namespace validation {

// Success when the status code is acceptable, else `unacceptableStatusCode`.
ValidationResult validateStatusCode(int statusCode, const std::function<bool(int)>& acceptable);

// Success when the response's media type matches an acceptable one (or, without a media type,
// when "*/*" is acceptable); else `unacceptableContentType` / `missingContentType` with the
// acceptable types sorted.
ValidationResult validateContentType(const std::vector<std::string>& acceptableContentTypes,
                                     const platform::HTTPURLResponse& response);

// The status-code check for a request kind whose validators get what it `Gathered` (a body, a
// file, or nothing for a stream): success when `acceptable` holds for the response's status code.
template <class... Gathered>
auto statusCodeValidator(std::function<bool(int)> acceptable) {
  return
      [acceptable = std::move(acceptable)](
          const std::optional<platform::URLRequest>&, const platform::HTTPURLResponsePtr& response,
          const Gathered&...) { return validateStatusCode(response->statusCode(), acceptable); };
}

// Whether a status code is one of `codes`.
std::function<bool(int)> isAnyOf(std::vector<int> codes);

}  // namespace validation

}  // namespace halyard

#pragma once

// Requests for the parameter encoders to fill, built field by field so that each case states
// only what it is about.

#include <optional>
#include <string>
#include <utility>

#include "platform/net/url_request.h"

namespace halyardtest {

inline platform::URLRequest request(std::optional<std::string> url,
                                    std::optional<std::string> method = "GET") {
  platform::URLRequest r;
  if (url) r.url = *platform::URL::fromString(*url);
  r.httpMethod = std::move(method);
  return r;
}

inline platform::URLRequest withURL(platform::URLRequest r, const std::string& url) {
  r.url = *platform::URL::fromString(url);
  return r;
}

inline platform::URLRequest withBody(platform::URLRequest r, const std::string& body,
                                     std::optional<std::string> type) {
  if (type) r.setValueForHTTPHeaderField(*type, "Content-Type");
  r.httpBody = platform::Bytes(body.begin(), body.end());
  return r;
}

inline platform::URLRequest withHeader(platform::URLRequest r, const std::string& name,
                                       const std::string& value) {
  r.setValueForHTTPHeaderField(value, name);
  return r;
}

}  // namespace halyardtest

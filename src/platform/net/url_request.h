#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/net/http_header_fields.h"
#include "platform/net/url.h"

namespace platform {

using Bytes = std::vector<std::uint8_t>;

// A description of one HTTP request: a plain value, copied freely.
class URLRequest {
 public:
  enum class CachePolicy : unsigned {
    useProtocolCachePolicy = 0,
    reloadIgnoringLocalCacheData = 1,
    returnCacheDataElseLoad = 2,
    returnCacheDataDontLoad = 3,
    reloadIgnoringLocalAndRemoteCacheData = 4,
    reloadRevalidatingCacheData = 5,
  };

  URLRequest() = default;  // no URL; method "GET"
  explicit URLRequest(URL url, CachePolicy cachePolicy = CachePolicy::useProtocolCachePolicy,
                      double timeoutInterval = 60.0)
      : url(std::move(url)), cachePolicy(cachePolicy), timeoutInterval(timeoutInterval) {}

  std::optional<URL> url;
  // The method token as sent. Absent means "no method set"; such a request goes out as GET.
  std::optional<std::string> httpMethod = std::string("GET");
  // The body. Absent and empty differ: an empty body is still a body.
  std::optional<Bytes> httpBody;
  CachePolicy cachePolicy = CachePolicy::useProtocolCachePolicy;
  // Seconds a transfer may stay idle (no bytes either way) before it fails as timed out.
  double timeoutInterval = 60.0;
  // Whether the session's cookies go out with this request and cookies it receives are kept.
  bool httpShouldHandleCookies = true;

  // The complete header-field set; absent until a field is set.
  const std::optional<HTTPHeaderFields>& allHTTPHeaderFields() const { return headers_; }
  void setAllHTTPHeaderFields(std::optional<HTTPHeaderFields> fields) {
    headers_ = std::move(fields);
  }
  // Case-insensitive lookup.
  std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const;
  // Sets or (with no value) removes one field; the field set comes into being if absent.
  void setValueForHTTPHeaderField(std::optional<std::string> value, std::string_view name);
  // Appends to an existing field as "old, new", or adds it.
  void addValueForHTTPHeaderField(std::string_view value, std::string_view name);

  bool operator==(const URLRequest&) const = default;

 private:
  std::optional<HTTPHeaderFields> headers_;
};

}  // namespace platform

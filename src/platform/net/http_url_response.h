#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/net/http_header_fields.h"
#include "platform/net/url.h"

namespace platform {

// What a server answered, apart from the body. Shared as `std::shared_ptr<const URLResponse>`;
// an HTTP answer is an `HTTPURLResponse`.
class URLResponse {
 public:
  URLResponse(URL url, std::optional<std::string> mimeType, std::int64_t expectedContentLength,
              std::optional<std::string> textEncodingName);
  virtual ~URLResponse() = default;

  const URL& url() const { return url_; }
  // The media type without parameters, lower-cased ("text/html").
  const std::optional<std::string>& mimeType() const { return mimeType_; }
  // Bytes of body expected as they will be delivered, or -1 when unknown (no length given, or
  // a content encoding that is decoded on the way).
  std::int64_t expectedContentLength() const { return expectedContentLength_; }
  // The "charset" parameter of the content type, as given ("utf-8").
  const std::optional<std::string>& textEncodingName() const { return textEncodingName_; }
  // A file name for the body: from Content-Disposition, else the URL's last path component,
  // else "Unknown".
  virtual std::string suggestedFilename() const;

 private:
  URL url_;
  std::optional<std::string> mimeType_;
  std::int64_t expectedContentLength_;
  std::optional<std::string> textEncodingName_;
};

class HTTPURLResponse : public URLResponse {
 public:
  // Header fields in arrival order; a name that repeats is kept once, with its values joined
  // by ", ". Media type, charset and expected length are derived from them.
  HTTPURLResponse(URL url, int statusCode, std::string httpVersion, HTTPHeaderFields headerFields);
  // Builds the response from raw header lines (each "Name: value", without line ends), joining
  // repeated names. Lines without a colon are ignored.
  static HTTPURLResponse fromHeaderLines(URL url, int statusCode, std::string httpVersion,
                                         const std::vector<std::string>& lines,
                                         bool bodyIsDecoded = false);

  int statusCode() const { return statusCode_; }
  const std::string& httpVersion() const { return httpVersion_; }  // "HTTP/1.1", "HTTP/2"
  const HTTPHeaderFields& allHeaderFields() const { return headerFields_; }
  std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const {
    return headerFields_.value(name);
  }
  std::string suggestedFilename() const override;

  // A short English reason phrase for a status code ("not found"); "server error" and the like
  // for codes without one of their own.
  static std::string localizedStringForStatusCode(int statusCode);

 private:
  HTTPURLResponse(URL url, int statusCode, std::string httpVersion, HTTPHeaderFields headerFields,
                  std::int64_t expectedContentLength);
  int statusCode_;
  std::string httpVersion_;
  HTTPHeaderFields headerFields_;
};

using URLResponsePtr = std::shared_ptr<const URLResponse>;
using HTTPURLResponsePtr = std::shared_ptr<const HTTPURLResponse>;

}  // namespace platform

#pragma once

#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "platform/net/url.h"
#include "platform/net/url_components.h"
#include "platform/net/url_request.h"

namespace halyard {

class HTTPHeaders;
struct HTTPMethod;

// Anything that yields a URL: a text, a URL, URL components, or a conformer of the caller's
// own. Entry points take it by value, so a caller may hand over any of these directly.
class URLConvertible {
 public:
  // A conformer of the caller's own.
  class Source {
   public:
    virtual ~Source() = default;
    virtual platform::URL toURL() const = 0;  // may throw
    virtual std::string description() const = 0;
  };

  URLConvertible(std::string text) : value_(std::move(text)) {}    // NOLINT: implicit on purpose
  URLConvertible(const char* text) : value_(std::string(text)) {}  // NOLINT
  URLConvertible(platform::URL url) : value_(std::move(url)) {}    // NOLINT
  URLConvertible(platform::URLComponents components)               // NOLINT
      : value_(std::move(components)) {}
  URLConvertible(std::shared_ptr<const Source> source)  // NOLINT
      : value_(std::move(source)) {}

  // The URL. A text the URL parser rejects, or components that compose no URL, throw
  // `HalyardError::invalidURL` carrying this very value.
  platform::URL toURL() const;

  // The printed form: a text as it stands, a URL as its address.
  std::string description() const;

  const std::string* text() const { return std::get_if<std::string>(&value_); }
  const platform::URL* url() const { return std::get_if<platform::URL>(&value_); }
  const platform::URLComponents* components() const {
    return std::get_if<platform::URLComponents>(&value_);
  }
  const std::shared_ptr<const Source>* source() const {
    return std::get_if<std::shared_ptr<const Source>>(&value_);
  }

  bool operator==(const URLConvertible& other) const = default;

 private:
  std::variant<std::string, platform::URL, platform::URLComponents, std::shared_ptr<const Source>>
      value_;
};

// Anything that yields a URL request.
class URLRequestConvertible {
 public:
  virtual ~URLRequestConvertible() = default;
  virtual platform::URLRequest toURLRequest() const = 0;  // may throw

  // The request, or nothing when building it throws (the error is dropped).
  std::optional<platform::URLRequest> urlRequestOrNil() const;
};

using URLRequestConvertiblePtr = std::shared_ptr<const URLRequestConvertible>;

// A ready URL request converts to itself.
class URLRequestValue : public URLRequestConvertible {
 public:
  explicit URLRequestValue(platform::URLRequest request) : request_(std::move(request)) {}
  platform::URLRequest toURLRequest() const override { return request_; }
  const platform::URLRequest& request() const { return request_; }

 private:
  platform::URLRequest request_;
};

inline URLRequestConvertiblePtr makeURLRequestConvertible(platform::URLRequest request) {
  return std::make_shared<const URLRequestValue>(std::move(request));
}

// A request for `url` with the default cache policy, a 60-second time-out, the method's text,
// and the headers (the later of two equal names winning) or no header fields at all. Throws
// what `url.toURL()` throws.
platform::URLRequest urlRequestFromConvertible(const URLConvertible& url, const HTTPMethod& method,
                                               const std::optional<HTTPHeaders>& headers);

}  // namespace halyard

#include "halyard/core/url_convertible.h"

#include "halyard/core/halyard_error.h"
#include "halyard/core/http_headers.h"
#include "halyard/core/http_method.h"

namespace halyard {

platform::URL URLConvertible::toURL() const {
  if (auto text = std::get_if<std::string>(&value_)) {
    if (auto url = platform::URL::fromString(*text)) return std::move(*url);
    throw HalyardError::invalidURL(*this);
  }
  if (auto url = std::get_if<platform::URL>(&value_)) return *url;
  if (auto components = std::get_if<platform::URLComponents>(&value_)) {
    if (auto url = components->url()) return std::move(*url);
    throw HalyardError::invalidURL(*this);
  }
  const auto& source = std::get<std::shared_ptr<const Source>>(value_);
  if (!source) throw HalyardError::invalidURL(*this);
  return source->toURL();
}

std::string URLConvertible::description() const {
  if (auto text = std::get_if<std::string>(&value_)) return *text;
  if (auto url = std::get_if<platform::URL>(&value_)) return url->absoluteString();
  if (auto components = std::get_if<platform::URLComponents>(&value_)) {
    if (auto composed = components->string()) return *composed;
    // Components that compose nothing are shown part by part.
    std::string parts = "URLComponents(";
    parts += "scheme: " + components->scheme().value_or("nil");
    parts += ", host: " + components->percentEncodedHost().value_or("nil");
    parts += ", path: " + components->percentEncodedPath();
    parts += ", query: " + components->percentEncodedQuery().value_or("nil");
    parts += ")";
    return parts;
  }
  const auto& source = std::get<std::shared_ptr<const Source>>(value_);
  return source ? source->description() : std::string("nil");
}

std::optional<platform::URLRequest> URLRequestConvertible::urlRequestOrNil() const {
  try {
    return toURLRequest();
  } catch (...) {
    return std::nullopt;
  }
}

platform::URLRequest urlRequestFromConvertible(const URLConvertible& url, const HTTPMethod& method,
                                               const std::optional<HTTPHeaders>& headers) {
  platform::URLRequest request(url.toURL(),
                               platform::URLRequest::CachePolicy::useProtocolCachePolicy, 60.0);
  request.httpMethod = method.rawValue;
  if (headers) {
    // Of two headers with exactly the same name, the later one wins; names that differ only
    // in case cannot both be present in a header list built through its operations.
    platform::HTTPHeaderFields fields;
    for (const auto& header : *headers)
      fields.set(header.name, header.value);
    request.setAllHTTPHeaderFields(std::move(fields));
  } else {
    request.setAllHTTPHeaderFields(std::nullopt);
  }
  return request;
}

}  // namespace halyard

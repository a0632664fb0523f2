#include "app/service/api_request.h"

#include <cctype>

#include "halyard/core/halyard_error.h"
#include "halyard/core/http_method.h"

namespace app {

platform::URLRequest APIRequest::toURLRequest() const {
  const std::string address = routerAddress(resource_->router());
  auto url = platform::URL::fromString(address);
  std::string scheme = url ? url->scheme().value_or("") : "";
  for (char& c : scheme)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const bool web = scheme == "http" || scheme == "https";
  if (!url || !web || !url->host() || url->host()->empty()) {
    throw halyard::HalyardError::invalidURL(halyard::URLConvertible(address));
  }
  platform::URLRequest request(*url, platform::URLRequest::CachePolicy::useProtocolCachePolicy,
                               60.0);
  request.httpMethod = std::string(halyard::HTTPMethod::GET.rawValue);
  for (const auto& [name, value] : Updator::headers()) {
    request.setValueForHTTPHeaderField(value, name);
  }
  return request;
}

}  // namespace app

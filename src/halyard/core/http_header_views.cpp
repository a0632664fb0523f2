#include "halyard/core/http_header_views.h"

namespace halyard {

namespace {

HTTPHeaders fromFields(const platform::HTTPHeaderFields& fields) {
  HTTPHeaders headers;
  for (const auto& [name, value] : fields)
    headers.replaceOrAppend(name, value);
  return headers;
}

platform::HTTPHeaderFields toFields(const HTTPHeaders& headers) {
  platform::HTTPHeaderFields fields;
  for (const auto& header : headers)
    fields.set(header.name, header.value);
  return fields;
}

}  // namespace

HTTPHeaders httpHeaders(const platform::URLRequest& request) {
  const auto& fields = request.allHTTPHeaderFields();
  return fields ? fromFields(*fields) : HTTPHeaders();
}

void setHTTPHeaders(platform::URLRequest& request, const HTTPHeaders& headers) {
  request.setAllHTTPHeaderFields(toFields(headers));
}

HTTPHeaders httpHeaders(const platform::HTTPURLResponse& response) {
  return fromFields(response.allHeaderFields());
}

HTTPHeaders httpHeaders(const platform::URLSessionConfiguration& configuration) {
  return configuration.httpAdditionalHeaders ? fromFields(*configuration.httpAdditionalHeaders)
                                             : HTTPHeaders();
}

void setHTTPHeaders(platform::URLSessionConfiguration& configuration, const HTTPHeaders& headers) {
  configuration.httpAdditionalHeaders = toFields(headers);
}

platform::URLSessionConfiguration makeDefaultConfigurationWithHeaders() {
  auto configuration = platform::URLSessionConfiguration::defaultConfiguration();
  setHTTPHeaders(configuration, HTTPHeaders::defaultHeaders());
  return configuration;
}

}  // namespace halyard

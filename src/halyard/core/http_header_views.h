#pragma once

#include "halyard/core/http_headers.h"
#include "platform/net/http_url_response.h"
#include "platform/net/url_request.h"
#include "platform/net/url_session.h"

namespace halyard {

// The header views of the URL-loading objects.
HTTPHeaders httpHeaders(const platform::URLRequest& request);
void setHTTPHeaders(platform::URLRequest& request, const HTTPHeaders& headers);
HTTPHeaders httpHeaders(const platform::HTTPURLResponse& response);
HTTPHeaders httpHeaders(const platform::URLSessionConfiguration& configuration);
void setHTTPHeaders(platform::URLSessionConfiguration& configuration, const HTTPHeaders& headers);

// The platform's default configuration with the default headers as its additional headers.
platform::URLSessionConfiguration makeDefaultConfigurationWithHeaders();

}  // namespace halyard

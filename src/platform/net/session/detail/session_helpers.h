#pragma once

// Small pieces the session's files share: text and error mapping, and the cache question.

#include <curl/curl.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/net/http_text.h"
#include "platform/net/url_error.h"
#include "platform/net/url_session.h"

namespace platform::net_detail {

void ensureCurlInitialized();

using http_text::lowercase;

// Hands libcurl a body kept in memory, its length stated even when it is empty. `body` must
// outlive the transfer: libcurl reads it as it sends.
void setInMemoryBody(CURL* easy, const Bytes& body);

// The code for a transfer libcurl ended with `result`. Schemes are checked before a transfer
// starts, so an "unsupported protocol" from an HTTP transfer is an answer that is not HTTP
// (HTTP/0.9, a garbage status line or status code); a head over libcurl's caps ends as "out of
// memory" (one line over 100 KB) or a receive error whose text names the size (the whole head
// over 300 KB), which is a resource over the maximum size, not a lost connection.
bool isOversizedHead(CURLcode result, const char* errorText);
URLError::Code codeForFailedTransfer(CURLcode result, const char* errorText,
                                     const std::optional<URL>& url);

// A header name must be a token: no separators, no controls.
bool isValidHeaderName(std::string_view name);

// Asks the delegate whether `proposal` is stored, under `request`. It is stored from whatever
// thread answers; a handler dropped unanswered stores nothing.
void askToCache(URLSessionDelegate& delegate, const std::shared_ptr<URLSession>& session,
                const std::shared_ptr<URLSessionDataTask>& task,
                const CachedURLResponsePtr& proposal, std::shared_ptr<URLCache> cache,
                URLRequest request);

std::optional<Date> dateAfter(Date start, curl_off_t microseconds);

}  // namespace platform::net_detail

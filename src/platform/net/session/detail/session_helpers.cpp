#include "platform/net/session/detail/session_helpers.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <mutex>

#include "platform/net/session/detail/once_handler.h"
#include "platform/net/url_session_cache.h"

namespace platform::net_detail {

void ensureCurlInitialized() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

void setInMemoryBody(CURL* easy, const Bytes& body) {
  curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(easy, CURLOPT_POSTFIELDS,
                   body.empty() ? "" : reinterpret_cast<const char*>(body.data()));
}

// libcurl's two ways of refusing a head beyond its buffers; what it ran out of is the head's
// room, not the process's memory.
bool isOversizedHead(CURLcode result, const char* errorText) {
  return result == CURLE_OUT_OF_MEMORY ||
         (result == CURLE_RECV_ERROR &&
          std::string_view(errorText).starts_with("Too large response headers"));
}

URLError::Code codeForFailedTransfer(CURLcode result, const char* errorText,
                                     const std::optional<URL>& url) {
  std::string scheme = url ? url->scheme().value_or("") : "";
  for (char& c : scheme)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const bool http = scheme == "http" || scheme == "https";
  if (result == CURLE_UNSUPPORTED_PROTOCOL && http) return URLError::Code::badServerResponse;
  if (isOversizedHead(result, errorText)) return URLError::Code::dataLengthExceedsMaximum;
  // A transfer in progress is handed no bad argument but by the server: a folded line with
  // nothing to fold onto.
  if (result == CURLE_BAD_FUNCTION_ARGUMENT && http) return URLError::Code::badServerResponse;
  if (result == CURLE_RECV_ERROR &&
      std::string_view(errorText).find("chunked-encod") != std::string_view::npos) {
    return URLError::Code::badServerResponse;
  }
  return URLError::codeForCurlResult(result);
}

bool isValidHeaderName(std::string_view name) {
  // Which bytes a token may hold, looked up rather than searched for per byte.
  static constexpr auto kTokenBytes = [] {
    std::array<bool, 256> allowed{};
    for (int c = 0x21; c < 0x7F; ++c)
      allowed[c] = true;
    for (char c : std::string_view("()<>@,;:\\\"/[]?={}"))
      allowed[static_cast<unsigned char>(c)] = false;
    return allowed;
  }();
  if (name.empty()) return false;
  for (char c : name) {
    if (!kTokenBytes[static_cast<unsigned char>(c)]) return false;
  }
  return true;
}

void askToCache(URLSessionDelegate& delegate, const std::shared_ptr<URLSession>& session,
                const std::shared_ptr<URLSessionDataTask>& task,
                const CachedURLResponsePtr& proposal, std::shared_ptr<URLCache> cache,
                URLRequest request) {
  auto once = std::make_shared<OnceHandler<CachedURLResponsePtr>>(
      [cache = std::move(cache), request = std::move(request)](CachedURLResponsePtr answer) {
        TransferCache::store(cache, answer, request);
      });
  std::function<void(CachedURLResponsePtr)> handler = [once](CachedURLResponsePtr answer) {
    once->call(std::move(answer));
  };
  once.reset();
  delegate.willCacheResponse(session, task, proposal, std::move(handler));
}

std::optional<Date> dateAfter(Date start, curl_off_t microseconds) {
  if (microseconds <= 0) return std::nullopt;
  return start + static_cast<double>(microseconds) / 1e6;
}

}  // namespace platform::net_detail

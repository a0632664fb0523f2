#include "platform/net/curl_easy_pool.h"

namespace platform::net_detail {

CURL* CurlEasyPool::acquire() {
  if (free_.empty()) return curl_easy_init();
  CURL* easy = free_.back();
  free_.pop_back();
  return easy;
}

void CurlEasyPool::release(CURL* easy) {
  if (easy == nullptr) return;
  if (free_.size() >= capacity_) {
    curl_easy_cleanup(easy);
    return;
  }
  // The reset leaves the share attached and, with it, the cookie engine that came from it; a
  // list of cookie files a transfer set but never started would also survive and give the
  // next transfer a cookie jar of its own. Both are cut first.
  curl_easy_setopt(easy, CURLOPT_SHARE, nullptr);
  curl_easy_setopt(easy, CURLOPT_COOKIEFILE, nullptr);
  curl_easy_reset(easy);
  free_.push_back(easy);
}

void CurlEasyPool::clear() {
  for (CURL* easy : free_)
    curl_easy_cleanup(easy);
  free_.clear();
}

}  // namespace platform::net_detail

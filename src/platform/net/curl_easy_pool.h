#pragma once

#include <curl/curl.h>

namespace platform::net_detail {

// Where a session's I/O thread gets its easy handles, and where they go. Every transfer, every
// redirect hop and every replay after a challenge runs on a handle that has never read a
// response: libcurl 7.88.1 keeps a pointer to the last header it stored across transfers on one
// easy handle (its header store is freed at the end of a transfer, the pointer is not cleared),
// and a head whose first field line starts with a blank is unfolded into that freed header on
// the next transfer, a use after free and then a double free that end the process. A reset does
// not clear it either, so no handle is handed on. Connections are kept by the multi handle's
// cache, not by the easy handle, so a new handle still reuses them; what is lost is only the
// making of a handle, measured in bench/http_bench. One thread only.
class CurlEasyPool {
 public:
  CurlEasyPool() = default;
  CurlEasyPool(const CurlEasyPool&) = delete;
  CurlEasyPool& operator=(const CurlEasyPool&) = delete;

  // A handle that never ran a transfer, with libcurl's default options; null when none can be
  // made.
  CURL* acquire() { return curl_easy_init(); }
  // Frees `easy`, which must not be in a multi handle.
  void release(CURL* easy) {
    if (easy != nullptr) curl_easy_cleanup(easy);
  }
  // A handle in place of `easy` for the next request of the same transfer.
  CURL* renew(CURL* easy) {
    release(easy);
    return acquire();
  }
};

}  // namespace platform::net_detail

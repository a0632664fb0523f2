#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <vector>

namespace platform::net_detail {

// Easy handles a session's I/O thread hands from one transfer to the next. Making a handle
// (and freeing it) costs more than the rest of a small request's set-up; a handle put back is
// reset to libcurl's defaults, with its connection, cookie and share ties cut, so the next
// transfer starts from nothing of the last one's. Connections live in the multi handle's
// cache either way. Holds no more handles than ran at once, and at most `capacity`. One
// thread only.
class CurlEasyPool {
 public:
  explicit CurlEasyPool(std::size_t capacity = 64) : capacity_(capacity) {}
  ~CurlEasyPool() { clear(); }
  CurlEasyPool(const CurlEasyPool&) = delete;
  CurlEasyPool& operator=(const CurlEasyPool&) = delete;

  // A handle with libcurl's default options; null when none can be made.
  CURL* acquire();
  // Takes `easy` back, which must not be in a multi handle; beyond the bound it is freed.
  void release(CURL* easy);
  // Frees every handle kept.
  void clear();
  std::size_t size() const { return free_.size(); }

 private:
  std::size_t capacity_;
  std::vector<CURL*> free_;
};

}  // namespace platform::net_detail

#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/net/url.h"

typedef void CURLSH;

namespace platform {

// A cookie as the store keeps it.
struct HTTPCookie {
  std::string name;
  std::string value;
  std::string domain;  // without a leading dot
  bool hostOnly = true;
  std::string path;
  bool isSecure = false;
  std::int64_t expires = 0;  // seconds since 1970; 0 for a cookie of the session only

  bool operator==(const HTTPCookie&) const = default;
};

// The cookies of the sessions that name it: libcurl's cookie engine in a share handle that
// every transfer of those sessions attaches to. The share carries lock functions, so any
// thread can read the cookies while the sessions' I/O threads add to them, and reading never
// waits for a transfer, only for another cookie operation.
class HTTPCookieStorage {
 public:
  // The storage of every session of the default configuration.
  static std::shared_ptr<HTTPCookieStorage> shared();

  HTTPCookieStorage();
  ~HTTPCookieStorage();
  HTTPCookieStorage(const HTTPCookieStorage&) = delete;
  HTTPCookieStorage& operator=(const HTTPCookieStorage&) = delete;

  // The cookies a request to `url` would carry (RFC 6265 domain, path, secure and expiry
  // rules), longer paths first.
  std::vector<HTTPCookie> cookies(const URL& url) const;
  // Every cookie held, in the engine's order.
  std::vector<HTTPCookie> allCookies() const;

  // The share handle transfers attach to (cookies and resolved names).
  CURLSH* curlShare() const { return share_; }

 private:
  static void lock(void* handle, int data, int access, void* self);
  static void unlock(void* handle, int data, void* self);

  CURLSH* share_ = nullptr;
  // One lock per kind of shared data (libcurl never holds two of one kind).
  mutable std::array<std::mutex, 16> locks_;
};

}  // namespace platform

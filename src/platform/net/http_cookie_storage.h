#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/net/http_cookie.h"
#include "platform/net/http_cookie_index.h"
#include "platform/net/url.h"

typedef void CURLSH;
typedef void CURL;

namespace platform {

// The cookies of the sessions that name it: libcurl's cookie engine in a share handle that
// every transfer of those sessions attaches to. The share carries lock functions, so any
// thread can read the cookies while the sessions' I/O threads add to them, and reading never
// waits for a transfer, only for another cookie operation.
//
// The engine takes each cookie as its field arrives and keeps every one it is given, and the
// more it holds, the longer every request of the hosts concerned takes on the I/O thread. So
// the storage keeps the jar within bounds, as browsers do: at most `maximumCookiesPerDomain`
// cookies for one domain and `maximumCookies` in all, the least recently set going first; and a
// head that fails before its end keeps none of the cookies its fields name.
class HTTPCookieStorage {
 public:
  static constexpr std::size_t kMaximumCookiesPerDomain = 180;
  static constexpr std::size_t kMaximumCookies = 3000;

  // The storage of every session of the default configuration.
  static std::shared_ptr<HTTPCookieStorage> shared();

  explicit HTTPCookieStorage(std::size_t maximumCookiesPerDomain = kMaximumCookiesPerDomain,
                             std::size_t maximumCookies = kMaximumCookies);
  ~HTTPCookieStorage();
  HTTPCookieStorage(const HTTPCookieStorage&) = delete;
  HTTPCookieStorage& operator=(const HTTPCookieStorage&) = delete;

  // The cookies a request to `url` would carry (RFC 6265 domain, path, secure and expiry
  // rules), longer paths first.
  std::vector<HTTPCookie> cookies(const URL& url) const;
  // Every cookie held, in the engine's order.
  std::vector<HTTPCookie> allCookies() const;

  // A transfer attached to the share ended a head (`headLines` without the status line) that
  // set cookies: the engine's list is read, its new or changed cookies and those the head set
  // again count as used now, and the least recently used go past the bounds. The work is that
  // of the jar, which the bounds keep small; a head that sets none costs nothing.
  void headEnded(CURL* easy, const std::vector<std::string>& headLines);
  // A transfer attached to the share failed before the end of a head: the cookies it set go.
  void headFailed(CURL* easy, const std::vector<std::string>& headLines);
  // How many cookies the bounds count: what the engine held at the last head that set any.
  std::size_t trackedCookies() const;

  // The share handle transfers attach to (cookies and resolved names).
  CURLSH* curlShare() const { return share_; }

 private:
  static void lock(void* handle, int data, int access, void* self);
  static void unlock(void* handle, int data, void* self);

  // Every unexpired cookie of the engine, read through `easy` (attached to the share), each
  // path as the engine lists it.
  static std::vector<HTTPCookie> listed(CURL* easy);
  void expire(const std::vector<HTTPCookieIndex::Key>& keys);
  // Brings the index up to what the engine holds after a head that ended or failed.
  void settle(CURL* easy, const std::vector<std::string>& headLines, bool failed);

  CURLSH* share_ = nullptr;
  mutable std::mutex indexMutex_;
  HTTPCookieIndex index_;   // guarded by indexMutex_
  CURL* reader_ = nullptr;  // attached to the share; used under indexMutex_
  // One lock per kind of shared data (libcurl never holds two of one kind).
  mutable std::array<std::mutex, 16> locks_;
};

}  // namespace platform

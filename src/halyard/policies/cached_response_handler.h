#pragma once

#include <functional>
#include <memory>

#include "halyard/core/request.h"
#include "platform/net/cached_url_response.h"
#include "platform/net/url_session.h"

namespace halyard {

// Decides what of a response the URL cache keeps.
class CachedResponseHandler {
 public:
  virtual ~CachedResponseHandler() = default;
  // Calls `completion` exactly once: the response to store, or none to store nothing.
  virtual void decideCaching(
      const std::shared_ptr<platform::URLSessionDataTask>& task,
      const platform::CachedURLResponsePtr& response,
      const std::function<void(platform::CachedURLResponsePtr)>& completion) const = 0;
};

class ResponseCacher final : public CachedResponseHandler {
 public:
  using Modify = std::function<platform::CachedURLResponsePtr(
      const std::shared_ptr<platform::URLSessionDataTask>&, const platform::CachedURLResponsePtr&)>;
  enum class Kind { modify, cache, doNotCache };

  static ResponseCacher cache() { return ResponseCacher(Kind::cache, nullptr); }
  static ResponseCacher doNotCache() { return ResponseCacher(Kind::doNotCache, nullptr); }
  static ResponseCacher modify(Modify function) {
    return ResponseCacher(Kind::modify, std::move(function));
  }
  static const std::shared_ptr<ResponseCacher>& sharedCache();
  static const std::shared_ptr<ResponseCacher>& sharedDoNotCache();

  Kind kind() const { return kind_; }
  void decideCaching(
      const std::shared_ptr<platform::URLSessionDataTask>& task,
      const platform::CachedURLResponsePtr& response,
      const std::function<void(platform::CachedURLResponsePtr)>& completion) const override;

 private:
  ResponseCacher(Kind kind, Modify function) : kind_(kind), modify_(std::move(function)) {}
  Kind kind_;
  Modify modify_;
};

}  // namespace halyard

#pragma once

#include <functional>
#include <memory>

#include "halyard/core/cached_response_handler.h"

namespace halyard {

// The three ready-made caching answers: store the response, store nothing, or store what a
// function makes of it.
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

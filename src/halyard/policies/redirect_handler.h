#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "halyard/core/request.h"
#include "platform/net/http_url_response.h"
#include "platform/net/url_request.h"
#include "platform/net/url_session.h"

namespace halyard {

// Decides whether a redirect is followed, and to what.
class RedirectHandler {
 public:
  virtual ~RedirectHandler() = default;
  // Calls `completion` exactly once: the request to load next, or none to stop at the
  // redirect response.
  virtual void decideRedirect(
      const URLSessionTaskPtr& task, const platform::URLRequest& request,
      const platform::HTTPURLResponsePtr& response,
      const std::function<void(std::optional<platform::URLRequest>)>& completion) const = 0;
};

class Redirector final : public RedirectHandler {
 public:
  using Modify = std::function<std::optional<platform::URLRequest>(
      const URLSessionTaskPtr&, const platform::URLRequest&, const platform::HTTPURLResponsePtr&)>;
  enum class Kind { modify, follow, doNotFollow };

  static Redirector follow() { return Redirector(Kind::follow, nullptr); }
  static Redirector doNotFollow() { return Redirector(Kind::doNotFollow, nullptr); }
  static Redirector modify(Modify function) {
    return Redirector(Kind::modify, std::move(function));
  }
  static const std::shared_ptr<Redirector>& sharedFollow();
  static const std::shared_ptr<Redirector>& sharedDoNotFollow();

  Kind kind() const { return kind_; }
  void decideRedirect(
      const URLSessionTaskPtr& task, const platform::URLRequest& request,
      const platform::HTTPURLResponsePtr& response,
      const std::function<void(std::optional<platform::URLRequest>)>& completion) const override;

 private:
  Redirector(Kind kind, Modify function) : kind_(kind), modify_(std::move(function)) {}
  Kind kind_;
  Modify modify_;
};

}  // namespace halyard

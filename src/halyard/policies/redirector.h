#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "halyard/core/redirect_handler.h"

namespace halyard {

// The three ready-made answers to a redirect: follow it, stop at it, or follow what a
// function makes of it.
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

#pragma once

#include <expected>
#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/error.h"

namespace widgets {

// A failed registration or unregistration of the login item, with a text for the user.
class LoginItemServiceError : public platform::Error {
 public:
  explicit LoginItemServiceError(std::string description) : description_(std::move(description)) {}
  std::string localizedDescription() const override { return description_; }

 private:
  std::string description_;
};

// The desktop's record of the application starting itself when the user logs in. The
// desktop holds the only truth; every question reads it again.
class LoginItemService {
 public:
  enum class Status : int { notRegistered = 0, enabled = 1, requiresApproval = 2, notFound = 3 };
  using Result = std::expected<void, platform::ErrorPtr>;

  virtual ~LoginItemService() = default;

  virtual Status status() const = 0;
  virtual Result registerService() = 0;
  virtual Result unregisterService() = 0;

  // The service of the running application, made anew on every call (an XDG autostart entry
  // unless a test installed another provider).
  static std::shared_ptr<LoginItemService> mainAppService();
  using Provider = std::function<std::shared_ptr<LoginItemService>()>;
  // Replaces the provider; an empty one restores the autostart entry.
  static void setMainAppServiceProvider(Provider provider);
};

}  // namespace widgets

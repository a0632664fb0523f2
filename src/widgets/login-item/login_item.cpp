#include "widgets/login-item/login_item.h"

#include <cstdlib>
#include <cstring>

#include <fmt/format.h>

#include "platform/foundation/log.h"
#include "widgets/login-item/autostart_service.h"
#include "widgets/login-item/login_item_service.h"

namespace widgets {
namespace {

void logFailure(const char* verb, const platform::ErrorPtr& error) {
  LoginItem::logger().error(fmt::format("Failed to {} launch at login: {}", verb,
                                        error ? error->localizedDescription() : std::string()));
}

}  // namespace

bool LoginItem::Observable::isEnabled() const {
  return LoginItem::isEnabled();
}

void LoginItem::Observable::setIsEnabled(bool enabled) {
  LoginItem::setEnabled(enabled);
}

void LoginItem::Logger::error(std::string_view message) const {
  platform::log(message);
}

const std::shared_ptr<LoginItem::Observable>& LoginItem::sharedObservable() {
  static const auto* observable = new std::shared_ptr<Observable>(std::make_shared<Observable>());
  return *observable;
}

const LoginItem::Logger& LoginItem::logger() {
  static const auto* logger = new Logger("com.tovarine.login-item", "main");
  return *logger;
}

bool LoginItem::isEnabled() {
  return LoginItemService::mainAppService()->status() == LoginItemService::Status::enabled;
}

void LoginItem::setEnabled(bool on) {
  sharedObservable()->objectWillChange().send();
  if (on) {
    if (LoginItemService::mainAppService()->status() == LoginItemService::Status::enabled) {
      // Registering again refreshes the entry (the program may have moved); a failure to
      // remove the old one is not worth reporting when the new one is written next.
      (void)LoginItemService::mainAppService()->unregisterService();
    }
    auto result = LoginItemService::mainAppService()->registerService();
    if (!result) logFailure("enable", result.error());
  } else {
    auto result = LoginItemService::mainAppService()->unregisterService();
    if (!result) logFailure("disable", result.error());
  }
}

bool LoginItem::takeLaunchMarker() {
  const char* value = std::getenv(AutostartService::kLaunchMarkerVariable);
  bool marked = value && std::strcmp(value, AutostartService::kLaunchMarkerValue) == 0;
  if (value) ::unsetenv(AutostartService::kLaunchMarkerVariable);
  return marked;
}

bool LoginItem::wasLaunchedAsLoginItem() {
  static const bool launched = takeLaunchMarker();
  return launched;
}

}  // namespace widgets

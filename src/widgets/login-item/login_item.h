#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/foundation/observable.h"

namespace widgets {

// Starting the application when the user logs in. Nothing is stored here: the desktop's
// login-item service holds the only truth and is asked again every time.
class LoginItem {
 public:
  LoginItem() = delete;

  // Lets interface code redraw when the setting is about to change.
  class Observable final : public platform::ObservableObject {
   public:
    bool isEnabled() const;
    void setIsEnabled(bool enabled);
  };

  // Where failures of the service are reported: the system log, under this component's
  // subsystem and category.
  class Logger {
   public:
    Logger(std::string subsystem, std::string category)
        : subsystem_(std::move(subsystem)), category_(std::move(category)) {}
    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }
    void error(std::string_view message) const;

   private:
    std::string subsystem_;
    std::string category_;
  };

  // Both created on first use, safely against concurrent first use, and kept for good.
  static const std::shared_ptr<Observable>& sharedObservable();
  static const Logger& logger();

  // True only when the service reports the login item enabled.
  static bool isEnabled();
  // Switches the login item on or off. Announces the change first, in every case; failures
  // are logged, never thrown.
  static void setEnabled(bool on);
  // Whether the desktop started this process at login. The marker is read once and removed
  // from the environment, so programs this one starts do not inherit it.
  static bool wasLaunchedAsLoginItem();

  // Reads the marker the autostart entry sets and removes it from the environment; true when
  // it was there with the expected value. Every later call reads the environment again.
  static bool takeLaunchMarker();
};

}  // namespace widgets

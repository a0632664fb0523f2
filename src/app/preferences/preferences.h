#pragma once

#include <memory>
#include <optional>

#include "app/preferences/user_defaults_backed.h"

namespace app {

// The application's own settings, as the screens reach them.
class PreferencesProtocol {
 public:
  virtual ~PreferencesProtocol() = default;
  // True once the first run (the tour ending on the starting screen) is over.
  virtual std::optional<bool> isNotFirstTime() const = 0;
  virtual void setIsNotFirstTime(std::optional<bool> value) = 0;
};

using PreferencesPtr = std::shared_ptr<PreferencesProtocol>;

// The settings in the standard user defaults. The key reads the opposite of what it keeps
// (true means the first run is over); stored data depends on that, so it stays.
class UserDefaultsPreferences final : public PreferencesProtocol {
 public:
  static constexpr const char* kIsNotFirstTimeKey = "isFirstInstallation";

  explicit UserDefaultsPreferences(
      platform::UserDefaults& storage = platform::UserDefaults::standard())
      : isNotFirstTime_(kIsNotFirstTimeKey, false, storage) {}

  std::optional<bool> isNotFirstTime() const override { return isNotFirstTime_.wrappedValue(); }
  void setIsNotFirstTime(std::optional<bool> value) override {
    isNotFirstTime_.setWrappedValue(value);
  }

 private:
  UserDefaultsBacked<std::optional<bool>> isNotFirstTime_;
};

}  // namespace app

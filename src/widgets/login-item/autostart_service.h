#pragma once

#include <filesystem>
#include <string>

#include "widgets/login-item/login_item_service.h"

namespace widgets {

// The login item as an XDG autostart entry: desktops start every program that has an entry
// in $XDG_CONFIG_HOME/autostart when the user logs in. The entry runs the program through
// `env` with a marker variable set, which is how a launch at login is recognised. The program is
// named `tovarine` when that is what PATH finds for the running program (an installed copy),
// else by its absolute path.
class AutostartService : public LoginItemService {
 public:
  static constexpr const char* kLaunchMarkerVariable = "TOVARINE_LAUNCHED_AS_LOGIN_ITEM";
  static constexpr const char* kLaunchMarkerValue = "1";
  // The icon of the installed application (its menu entry's), shown by session managers.
  static constexpr const char* kIconName = "org.tovarine.Tovarine";

  AutostartService(std::filesystem::path entryFile, std::filesystem::path executable);

  // The entry of this application in the user's autostart folder, for the running program.
  static AutostartService forCurrentProcess();
  // $XDG_CONFIG_HOME/autostart/tovarine.desktop (~/.config when XDG_CONFIG_HOME is unset).
  static std::filesystem::path autostartEntryFile();
  // The absolute path of the running program; empty when the system does not say.
  static std::filesystem::path currentExecutable();

  const std::filesystem::path& entryFile() const { return entryFile_; }
  const std::filesystem::path& executable() const { return executable_; }

  // No entry: not registered. Switched off in the desktop's settings (Hidden=true or
  // X-GNOME-Autostart-enabled=false): requires approval. The program it starts is gone (or
  // the entry is unreadable): not found. Otherwise enabled.
  Status status() const override;
  // Writes the entry atomically, replacing any earlier one.
  Result registerService() override;
  // Removes the entry; having none is not an error.
  Result unregisterService() override;

  // The text of the entry for `executable`; an error when the path cannot be written in one.
  std::expected<std::string, platform::ErrorPtr> entryText() const;

 private:
  std::filesystem::path entryFile_;
  std::filesystem::path executable_;
};

}  // namespace widgets

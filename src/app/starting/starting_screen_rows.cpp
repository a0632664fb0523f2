#include "app/starting/starting_screen_rows.h"

namespace app {

StartingRow startingRow(bool screenCaptureAllowed, streaming::DeviceStatus status,
                        bool displayRefused) {
  if (!screenCaptureAllowed) return StartingRow::noPermission;
  if (displayRefused) return StartingRow::displayRefused;
  switch (status) {
    case streaming::DeviceStatus::Detached:
      return StartingRow::detached;
    case streaming::DeviceStatus::Attached:
      return StartingRow::attached;
    case streaming::DeviceStatus::Connected:
      return StartingRow::connected;
  }
  return StartingRow::detached;
}

StartingRowContent startingRowContent(StartingRow row) {
  switch (row) {
    case StartingRow::noPermission:
      return {std::nullopt, "PERMISSION_MAC_DESCRIPTION", "PERMISSION_MAC_BUTTON", false};
    case StartingRow::detached:
      return {"usb", "START_NO_USB", std::nullopt, false};
    case StartingRow::attached:
      return {std::nullopt, "START_YES_USB", std::nullopt, true};
    case StartingRow::connected:
      return {std::nullopt, "Dispositivo collegato", std::nullopt, false};
    case StartingRow::displayRefused:
      return {std::nullopt, "START_DISPLAY_REFUSED", std::nullopt, false};
  }
  return {};
}

std::string withReason(const std::string& text, const std::string& reason) {
  std::string said = reason;
  if (said.size() >= 2 && said[0] >= 'A' && said[0] <= 'Z' && said[1] >= 'a' && said[1] <= 'z') {
    said[0] = static_cast<char>(said[0] - 'A' + 'a');
  }
  const auto at = text.find("%@");
  if (at == std::string::npos) return text + ": " + said;
  return text.substr(0, at) + said + text.substr(at + 2);
}

}  // namespace app

#include "app/starting/starting_screen_rows.h"

namespace app {

StartingRow startingRow(bool screenCaptureAllowed, streaming::DeviceStatus status) {
  if (!screenCaptureAllowed) return StartingRow::noPermission;
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
  }
  return {};
}

}  // namespace app

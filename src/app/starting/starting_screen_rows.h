#pragma once

#include <optional>
#include <string>

#include "streaming/device_status.h"

namespace app {

// What the starting screen shows below the logo.
enum class StartingRow { noPermission, detached, attached, connected };

// Without the screen-recording permission the prompt, whatever the device does; else the
// device's state.
StartingRow startingRow(bool screenCaptureAllowed, streaming::DeviceStatus status);

struct StartingRowContent {
  std::optional<std::string> imageAbove;  // an image of the bundle, above the text
  std::string textKey;                    // "Quicksand-Bold" 50, centred
  std::optional<std::string> buttonKey;   // a primary capsule button below the text
  bool showsBusyIndicator = false;        // eight flickering dots, 100 by 100, white
};

StartingRowContent startingRowContent(StartingRow row);

}  // namespace app

#pragma once

#include <optional>
#include <string>

#include "streaming/device_status.h"

namespace app {

// What the starting screen shows below the logo.
enum class StartingRow { noPermission, detached, attached, connected, displayRefused };

// Without the screen-recording permission the prompt, whatever the device does; else, when no
// display could be made for the connected tablet, that; else the device's state.
StartingRow startingRow(bool screenCaptureAllowed, streaming::DeviceStatus status,
                        bool displayRefused = false);

struct StartingRowContent {
  std::optional<std::string> imageAbove;  // an image of the bundle, above the text
  std::string textKey;                    // "Quicksand-Bold" 50, centred
  std::optional<std::string> buttonKey;   // a primary capsule button below the text
  bool showsBusyIndicator = false;        // eight flickering dots, 100 by 100, white
};

StartingRowContent startingRowContent(StartingRow row);

// A row's text with the reason in the place its "%@" marks (after a colon when it marks
// none), the reason's first word in lower case unless it is an abbreviation.
std::string withReason(const std::string& text, const std::string& reason);

}  // namespace app

#pragma once

#include <QImage>
#include <expected>
#include <string>

namespace screenshot {

// The whole screen of the X server `display` as it is now. The size is asked of the server at
// the time of the call, so a screen enlarged or shrunk since the server started is taken whole.
// Only true-colour screens of 24 or 32 bits are read; anything else is an error, never a
// picture of the wrong colours.
std::expected<QImage, std::string> grabScreen(const std::string& display);

}  // namespace screenshot

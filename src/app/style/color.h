#pragma once

#include <string_view>

namespace app {

// An sRGB colour, components from 0 to 1.
struct Color {
  double red = 0;
  double green = 0;
  double blue = 0;
  double opacity = 1;
  bool operator==(const Color&) const = default;

  // From hexadecimal text such as "#5B68DF": what is not a letter or digit is trimmed from
  // both ends, the hexadecimal digits at the start are read, and the length of the trimmed text
  // chooses the form: 3 (RGB, each digit doubled), 6 (RRGGBB) or 8 (AARRGGBB). Any other length
  // gives the almost invisible (1, 1, 0, 1) / 255. Never fails.
  static Color fromHex(std::string_view text);
};

// The colours the screens share.
Color accentColor();         // #5B68DF: buttons and the enabled Continue button
Color secondaryTextColor();  // #C1C1C1: the tour's descriptions

}  // namespace app

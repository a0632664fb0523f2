#include "screenshot/screenshot_options.h"

#include <fmt/format.h>

namespace screenshot {

std::string usageText() {
  return "usage: tovarine-screenshot [--display :N] --out FILE.png\n"
         "Saves a picture of the whole screen of an X server (DISPLAY unless --display names\n"
         "another) as PNG.\n";
}

std::expected<ParsedArguments, std::string> parseArguments(std::span<const std::string> arguments,
                                                           const std::string& environmentDisplay) {
  ParsedArguments parsed;
  bool displayGiven = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--help" || argument == "-h") {
      parsed.helpRequested = true;
      continue;
    }
    if (argument != "--display" && argument != "--out") {
      return std::unexpected(fmt::format("unknown option {}", argument));
    }
    if (i + 1 >= arguments.size() || arguments[i + 1].empty()) {
      return std::unexpected(fmt::format("{} needs a value", argument));
    }
    const std::string& value = arguments[++i];
    if (argument == "--display") {
      parsed.options.display = value;
      displayGiven = true;
    } else {
      parsed.options.out = value;
    }
  }
  if (parsed.helpRequested) return parsed;
  if (parsed.options.out.empty()) return std::unexpected("--out is required");
  if (!displayGiven) parsed.options.display = environmentDisplay;
  if (parsed.options.display.empty()) {
    return std::unexpected("no display: DISPLAY is unset and --display names none");
  }
  return parsed;
}

}  // namespace screenshot

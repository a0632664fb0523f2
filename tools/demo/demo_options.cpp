#include "demo/demo_options.h"

#include <charconv>
#include <cmath>

namespace demo {

namespace {

template <class T>
std::expected<T, std::string> number(const std::string& option, const std::string& text, T low,
                                     T high) {
  T value{};
  const char* end = text.data() + text.size();
  auto [at, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || at != end || !(value >= low && value <= high)) {
    return std::unexpected(option + " expects a number from " + std::to_string(low) + " to " +
                           std::to_string(high) + ", not \"" + text + "\"");
  }
  return value;
}

}  // namespace

std::expected<ParsedArguments, std::string> parseArguments(std::span<const std::string> arguments) {
  ParsedArguments parsed;
  Options& options = parsed.options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    if (option == "-h" || option == "--help") {
      parsed.helpRequested = true;
      continue;
    }
    if (option == "--still") {
      options.animate = false;
      continue;
    }
    if (option != "--seconds" && option != "--name" && option != "--width" &&
        option != "--height" && option != "--ppi") {
      return std::unexpected("unknown argument \"" + option + "\"");
    }
    if (i + 1 >= arguments.size()) return std::unexpected(option + " needs a value");
    const std::string& value = arguments[++i];
    if (option == "--name") {
      if (value.empty()) return std::unexpected("--name needs a non-empty value");
      options.name = value;
    } else if (option == "--seconds") {
      auto seconds = number<double>(option, value, 1, 3600);
      if (!seconds) return std::unexpected(seconds.error());
      options.seconds = *seconds;
    } else {
      auto side = number<std::int32_t>(option, value, option == "--ppi" ? 1 : 32, 4096);
      if (!side) return std::unexpected(side.error());
      (option == "--width"    ? options.width
       : option == "--height" ? options.height
                              : options.ppi) = *side;
    }
  }
  return parsed;
}

std::string usageText() {
  return "Usage: tovarine-demo [--seconds N] [--name NAME] [--width W] [--height H] [--ppi P]\n"
         "                     [--still]\n"
         "Runs the streaming engine headless next to the companion simulator on loopback: the\n"
         "simulator describes a device, the engine makes a virtual display of its size, captures\n"
         "it and sends JPEG frames, which the simulator checks and counts. Prints what arrived.\n"
         "Without DISPLAY an X server of the demo's own is used.\n"
         "  --seconds N   how long to stream (default 10)\n"
         "  --name NAME   the device's name (default \"Companion Simulator\")\n"
         "  --width W, --height H, --ppi P   the device's screen (default 1024 x 768 at 132)\n"
         "  --still       leave the display unchanged (an idle display sends nothing)\n";
}

}  // namespace demo

#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>

namespace demo {

struct Options {
  double seconds = 10;
  std::string name = "Companion Simulator";
  std::int32_t width = 1024;
  std::int32_t height = 768;
  std::int32_t ppi = 132;
  bool animate = true;  // keep the device's display changing, so frames keep flowing
};

struct ParsedArguments {
  Options options;
  bool helpRequested = false;
};

// Parses the command line (without the program name). Errors name the offending argument.
std::expected<ParsedArguments, std::string> parseArguments(std::span<const std::string> arguments);
std::string usageText();

}  // namespace demo

#pragma once

#include <expected>
#include <filesystem>
#include <span>
#include <string>

namespace screenshot {

struct Options {
  std::string display;  // ":3"; the environment's DISPLAY when not given
  std::filesystem::path out;
};

struct ParsedArguments {
  Options options;
  bool helpRequested = false;
};

// Parses the command line (without the program name). `environmentDisplay` is what DISPLAY
// says, empty when unset. Errors name the offending argument.
std::expected<ParsedArguments, std::string> parseArguments(std::span<const std::string> arguments,
                                                           const std::string& environmentDisplay);
std::string usageText();

}  // namespace screenshot

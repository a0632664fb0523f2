#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace gallery {

struct Options {
  // Where to write the pictures; empty to show the gallery on the display instead.
  std::filesystem::path out;
  // Seconds after the figures appeared at which pictures are taken.
  std::vector<double> times = {0, 0.25, 0.5, 1, 1.5};
  // Fixes the arcs' random lengths and speeds.
  std::optional<std::uint64_t> seed;
};

struct ParsedArguments {
  Options options;
  bool helpRequested = false;
};

// Parses the command line (without the program name). Errors name the offending argument.
std::expected<ParsedArguments, std::string> parseArguments(std::span<const std::string> arguments);
std::string usageText();

// The picture taken `seconds` after the figures appeared: "gallery-0.25.png".
std::string pictureName(double seconds);

}  // namespace gallery

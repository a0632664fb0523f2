#include "indicator-gallery/gallery_options.h"

#include <fmt/format.h>

#include <charconv>
#include <cmath>

namespace gallery {
namespace {

constexpr std::size_t kMostTimes = 100;
constexpr double kLatestTime = 3600;

std::expected<std::vector<double>, std::string> parseTimes(const std::string& text) {
  std::vector<double> times;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::string item = text.substr(start, comma - start);
    double value = 0;
    const auto [end, error] = std::from_chars(item.data(), item.data() + item.size(), value);
    if (item.empty() || error != std::errc() || end != item.data() + item.size() ||
        !std::isfinite(value) || value < 0 || value > kLatestTime) {
      return std::unexpected(
          fmt::format("--at: \"{}\" is not a time from 0 to {} seconds", item, kLatestTime));
    }
    if (times.size() == kMostTimes) {
      return std::unexpected(fmt::format("--at: at most {} times", kMostTimes));
    }
    times.push_back(value);
    start = comma + 1;
  }
  return times;
}

}  // namespace

std::string usageText() {
  return "usage: tovarine-indicator-gallery [--out DIR [--at T1,T2,...]] [--seed N]\n"
         "Shows every busy-indicator figure moving. With --out, paints them offscreen at the\n"
         "given seconds after they appeared (default 0,0.25,0.5,1,1.5) and writes\n"
         "DIR/gallery-<seconds>.png for each. --seed fixes the arcs' random draws.\n";
}

std::expected<ParsedArguments, std::string> parseArguments(std::span<const std::string> arguments) {
  ParsedArguments parsed;
  bool timesGiven = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--help" || argument == "-h") {
      parsed.helpRequested = true;
      continue;
    }
    if (argument != "--out" && argument != "--at" && argument != "--seed") {
      return std::unexpected(fmt::format("unknown option {}", argument));
    }
    if (i + 1 >= arguments.size() || arguments[i + 1].empty()) {
      return std::unexpected(fmt::format("{} needs a value", argument));
    }
    const std::string& value = arguments[++i];
    if (argument == "--out") {
      parsed.options.out = value;
    } else if (argument == "--at") {
      auto times = parseTimes(value);
      if (!times) return std::unexpected(times.error());
      parsed.options.times = std::move(*times);
      timesGiven = true;
    } else {
      std::uint64_t seed = 0;
      const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seed);
      if (error != std::errc() || end != value.data() + value.size()) {
        return std::unexpected(fmt::format("--seed: \"{}\" is not a whole number", value));
      }
      parsed.options.seed = seed;
    }
  }
  if (timesGiven && parsed.options.out.empty() && !parsed.helpRequested) {
    return std::unexpected("--at needs --out");
  }
  return parsed;
}

std::string pictureName(double seconds) {
  return fmt::format("gallery-{}.png", seconds);
}

}  // namespace gallery

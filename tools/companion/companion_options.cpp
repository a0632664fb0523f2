#include "companion/companion_options.h"

#include <fmt/format.h>

#include <charconv>
#include <limits>

namespace streaming::companion {

namespace {

std::optional<std::int64_t> parseInteger(std::string_view text) {
  std::int64_t value = 0;
  const auto* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || text.empty()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<ScriptAction> scriptActionNamed(std::string_view name) {
  if (name == "unknown-type") return ScriptAction::unknownType;
  if (name == "oversized") return ScriptAction::oversized;
  if (name == "garbage") return ScriptAction::garbage;
  if (name == "close") return ScriptAction::close;
  return std::nullopt;
}

std::string usageText() {
  return "usage: tovarine-companion [--port N] [--name TEXT] [--width PX] [--height PX]\n"
         "                          [--ppi N] [--save DIR] [--script ACTION]... [--quiet]\n"
         "Plays the companion device on 127.0.0.1: describes its screen, answers pings and\n"
         "checks every screen image it receives.\n"
         "ACTION, run in order after the description: unknown-type, oversized, garbage, close\n";
}

std::expected<ParsedArguments, std::string> parseArguments(std::span<const std::string> arguments) {
  ParsedArguments parsed;
  Options& options = parsed.options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--help" || argument == "-h") {
      parsed.helpRequested = true;
      continue;
    }
    if (argument == "--quiet") {
      options.quiet = true;
      continue;
    }
    if (i + 1 >= arguments.size()) {
      return std::unexpected(fmt::format("{} needs a value", argument));
    }
    const std::string& value = arguments[++i];
    auto integerIn = [&](std::int64_t low,
                         std::int64_t high) -> std::expected<std::int64_t, std::string> {
      auto number = parseInteger(value);
      if (!number || *number < low || *number > high) {
        return std::unexpected(fmt::format("{} expects a whole number from {} to {}, not \"{}\"",
                                           argument, low, high, value));
      }
      return *number;
    };
    if (argument == "--port") {
      auto number = integerIn(0, 65535);
      if (!number) return std::unexpected(number.error());
      options.port = static_cast<std::uint16_t>(*number);
    } else if (argument == "--name") {
      options.name = value;
    } else if (argument == "--width" || argument == "--height" || argument == "--ppi") {
      // The application draws onto the height less 20 pixels, so a screen needs more than that.
      auto number = integerIn(argument == "--height" ? 21 : 1, 16384);
      if (!number) return std::unexpected(number.error());
      const auto n = static_cast<std::int32_t>(*number);
      if (argument == "--width") {
        options.width = n;
      } else if (argument == "--height") {
        options.height = n;
      } else {
        options.ppi = n;
      }
    } else if (argument == "--save") {
      if (value.empty()) return std::unexpected("--save needs a directory");
      options.saveDirectory = std::filesystem::path(value);
    } else if (argument == "--script") {
      auto action = scriptActionNamed(value);
      if (!action) return std::unexpected(fmt::format("unknown script action \"{}\"", value));
      options.script.push_back(*action);
    } else {
      return std::unexpected(fmt::format("unknown option {}", argument));
    }
  }
  return parsed;
}

}  // namespace streaming::companion

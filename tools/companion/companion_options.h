#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace streaming::companion {

// Misbehaviour a test can ask of the simulator once it has described itself.
enum class ScriptAction {
  unknownType,  // a frame of a type the application does not know (104)
  oversized,    // a header announcing more than the channel accepts, then nothing
  garbage,      // bytes that are no frame header at all
  close,        // hang up
};

struct Options {
  std::uint16_t port = 2345;  // 0 picks a free port
  std::string name = "Companion Simulator";
  std::int32_t width = 1024;
  std::int32_t height = 768;
  std::int32_t ppi = 132;
  std::optional<std::filesystem::path> saveDirectory;  // each received image as NNNNNN.jpg
  std::vector<ScriptAction> script;
  bool quiet = false;  // no statistics lines
};

struct ParsedArguments {
  Options options;
  bool helpRequested = false;
};

// Parses the command line (without the program name). Errors name the offending argument.
std::expected<ParsedArguments, std::string> parseArguments(std::span<const std::string> arguments);
std::string usageText();

std::optional<ScriptAction> scriptActionNamed(std::string_view name);

}  // namespace streaming::companion

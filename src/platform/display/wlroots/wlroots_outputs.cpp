#include "platform/display/wlroots/wlroots_outputs.h"

#include <algorithm>
#include <filesystem>

#include <nlohmann/json.hpp>

namespace platform::wlroots {

namespace {
constexpr std::size_t kMaxOwnedOutputs = 256;
}

std::vector<OwnedOutput> parseOwnedOutputs(std::string_view text) {
  std::vector<OwnedOutput> outputs;
  auto parsed = nlohmann::json::parse(text, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_array()) return outputs;
  for (const auto& entry : parsed) {
    if (outputs.size() >= kMaxOwnedOutputs) break;
    if (!entry.is_object()) continue;
    const auto name = entry.find("name");
    const auto pid = entry.find("pid");
    const auto start = entry.find("start");
    const auto boot = entry.find("boot");
    if (name == entry.end() || !name->is_string() || name->get<std::string>().empty() ||
        pid == entry.end() || !pid->is_number_integer() || pid->get<std::int64_t>() < 0 ||
        start == entry.end() || !start->is_number_unsigned() || boot == entry.end() ||
        !boot->is_string()) {
      continue;
    }
    OwnedOutput output;
    output.name = name->get<std::string>();
    output.owner.pid = pid->get<std::int64_t>();
    output.owner.startTime = start->get<std::uint64_t>();
    output.owner.bootID = boot->get<std::string>();
    if (std::none_of(outputs.begin(), outputs.end(),
                     [&](const OwnedOutput& known) { return known.name == output.name; })) {
      outputs.push_back(std::move(output));
    }
  }
  return outputs;
}

std::string formatOwnedOutputs(const std::vector<OwnedOutput>& outputs) {
  auto list = nlohmann::json::array();
  for (const auto& output : outputs) {
    list.push_back({{"name", output.name},
                    {"pid", output.owner.pid},
                    {"start", output.owner.startTime},
                    {"boot", output.owner.bootID}});
  }
  return list.dump();
}

bool isParked(const OutputInfo& output) {
  return output.width == kParkedSide && output.height == kParkedSide;
}

std::pair<std::int32_t, std::int32_t> parkingPlace(const std::vector<OutputInfo>& outputs,
                                                   std::string_view leaving) {
  for (const auto& output : outputs) {
    if (output.active && !isParked(output) && output.name != leaving) {
      return {output.x, output.y};
    }
  }
  return {0, 0};
}

std::vector<FloatingWindow> floatingWindowsOn(const nlohmann::json& tree, std::string_view output) {
  std::vector<FloatingWindow> found;
  // Bounded: a tree deeper than any desktop makes is not walked further.
  const auto walk = [&](const auto& self, const nlohmann::json& node, bool onOutput,
                        int depth) -> void {
    if (!node.is_object() || depth > 64) return;
    if (node.value("type", "") == "output") onOutput = node.value("name", "") == output;
    const auto floating = node.find("floating_nodes");
    if (onOutput && floating != node.end() && floating->is_array()) {
      for (const auto& window : *floating) {
        const auto rect = window.find("rect");
        if (!window.is_object() || rect == window.end() || !rect->is_object()) continue;
        FloatingWindow w;
        w.id = window.value("id", std::int64_t{0});
        w.x = rect->value("x", 0);
        w.y = rect->value("y", 0);
        w.width = static_cast<std::uint32_t>(std::max(0, rect->value("width", 0)));
        w.height = static_cast<std::uint32_t>(std::max(0, rect->value("height", 0)));
        if (w.id > 0) found.push_back(w);
      }
    }
    const auto children = node.find("nodes");
    if (children != node.end() && children->is_array()) {
      for (const auto& child : *children)
        self(self, child, onOutput, depth + 1);
    }
  };
  walk(walk, tree, false, 0);
  return found;
}

std::vector<std::string> bringOntoCommands(const std::vector<FloatingWindow>& windows,
                                           const OutputInfo& output) {
  std::vector<std::string> commands;
  const std::int64_t left = output.x, top = output.y;
  const std::int64_t right = left + output.width, bottom = top + output.height;
  for (const auto& w : windows) {
    if (w.x >= left && w.y >= top && std::int64_t{w.x} + w.width <= right &&
        std::int64_t{w.y} + w.height <= bottom) {
      continue;
    }
    const std::string which = "[con_id=" + std::to_string(w.id) + "] ";
    if (w.width > output.width || w.height > output.height) {
      commands.push_back(which + "resize set " + std::to_string(std::min(w.width, output.width)) +
                         " " + std::to_string(std::min(w.height, output.height)));
    }
    commands.push_back(which + "move position center");
  }
  return commands;
}

std::int32_t rightEdge(const std::vector<OutputInfo>& outputs, std::string_view except) {
  std::int64_t edge = 0;
  for (const auto& output : outputs) {
    if (!output.active || isParked(output) || output.name == except) continue;
    edge = std::max(edge, std::int64_t{output.x} + output.width);
  }
  return static_cast<std::int32_t>(std::min<std::int64_t>(edge, std::int64_t{1} << 30));
}

std::string returnOutput(const std::vector<OutputInfo>& outputs,
                         const std::vector<WorkspaceInfo>& workspaces, std::string_view leaving,
                         std::string_view preferred, const std::vector<std::string>& ours) {
  auto real = [&](std::string_view name) {
    if (name.empty() || name == leaving ||
        std::find(ours.begin(), ours.end(), name) != ours.end()) {
      return false;
    }
    return std::any_of(outputs.begin(), outputs.end(), [&](const OutputInfo& output) {
      return output.name == name && output.active && !isParked(output);
    });
  };
  if (real(preferred)) return std::string(preferred);
  for (const auto& workspace : workspaces) {
    if (workspace.focused && real(workspace.output)) return workspace.output;
  }
  for (const auto& output : outputs) {
    if (real(output.name)) return output.name;
  }
  return {};
}

std::vector<std::string> evacuationCommands(const std::vector<WorkspaceInfo>& workspaces,
                                            std::string_view leaving, std::string_view target) {
  std::vector<std::string> commands;
  if (target.empty() || target == leaving) return commands;
  std::vector<const WorkspaceInfo*> moving;
  bool focusHere = false;
  for (const auto& workspace : workspaces) {
    if (workspace.output != leaving) continue;
    focusHere = focusHere || workspace.focused;
    if (!workspace.empty) moving.push_back(&workspace);
  }
  if (moving.empty() && !focusHere) return commands;
  std::stable_partition(moving.begin(), moving.end(),
                        [](const WorkspaceInfo* workspace) { return !workspace->visible; });
  for (const WorkspaceInfo* workspace : moving) {
    commands.push_back("workspace --no-auto-back-and-forth " + quotedArgument(workspace->name));
    commands.push_back("move workspace to output " + quotedArgument(target));
  }
  commands.push_back("focus output " + quotedArgument(target));
  return commands;
}

std::string ownedOutputsPath(const std::string& socketPath) {
  const std::filesystem::path socket(socketPath);
  return (socket.parent_path() / ("tovarine-outputs." + socket.filename().string() + ".json"))
      .string();
}

}  // namespace platform::wlroots

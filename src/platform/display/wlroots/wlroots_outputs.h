#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/display/monitor_owners.h"
#include "platform/display/wlroots/wlroots_ipc.h"

namespace platform::wlroots {

// The compositor names a new output itself (HEADLESS-N), cannot label it, and before 1.8
// cannot remove it. A file beside its IPC socket therefore lists the outputs this program
// made and who holds each, so that a later start can take back the outputs of a process that
// died and reuse the ones that were given back ("parked": shrunk into a corner of a real output).
struct OwnedOutput {
  std::string name;
  // The holder; a record with pid 0 is a parked output, free for the next display.
  MonitorOwnerRecord owner;
  bool parked() const { return owner.pid == 0; }
  bool operator==(const OwnedOutput&) const = default;
};

// Entries that do not parse are dropped: the file is anyone's to write.
std::vector<OwnedOutput> parseOwnedOutputs(std::string_view text);
std::string formatOwnedOutputs(const std::vector<OwnedOutput>& outputs);

// A parked output is 16×16. sway 1.7 can neither remove nor disable a headless output, so a
// given-back one is parked where it adds nothing to the layout: over the top left corner of a
// real output (the first real one; the origin when there is none). The compositor finds the
// earlier output first at any point, so the pointer and new windows never land on it.
inline constexpr std::uint32_t kParkedSide = 16;
bool isParked(const OutputInfo& output);
// Where `leaving` is parked among `outputs`.
std::pair<std::int32_t, std::int32_t> parkingPlace(const std::vector<OutputInfo>& outputs,
                                                   std::string_view leaving);

// A floating window of the compositor's tree: its id and its place in the layout.
struct FloatingWindow {
  std::int64_t id = 0;
  std::int32_t x = 0, y = 0;
  std::uint32_t width = 0, height = 0;
};
// The floating windows on `output` in a tree the compositor gave (its get_tree reply).
std::vector<FloatingWindow> floatingWindowsOn(const nlohmann::json& tree, std::string_view output);
// The commands that bring every one of `windows` that is not wholly on `output` onto it:
// centred, and made no larger than the output first.
std::vector<std::string> bringOntoCommands(const std::vector<FloatingWindow>& windows,
                                           const OutputInfo& output);

// The x where a new output goes: right of every active output that is not parked, leaving
// out `except` (the output being placed).
std::int32_t rightEdge(const std::vector<OutputInfo>& outputs, std::string_view except);

// The output a display's workspaces go to when the display goes: `preferred` (the output that
// had the focus before the display appeared) while it is a real one, else the focused output
// when real, else the first real one. Real: active, not parked, not `leaving` and not one of
// `ours`. Empty when there is none.
std::string returnOutput(const std::vector<OutputInfo>& outputs,
                         const std::vector<WorkspaceInfo>& workspaces, std::string_view leaving,
                         std::string_view preferred, const std::vector<std::string>& ours);

// The commands that take the windows and the focus off `leaving`: its workspaces that hold
// windows move to `target` (the one visible on `leaving` last, so that it is the one shown), and
// `target` gets the focus. A parked output keeps its workspaces, their windows and the focus, and
// the compositor opens new windows on the focused output: without this they would all be where
// nobody can see them. Empty workspaces stay, so that the one shown on `target` stays shown.
// Nothing when there is nothing to take.
std::vector<std::string> evacuationCommands(const std::vector<WorkspaceInfo>& workspaces,
                                            std::string_view leaving, std::string_view target);

// The owned-outputs file that belongs to the compositor behind `socketPath`.
std::string ownedOutputsPath(const std::string& socketPath);

}  // namespace platform::wlroots

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/display/monitor_owners.h"
#include "platform/display/wlroots/wlroots_ipc.h"

namespace platform::wlroots {

// The compositor names a new output itself (HEADLESS-N), cannot label it, and before 1.8
// cannot remove it. A file beside its IPC socket therefore lists the outputs this program
// made and who holds each, so that a later start can take back the outputs of a process that
// died and reuse the ones that were given back ("parked": shrunk far outside the layout).
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

// Where a parked output goes: 16×16, far right of and below anything a desktop lays out.
inline constexpr std::uint32_t kParkedSide = 16;
inline constexpr std::int32_t kParkedX = 100000, kParkedY = 100000;
bool isParked(const OutputInfo& output);

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

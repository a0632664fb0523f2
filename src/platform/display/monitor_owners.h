#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The root-window property that names the owner of every virtual monitor, so that a later
// start can tell the monitors of a process that died (even by SIGKILL) from those of a live
// one, remove them and give the screen its size back.
inline constexpr const char* kMonitorOwnersProperty = "_TOVARINE_VIRTUAL_MONITORS";

// One line of it: "<monitor atom> <pid> <start time> <boot id> <width>x<height>".
struct MonitorOwnerRecord {
  std::uint32_t monitor = 0;
  std::int64_t pid = 0;
  // When the owner started, in clock ticks since boot: a pid alone may be reused.
  std::uint64_t startTime = 0;
  // The kernel's boot id: a record from another machine (or boot) says nothing about ours.
  std::string bootID;
  // The screen's size before the owner added its first monitor.
  std::uint16_t baseWidth = 0, baseHeight = 0;

  bool operator==(const MonitorOwnerRecord&) const = default;
};

// Lines that do not parse are dropped: the property is anyone's to write.
std::vector<MonitorOwnerRecord> parseMonitorOwners(std::string_view text);
std::string formatMonitorOwners(const std::vector<MonitorOwnerRecord>& records);

// This process as an owner of `monitor`.
MonitorOwnerRecord ownMonitorRecord(std::uint32_t monitor, std::uint16_t baseWidth,
                                    std::uint16_t baseHeight);

enum class MonitorOwnerState {
  alive,      // the owner runs on this machine
  gone,       // it ran on this machine and has ended
  elsewhere,  // another machine or boot: not ours to judge
};
MonitorOwnerState monitorOwnerState(const MonitorOwnerRecord& record);

// The start time of a process, from /proc; nullopt when it does not exist or has ended (a
// zombie).
std::optional<std::uint64_t> processStartTime(std::int64_t pid);
// /proc/sys/kernel/random/boot_id, without its line break; empty when unreadable.
const std::string& currentBootID();

}  // namespace platform

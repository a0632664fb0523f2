#pragma once

#include <sys/types.h>

#include <expected>
#include <memory>
#include <string>
#include <vector>

namespace testing_display {

// A private desktop of GNOME's compositor: its own session bus, PipeWire with its session
// manager, and mutter headless on Wayland, in a runtime folder of its own.
class GnomeSession {
 public:
  // Whether every program it needs is installed; names the first one missing.
  static std::string missingProgram();
  static std::expected<std::unique_ptr<GnomeSession>, std::string> start();
  ~GnomeSession();
  GnomeSession(const GnomeSession&) = delete;
  GnomeSession& operator=(const GnomeSession&) = delete;

  const std::string& busAddress() const { return busAddress_; }
  const std::string& runtimeDir() const { return runtimeDir_; }
  std::string waylandDisplay() const { return runtimeDir_ + "/wayland-0"; }

  // The monitors GNOME lists (DisplayConfig), as width×height of their current modes.
  std::expected<std::vector<std::pair<int, int>>, std::string> monitorSizes() const;

 private:
  GnomeSession() = default;
  pid_t spawn(const std::vector<std::string>& arguments, const std::string& logName,
              int stdoutFd = -1);
  std::vector<pid_t> pids_;
  std::string runtimeDir_, busAddress_;
};

}  // namespace testing_display

#pragma once

#include <sys/types.h>

#include <expected>
#include <memory>
#include <string>

namespace testing_display {

// A sway of the test's own on its headless backend, with a private runtime folder and one
// output HEADLESS-1 of 1280×720 at the origin. Sway refuses to run as root: as root it runs
// as nobody, in a runtime folder that nobody owns.
class SwaySession {
 public:
  static bool available();
  static std::expected<std::unique_ptr<SwaySession>, std::string> start();
  ~SwaySession();
  SwaySession(const SwaySession&) = delete;
  SwaySession& operator=(const SwaySession&) = delete;

  const std::string& ipcSocket() const { return ipcSocket_; }
  // The Wayland socket as a path.
  const std::string& waylandDisplay() const { return waylandDisplay_; }
  const std::string& runtimeDir() const { return runtimeDir_; }

 private:
  SwaySession() = default;
  pid_t pid_ = -1;
  std::string runtimeDir_, ipcSocket_, waylandDisplay_;
};

}  // namespace testing_display

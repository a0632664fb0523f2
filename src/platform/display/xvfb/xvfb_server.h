#pragma once

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// One Xvfb process. Its display number is always learnt through -displayfd, so servers started
// at the same time never collide; the program is started without a shell.
class XvfbServer {
 public:
  struct Options {
    std::uint32_t width = 1024;
    std::uint32_t height = 768;
    // Passed as -dpi when present.
    std::optional<std::uint32_t> dpi;
    // Appended after the standard arguments (for example "-noreset").
    std::vector<std::string> extraArguments;
    // Looked up in PATH unless it contains a slash.
    std::string program = "Xvfb";
    // How long to wait for the server to announce its display.
    double readyTimeoutSeconds = 15.0;
  };

  // Starts the server and waits until it accepts connections.
  static std::expected<std::unique_ptr<XvfbServer>, std::string> launch(const Options& options);

  // Ends the server (see `terminate`).
  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  // ":<number>".
  const std::string& displayName() const { return displayName_; }
  pid_t pid() const { return pid_; }

  // Asks the server to end, waits for it and kills it when it does not end in time.
  // Idempotent.
  void terminate();
  // Sends a signal without waiting (tests use SIGKILL to make a server vanish).
  void sendSignal(int signal);

  // Whether `program` can be started (exists and is executable, searching PATH).
  static bool isAvailable(const std::string& program = "Xvfb");

 private:
  XvfbServer(pid_t pid, std::string displayName)
      : pid_(pid), displayName_(std::move(displayName)) {}

  pid_t pid_;
  std::string displayName_;
  bool reaped_ = false;
};

}  // namespace platform

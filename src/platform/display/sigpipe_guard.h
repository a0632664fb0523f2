#pragma once

namespace platform {

// Writing to the socket of a server that went away raises SIGPIPE, which would end the
// process. While a guard lives, SIGPIPE is blocked on this thread and a SIGPIPE raised
// meanwhile is discarded when the guard ends, so the write only fails.
class SigpipeGuard {
 public:
  SigpipeGuard();
  ~SigpipeGuard();
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  bool wasBlocked_ = true;
};

}  // namespace platform

#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace bench {

// Draws on a Wayland compositor's output from a thread and connection of its own, as the X
// animation does: a window holding the desktop picture, fullscreen or tiled over the output, on
// which a square moves every 1/60 s. Each commit damages exactly the square's old and new
// places, so the compositor sees what an application moving one thing would change. Each commit
// asks the compositor whether it was shown: the frames it presented are the frames it drew with
// the animation in them, the rate a capture of the output can at most reach.
class WaylandAnimation {
 public:
  WaylandAnimation(const std::string& waylandDisplay, int width, int height,
                   const std::vector<std::uint8_t>& picture, int side, double hertz,
                   bool fullscreen);
  ~WaylandAnimation();
  WaylandAnimation(const WaylandAnimation&) = delete;
  WaylandAnimation& operator=(const WaylandAnimation&) = delete;

  bool running() const { return ready_; }
  std::uint64_t drawn() const { return drawn_.load(); }
  // Commits the compositor presented (the others it discarded, drawing a later one instead);
  // nullopt where it offers no presentation feedback or presents nothing at all.
  std::optional<std::uint64_t> shown() const;

  struct State;

 private:
  void run();
  State* state_ = nullptr;
  bool ready_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> drawn_{0};
  std::thread thread_;
};

}  // namespace bench

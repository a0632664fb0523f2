#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// The PipeWire video stream of a GNOME virtual monitor, asked for in BGRx at one fixed size;
// the compositor makes the monitor when the format is agreed and removes it when the stream
// goes. The newest frame is kept (a monitor that does not change sends nothing, so a capture
// that starts late must still find the picture), and whoever consumes the frames is woken
// when one arrives.
class MutterVideoStream {
 public:
  // Connects to the PipeWire node `node` and waits until the format is agreed.
  static std::expected<std::unique_ptr<MutterVideoStream>, std::string> connect(
      std::uint32_t node, std::uint32_t width, std::uint32_t height);
  ~MutterVideoStream();
  MutterVideoStream(const MutterVideoStream&) = delete;
  MutterVideoStream& operator=(const MutterVideoStream&) = delete;

  std::uint32_t width() const;
  std::uint32_t height() const;

  // One consumer at a time; `wake` runs on the stream's thread when a frame arrives (and at
  // once when a frame is already there).
  void attach(std::function<void()> wake);
  void detach();
  // Swaps the newest frame (rows of width×4 bytes) into `frame` when one arrived since the
  // last take.
  bool takeFrame(std::vector<std::uint8_t>& frame);
  // Disconnects from the compositor whoever still holds the stream (the monitor goes with
  // it); a consumer then finds it ended.
  void close();
  // Why the stream ended; empty while it runs.
  std::string failure() const;

  struct State;

 private:
  explicit MutterVideoStream(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace platform

#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/display/capture_backend.h"

namespace platform {

// The PipeWire video stream of a GNOME virtual monitor, asked for in BGRx at one fixed size;
// the compositor makes the monitor when the format is agreed and removes it when the stream
// goes. The newest frame's buffer is held rather than copied (a monitor that does not change
// sends nothing, so a capture that starts late must still find the picture; and a copy of a
// large frame costs as much as its change detection), the buffer before it goes back to the
// compositor as soon as no reader has it, and whoever consumes the frames is woken when one
// arrives.
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
  // The newest frame's rows as the compositor's buffer holds them, and what changed since the
  // frame the last read saw: the union of the damage the compositor reported for every frame
  // in between, or nothing where one of them came without it (the reader then compares).
  struct FrameView {
    const std::uint8_t* pixels = nullptr;
    std::size_t stride = 0;
    std::optional<PixelArea> damage;
  };
  // Whether a frame arrived since the last read.
  bool hasFreshFrame() const;
  // Lends the newest frame to `read` when one arrived since the last read; the buffer stays
  // out of the compositor's hands until `read` returns. False when there was none.
  bool readFrame(const std::function<void(const FrameView&)>& read);
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

#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/display/sample_buffer.h"
#include "platform/tether/tl_channel.h"
#include "streaming/frame_encoding.h"
#include "streaming/frame_gate.h"
#include "streaming/frame_report.h"
#include "streaming/magic_packet.h"

namespace streaming {

// The road every captured frame of the device's display travels, stage by stage:
// capture (a frame handed over with the device description it is made for) → gate (numbered,
// at most two in flight, the newest one waiting) → encode (the device's JPEG, in the frame's own
// task) → send (one screen image on the current channel, in the order the gate let the frames
// go). It counts what became of every frame and reports each one written to the channel.
// Thread-safe. A frame's task holds the road only while it counts or sends, so the road goes as
// soon as its owner lets go of it, and the frames still on the way are dropped.
class FrameRoad : public std::enable_shared_from_this<FrameRoad> {
 public:
  // The channel frames are sent on now; null while no device is connected. Called from the
  // frames' tasks.
  using ChannelSource = std::function<std::shared_ptr<platform::TLChannel>()>;

  static std::shared_ptr<FrameRoad> make(ChannelSource channel);
  FrameRoad(const FrameRoad&) = delete;
  FrameRoad& operator=(const FrameRoad&) = delete;

  // The capture stage: one frame for the device of this description enters the gate, and goes
  // on in a task of its own unless it has to wait for a free slot.
  void capture(const std::shared_ptr<platform::SampleBuffer>& sample,
               std::shared_ptr<const MagicPacket> packet);

  // The encode and send stages of one frame the gate let through, as its task runs them. A
  // frame whose road is gone is still encoded (and its size printed) but sent nowhere.
  static void run(const FrameGate::Frame& frame, const std::weak_ptr<FrameRoad>& road);

  FrameStatistics statistics() const;
  // Called (on the channel's thread) for every frame written to the channel.
  void setReportHandler(std::function<void(const FrameReport&)> handler);

 private:
  explicit FrameRoad(ChannelSource channel);
  void startTask(FrameGate::Frame frame);
  static std::optional<EncodedFrame> encode(const FrameGate::Frame& frame, FrameReport& report);
  void send(const FrameGate::Frame& frame, std::optional<EncodedFrame>& encoded,
            FrameReport report);
  void finished();
  void sent(const FrameReport& report);

  const ChannelSource channel_;
  FrameGate gate_;
  std::atomic<std::uint64_t> unencodable_{0};
  std::atomic<std::uint64_t> unsent_{0};
  std::atomic<std::uint64_t> sent_{0};
  std::atomic<std::uint64_t> bytesSent_{0};
  mutable std::mutex reportMutex_;
  std::function<void(const FrameReport&)> reportHandler_;
};

}  // namespace streaming

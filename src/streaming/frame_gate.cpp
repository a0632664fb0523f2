#include "streaming/frame_gate.h"

#include <utility>

namespace streaming {

std::optional<FrameGate::Frame> FrameGate::admit(std::shared_ptr<platform::SampleBuffer> sample,
                                                 std::shared_ptr<const MagicPacket> packet,
                                                 double receivedAt) {
  std::lock_guard lock(mutex_);
  Frame frame{std::move(sample), std::move(packet), nextSequence_++, receivedAt};
  if (inFlight_ < kMaxFramesInFlight) {
    ++inFlight_;
    return frame;
  }
  if (waiting_) ++dropped_;
  waiting_ = std::move(frame);
  return std::nullopt;
}

std::optional<FrameGate::Frame> FrameGate::finish() {
  std::lock_guard lock(mutex_);
  if (waiting_) {
    // The slot passes straight to the waiting frame.
    return std::exchange(waiting_, std::nullopt);
  }
  if (inFlight_ > 0) --inFlight_;
  return std::nullopt;
}

int FrameGate::inFlight() const {
  std::lock_guard lock(mutex_);
  return inFlight_;
}

bool FrameGate::hasWaiting() const {
  std::lock_guard lock(mutex_);
  return waiting_.has_value();
}

std::uint64_t FrameGate::droppedCount() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

std::uint64_t FrameGate::staleCount() const {
  std::lock_guard lock(mutex_);
  return stale_;
}

std::uint64_t FrameGate::admittedCount() const {
  std::lock_guard lock(mutex_);
  return nextSequence_ - 1;
}

}  // namespace streaming

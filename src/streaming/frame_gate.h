#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/display/sample_buffer.h"
#include "streaming/magic_packet.h"

namespace streaming {

// Keeps the frames of a channel from piling up or overtaking each other. At most
// `kMaxFramesInFlight` frames are being encoded or sent at once; a frame that arrives while
// every slot is taken waits in a single place, where a newer frame replaces it (the replaced one
// counts as dropped), so the newest picture always gets through once a slot frees. Frames are
// numbered as they arrive, and a frame that is ready only after a newer one went out is not
// sent. Thread-safe.
class FrameGate {
 public:
  static constexpr int kMaxFramesInFlight = 2;

  struct Frame {
    std::shared_ptr<platform::SampleBuffer> sample;
    std::shared_ptr<const MagicPacket> packet;
    std::uint64_t sequence = 0;
    double receivedAt = 0;
  };

  // Numbers the frame; returns it when it may start now, else keeps it waiting.
  std::optional<Frame> admit(std::shared_ptr<platform::SampleBuffer> sample,
                             std::shared_ptr<const MagicPacket> packet, double receivedAt);

  // A started frame is done (sent, dropped or failed): frees its slot and returns the waiting
  // frame, which takes the slot at once, if there is one.
  std::optional<Frame> finish();

  // Calls `send` (under a lock shared by every send, so the channel receives the frames in the
  // order they were allowed) unless a newer frame was already sent. Returns whether it was
  // called.
  template <class Send>
  bool sendInOrder(std::uint64_t sequence, Send&& send) {
    std::lock_guard lock(sendMutex_);
    if (sequence < lastSent_) {
      std::lock_guard countLock(mutex_);
      ++stale_;
      return false;
    }
    lastSent_ = sequence;
    send();
    return true;
  }

  int inFlight() const;
  bool hasWaiting() const;
  std::uint64_t droppedCount() const;
  std::uint64_t staleCount() const;
  std::uint64_t admittedCount() const;

 private:
  mutable std::mutex mutex_;
  int inFlight_ = 0;
  std::optional<Frame> waiting_;
  std::uint64_t nextSequence_ = 1;
  std::uint64_t dropped_ = 0;
  std::uint64_t stale_ = 0;

  std::mutex sendMutex_;
  std::uint64_t lastSent_ = 0;
};

}  // namespace streaming

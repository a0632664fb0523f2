#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/display/sample_buffer.h"
#include "platform/graphics/buffer_pool.h"
#include "platform/graphics/image.h"
#include "streaming/magic_packet.h"

namespace streaming {

// The device keeps the bottom rows of its screen for itself; frames are made that much lower.
inline constexpr double kDeviceReservedRows = 20;

// The size the frames of a device are made for: its width by its height less the reserved
// rows. An absent dimension counts as 0 (which then yields no frame).
struct FrameTarget {
  double width = 0;
  double height = 0;
};
FrameTarget frameTargetSize(const MagicPacket& packet);

// The JPEG quality of an image of this size: 1 - 0.7 * min(height / 1080, width / 1920), held
// within [0.1, 1]. Both ratios are taken against a landscape 1920 by 1080 whatever the
// orientation of the device, so tall devices are not penalised twice.
double frameQuality(double width, double height);

// A captured frame as the image a device of the target size is sent: the capture's own pixels
// (read in place, kept alive by the image) when the target is at least 800 by 600, else a black
// canvas of the target size with the capture scaled to its height and centred. Nothing for a
// sample without pixels, in a format other than 8-bit BGRX, or a target below 1 by 1.
std::optional<platform::Image> imageFromSampleBuffer(
    double targetWidth, double targetHeight, const std::shared_ptr<platform::SampleBuffer>& sample);

// One frame ready for the device, with the moments (system uptime) its stages ended.
struct EncodedFrame {
  platform::PooledBytes jpeg;
  int width = 0;
  int height = 0;
  double quality = 0;
  double drawnAt = 0;
  double encodedAt = 0;
};

// The whole conversion of one captured frame for one device description. Nothing when any step
// yields nothing; such a frame is dropped without a word.
std::optional<EncodedFrame> encodeFrame(const std::shared_ptr<platform::SampleBuffer>& sample,
                                        const MagicPacket& packet);

// The console line printed for every encoded frame ("size of image in KB: %f ", 1 KB = 1000
// bytes).
std::string imageSizeLine(std::size_t bytes);

// What became of the frames of a coordinator so far.
struct FrameStatistics {
  std::uint64_t captured = 0;     // handed over while a device description was held
  std::uint64_t dropped = 0;      // replaced by a newer frame while waiting for a free slot
  std::uint64_t stale = 0;        // ready only after a newer frame had gone out
  std::uint64_t unencodable = 0;  // no image or no JPEG could be made
  std::uint64_t unsent = 0;       // no channel, or the channel refused or failed the send
  std::uint64_t sent = 0;         // written to the channel
  std::uint64_t bytesSent = 0;    // JPEG bytes of the frames written
};

// The life of one frame that reached the device's channel, in system uptime, for measuring the
// road.
struct FrameReport {
  std::uint64_t sequence = 0;
  double capturedAt = 0;  // the capture read the pixels
  double receivedAt = 0;  // handed to the coordinator
  double startedAt = 0;   // its encode-and-send task began
  double drawnAt = 0;     // the image for the device was ready
  double encodedAt = 0;   // the JPEG was ready
  double queuedAt = 0;    // handed to the channel
  double sentAt = 0;      // written to the channel
  int width = 0;
  int height = 0;
  std::size_t bytes = 0;
};

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

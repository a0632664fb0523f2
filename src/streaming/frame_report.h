#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <system_error>

#include "platform/tether/tl_error.h"

namespace streaming {

// The console line for a frame the channel did not send. A frame still queued when the channel
// ends is cancelled: that is how every disconnect ends, and the disconnect has its own line.
inline std::optional<std::string> frameSendFailureLine(const std::error_code& error) {
  if (!error || platform::isPOSIXError(error, ECANCELED)) return std::nullopt;
  return "Sending a frame to the tablet failed: " + error.message();
}

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

}  // namespace streaming

#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <system_error>
#include <vector>

namespace platform {

// Bytes of one frame payload.
using TLData = std::vector<std::uint8_t>;

// One frame on the wire: a header of four big-endian unsigned 32-bit integers (version, type,
// tag, payload size) followed by exactly `payload size` bytes.
inline constexpr std::uint32_t kTLProtocolVersion = 1;
inline constexpr std::size_t kTLFrameHeaderSize = 16;
// Nothing the device sends is anywhere near this; a larger announcement is a broken or hostile
// peer, and the channel ends before reserving anything for it.
inline constexpr std::uint32_t kTLMaxPayloadSize = 64u << 20;

struct TLFrameHeader {
  std::uint32_t version = kTLProtocolVersion;
  std::uint32_t type = 0;
  std::uint32_t tag = 0;
  std::uint32_t payloadSize = 0;
};

std::array<std::uint8_t, kTLFrameHeaderSize> encodeFrameHeader(const TLFrameHeader& header);
TLFrameHeader decodeFrameHeader(std::span<const std::uint8_t, kTLFrameHeaderSize> bytes);

// Header and payload in one buffer, ready to write.
TLData encodeWireFrame(std::uint32_t type, std::uint32_t tag,
                       std::span<const std::uint8_t> payload);

// What the receiver wants done with a frame once its header is known.
enum class TLFrameDisposition {
  accept,  // read the payload and hand the frame over
  skip,    // discard the payload as it streams past, without buffering it
  stop,    // stop decoding; the rest of the input is left unread
};

// Receives the decoder's results. Both calls happen inside `feed`.
class TLFrameSink {
 public:
  virtual ~TLFrameSink() = default;
  virtual TLFrameDisposition frameHeaderReceived(const TLFrameHeader& header) = 0;
  // Returns false to stop decoding after this frame.
  virtual bool frameReceived(const TLFrameHeader& header, TLData payload) = 0;
};

// Incremental decoder of a frame stream. The payload buffer only ever grows with bytes that
// actually arrived, so an announced size costs nothing until the peer really sends that much.
class TLFrameDecoder {
 public:
  enum class Status { more, stopped, failed };

  // Decodes as much of `bytes` as possible. After `failed` (see `error()`) or `stopped` the
  // decoder accepts no more input.
  Status feed(std::span<const std::uint8_t> bytes, TLFrameSink& sink);

  // True between frames: a stream may end here without losing anything.
  bool atFrameBoundary() const { return state_ == State::header && headerFill_ == 0; }
  std::error_code error() const { return error_; }
  // Bytes currently reserved for a payload being received.
  std::size_t bufferedCapacity() const { return payload_.capacity(); }

 private:
  enum class State { header, payload, skipping, done };

  State state_ = State::header;
  std::array<std::uint8_t, kTLFrameHeaderSize> headerBytes_{};
  std::size_t headerFill_ = 0;
  TLFrameHeader header_{};
  TLData payload_;
  std::uint32_t remaining_ = 0;
  std::error_code error_;
};

}  // namespace platform

#include "platform/tether/tl_wire_format.h"

#include <algorithm>
#include <utility>

#include "platform/tether/tl_error.h"

namespace platform {

namespace {

void putBigEndian(std::uint8_t* out, std::uint32_t value) {
  out[0] = static_cast<std::uint8_t>(value >> 24);
  out[1] = static_cast<std::uint8_t>(value >> 16);
  out[2] = static_cast<std::uint8_t>(value >> 8);
  out[3] = static_cast<std::uint8_t>(value);
}

std::uint32_t getBigEndian(const std::uint8_t* in) {
  return (std::uint32_t{in[0]} << 24) | (std::uint32_t{in[1]} << 16) | (std::uint32_t{in[2]} << 8) |
         std::uint32_t{in[3]};
}

// The first reservation for a payload; beyond it the buffer grows only as bytes arrive.
constexpr std::size_t kInitialReserve = 64 * 1024;

}  // namespace

std::array<std::uint8_t, kTLFrameHeaderSize> encodeFrameHeader(const TLFrameHeader& header) {
  std::array<std::uint8_t, kTLFrameHeaderSize> bytes{};
  putBigEndian(bytes.data(), header.version);
  putBigEndian(bytes.data() + 4, header.type);
  putBigEndian(bytes.data() + 8, header.tag);
  putBigEndian(bytes.data() + 12, header.payloadSize);
  return bytes;
}

TLFrameHeader decodeFrameHeader(std::span<const std::uint8_t, kTLFrameHeaderSize> bytes) {
  return TLFrameHeader{getBigEndian(bytes.data()), getBigEndian(bytes.data() + 4),
                       getBigEndian(bytes.data() + 8), getBigEndian(bytes.data() + 12)};
}

TLData encodeWireFrame(std::uint32_t type, std::uint32_t tag,
                       std::span<const std::uint8_t> payload) {
  TLData frame;
  frame.reserve(kTLFrameHeaderSize + payload.size());
  const auto header = encodeFrameHeader(
      {kTLProtocolVersion, type, tag, static_cast<std::uint32_t>(payload.size())});
  frame.insert(frame.end(), header.begin(), header.end());
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

TLFrameDecoder::Status TLFrameDecoder::feed(std::span<const std::uint8_t> bytes,
                                            TLFrameSink& sink) {
  if (state_ == State::done) return error_ ? Status::failed : Status::stopped;
  while (true) {
    switch (state_) {
      case State::header: {
        if (bytes.empty()) return Status::more;
        const std::size_t n = std::min(bytes.size(), kTLFrameHeaderSize - headerFill_);
        std::copy_n(bytes.begin(), n, headerBytes_.begin() + headerFill_);
        headerFill_ += n;
        bytes = bytes.subspan(n);
        if (headerFill_ < kTLFrameHeaderSize) return Status::more;
        headerFill_ = 0;
        header_ = decodeFrameHeader(headerBytes_);
        if (header_.version != kTLProtocolVersion) {
          error_ = TLErrorCode::badProtocolVersion;
          state_ = State::done;
          return Status::failed;
        }
        if (header_.payloadSize > kTLMaxPayloadSize) {
          error_ = TLErrorCode::payloadTooLarge;
          state_ = State::done;
          return Status::failed;
        }
        switch (sink.frameHeaderReceived(header_)) {
          case TLFrameDisposition::stop:
            state_ = State::done;
            return Status::stopped;
          case TLFrameDisposition::skip:
            remaining_ = header_.payloadSize;
            state_ = State::skipping;
            break;
          case TLFrameDisposition::accept:
            remaining_ = header_.payloadSize;
            payload_ = TLData();
            payload_.reserve(std::min<std::size_t>(remaining_, kInitialReserve));
            state_ = State::payload;
            break;
        }
        break;
      }
      case State::skipping: {
        const std::size_t n = std::min<std::size_t>(bytes.size(), remaining_);
        bytes = bytes.subspan(n);
        remaining_ -= static_cast<std::uint32_t>(n);
        if (remaining_ > 0) return Status::more;
        state_ = State::header;
        break;
      }
      case State::payload: {
        const std::size_t n = std::min<std::size_t>(bytes.size(), remaining_);
        payload_.insert(payload_.end(), bytes.begin(), bytes.begin() + n);
        bytes = bytes.subspan(n);
        remaining_ -= static_cast<std::uint32_t>(n);
        if (remaining_ > 0) return Status::more;
        state_ = State::header;
        if (!sink.frameReceived(header_, std::exchange(payload_, TLData()))) {
          state_ = State::done;
          return Status::stopped;
        }
        break;
      }
      case State::done:
        return error_ ? Status::failed : Status::stopped;
    }
  }
}

}  // namespace platform

#pragma once

// A web-socket frame reader for tests, written from RFC 6455 section 5.2 and kept apart from the
// library the product frames with, so the tests check the product's bytes against an
// independent reading. Also makes the few frames a test server writes.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace testing_support {

struct TestFrame {
  bool fin = false;
  int rsv = 0;
  int opcode = 0;
  bool masked = false;
  std::array<std::uint8_t, 4> mask{};
  std::vector<std::uint8_t> payload;  // unmasked
  int headerLength = 0;

  std::string text() const { return std::string(payload.begin(), payload.end()); }
  // A close frame's status, or -1 without one.
  int closeCode() const { return payload.size() >= 2 ? payload[0] << 8 | payload[1] : -1; }
};

// Takes one whole frame off the front of `bytes`; none while it is incomplete.
inline std::optional<TestFrame> takeFrame(std::vector<std::uint8_t>& bytes) {
  if (bytes.size() < 2) return std::nullopt;
  TestFrame frame;
  frame.fin = (bytes[0] & 0x80) != 0;
  frame.rsv = (bytes[0] >> 4) & 0x07;
  frame.opcode = bytes[0] & 0x0F;
  frame.masked = (bytes[1] & 0x80) != 0;
  std::uint64_t length = bytes[1] & 0x7F;
  std::size_t at = 2;
  if (length == 126 || length == 127) {
    const std::size_t extra = length == 126 ? 2 : 8;
    if (bytes.size() < at + extra) return std::nullopt;
    length = 0;
    for (std::size_t i = 0; i < extra; ++i)
      length = length << 8 | bytes[at + i];
    at += extra;
  }
  if (frame.masked) {
    if (bytes.size() < at + 4) return std::nullopt;
    for (int i = 0; i < 4; ++i)
      frame.mask[i] = bytes[at + i];
    at += 4;
  }
  if (bytes.size() - at < length) return std::nullopt;
  frame.headerLength = static_cast<int>(at);
  frame.payload.assign(bytes.begin() + at, bytes.begin() + at + length);
  if (frame.masked) {
    for (std::size_t i = 0; i < frame.payload.size(); ++i)
      frame.payload[i] ^= frame.mask[i % 4];
  }
  bytes.erase(bytes.begin(), bytes.begin() + at + length);
  return frame;
}

// An unmasked frame as a server writes it.
inline std::vector<std::uint8_t> serverFrame(int opcode, std::string_view payload,
                                             bool fin = true) {
  std::vector<std::uint8_t> out{static_cast<std::uint8_t>((fin ? 0x80 : 0) | opcode)};
  const std::size_t n = payload.size();
  if (n < 126) {
    out.push_back(static_cast<std::uint8_t>(n));
  } else if (n < 65536) {
    out.insert(out.end(), {126, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
  } else {
    out.push_back(127);
    for (int i = 7; i >= 0; --i)
      out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(n) >> (8 * i)));
  }
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

// Bytes from hexadecimal pairs, spaces ignored.
inline std::vector<std::uint8_t> hexBytes(std::string_view hex) {
  std::vector<std::uint8_t> out;
  int high = -1;
  for (char c : hex) {
    int v = c >= '0' && c <= '9'   ? c - '0'
            : c >= 'a' && c <= 'f' ? c - 'a' + 10
            : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                   : -1;
    if (v < 0) continue;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  return out;
}

}  // namespace testing_support

#include "platform/tether/tl_wire_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "platform/tether/tl_error.h"

namespace platform {
namespace {

struct Recorded {
  TLFrameHeader header;
  TLData payload;
};

// Accepts everything unless told otherwise and keeps what it got.
class RecordingSink : public TLFrameSink {
 public:
  std::vector<TLFrameHeader> headers;
  std::vector<Recorded> frames;
  std::uint32_t skipType = 0xffffffff;
  std::uint32_t stopType = 0xffffffff;

  TLFrameDisposition frameHeaderReceived(const TLFrameHeader& header) override {
    headers.push_back(header);
    if (header.type == stopType) return TLFrameDisposition::stop;
    if (header.type == skipType) return TLFrameDisposition::skip;
    return TLFrameDisposition::accept;
  }
  bool frameReceived(const TLFrameHeader& header, TLData payload) override {
    frames.push_back({header, std::move(payload)});
    return true;
  }
};

TLData bytesOf(std::string_view text) {
  return TLData(text.begin(), text.end());
}

TEST(TLWireFormat, HeaderIsFourBigEndianWordsAndRoundTrips) {
  const auto bytes = encodeFrameHeader({1, 105, 0x01020304, 0x00a0b0c0});
  const std::array<std::uint8_t, 16> expected{0, 0, 0, 1, 0, 0,    0,    105,
                                              1, 2, 3, 4, 0, 0xa0, 0xb0, 0xc0};
  EXPECT_EQ(bytes, expected);
  const auto header = decodeFrameHeader(bytes);
  EXPECT_EQ(header.version, 1u);
  EXPECT_EQ(header.type, 105u);
  EXPECT_EQ(header.tag, 0x01020304u);
  EXPECT_EQ(header.payloadSize, 0x00a0b0c0u);

  const auto frame = encodeWireFrame(101, 0, bytesOf("jpeg"));
  ASSERT_EQ(frame.size(), 20u);
  EXPECT_EQ(frame[15], 4);
  EXPECT_EQ(std::string(frame.begin() + 16, frame.end()), "jpeg");
}

TEST(TLWireFormat, DecodesFramesWhateverTheChunking) {
  TLData stream;
  for (std::uint32_t i = 0; i < 5; ++i) {
    const auto payload = TLData(i * 7, static_cast<std::uint8_t>(i));
    const auto frame = encodeWireFrame(100 + i, i * 11, payload);
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{16}, stream.size()}) {
    TLFrameDecoder decoder;
    RecordingSink sink;
    for (std::size_t offset = 0; offset < stream.size(); offset += chunk) {
      const auto n = std::min(chunk, stream.size() - offset);
      ASSERT_EQ(decoder.feed(std::span(stream).subspan(offset, n), sink),
                TLFrameDecoder::Status::more);
    }
    ASSERT_EQ(sink.frames.size(), 5u) << "chunk " << chunk;
    for (std::uint32_t i = 0; i < 5; ++i) {
      EXPECT_EQ(sink.frames[i].header.type, 100 + i);
      EXPECT_EQ(sink.frames[i].header.tag, i * 11);
      EXPECT_EQ(sink.frames[i].payload, TLData(i * 7, static_cast<std::uint8_t>(i)));
    }
    EXPECT_TRUE(decoder.atFrameBoundary());
  }
}

TEST(TLWireFormat, EmptyPayloadIsDeliveredAtOnceAndMidFrameIsNoBoundary) {
  TLFrameDecoder decoder;
  RecordingSink sink;
  const auto frame = encodeWireFrame(103, 9, {});
  decoder.feed(frame, sink);
  ASSERT_EQ(sink.frames.size(), 1u);
  EXPECT_TRUE(sink.frames[0].payload.empty());

  const auto partial = encodeWireFrame(101, 0, bytesOf("abcdef"));
  decoder.feed(std::span(partial).first(18), sink);
  EXPECT_FALSE(decoder.atFrameBoundary());
  decoder.feed(std::span(partial).first(0), sink);
  EXPECT_FALSE(decoder.atFrameBoundary());
}

TEST(TLWireFormat, WrongVersionAndOversizedAnnouncementsFailBeforeAnyAllocation) {
  {
    TLFrameDecoder decoder;
    RecordingSink sink;
    const auto header = encodeFrameHeader({2, 101, 0, 4});
    EXPECT_EQ(decoder.feed(header, sink), TLFrameDecoder::Status::failed);
    EXPECT_EQ(decoder.error(), std::error_code(TLErrorCode::badProtocolVersion));
    EXPECT_TRUE(sink.headers.empty());
  }
  {
    TLFrameDecoder decoder;
    RecordingSink sink;
    const auto header = encodeFrameHeader({1, 101, 0, kTLMaxPayloadSize + 1});
    EXPECT_EQ(decoder.feed(header, sink), TLFrameDecoder::Status::failed);
    EXPECT_EQ(decoder.error(), std::error_code(TLErrorCode::payloadTooLarge));
    EXPECT_TRUE(sink.headers.empty());
    EXPECT_EQ(decoder.bufferedCapacity(), 0u);
    // Nothing more is decoded after a failure.
    EXPECT_EQ(decoder.feed(encodeWireFrame(100, 0, {}), sink), TLFrameDecoder::Status::failed);
    EXPECT_TRUE(sink.frames.empty());
  }
  {
    // The largest allowed announcement reserves only a small first block.
    TLFrameDecoder decoder;
    RecordingSink sink;
    const auto header = encodeFrameHeader({1, 101, 0, kTLMaxPayloadSize});
    EXPECT_EQ(decoder.feed(header, sink), TLFrameDecoder::Status::more);
    EXPECT_LE(decoder.bufferedCapacity(), 64u * 1024);
  }
}

TEST(TLWireFormat, SkippedFrameIsNotBufferedAndStopLeavesTheRest) {
  TLFrameDecoder decoder;
  RecordingSink sink;
  sink.skipType = 104;
  sink.stopType = 200;
  const TLData big(3u << 20, 0x5a);
  auto stream = encodeWireFrame(104, 1, big);
  const auto next = encodeWireFrame(105, 2, bytesOf("after"));
  stream.insert(stream.end(), next.begin(), next.end());
  const auto stop = encodeWireFrame(200, 3, {});
  stream.insert(stream.end(), stop.begin(), stop.end());
  const auto never = encodeWireFrame(100, 4, {});
  stream.insert(stream.end(), never.begin(), never.end());

  std::size_t maxCapacity = 0;
  TLFrameDecoder::Status status = TLFrameDecoder::Status::more;
  for (std::size_t offset = 0; offset < stream.size() && status == TLFrameDecoder::Status::more;
       offset += 4096) {
    status = decoder.feed(
        std::span(stream).subspan(offset, std::min<std::size_t>(4096, stream.size() - offset)),
        sink);
    maxCapacity = std::max(maxCapacity, decoder.bufferedCapacity());
  }
  EXPECT_EQ(status, TLFrameDecoder::Status::stopped);
  EXPECT_LT(maxCapacity, 4096u);
  ASSERT_EQ(sink.frames.size(), 1u);
  EXPECT_EQ(sink.frames[0].header.type, 105u);
  EXPECT_EQ(sink.frames[0].payload, bytesOf("after"));
  EXPECT_EQ(sink.headers.size(), 3u);
}

// Arbitrary input, valid frames among noise: the decoder never crashes, never reports a frame it
// was not given in full, and never holds much more than it was actually fed.
TEST(TLWireFormat, RandomInputNeverCrashesNorOverAllocates) {
  std::mt19937 random(20240611);
  for (int round = 0; round < 400; ++round) {
    TLData stream;
    const int segments = 1 + static_cast<int>(random() % 8);
    for (int s = 0; s < segments; ++s) {
      switch (random() % 3) {
        case 0: {  // random bytes
          TLData noise(random() % 64);
          for (auto& b : noise)
            b = static_cast<std::uint8_t>(random());
          stream.insert(stream.end(), noise.begin(), noise.end());
          break;
        }
        case 1: {  // a valid frame
          TLData payload(random() % 300);
          for (auto& b : payload)
            b = static_cast<std::uint8_t>(random());
          const auto frame = encodeWireFrame(static_cast<std::uint32_t>(random()),
                                             static_cast<std::uint32_t>(random()), payload);
          stream.insert(stream.end(), frame.begin(), frame.end());
          break;
        }
        default: {  // a version-1 header announcing anything, up to the whole 32-bit range
          const auto header = encodeFrameHeader(
              {1, static_cast<std::uint32_t>(random()), 0,
               static_cast<std::uint32_t>(random() % 2 ? random() : random() % 100000)});
          stream.insert(stream.end(), header.begin(), header.end());
          break;
        }
      }
    }
    TLFrameDecoder decoder;
    RecordingSink sink;
    std::size_t fed = 0;
    auto status = TLFrameDecoder::Status::more;
    while (fed < stream.size() && status == TLFrameDecoder::Status::more) {
      const std::size_t n = std::min<std::size_t>(1 + random() % 97, stream.size() - fed);
      status = decoder.feed(std::span(stream).subspan(fed, n), sink);
      fed += n;
      ASSERT_LE(decoder.bufferedCapacity(), std::max<std::size_t>(64 * 1024, 2 * fed));
    }
    std::size_t delivered = 0;
    for (const auto& frame : sink.frames) {
      EXPECT_EQ(frame.payload.size(), frame.header.payloadSize);
      delivered += kTLFrameHeaderSize + frame.payload.size();
    }
    EXPECT_LE(delivered, fed);
    if (status == TLFrameDecoder::Status::failed) {
      EXPECT_TRUE(decoder.error() == std::error_code(TLErrorCode::badProtocolVersion) ||
                  decoder.error() == std::error_code(TLErrorCode::payloadTooLarge));
    }
  }
}

}  // namespace
}  // namespace platform

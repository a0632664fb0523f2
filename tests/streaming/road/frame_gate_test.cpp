#include "streaming/frame_gate.h"

#include <gtest/gtest.h>

#include <vector>

#include "streaming/road/support/frames.h"

namespace streaming {
namespace {

using road::solidSample;

// The gate between the capture and the channel.
FrameGate::Frame admitted(std::optional<FrameGate::Frame> frame) {
  EXPECT_TRUE(frame);
  return frame.value_or(FrameGate::Frame{});
}

TEST(FrameGate, AtMostTwoFramesRunAndOnlyTheNewestWaits) {
  FrameGate gate;
  auto packet = road::tabletDescription(1024, 768);
  auto s1 = solidSample(8, 8, 1), s2 = solidSample(8, 8, 2), s3 = solidSample(8, 8, 3),
       s4 = solidSample(8, 8, 4), s5 = solidSample(8, 8, 5);
  const auto first = admitted(gate.admit(s1, packet, 0));
  const auto second = admitted(gate.admit(s2, packet, 0));
  EXPECT_EQ(first.sequence, 1u);
  EXPECT_EQ(second.sequence, 2u);
  EXPECT_EQ(gate.inFlight(), 2);

  EXPECT_FALSE(gate.admit(s3, packet, 0));
  EXPECT_FALSE(gate.admit(s4, packet, 0));  // replaces the third
  EXPECT_FALSE(gate.admit(s5, packet, 0));  // replaces the fourth
  EXPECT_EQ(gate.droppedCount(), 2u);
  EXPECT_EQ(gate.admittedCount(), 5u);
  std::weak_ptr<platform::SampleBuffer> dropped = s3;
  s3.reset();
  EXPECT_TRUE(dropped.expired());  // a dropped frame does not hold a capture buffer

  // A finished frame hands its slot to the newest waiting one.
  auto next = gate.finish();
  ASSERT_TRUE(next);
  EXPECT_EQ(next->sample, s5);
  EXPECT_EQ(next->sequence, 5u);
  EXPECT_EQ(gate.inFlight(), 2);
  EXPECT_FALSE(gate.hasWaiting());

  EXPECT_FALSE(gate.finish());
  EXPECT_EQ(gate.inFlight(), 1);
  EXPECT_FALSE(gate.finish());
  EXPECT_EQ(gate.inFlight(), 0);
  EXPECT_FALSE(gate.finish());  // an extra finish does not make room for a third
  EXPECT_EQ(gate.inFlight(), 0);
  EXPECT_TRUE(gate.admit(s1, packet, 0));
  EXPECT_TRUE(gate.admit(s2, packet, 0));
  EXPECT_FALSE(gate.admit(s4, packet, 0));
}

TEST(FrameGate, AFrameNeverGoesOutAfterANewerOne) {
  FrameGate gate;
  std::vector<std::uint64_t> sent;
  const auto send = [&](std::uint64_t sequence) {
    return gate.sendInOrder(sequence, [&] { sent.push_back(sequence); });
  };
  EXPECT_TRUE(send(2));
  EXPECT_FALSE(send(1));  // finished encoding after frame 2 went out
  EXPECT_TRUE(send(3));
  EXPECT_TRUE(send(7));
  EXPECT_FALSE(send(5));
  EXPECT_EQ(sent, (std::vector<std::uint64_t>{2, 3, 7}));
  EXPECT_EQ(gate.staleCount(), 2u);
}

}  // namespace
}  // namespace streaming

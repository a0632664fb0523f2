#include <gtest/gtest.h>

#include "platform/display/capture_stream.h"

namespace platform {
namespace {

TEST(CapturePool, LargeDisplaysGetFewerBuffersButNeverFewerThanTwo) {
  struct Case {
    std::uint32_t width, height, queueDepth;
    std::uint32_t buffers;
  };
  const Case cases[] = {
      {1024, 768, 8, 8},      // 3 MiB a frame: the whole queue
      {1920, 1080, 8, 8},     // 8 MiB a frame: still the whole queue
      {3840, 2160, 8, 4},     // 32 MiB a frame
      {7680, 4320, 8, 2},     // more than the bound in one frame: two all the same
      {10000, 10000, 8, 2},   // 400 MB a frame: two, not eight
      {16384, 16384, 16, 2},  // the largest screen a device may describe
      {3840, 2160, 3, 3},     // a smaller queue is never made larger
      {10000, 10000, 1, 1},   // nor is a queue of one
      {0, 0, 8, 8},
  };
  for (const Case& c : cases) {
    const std::uint32_t buffers = capturePoolBufferCount(c.width, c.height, c.queueDepth);
    EXPECT_EQ(buffers, c.buffers) << c.width << "x" << c.height << " depth " << c.queueDepth;
    if (buffers > 2) {
      EXPECT_LE(std::uint64_t{buffers} * c.width * c.height * 4, kMaxCapturePoolBytes);
    }
  }
}

}  // namespace
}  // namespace platform

#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "platform/display/sample_buffer.h"
#include "streaming/magic_packet.h"
#include "streaming/starting_screen_view_model.h"

namespace streaming::road {

// The description of a tablet named "Tablet" with a screen of this size, at 132 pixels per inch.
std::shared_ptr<const MagicPacket> tabletDescription(int width, int height);

// A captured frame as the capture delivers it: BGRX pixels of one colour (0xRRGGBB), complete.
std::shared_ptr<platform::SampleBuffer> solidSample(int width, int height, std::uint32_t rgb,
                                                    double timestamp = 0);

// A frame whose left half is `left` and right half `right`, so scaling and placement show.
std::shared_ptr<platform::SampleBuffer> splitSample(int width, int height, std::uint32_t left,
                                                    std::uint32_t right);

// The colour of a pixel of a sample (0xRRGGBB).
std::uint32_t samplePixel(const platform::SampleBuffer& sample, int x, int y);

// A JPEG decoded to RGB, with its colour at a point.
struct DecodedImage {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;
  std::uint32_t at(int x, int y) const;
};
std::optional<DecodedImage> decodeJpeg(std::span<const std::uint8_t> jpeg);

// Whether two colours differ by at most `tolerance` in each channel (JPEG is lossy).
bool near(std::uint32_t a, std::uint32_t b, int tolerance = 12);

// Waits until every frame handed to the coordinator has come to an end (sent, dropped or
// failed). Frame tasks run detached; a test that ends with one still encoding would let it run
// into the encoder's teardown at exit.
bool waitForFramesToSettle(const StartingScreenViewModel& model, double seconds = 20);

}  // namespace streaming::road

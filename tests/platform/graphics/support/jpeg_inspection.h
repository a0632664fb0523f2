#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/graphics/image.h"

namespace graphics_test {

// A decoded image, tightly packed BGRX.
struct Decoded {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> pixels;
};

// Decodes with TurboJPEG's own interface; a warning (a damaged or misplaced marker, data
// cut short) counts as failure.
std::optional<Decoded> decodeWithTurbo(std::span<const std::uint8_t> jpeg);

// Decodes through libjpeg's scanline interface, a separate decoding road from TurboJPEG's;
// `warnings` receives the number of warnings libjpeg raised (damaged data it worked around).
std::optional<Decoded> decodeWithLibjpeg(std::span<const std::uint8_t> jpeg, int* warnings);

// The largest difference of one colour channel between two decoded images of equal size.
int maxChannelDifference(const Decoded& a, const Decoded& b);
// The mean absolute colour difference between a decoded image and an original.
double meanDifference(const Decoded& decoded, const platform::Image& original);

// The marker structure of a JPEG file, read without any decoder.
struct Structure {
  int startOfImage = 0;
  int quantizationTables = 0;  // DQT segments
  int huffmanTables = 0;       // DHT segments
  int baselineFrames = 0;      // SOF0 segments
  int otherFrames = 0;         // any other SOFn
  int scans = 0;               // SOS segments
  int restartDefinitions = 0;  // DRI segments
  int restartInterval = 0;
  int frameWidth = 0;
  int frameHeight = 0;
  std::vector<int> restartMarkers;  // n of every RSTn in the entropy-coded data, in order
  bool endsWithEndOfImage = false;  // EOI is the last two bytes
  std::string error;                // empty when the structure could be read
};

Structure inspect(std::span<const std::uint8_t> jpeg);

// An image with the traits of a desktop: smooth gradients, flat panels with hard edges, and
// fine detail like text. Deterministic for a given seed.
platform::Image makeScreenImage(int width, int height, unsigned seed = 1);
// The same picture in rows `padding` bytes longer than needed.
platform::Image withRowPadding(const platform::Image& image, std::size_t padding);
// One colour everywhere.
platform::Image makeSolidImage(int width, int height, std::uint8_t blue, std::uint8_t green,
                               std::uint8_t red);

}  // namespace graphics_test

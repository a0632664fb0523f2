#pragma once

// What the frame benchmarks measure on: the device sizes and the picture they encode and send.

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bench {

// One run per device size, named by its width and height in pixels.
inline void deviceSizes(benchmark::internal::Benchmark* benchmark) {
  benchmark->ArgNames({"w", "h"})
      ->Args({320, 480})
      ->Args({750, 1334})
      ->Args({1024, 768})
      ->Args({1170, 2532})
      ->Args({2048, 2732})
      ->Args({2732, 2048});
}

// A well-spread 32-bit hash, so the "text" below has no pattern the encoder could exploit.
inline std::uint32_t mix(std::uint32_t value) {
  value ^= value >> 16;
  value *= 0x7feb352d;
  value ^= value >> 15;
  value *= 0x846ca68b;
  value ^= value >> 16;
  return value;
}

// A desktop-like picture, tightly packed 4 bytes a pixel in BGR order with `fourth` in the
// last byte: a gradient wallpaper, two light windows, and text-like detail in them.
inline std::vector<std::uint8_t> desktopPixels(int width, int height, std::uint8_t fourth) {
  const std::size_t stride = std::size_t(width) * 4;
  std::vector<std::uint8_t> pixels(stride * height);
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = pixels.data() + stride * y;
    for (int x = 0; x < width; ++x) {
      std::uint8_t b = std::uint8_t(60 + x * 120 / width);
      std::uint8_t g = std::uint8_t(40 + y * 100 / height);
      std::uint8_t r = 90;
      const bool window =
          (x > width / 10 && x < width * 6 / 10 && y > height / 8 && y < height * 7 / 10) ||
          (x > width / 2 && x < width * 9 / 10 && y > height / 2 && y < height * 19 / 20);
      if (window) {
        b = g = r = 236;
        // Lines of "text": short dark runs on every other band of 14 rows.
        if ((y / 14) % 2 == 0 && (mix(std::uint32_t(x / 5) * 131u + std::uint32_t(y / 14)) & 3) &&
            (mix(std::uint32_t(x) * 7u + std::uint32_t(y) * 13u) & 1)) {
          b = g = r = 30;
        }
      }
      row[x * 4 + 0] = b;
      row[x * 4 + 1] = g;
      row[x * 4 + 2] = r;
      row[x * 4 + 3] = fourth;
    }
  }
  return pixels;
}

}  // namespace bench

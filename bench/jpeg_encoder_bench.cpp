// The frame encoder against the single-threaded one, measured in the same run on the frames
// each device size actually receives (the letterboxed canvas below 800x620).
//
// Columns: single_ms (single-threaded encode), fast_ms (the encoder as the frame road uses it),
// ratio = single_ms / fast_ms, bands (how many the frame is cut into), strips_ms (the banded
// path forced, also below its size threshold), and kB per frame for both outputs.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/graphics/image.h"
#include "platform/graphics/jpeg_encoder.h"

namespace {

using Clock = std::chrono::steady_clock;

std::uint32_t mix(std::uint32_t value) {
  value ^= value >> 16;
  value *= 0x7feb352d;
  value ^= value >> 15;
  value *= 0x846ca68b;
  value ^= value >> 16;
  return value;
}

// A desktop-like picture: a gradient wallpaper, flat windows, and text-like detail in them.
platform::Image makeDesktop(int width, int height) {
  const std::size_t stride = std::size_t(width) * 4;
  auto pixels = std::make_shared<std::vector<std::uint8_t>>(stride * height);
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = pixels->data() + stride * y;
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
        if ((y / 14) % 2 == 0 && (mix(std::uint32_t(x / 5) * 131u + std::uint32_t(y / 14)) & 3)) {
          if ((mix(std::uint32_t(x) * 7u + std::uint32_t(y) * 13u) & 1) != 0) b = g = r = 30;
        }
      }
      row[x * 4 + 0] = b;
      row[x * 4 + 1] = g;
      row[x * 4 + 2] = r;
      row[x * 4 + 3] = 0xFF;
    }
  }
  const std::uint8_t* data = pixels->data();
  return *platform::Image::wrap(data, width, height, stride, std::move(pixels));
}

double seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

void encodeFrame(benchmark::State& state) {
  const int deviceWidth = static_cast<int>(state.range(0));
  const int deviceHeight = static_cast<int>(state.range(1));
  const bool letterboxed = deviceWidth < 800 || deviceHeight - 20 < 600;
  const int width = deviceWidth;
  const int height = letterboxed ? deviceHeight - 20 : deviceHeight;
  const platform::Image frame = makeDesktop(width, height);
  const double factor = std::clamp(1 - 0.7 * std::min(height / 1080.0, width / 1920.0), 0.1, 1.0);
  const int quality = *platform::jpegQuality(factor);

  platform::JpegEncoder& encoder = platform::JpegEncoder::shared();
  const platform::StripPlan plan = encoder.planFor(width, height);
  // The banded path forced: as many bands as threads, whatever the size.
  int forcedRows = (height + int(encoder.parallelism()) - 1) / int(encoder.parallelism());
  forcedRows = std::max(16, (forcedRows + 15) / 16 * 16);

  double single = 0, fast = 0, strips = 0, singleBytes = 0, fastBytes = 0;
  bool singleFirst = true;
  for (auto _ : state) {
    // The two encoders take turns at going first, so neither always meets the caches (and
    // the clock speed) the other left behind.
    std::optional<platform::PooledBytes> a, b;
    Clock::duration singleTime{}, fastTime{};
    for (int turn = 0; turn < 2; ++turn) {
      const auto start = Clock::now();
      if ((turn == 0) == singleFirst) {
        a = encoder.encodeSingleThreaded(frame, quality);
        singleTime = Clock::now() - start;
      } else {
        b = encoder.encode(frame, quality);
        fastTime = Clock::now() - start;
      }
    }
    singleFirst = !singleFirst;
    const auto t0 = Clock::now();
    auto c = encoder.encodeInStrips(frame, quality, forcedRows);
    const auto stripsTime = Clock::now() - t0;
    if (!a || !b || !c) {
      state.SkipWithError("encoding failed");
      break;
    }
    single += seconds(singleTime);
    fast += seconds(fastTime);
    strips += seconds(stripsTime);
    singleBytes += double(a->size());
    fastBytes += double(b->size());
    state.SetIterationTime(seconds(fastTime));
  }
  const double n = double(state.iterations());
  state.counters["single_ms"] = single / n * 1e3;
  state.counters["fast_ms"] = fast / n * 1e3;
  state.counters["ratio"] = single / fast;
  state.counters["bands"] = plan.stripCount;
  state.counters["strips_ms"] = strips / n * 1e3;
  state.counters["kB_single"] = singleBytes / n / 1e3;
  state.counters["kB_fast"] = fastBytes / n / 1e3;
  state.counters["quality"] = quality;
  state.SetLabel("frame " + std::to_string(width) + "x" + std::to_string(height));
}

BENCHMARK(encodeFrame)
    ->ArgNames({"w", "h"})
    ->Args({320, 480})
    ->Args({750, 1334})
    ->Args({1024, 768})
    ->Args({1170, 2532})
    ->Args({2048, 2732})
    ->Args({2732, 2048})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();

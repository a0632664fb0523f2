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

#include "device_frames.h"
#include "platform/graphics/image.h"
#include "platform/graphics/jpeg_encoder.h"

namespace {

using Clock = std::chrono::steady_clock;

// The desktop as an opaque image.
platform::Image makeDesktop(int width, int height) {
  auto pixels =
      std::make_shared<std::vector<std::uint8_t>>(bench::desktopPixels(width, height, 0xFF));
  const std::uint8_t* data = pixels->data();
  return *platform::Image::wrap(data, width, height, std::size_t(width) * 4, std::move(pixels));
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
    ->Apply(bench::deviceSizes)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();

// Image decoding measured against the libraries called directly, in the same run, on 1,000
// bodies held in memory: half 64 by 64 PNGs with alpha, half 256 by 256 JPEGs.
//
// Row "DecodingAlone": ours_ms is `platform::decodeImage` over every body (signature sniffing,
// size checks, exact-size storage, premultiplied alpha); direct_ms is libpng's simplified
// reader and TurboJPEG decoding the same bodies into BGRA buffers; ratio = ours / direct (goal
// at most 1.1); peak_rss_MiB is the process's peak resident memory.

#include <benchmark/benchmark.h>
#include <png.h>
#include <sys/resource.h>
#include <turbojpeg.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/graphics/image_decoding.h"

namespace {

using Clock = std::chrono::steady_clock;
using Body = std::vector<std::uint8_t>;

constexpr int kBodies = 1000;
constexpr int kPngSide = 64;
constexpr int kJpegSide = 256;

// A picture with smooth gradients and some detail, so both coders do representative work.
std::vector<std::uint8_t> rgbaPicture(int side, int seed) {
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(side) * side * 4);
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      std::uint8_t* p = pixels.data() + (static_cast<std::size_t>(y) * side + x) * 4;
      p[0] = static_cast<std::uint8_t>((x * 255 / side + seed) & 0xff);
      p[1] = static_cast<std::uint8_t>((y * 255 / side + seed * 3) & 0xff);
      p[2] = static_cast<std::uint8_t>(128 + 127 * std::sin((x + y + seed) * 0.1));
      p[3] = static_cast<std::uint8_t>((x * y + seed) % 256);
    }
  }
  return pixels;
}

Body encodePng(int seed) {
  const std::vector<std::uint8_t> rgba = rgbaPicture(kPngSide, seed);
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = kPngSide;
  image.height = kPngSide;
  image.format = PNG_FORMAT_RGBA;
  png_alloc_size_t size = 0;
  png_image_write_to_memory(&image, nullptr, &size, 0, rgba.data(), 0, nullptr);
  Body body(size);
  if (!png_image_write_to_memory(&image, body.data(), &size, 0, rgba.data(), 0, nullptr)) {
    std::fprintf(stderr, "PNG encoding failed\n");
    std::exit(1);
  }
  body.resize(size);
  return body;
}

Body encodeJpeg(tjhandle encoder, int seed) {
  const std::vector<std::uint8_t> rgba = rgbaPicture(kJpegSide, seed);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  if (tjCompress2(encoder, rgba.data(), kJpegSide, 0, kJpegSide, TJPF_RGBX, &out, &size, TJSAMP_420,
                  85, 0) != 0) {
    std::fprintf(stderr, "JPEG encoding failed\n");
    std::exit(1);
  }
  Body body(out, out + size);
  tjFree(out);
  return body;
}

const std::vector<Body>& bodies() {
  static const std::vector<Body> all = [] {
    std::vector<Body> list;
    tjhandle encoder = tjInitCompress();
    for (int i = 0; i < kBodies; ++i)
      list.push_back(i % 2 == 0 ? encodePng(i) : encodeJpeg(encoder, i));
    tjDestroy(encoder);
    return list;
  }();
  return all;
}

// The libraries as a program would call them without our layer: each body into a fresh BGRA
// buffer of its size.
bool decodeDirectly(tjhandle decoder, const Body& body) {
  if (body[0] == 0x89) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, body.data(), body.size())) return false;
    image.format = PNG_FORMAT_BGRA;
    std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
    const bool read = png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr) != 0;
    png_image_free(&image);
    benchmark::DoNotOptimize(pixels.data());
    return read;
  }
  int width = 0, height = 0, subsampling = 0, colourspace = 0;
  if (tjDecompressHeader3(decoder, body.data(), body.size(), &width, &height, &subsampling,
                          &colourspace) != 0) {
    return false;
  }
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
  const bool read = tjDecompress2(decoder, body.data(), body.size(), pixels.data(), width, 0,
                                  height, TJPF_BGRX, 0) == 0;
  benchmark::DoNotOptimize(pixels.data());
  return read;
}

double peakRssMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024.0;
}

void DecodingAlone(benchmark::State& state) {
  const std::vector<Body>& all = bodies();
  tjhandle decoder = tjInitDecompress();
  double ours = 0;
  double direct = 0;
  bool oursFirst = true;
  for (auto _ : state) {
    // The two take turns at going first, so neither always meets the caches the other left.
    for (int turn = 0; turn < 2; ++turn) {
      const auto start = Clock::now();
      bool ok = true;
      if ((turn == 0) == oursFirst) {
        for (const Body& body : all)
          ok = platform::decodeImage(body).has_value() && ok;
        ours += std::chrono::duration<double>(Clock::now() - start).count();
      } else {
        for (const Body& body : all)
          ok = decodeDirectly(decoder, body) && ok;
        direct += std::chrono::duration<double>(Clock::now() - start).count();
      }
      if (!ok) state.SkipWithError("a body did not decode");
    }
    oursFirst = !oursFirst;
  }
  tjDestroy(decoder);
  const double runs = static_cast<double>(state.iterations());
  state.counters["ours_ms"] = ours / runs * 1000;
  state.counters["direct_ms"] = direct / runs * 1000;
  state.counters["ratio"] = ours / direct;
  state.counters["peak_rss_MiB"] = peakRssMiB();
}

BENCHMARK(DecodingAlone)->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

// Inputs that once decoded to made-up pictures, or cost far more memory or work than their size
// suggests; each row is made by the test and says what the decoder must answer. Memory is
// counted in bytes the heap hands out while one decode runs (under AddressSanitizer, whose hooks
// see every allocation, libraries' included).

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <optional>
#include <string>

#include "platform/graphics/image_decoding.h"
#include "platform/graphics/support/format_encoding.h"

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer runtime's allocator interface (its header is not installed with the compiler).
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, std::size_t),
                                              void (*)(const volatile void*));
std::size_t __sanitizer_get_allocated_size(const volatile void* pointer);
}
#endif

namespace {

using graphics_test::Bytes;
using graphics_test::Picture;
using platform::decodeImage;
using platform::ImageDecodingFailure;

// ---- The heap's high-water mark during one call

std::atomic<std::int64_t> liveBytes{0};
std::atomic<std::int64_t> peakBytes{0};

#if defined(__SANITIZE_ADDRESS__)
void onMalloc(const volatile void*, std::size_t size) {
  const std::int64_t now =
      liveBytes.fetch_add(static_cast<std::int64_t>(size)) + static_cast<std::int64_t>(size);
  std::int64_t peak = peakBytes.load();
  while (now > peak && !peakBytes.compare_exchange_weak(peak, now)) {
  }
}
void onFree(const volatile void* pointer) {
  liveBytes.fetch_sub(static_cast<std::int64_t>(__sanitizer_get_allocated_size(pointer)));
}
#endif

// The most bytes held at once by allocations made during `run`; none when no hook can see them.
std::optional<std::int64_t> peakHeapDuring(const std::function<void()>& run) {
#if defined(__SANITIZE_ADDRESS__)
  static const bool installed = __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree) != 0;
  if (!installed) return std::nullopt;
  const std::int64_t base = liveBytes.load();
  peakBytes.store(base);
  run();
  return peakBytes.load() - base;
#else
  run();
  return std::nullopt;
#endif
}

struct Row {
  const char* name;
  std::function<Bytes()> make;
  std::optional<ImageDecodingFailure> failure;  // none: decodes
  std::int64_t maxPeakBytes = 0;                // 0: not measured
  int width = 0;
  int height = 0;
};

void runRows(const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Bytes bytes = row.make();
    std::optional<platform::ImageDecodingResult> image;
    const std::optional<std::int64_t> peak = peakHeapDuring([&] { image = decodeImage(bytes); });
    if (row.failure) {
      EXPECT_FALSE(image->has_value());
      if (!image->has_value()) {
        EXPECT_EQ(describe(image->error()), describe(*row.failure));
      }
    } else {
      EXPECT_TRUE(image->has_value()) << describe(image->error());
      if (image->has_value()) {
        EXPECT_EQ((*image)->width(), row.width);
        EXPECT_EQ((*image)->height(), row.height);
      }
    }
    if (row.maxPeakBytes > 0 && peak) {
      EXPECT_LE(*peak, row.maxPeakBytes);
    }
  }
}

Bytes cutWithEnd(const Bytes& jpeg, double fraction) {
  Bytes cut(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(jpeg.size() * fraction));
  cut.insert(cut.end(), {0xff, 0xd9});
  return cut;
}

// A progressive file whose last scan is repeated until there are `scans`.
Bytes jpegWithScans(const Picture& picture, int scans) {
  const Bytes jpeg = graphics_test::encodeJpeg(picture, true);
  std::vector<std::pair<std::size_t, std::size_t>> found;
  std::size_t at = 2;
  while (at + 4 <= jpeg.size() && jpeg[at] == 0xff && jpeg[at + 1] != 0xd9) {
    std::size_t end = at + 2 + ((std::size_t{jpeg[at + 2]} << 8) | jpeg[at + 3]);
    if (jpeg[at + 1] == 0xda) {
      while (end + 1 < jpeg.size() &&
             !(jpeg[end] == 0xff && jpeg[end + 1] != 0 && (jpeg[end + 1] & 0xf8) != 0xd0)) {
        ++end;
      }
      found.emplace_back(at, end);
    }
    at = end;
  }
  const auto [start, end] = found.back();
  Bytes flooded(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(end));
  for (int i = static_cast<int>(found.size()); i < scans; ++i)
    flooded.insert(flooded.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(start),
                   jpeg.begin() + static_cast<std::ptrdiff_t>(end));
  flooded.insert(flooded.end(), {0xff, 0xd9});
  return flooded;
}

TEST(JpegRegression, MissingDataAndScanWork) {
  const Picture photo = graphics_test::tiledPicture(256, 256, 16, false);
  const Picture wide = graphics_test::tiledPicture(512, 64, 16, false);
  runRows({
      {"cutAt30PercentWithEnd", [&] { return cutWithEnd(graphics_test::encodeJpeg(photo), 0.3); },
       ImageDecodingFailure::corrupt},
      {"cutAt60PercentWithEnd", [&] { return cutWithEnd(graphics_test::encodeJpeg(photo), 0.6); },
       ImageDecodingFailure::corrupt},
      {"progressiveCutInsideAScanWithEnd",
       [&] { return cutWithEnd(graphics_test::encodeJpeg(photo, true), 0.93); },
       ImageDecodingFailure::corrupt},
      {"whole", [&] { return graphics_test::encodeJpeg(photo); }, std::nullopt, 0, 256, 256},
      // 100 scans, each over all the luma blocks: well within the scan count, far past the work.
      {"hundredFullScans", [&] { return jpegWithScans(wide, 100); },
       ImageDecodingFailure::exceedsLimits},
      {"twentyFullScans", [&] { return jpegWithScans(wide, 20); }, std::nullopt, 0, 512, 64},
  });
}

TEST(JpegRegression, ScanWorkBudgetFollowsTheLimit) {
  const Bytes jpeg = jpegWithScans(graphics_test::tiledPicture(64, 64, 16, false), 100);
  for (const auto& [passes, decodes] : {std::pair{64, false}, std::pair{200, true}}) {
    SCOPED_TRACE(passes);
    platform::ImageDecodingLimits limits;
    limits.maxJpegBlockPasses = passes;
    EXPECT_EQ(decodeImage(jpeg, limits).has_value(), decodes);
  }
}

TEST(WebpRegression, AnimationCanvasesCountAgainstThePixelBound) {
  const Picture frame = graphics_test::tiledPicture(48, 32, 8, true);
  constexpr std::int64_t kCanvas = 1024 * 1024 * 4;
  runRows({
      // 8192 squared is the whole pixel bound; the animation decoder kept three such canvases.
      {"canvas8192WithSmallFrame",
       [&] { return graphics_test::encodeWebpOnCanvas(frame, 8192, 8192, 0, 0); },
       ImageDecodingFailure::exceedsLimits, 4 * 1024 * 1024},
      {"canvas1024HoldsOneCanvas",
       [&] { return graphics_test::encodeWebpOnCanvas(frame, 1024, 1024, 100, 50); }, std::nullopt,
       kCanvas + kCanvas / 4, 1024, 1024},
  });
}

TEST(WebpRegression, FirstFrameLiesAtItsOffsetOnATransparentCanvas) {
  const Picture frame = graphics_test::tiledPicture(6, 4, 2, true);
  const Bytes webp = graphics_test::encodeWebpOnCanvas(frame, 12, 10, 4, 2);
  const std::uint64_t before = platform::imageDecodingPixelAllocations();
  const platform::ImageDecodingResult image = decodeImage(webp);
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(platform::imageDecodingPixelAllocations(), before + 1);
  for (int y = 0; y < 10; ++y) {
    for (int x = 0; x < 12; ++x) {
      const bool inside = x >= 4 && x < 10 && y >= 2 && y < 6;
      const graphics_test::Rgba want = inside ? graphics_test::premultiplied(frame.at(x - 4, y - 2))
                                              : graphics_test::Rgba{0, 0, 0, 0};
      EXPECT_EQ(graphics_test::pixelAt(*image, x, y), want) << x << "," << y;
    }
  }
}

// ---- HEIF grids: the canvas a grid's descriptor asks for, and the work of its tiles

constexpr std::int64_t kSmallPeak = 16 * 1024 * 1024;

Bytes gridOf(int columns, int rows, std::uint32_t width = 0, std::uint32_t height = 0) {
  return graphics_test::encodeHeifGrid(graphics_test::tiledPicture(16, 16, 4, false), columns, rows,
                                       width, height);
}

// The file with its primary item changed to `item`.
Bytes primaryItem(Bytes heif, std::uint8_t item) {
  const std::size_t at = graphics_test::findTag(heif, "pitm");
  heif[at + 5] = item;  // after the version, the flags and the identifier's high byte
  return heif;
}

TEST(HeifRegression, GridsAreBoundedBeforeLibheifAllocates) {
  runRows({
      {"grid2x2", [] { return gridOf(2, 2); }, std::nullopt, kSmallPeak, 32, 32},
      // The descriptor's canvas, four bytes changed from the grid above: libheif drew on it.
      {"descriptor8192Squared", [] { return gridOf(2, 2, 8192, 8192); },
       ImageDecodingFailure::corrupt, kSmallPeak},
      {"descriptor16384Squared", [] { return gridOf(2, 2, 16384, 16384); },
       ImageDecodingFailure::exceedsLimits, kSmallPeak},
      {"descriptor24950x26982", [] { return gridOf(2, 2, 24950, 26982); },
       ImageDecodingFailure::exceedsLimits, kSmallPeak},
      {"descriptor32767Squared", [] { return gridOf(2, 2, 32767, 32767); },
       ImageDecodingFailure::exceedsLimits, kSmallPeak},
      {"descriptor65536Wide", [] { return gridOf(2, 2, 65536, 32); },
       ImageDecodingFailure::exceedsLimits, kSmallPeak},
      // A valid grid of 16,384 tiles sharing one coded tile: work growing with the square of
      // the tiles, refused before any of it.
      {"tiles16384", [] { return gridOf(128, 128); }, ImageDecodingFailure::exceedsLimits,
       kSmallPeak},
      {"tiles1024", [] { return gridOf(32, 32); }, std::nullopt, 0, 512, 512},
      // The same items, the primary picture one tile: reading the directory alone is the work.
      {"items16385", [] { return primaryItem(gridOf(128, 128), 2); },
       ImageDecodingFailure::exceedsLimits, kSmallPeak},
  });
}

// dav1d on its own defaults takes a thread per core and several frames in flight, each with
// its buffers (about 3 MB of heap for this picture on eight cores, and 140 MB more of address
// space); on one thread with one frame, well under half of that.
TEST(HeifRegression, AvifDecodesOnOneThreadWithOneFrame) {
  runRows({
      {"avif256",
       [] {
         return graphics_test::encodeHeif(graphics_test::tiledPicture(256, 256, 8, false), false,
                                          graphics_test::HeifCodec::av1);
       },
       std::nullopt, 1'500'000, 256, 256},
  });
}

// ---- JPEG 2000 tiles: OpenJPEG's header reading lays out every tile and component

void putBig(Bytes& bytes, std::size_t at, std::uint32_t value, int width) {
  for (int i = 0; i < width; ++i)
    bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * (width - 1 - i)));
}

// A bare codestream of 255 by 257 pixels whose size marker declares tiles of one pixel (65,535
// of them) and `components` components; it holds one tile of three.
Bytes jpeg2000OnePixelTiles(int components) {
  const Bytes j2k = graphics_test::encodeJpeg2000(graphics_test::tiledPicture(255, 257, 16, false),
                                                  false, true, 2);
  constexpr std::size_t kComponentsAt = 42;  // after SOC, the marker, its length and 36 bytes
  Bytes out(j2k.begin(), j2k.begin() + kComponentsAt);
  for (int c = 0; c < components; ++c)
    out.insert(out.end(), {7, 1, 1});
  out.insert(out.end(), j2k.begin() + kComponentsAt + 3 * 3, j2k.end());
  putBig(out, 4, static_cast<std::uint32_t>(38 + 3 * components), 2);
  putBig(out, 24, 1, 4);
  putBig(out, 28, 1, 4);
  putBig(out, 40, static_cast<std::uint32_t>(components), 2);
  return out;
}

TEST(Jpeg2000Regression, OnePixelTilesAreRefusedBeforeTheyAreLaidOut) {
  runRows({
      {"components1", [] { return jpeg2000OnePixelTiles(1); }, ImageDecodingFailure::corrupt,
       kSmallPeak},
      {"components4", [] { return jpeg2000OnePixelTiles(4); }, ImageDecodingFailure::exceedsLimits,
       kSmallPeak},
      {"components30", [] { return jpeg2000OnePixelTiles(30); }, ImageDecodingFailure::corrupt,
       kSmallPeak},
      {"components60", [] { return jpeg2000OnePixelTiles(60); }, ImageDecodingFailure::corrupt,
       kSmallPeak},
  });
}

}  // namespace

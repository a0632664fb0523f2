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

}  // namespace

#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/graphics/buffer_pool.h"
#include "platform/graphics/image.h"
#include "platform/graphics/worker_pool.h"

namespace platform {

class JpegStripCoder;

// The encoder quality (1 to 100) of a compression factor in [0.1, 1]: round(100 × factor),
// held within 1 to 100. None for a factor that is not a number.
std::optional<int> jpegQuality(double compressionFactor);

// How a frame is cut into bands for parallel encoding. One strip means the single-threaded
// encoder.
struct StripPlan {
  int stripRows = 0;   // rows per band, a multiple of 16 (the 4:2:0 block row); the last may be
                       // shorter
  int stripCount = 1;  // bands
};

// Encodes BGRX images as baseline JPEG (4:2:0). Small frames go through the single-threaded
// encoder; frames of about a megapixel and more are cut into bands of whole block rows that
// are encoded at the same time on a pool of persistent workers and joined into one image with
// a restart marker between bands, which any baseline decoder reads like the single-threaded
// result. Pixels are read in place; output buffers and per-band coders are reused.
class JpegEncoder {
 public:
  // Frames with fewer pixels take the single-threaded path: below this, cutting them up costs
  // more than it saves.
  static constexpr long kParallelThresholdPixels = 1'000'000;
  // Pixels per thread at which another thread starts to pay.
  static constexpr long kPixelsPerThread = 350'000;
  // Bands per thread: a few more bands than threads keep every thread busy to the end even
  // when one of them is held up by other work on the machine.
  static constexpr int kStripsPerThread = 2;
  static constexpr int kMaxStrips = 64;

  // Uses at most `parallelism` threads for one frame: the caller and parallelism - 1 workers.
  explicit JpegEncoder(std::size_t parallelism = availableCores());
  ~JpegEncoder();
  JpegEncoder(const JpegEncoder&) = delete;
  JpegEncoder& operator=(const JpegEncoder&) = delete;

  // The process-wide encoder, with one thread per available core.
  static JpegEncoder& shared();

  std::size_t parallelism() const { return workers_.threadCount() + 1; }

  // The bands a frame of this size is cut into.
  StripPlan planFor(int width, int height) const;

  // `quality` from 1 to 100. No bytes when the image is null or encoding fails.
  std::optional<PooledBytes> encode(const Image& image, int quality);
  std::optional<PooledBytes> encodeSingleThreaded(const Image& image, int quality);
  // Bands of `stripRows` rows (a positive multiple of 16), whatever the frame's size. No bytes
  // when the bands cannot be joined into one image (too many of them, or a restart interval
  // beyond what a JPEG can state).
  std::optional<PooledBytes> encodeInStrips(const Image& image, int quality, int stripRows);

 private:
  struct TurboHandles;

  bool acquireCoders(JpegStripCoder** coders, int count);
  void releaseCoders(JpegStripCoder** coders, int count);

  WorkerPool workers_;
  BufferPool singleOutput_;  // worst-case sized, as the single-threaded encoder needs
  BufferPool stripOutput_;   // sized to the joined image
  std::unique_ptr<TurboHandles> turbo_;
  std::mutex codersMutex_;
  std::vector<std::unique_ptr<JpegStripCoder>> allCoders_;
  std::vector<JpegStripCoder*> idleCoders_;
};

}  // namespace platform

#include "platform/graphics/jpeg_encoder.h"

#include <turbojpeg.h>

#include <array>
#include <cmath>
#include <cstring>
#include <new>
#include <span>

#include "platform/graphics/jpeg_strip_coder.h"

namespace platform {

namespace {

constexpr int kBlockRows = 16;  // one row of 4:2:0 blocks (MCUs)
constexpr long kMaxRestartInterval = 65535;

// Compressed frames wander in size from one frame to the next; a quarter more than the first
// request lets the buffers already made serve them.
constexpr std::size_t kStripOutputHeadroomPercent = 25;
// Buffers out at once: the frames being encoded plus those a channel still writes.
constexpr std::size_t kMaxIdleOutputs = 4;

int blockColumns(int width) {
  return (width + kBlockRows - 1) / kBlockRows;
}

// Where the parts of a JPEG written by the band coder lie.
struct JpegLayout {
  std::size_t frameHeader = 0;  // the SOF0 marker
  std::size_t scanHeader = 0;   // the SOS marker
  std::size_t scanData = 0;     // the first byte of entropy-coded data
  std::size_t scanEnd = 0;      // the EOI marker that ends the data
};

std::size_t readBigEndian16(const std::uint8_t* p) {
  return static_cast<std::size_t>(p[0]) << 8 | p[1];
}

std::optional<JpegLayout> parseLayout(std::span<const std::uint8_t> jpeg) {
  if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return std::nullopt;
  JpegLayout layout;
  bool haveFrame = false;
  std::size_t at = 2;
  while (at + 4 <= jpeg.size()) {
    if (jpeg[at] != 0xFF) return std::nullopt;
    const std::uint8_t marker = jpeg[at + 1];
    const std::size_t length = readBigEndian16(&jpeg[at + 2]);
    if (length < 2 || at + 2 + length > jpeg.size()) return std::nullopt;
    if (marker == 0xC0) {
      layout.frameHeader = at;
      haveFrame = true;
    } else if (marker == 0xDA) {
      layout.scanHeader = at;
      layout.scanData = at + 2 + length;
      // The band ends with EOI right after its data, which contains no restart markers.
      if (!haveFrame || jpeg.size() < layout.scanData + 2) return std::nullopt;
      layout.scanEnd = jpeg.size() - 2;
      if (jpeg[layout.scanEnd] != 0xFF || jpeg[layout.scanEnd + 1] != 0xD9) return std::nullopt;
      return layout;
    }
    at += 2 + length;
  }
  return std::nullopt;
}

}  // namespace

std::optional<int> jpegQuality(double compressionFactor) {
  if (std::isnan(compressionFactor)) return std::nullopt;
  const double quality = std::round(100.0 * compressionFactor);
  if (quality < 1) return 1;
  if (quality > 100) return 100;
  return static_cast<int>(quality);
}

struct JpegEncoder::TurboHandles {
  ~TurboHandles() {
    for (tjhandle handle : idle)
      tjDestroy(handle);
  }
  tjhandle acquire() {
    {
      std::lock_guard lock(mutex);
      if (!idle.empty()) {
        tjhandle handle = idle.back();
        idle.pop_back();
        return handle;
      }
    }
    return tjInitCompress();
  }
  void release(tjhandle handle) {
    std::lock_guard lock(mutex);
    try {
      idle.push_back(handle);
    } catch (const std::bad_alloc&) {
      tjDestroy(handle);
    }
  }

  std::mutex mutex;
  std::vector<tjhandle> idle;
};

JpegEncoder::JpegEncoder(std::size_t parallelism)
    : workers_(parallelism > 1 ? parallelism - 1 : 0),
      singleOutput_(kMaxIdleOutputs),
      stripOutput_(kMaxIdleOutputs, kStripOutputHeadroomPercent),
      turbo_(std::make_unique<TurboHandles>()) {}

JpegEncoder::~JpegEncoder() = default;

JpegEncoder& JpegEncoder::shared() {
  // Never destroyed: a frame task may still be encoding while the process exits.
  static JpegEncoder* encoder = new JpegEncoder;
  return *encoder;
}

StripPlan JpegEncoder::planFor(int width, int height) const {
  const StripPlan single{(height + kBlockRows - 1) / kBlockRows * kBlockRows, 1};
  const long pixels = static_cast<long>(width) * height;
  if (width < 1 || height < 1 || pixels < kParallelThresholdPixels || parallelism() < 2) {
    return single;
  }
  const long threads = std::min<long>(static_cast<long>(parallelism()),
                                      (pixels + kPixelsPerThread - 1) / kPixelsPerThread);
  const long wanted = threads * kStripsPerThread;
  int rows = static_cast<int>((height + wanted - 1) / wanted);
  rows = (rows + kBlockRows - 1) / kBlockRows * kBlockRows;
  // One band is one restart interval, which a JPEG states in at most 16 bits of blocks.
  const int maxRows = static_cast<int>(kMaxRestartInterval / blockColumns(width)) * kBlockRows;
  if (maxRows < kBlockRows) return single;
  rows = std::min(rows, maxRows);
  const int count = (height + rows - 1) / rows;
  if (count < 2 || count > kMaxStrips) return single;
  return {rows, count};
}

std::optional<PooledBytes> JpegEncoder::encode(const Image& image, int quality) {
  if (image.isNull()) return std::nullopt;
  const StripPlan plan = planFor(image.width(), image.height());
  if (plan.stripCount < 2) return encodeSingleThreaded(image, quality);
  return encodeInStrips(image, quality, plan.stripRows);
}

std::optional<PooledBytes> JpegEncoder::encodeSingleThreaded(const Image& image, int quality) {
  if (image.isNull() || quality < 1 || quality > 100) return std::nullopt;
  const unsigned long capacity = tjBufSize(image.width(), image.height(), TJSAMP_420);
  if (capacity == static_cast<unsigned long>(-1)) return std::nullopt;
  std::shared_ptr<PooledBuffer> buffer = singleOutput_.acquire(capacity);
  if (!buffer) return std::nullopt;
  tjhandle handle = turbo_->acquire();
  if (!handle) return std::nullopt;
  unsigned char* destination = buffer->data();
  unsigned long size = 0;
  // The buffer is as large as the worst case, so the encoder is told never to replace it.
  const int status = tjCompress2(handle, image.pixels(), image.width(),
                                 static_cast<int>(image.bytesPerRow()), image.height(), TJPF_BGRX,
                                 &destination, &size, TJSAMP_420, quality, TJFLAG_NOREALLOC);
  turbo_->release(handle);
  if (status != 0 || destination != buffer->data() || size > buffer->capacity()) {
    return std::nullopt;
  }
  buffer->setSize(size);
  return PooledBytes(std::move(buffer));
}

bool JpegEncoder::acquireCoders(JpegStripCoder** coders, int count) {
  std::lock_guard lock(codersMutex_);
  try {
    while (idleCoders_.size() < static_cast<std::size_t>(count)) {
      allCoders_.push_back(std::make_unique<JpegStripCoder>());
      // Room for every coder, so that giving them back never allocates.
      idleCoders_.reserve(allCoders_.size());
      idleCoders_.push_back(allCoders_.back().get());
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (int i = 0; i < count; ++i) {
    coders[i] = idleCoders_.back();
    idleCoders_.pop_back();
  }
  return true;
}

void JpegEncoder::releaseCoders(JpegStripCoder** coders, int count) {
  std::lock_guard lock(codersMutex_);
  for (int i = 0; i < count; ++i)
    idleCoders_.push_back(coders[i]);
}

std::optional<PooledBytes> JpegEncoder::encodeInStrips(const Image& image, int quality,
                                                       int stripRows) {
  if (image.isNull() || quality < 1 || quality > 100) return std::nullopt;
  if (stripRows < kBlockRows || stripRows % kBlockRows != 0) return std::nullopt;
  const int count = (image.height() + stripRows - 1) / stripRows;
  if (count > kMaxStrips) return std::nullopt;
  const long restartInterval =
      static_cast<long>(blockColumns(image.width())) * stripRows / kBlockRows;
  if (count > 1 && restartInterval > kMaxRestartInterval) return std::nullopt;

  std::array<JpegStripCoder*, kMaxStrips> coders{};
  if (!acquireCoders(coders.data(), count)) return std::nullopt;
  std::array<bool, kMaxStrips> encoded{};
  auto encodeStrip = [&](std::size_t index) {
    const int firstRow = static_cast<int>(index) * stripRows;
    const int rows = std::min(stripRows, image.height() - firstRow);
    encoded[index] = coders[index]->encode(image, firstRow, rows, quality);
  };
  workers_.parallelFor(static_cast<std::size_t>(count), encodeStrip);

  std::optional<PooledBytes> result;
  std::array<JpegLayout, kMaxStrips> layouts{};
  bool complete = true;
  std::size_t total = 0;
  for (int i = 0; i < count && complete; ++i) {
    std::optional<JpegLayout> layout;
    if (encoded[i]) layout = parseLayout(coders[i]->output());
    if (!layout) {
      complete = false;
      break;
    }
    layouts[i] = *layout;
    total += layout->scanEnd - layout->scanData + 2;  // the data and the marker after it
  }

  if (complete) {
    const std::span<const std::uint8_t> first = coders[0]->output();
    const JpegLayout& head = layouts[0];
    const bool restarts = count > 1;
    total += head.scanData + (restarts ? 6 : 0);
    if (std::shared_ptr<PooledBuffer> buffer = stripOutput_.acquire(total)) {
      std::uint8_t* out = buffer->data();
      // Everything up to the scan, from the first band: the tables are the same in every band.
      std::memcpy(out, first.data(), head.scanHeader);
      // The frame header of the first band states that band's height; the image has them all.
      out[head.frameHeader + 5] = static_cast<std::uint8_t>(image.height() >> 8);
      out[head.frameHeader + 6] = static_cast<std::uint8_t>(image.height() & 0xFF);
      out += head.scanHeader;
      if (restarts) {
        const std::uint8_t restartDefinition[] = {
            0xFF,
            0xDD,
            0x00,
            0x04,
            static_cast<std::uint8_t>(restartInterval >> 8),
            static_cast<std::uint8_t>(restartInterval & 0xFF)};
        std::memcpy(out, restartDefinition, sizeof restartDefinition);
        out += sizeof restartDefinition;
      }
      std::memcpy(out, first.data() + head.scanHeader, head.scanData - head.scanHeader);
      out += head.scanData - head.scanHeader;
      for (int i = 0; i < count; ++i) {
        const std::span<const std::uint8_t> strip = coders[i]->output();
        const std::size_t length = layouts[i].scanEnd - layouts[i].scanData;
        std::memcpy(out, strip.data() + layouts[i].scanData, length);
        out += length;
        *out++ = 0xFF;
        *out++ = i + 1 < count ? static_cast<std::uint8_t>(0xD0 + i % 8) : 0xD9;
      }
      buffer->setSize(total);
      result.emplace(std::move(buffer));
    }
  }
  releaseCoders(coders.data(), count);
  return result;
}

}  // namespace platform

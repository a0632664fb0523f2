#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>

#include "platform/graphics/image_decoding_formats.h"

namespace platform::decoding {

namespace {

// The file in memory, read through libtiff's client procedures.
struct TiffSource {
  std::span<const std::uint8_t> bytes;
  std::size_t at = 0;
};

tmsize_t readProc(thandle_t handle, void* out, tmsize_t size) {
  auto* source = static_cast<TiffSource*>(handle);
  if (size <= 0 || source->at >= source->bytes.size()) return 0;
  const std::size_t n = std::min(static_cast<std::size_t>(size), source->bytes.size() - source->at);
  std::memcpy(out, source->bytes.data() + source->at, n);
  source->at += n;
  return static_cast<tmsize_t>(n);
}

tmsize_t writeProc(thandle_t, void*, tmsize_t) {
  return 0;
}

toff_t seekProc(thandle_t handle, toff_t offset, int whence) {
  auto* source = static_cast<TiffSource*>(handle);
  const std::uint64_t base = whence == SEEK_SET   ? 0
                             : whence == SEEK_CUR ? source->at
                                                  : source->bytes.size();
  // Seeking past the end is allowed (reads there give nothing); wrapping is not.
  if (offset > UINT64_MAX - base) return static_cast<toff_t>(-1);
  source->at = static_cast<std::size_t>(std::min<std::uint64_t>(base + offset, SIZE_MAX));
  return base + offset;
}

int closeProc(thandle_t) {
  return 0;
}

toff_t sizeProc(thandle_t handle) {
  return static_cast<TiffSource*>(handle)->bytes.size();
}

int mapProc(thandle_t, void**, toff_t*) {
  return 0;
}

void unmapProc(thandle_t, void*, toff_t) {}

// libtiff's default handlers write to standard error; a hostile file is not the user's concern.
int quiet(TIFF*, void*, const char*, const char*, va_list) {
  return 1;
}

struct TiffCloser {
  void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};
struct OptionsDeleter {
  void operator()(TIFFOpenOptions* options) const { TIFFOpenOptionsFree(options); }
};

}  // namespace

ImageDecodingResult decodeTiff(std::span<const std::uint8_t> bytes,
                               const ImageDecodingLimits& limits) {
  const std::uint64_t working = workingMemoryBound(limits);
  std::unique_ptr<TIFFOpenOptions, OptionsDeleter> options(TIFFOpenOptionsAlloc());
  if (!options) return std::unexpected(ImageDecodingFailure::exceedsLimits);
  // No single buffer of libtiff's (strips, tiles, directories) may pass the working bound.
  TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), static_cast<tmsize_t>(working));
  TIFFOpenOptionsSetErrorHandlerExtR(options.get(), quiet, nullptr);
  TIFFOpenOptionsSetWarningHandlerExtR(options.get(), quiet, nullptr);
  TiffSource source{bytes, 0};
  // "m": never map; only the first directory is read, so later pages cost nothing.
  std::unique_ptr<TIFF, TiffCloser> tiff(TIFFClientOpenExt("image", "rm", &source, readProc,
                                                           writeProc, seekProc, closeProc, sizeProc,
                                                           mapProc, unmapProc, options.get()));
  if (!tiff) return std::unexpected(ImageDecodingFailure::corrupt);
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  if (!TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &width) ||
      !TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &height)) {
    return std::unexpected(ImageDecodingFailure::corrupt);
  }
  if (std::optional<ImageDecodingFailure> refusal = checkGeometry(width, height, limits))
    return std::unexpected(*refusal);
  // The reader holds one strip or tile at a time beside the picture.
  const std::uint64_t chunk =
      TIFFIsTiled(tiff.get()) ? TIFFTileSize64(tiff.get()) : TIFFStripSize64(tiff.get());
  if (chunk == 0) return std::unexpected(ImageDecodingFailure::corrupt);
  if (chunk > working) return std::unexpected(ImageDecodingFailure::exceedsLimits);
  char why[1024];
  if (!TIFFRGBAImageOK(tiff.get(), why)) return std::unexpected(ImageDecodingFailure::corrupt);

  const std::size_t count = static_cast<std::size_t>(width) * height;
  std::uint8_t* pixels = allocateBuffer(count * 4);
  if (!pixels) return std::unexpected(ImageDecodingFailure::exceedsLimits);
  // Rows come top first, each pixel R, G, B, A in memory with its colours already multiplied by
  // alpha (libtiff associates unassociated alpha itself). A damaged strip stops the read.
  if (!TIFFReadRGBAImageOriented(tiff.get(), width, height,
                                 reinterpret_cast<std::uint32_t*>(pixels), ORIENTATION_TOPLEFT,
                                 1)) {
    freeBuffer(pixels);
    return std::unexpected(ImageDecodingFailure::corrupt);
  }
  bool transparent = false;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint8_t* p = pixels + i * 4;
    std::swap(p[0], p[2]);
    transparent = transparent || p[3] != 255;
  }
  return adoptPixels(
      pixels, static_cast<int>(width), static_cast<int>(height),
      transparent ? ImagePixelFormat::premultipliedBGRA : ImagePixelFormat::opaqueBGRX);
}

}  // namespace platform::decoding

#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>

#include "platform/graphics/image_decoding_formats.h"

namespace platform::decoding {

namespace {

// Ancillary chunks (text, colour profiles) are skipped once they grow past this; image data
// comes in IDAT chunks that are streamed and never held whole.
constexpr png_alloc_size_t kMaxChunkBytes = 8 * 1024 * 1024;
constexpr png_uint_32 kMaxCachedChunks = 128;

constexpr std::size_t kSignatureBytes = 8;
constexpr std::size_t kHeaderEnd = 24;  // signature, IHDR length and type, width, height

std::uint32_t readBigEndian32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

// Everything a read needs, kept outside the frame that libpng may leave by longjmp.
struct PngRead {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::size_t offset = 0;
  const ImageDecodingLimits* limits = nullptr;
  ImageDecodingFailure failure = ImageDecodingFailure::corrupt;
  int width = 0;
  int height = 0;
  bool hasAlpha = false;
  std::uint8_t* pixels = nullptr;  // owned by the caller of `readPng`, even after a longjmp
  std::uint8_t* rows = nullptr;    // row pointers, likewise
};

void readBytes(png_structp png, png_bytep out, std::size_t length) {
  auto* read = static_cast<PngRead*>(png_get_io_ptr(png));
  if (length > read->size - read->offset) png_error(png, "truncated");
  std::memcpy(out, read->data + read->offset, length);
  read->offset += length;
}

[[noreturn]] void onError(png_structp png, png_const_charp) {
  png_longjmp(png, 1);
}

void onWarning(png_structp, png_const_charp) {}

// libpng reports errors by longjmp to the setjmp below, so this frame holds only trivially
// destructible values and every allocation lives in `read`, which the caller frees.
bool readPng(png_structp png, png_infop info, PngRead* read) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_read_fn(png, read, readBytes);
  png_set_user_limits(
      png, static_cast<png_uint_32>(std::clamp(read->limits->maxWidth, 1, kMaxImageDimension)),
      static_cast<png_uint_32>(std::clamp(read->limits->maxHeight, 1, kMaxImageDimension)));
  png_set_chunk_malloc_max(png, kMaxChunkBytes);
  png_set_chunk_cache_max(png, kMaxCachedChunks);
  png_read_info(png, info);

  png_uint_32 width = 0;
  png_uint_32 height = 0;
  int depth = 0;
  int colorType = 0;
  png_get_IHDR(png, info, &width, &height, &depth, &colorType, nullptr, nullptr, nullptr);
  if (std::optional<ImageDecodingFailure> refusal = checkGeometry(width, height, *read->limits)) {
    read->failure = *refusal;
    return false;
  }

  // Every colour type and depth becomes 8-bit BGRA (or BGRX when there is no transparency).
  const bool transparencyChunk = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
  read->hasAlpha = (colorType & PNG_COLOR_MASK_ALPHA) != 0 || transparencyChunk;
  if (depth == 16) png_set_scale_16(png);
  if (colorType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (colorType == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (transparencyChunk) png_set_tRNS_to_alpha(png);
  if ((colorType & PNG_COLOR_MASK_COLOR) == 0) png_set_gray_to_rgb(png);
  png_set_bgr(png);
  if (!read->hasAlpha) png_set_filler(png, 0xff, PNG_FILLER_AFTER);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  if (png_get_rowbytes(png, info) != static_cast<std::size_t>(width) * 4) return false;

  read->width = static_cast<int>(width);
  read->height = static_cast<int>(height);
  const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
  read->pixels = allocateBuffer(rowBytes * height);
  read->rows = allocateBuffer(sizeof(png_bytep) * height);
  if (!read->pixels || !read->rows) {
    read->failure = ImageDecodingFailure::exceedsLimits;
    return false;
  }
  auto* rows = reinterpret_cast<png_bytep*>(read->rows);
  for (png_uint_32 y = 0; y < height; ++y)
    rows[y] = read->pixels + rowBytes * y;
  // The trailer after the image data is left unread: nothing in it changes the pixels.
  png_read_image(png, rows);
  return true;
}

}  // namespace

ImageDecodingResult decodePng(std::span<const std::uint8_t> bytes,
                              const ImageDecodingLimits& limits) {
  // The header chunk must come first; its size is judged here so that an oversized picture is
  // told apart from a broken one.
  if (bytes.size() < kHeaderEnd || std::memcmp(bytes.data() + 12, "IHDR", 4) != 0)
    return std::unexpected(ImageDecodingFailure::corrupt);
  if (std::optional<ImageDecodingFailure> refusal = checkGeometry(
          readBigEndian32(bytes.data() + 16), readBigEndian32(bytes.data() + 20), limits)) {
    return std::unexpected(*refusal);
  }
  static_assert(kSignatureBytes < kHeaderEnd);

  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, onError, onWarning);
  if (!png) return std::unexpected(ImageDecodingFailure::exceedsLimits);
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return std::unexpected(ImageDecodingFailure::exceedsLimits);
  }
  PngRead read;
  read.data = bytes.data();
  read.size = bytes.size();
  read.limits = &limits;
  const bool complete = readPng(png, info, &read);
  png_destroy_read_struct(&png, &info, nullptr);
  freeBuffer(read.rows);
  if (!complete) {
    freeBuffer(read.pixels);
    return std::unexpected(read.failure);
  }
  const std::size_t count = static_cast<std::size_t>(read.width) * read.height;
  const bool transparent = read.hasAlpha && premultiply(read.pixels, count);
  return adoptPixels(
      read.pixels, read.width, read.height,
      transparent ? ImagePixelFormat::premultipliedBGRA : ImagePixelFormat::opaqueBGRX);
}

}  // namespace platform::decoding

#include <libheif/heif.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/graphics/image_decoding_formats.h"

namespace platform::decoding {

namespace {

struct ContextDeleter {
  void operator()(heif_context* context) const { heif_context_free(context); }
};
struct HandleDeleter {
  void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
struct ImageDeleter {
  void operator()(heif_image* image) const { heif_image_release(image); }
};
struct OptionsDeleter {
  void operator()(heif_decoding_options* options) const { heif_decoding_options_free(options); }
};

}  // namespace

ImageDecodingResult decodeHeif(std::span<const std::uint8_t> bytes,
                               const ImageDecodingLimits& limits) {
  std::unique_ptr<heif_context, ContextDeleter> context(heif_context_alloc());
  if (!context) return std::unexpected(ImageDecodingFailure::exceedsLimits);
  heif_context_set_maximum_image_size_limit(
      context.get(),
      std::clamp(std::max(limits.maxWidth, limits.maxHeight), 1, kMaxImageDimension));
  // libheif refuses a stored size past the limit given above as it reads the file.
  const heif_error read =
      heif_context_read_from_memory_without_copy(context.get(), bytes.data(), bytes.size(), nullptr);
  if (read.code == heif_error_Memory_allocation_error ||
      read.subcode == heif_suberror_Security_limit_exceeded) {
    return std::unexpected(ImageDecodingFailure::exceedsLimits);
  }
  if (read.code != heif_error_Ok) return std::unexpected(ImageDecodingFailure::corrupt);
  // The primary image is the file's picture; thumbnails, depth maps and further images are not.
  heif_image_handle* primary = nullptr;
  if (heif_context_get_primary_image_handle(context.get(), &primary).code != heif_error_Ok)
    return std::unexpected(ImageDecodingFailure::corrupt);
  std::unique_ptr<heif_image_handle, HandleDeleter> handle(primary);
  const int stored = std::max(heif_image_handle_get_ispe_width(primary), 0);
  const int storedHeight = std::max(heif_image_handle_get_ispe_height(primary), 0);
  const int width = std::max(heif_image_handle_get_width(primary), 0);
  const int height = std::max(heif_image_handle_get_height(primary), 0);
  // Rotation and cropping come after decoding, so the stored size is what the decoder fills.
  for (const auto& [w, h] : {std::pair{stored, storedHeight}, std::pair{width, height}}) {
    if (std::optional<ImageDecodingFailure> refusal =
            checkGeometry(static_cast<std::uint64_t>(w), static_cast<std::uint64_t>(h), limits)) {
      return std::unexpected(*refusal);
    }
  }
  // The decoded planes (one or two bytes a sample, alpha a plane of its own) and their
  // conversion to four bytes a pixel are held together.
  const int bits = std::max(heif_image_handle_get_luma_bits_per_pixel(primary), 8);
  const bool hasAlpha = heif_image_handle_has_alpha_channel(primary) != 0;
  const std::uint64_t planeBytes = (hasAlpha ? 4 : 3) * (bits > 8 ? 2 : 1);
  if ((planeBytes + 4) * static_cast<std::uint64_t>(stored) *
          static_cast<std::uint64_t>(storedHeight) >
      workingMemoryBound(limits)) {
    return std::unexpected(ImageDecodingFailure::exceedsLimits);
  }

  std::unique_ptr<heif_decoding_options, OptionsDeleter> options(heif_decoding_options_alloc());
  if (!options) return std::unexpected(ImageDecodingFailure::exceedsLimits);
  options->convert_hdr_to_8bit = 1;
  heif_image* decoded = nullptr;
  const heif_error error = heif_decode_image(primary, &decoded, heif_colorspace_RGB,
                                             heif_chroma_interleaved_RGBA, options.get());
  std::unique_ptr<heif_image, ImageDeleter> image(decoded);
  if (error.code != heif_error_Ok || !image) {
    return std::unexpected(error.code == heif_error_Memory_allocation_error
                               ? ImageDecodingFailure::exceedsLimits
                               : ImageDecodingFailure::corrupt);
  }
  int stride = 0;
  const std::uint8_t* plane =
      heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
  if (!plane || heif_image_get_width(image.get(), heif_channel_interleaved) != width ||
      heif_image_get_height(image.get(), heif_channel_interleaved) != height ||
      stride < width * 4) {
    return std::unexpected(ImageDecodingFailure::corrupt);
  }
  const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  std::uint8_t* pixels = allocateBuffer(count * 4);
  if (!pixels) return std::unexpected(ImageDecodingFailure::exceedsLimits);
  for (int y = 0; y < height; ++y) {
    const std::uint8_t* from = plane + static_cast<std::size_t>(stride) * y;
    std::uint8_t* to = pixels + static_cast<std::size_t>(width) * 4 * y;
    for (int x = 0; x < width; ++x, from += 4, to += 4) {
      to[0] = from[2];
      to[1] = from[1];
      to[2] = from[0];
      to[3] = from[3];
    }
  }
  image.reset();
  bool transparent = false;
  if (heif_image_handle_is_premultiplied_alpha(primary)) {
    for (std::size_t i = 0; i < count && !transparent; ++i)
      transparent = pixels[i * 4 + 3] != 255;
  } else {
    transparent = premultiply(pixels, count);
  }
  return adoptPixels(
      pixels, width, height,
      transparent ? ImagePixelFormat::premultipliedBGRA : ImagePixelFormat::opaqueBGRX);
}

}  // namespace platform::decoding

#include <webp/decode.h>
#include <webp/demux.h>

#include <cstring>
#include <memory>

#include "platform/graphics/image_decoding_formats.h"

namespace platform::decoding {

namespace {

struct AnimationDecoderDeleter {
  void operator()(WebPAnimDecoder* decoder) const { WebPAnimDecoderDelete(decoder); }
};

// The first frame of an animation, composed on the animation's canvas.
ImageDecodingResult decodeFirstFrame(std::span<const std::uint8_t> bytes,
                                     const ImageDecodingLimits& limits) {
  WebPAnimDecoderOptions options;
  if (!WebPAnimDecoderOptionsInit(&options)) return std::unexpected(ImageDecodingFailure::corrupt);
  // libwebp's own premultiplication is approximate; straight colour is premultiplied here.
  options.color_mode = MODE_BGRA;
  options.use_threads = 0;
  const WebPData data{bytes.data(), bytes.size()};
  std::unique_ptr<WebPAnimDecoder, AnimationDecoderDeleter> decoder(
      WebPAnimDecoderNew(&data, &options));
  if (!decoder) return std::unexpected(ImageDecodingFailure::corrupt);
  WebPAnimInfo info;
  if (!WebPAnimDecoderGetInfo(decoder.get(), &info))
    return std::unexpected(ImageDecodingFailure::corrupt);
  if (std::optional<ImageDecodingFailure> refusal =
          checkGeometry(info.canvas_width, info.canvas_height, limits)) {
    return std::unexpected(*refusal);
  }
  std::uint8_t* frame = nullptr;
  int timestamp = 0;
  if (!WebPAnimDecoderGetNext(decoder.get(), &frame, &timestamp) || !frame)
    return std::unexpected(ImageDecodingFailure::corrupt);
  const int width = static_cast<int>(info.canvas_width);
  const int height = static_cast<int>(info.canvas_height);
  const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  std::uint8_t* pixels = allocateBuffer(count * 4);
  if (!pixels) return std::unexpected(ImageDecodingFailure::exceedsLimits);
  std::memcpy(pixels, frame, count * 4);
  return adoptPixels(pixels, width, height,
                     premultiply(pixels, count) ? ImagePixelFormat::premultipliedBGRA
                                                : ImagePixelFormat::opaqueBGRX);
}

}  // namespace

ImageDecodingResult decodeWebp(std::span<const std::uint8_t> bytes,
                               const ImageDecodingLimits& limits) {
  WebPBitstreamFeatures features;
  if (WebPGetFeatures(bytes.data(), bytes.size(), &features) != VP8_STATUS_OK)
    return std::unexpected(ImageDecodingFailure::corrupt);
  if (features.width < 0 || features.height < 0)
    return std::unexpected(ImageDecodingFailure::corrupt);
  // For an animation these are the canvas's, which every frame lies within.
  if (std::optional<ImageDecodingFailure> refusal =
          checkGeometry(static_cast<std::uint64_t>(features.width),
                        static_cast<std::uint64_t>(features.height), limits)) {
    return std::unexpected(*refusal);
  }
  if (features.has_animation) return decodeFirstFrame(bytes, limits);

  const std::size_t count =
      static_cast<std::size_t>(features.width) * static_cast<std::size_t>(features.height);
  std::uint8_t* pixels = allocateBuffer(count * 4);
  if (!pixels) return std::unexpected(ImageDecodingFailure::exceedsLimits);
  WebPDecoderConfig config;
  if (!WebPInitDecoderConfig(&config)) {
    freeBuffer(pixels);
    return std::unexpected(ImageDecodingFailure::corrupt);
  }
  // Opaque pictures are written with an alpha of 255, which reads as BGRX as well. libwebp's
  // own premultiplication is approximate; straight colour is premultiplied here.
  config.output.colorspace = MODE_BGRA;
  config.output.is_external_memory = 1;
  config.output.u.RGBA.rgba = pixels;
  config.output.u.RGBA.stride = features.width * 4;
  config.output.u.RGBA.size = count * 4;
  const VP8StatusCode status = WebPDecode(bytes.data(), bytes.size(), &config);
  WebPFreeDecBuffer(&config.output);
  if (status != VP8_STATUS_OK || config.output.width != features.width ||
      config.output.height != features.height) {
    freeBuffer(pixels);
    return std::unexpected(ImageDecodingFailure::corrupt);
  }
  const bool transparent = features.has_alpha && premultiply(pixels, count);
  return adoptPixels(
      pixels, features.width, features.height,
      transparent ? ImagePixelFormat::premultipliedBGRA : ImagePixelFormat::opaqueBGRX);
}

}  // namespace platform::decoding

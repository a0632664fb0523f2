#include <webp/decode.h>
#include <webp/demux.h>

#include <memory>

#include "platform/graphics/image_decoding_formats.h"

namespace platform::decoding {

namespace {

struct DemuxDeleter {
  void operator()(WebPDemuxer* demux) const { WebPDemuxDelete(demux); }
};

// The first frame of an animation, on the animation's canvas. The first frame never depends on
// an earlier one: it lies on a transparent canvas (the animation decoder ignores the background
// colour too), so whether it blends or not it stands as it is. It is decoded straight into the
// canvas, without the animation decoder, which would keep two more canvases of its own.
ImageDecodingResult decodeFirstFrame(std::span<const std::uint8_t> bytes,
                                     const ImageDecodingLimits& limits) {
  const WebPData data{bytes.data(), bytes.size()};
  std::unique_ptr<WebPDemuxer, DemuxDeleter> demux(WebPDemux(&data));
  if (!demux) return std::unexpected(ImageDecodingFailure::corrupt);
  const std::uint32_t canvasWidth = WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_WIDTH);
  const std::uint32_t canvasHeight = WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_HEIGHT);
  if (std::optional<ImageDecodingFailure> refusal =
          checkGeometry(canvasWidth, canvasHeight, limits)) {
    return std::unexpected(*refusal);
  }
  WebPIterator frame;
  if (!WebPDemuxGetFrame(demux.get(), 1, &frame))
    return std::unexpected(ImageDecodingFailure::corrupt);
  // The iterator holds nothing that needs releasing once the demuxer has read the whole file.
  const bool usable = frame.complete && frame.width > 0 && frame.height > 0 &&
                      frame.x_offset >= 0 && frame.y_offset >= 0 &&
                      static_cast<std::uint64_t>(frame.x_offset) + frame.width <= canvasWidth &&
                      static_cast<std::uint64_t>(frame.y_offset) + frame.height <= canvasHeight;
  const WebPData fragment = frame.fragment;
  WebPDemuxReleaseIterator(&frame);
  if (!usable) return std::unexpected(ImageDecodingFailure::corrupt);
  // The decode holds the canvas and, while it runs, up to a picture of the frame's size inside
  // libwebp; together they must fit the pixel bound.
  const std::uint64_t canvasPixels = std::uint64_t{canvasWidth} * canvasHeight;
  const auto framePixels =
      static_cast<std::uint64_t>(frame.width) * static_cast<std::uint64_t>(frame.height);
  if (canvasPixels + framePixels > limits.maxPixels)
    return std::unexpected(ImageDecodingFailure::exceedsLimits);

  const int width = static_cast<int>(canvasWidth);
  const int height = static_cast<int>(canvasHeight);
  const std::size_t count = static_cast<std::size_t>(canvasPixels);
  const std::size_t stride = static_cast<std::size_t>(width) * 4;
  WebPDecoderConfig config;
  if (!WebPInitDecoderConfig(&config)) return std::unexpected(ImageDecodingFailure::corrupt);
  std::uint8_t* pixels = allocateBuffer(count * 4);
  if (!pixels) return std::unexpected(ImageDecodingFailure::exceedsLimits);
  config.output.colorspace = MODE_BGRA;
  config.output.is_external_memory = 1;
  config.output.u.RGBA.rgba = pixels + static_cast<std::size_t>(frame.y_offset) * stride +
                              static_cast<std::size_t>(frame.x_offset) * 4;
  config.output.u.RGBA.stride = static_cast<int>(stride);
  config.output.u.RGBA.size = static_cast<std::size_t>(frame.height - 1) * stride +
                              static_cast<std::size_t>(frame.width) * 4;
  const VP8StatusCode status = WebPDecode(fragment.bytes, fragment.size, &config);
  WebPFreeDecBuffer(&config.output);
  if (status != VP8_STATUS_OK || config.output.width != frame.width ||
      config.output.height != frame.height) {
    freeBuffer(pixels);
    return std::unexpected(ImageDecodingFailure::corrupt);
  }
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

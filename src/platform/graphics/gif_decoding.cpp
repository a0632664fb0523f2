#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/graphics/image_decoding_formats.h"

namespace platform::decoding {

namespace {

constexpr int kGraphicControlMinLength = 4;
constexpr int kTransparentFlag = 0x01;

struct GifSource {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t offset;
};

int readBytes(GifFileType* gif, GifByteType* out, int length) {
  auto* source = static_cast<GifSource*>(gif->UserData);
  const std::size_t count =
      std::min(static_cast<std::size_t>(std::max(length, 0)), source->size - source->offset);
  std::memcpy(out, source->data + source->offset, count);
  source->offset += count;
  return static_cast<int>(count);
}

struct GifCloser {
  void operator()(GifFileType* gif) const {
    int error = 0;
    DGifCloseFile(gif, &error);
  }
};

struct BufferFreer {
  void operator()(std::uint8_t* buffer) const { freeBuffer(buffer); }
};
using Buffer = std::unique_ptr<std::uint8_t, BufferFreer>;

// The rows of an interlaced frame arrive in four passes: every eighth row from 0, every eighth
// from 4, every fourth from 2, every second from 1.
struct Pass {
  int first;
  int step;
};
constexpr Pass kInterlacedPasses[] = {{0, 8}, {4, 8}, {2, 4}, {1, 2}};
constexpr Pass kSequentialPass[] = {{0, 1}};

}  // namespace

// giflib reports errors by return value, so this reads record by record with ordinary C++
// ownership. Only the first frame is decoded; everything after it is never read.
ImageDecodingResult decodeGif(std::span<const std::uint8_t> bytes,
                              const ImageDecodingLimits& limits) {
  GifSource source{bytes.data(), bytes.size(), 0};
  int error = 0;
  std::unique_ptr<GifFileType, GifCloser> gif(DGifOpen(&source, readBytes, &error));
  if (!gif) return std::unexpected(ImageDecodingFailure::corrupt);
  const int screenWidth = gif->SWidth;
  const int screenHeight = gif->SHeight;
  if (screenWidth < 0 || screenHeight < 0) return std::unexpected(ImageDecodingFailure::corrupt);
  if (std::optional<ImageDecodingFailure> refusal =
          checkGeometry(static_cast<std::uint64_t>(screenWidth),
                        static_cast<std::uint64_t>(screenHeight), limits)) {
    return std::unexpected(*refusal);
  }

  int transparentIndex = -1;
  for (;;) {
    GifRecordType type = UNDEFINED_RECORD_TYPE;
    if (DGifGetRecordType(gif.get(), &type) == GIF_ERROR)
      return std::unexpected(ImageDecodingFailure::corrupt);
    if (type == TERMINATE_RECORD_TYPE) return std::unexpected(ImageDecodingFailure::corrupt);
    if (type == EXTENSION_RECORD_TYPE) {
      int code = 0;
      GifByteType* block = nullptr;
      if (DGifGetExtension(gif.get(), &code, &block) == GIF_ERROR)
        return std::unexpected(ImageDecodingFailure::corrupt);
      // The last graphic control block before the frame says which colour is see-through.
      if (code == GRAPHICS_EXT_FUNC_CODE && block && block[0] >= kGraphicControlMinLength) {
        transparentIndex = (block[1] & kTransparentFlag) ? block[4] : -1;
      }
      while (block) {
        if (DGifGetExtensionNext(gif.get(), &block) == GIF_ERROR)
          return std::unexpected(ImageDecodingFailure::corrupt);
      }
      continue;
    }
    if (type == IMAGE_DESC_RECORD_TYPE) break;
    return std::unexpected(ImageDecodingFailure::corrupt);
  }

  if (DGifGetImageDesc(gif.get()) == GIF_ERROR)
    return std::unexpected(ImageDecodingFailure::corrupt);
  const GifImageDesc& frame = gif->Image;
  // A frame must be a non-empty part of the screen: it is drawn onto the screen's canvas.
  if (frame.Width <= 0 || frame.Height <= 0 || frame.Left < 0 || frame.Top < 0 ||
      frame.Left > screenWidth - frame.Width || frame.Top > screenHeight - frame.Height) {
    return std::unexpected(ImageDecodingFailure::corrupt);
  }
  const ColorMapObject* colours = frame.ColorMap ? frame.ColorMap : gif->SColorMap;
  if (!colours || !colours->Colors) return std::unexpected(ImageDecodingFailure::corrupt);

  const std::size_t rowBytes = static_cast<std::size_t>(screenWidth) * 4;
  Buffer canvas(allocateBuffer(rowBytes * static_cast<std::size_t>(screenHeight)));
  Buffer line(allocateBuffer(static_cast<std::size_t>(frame.Width)));
  if (!canvas || !line) return std::unexpected(ImageDecodingFailure::exceedsLimits);

  // The canvas starts see-through: what the frame leaves uncovered shows whatever lies behind.
  bool transparent = frame.Width != screenWidth || frame.Height != screenHeight;
  const std::span<const Pass> passes =
      frame.Interlace ? std::span<const Pass>(kInterlacedPasses) : kSequentialPass;
  for (const Pass& pass : passes) {
    for (int y = pass.first; y < frame.Height; y += pass.step) {
      if (DGifGetLine(gif.get(), line.get(), frame.Width) == GIF_ERROR)
        return std::unexpected(ImageDecodingFailure::corrupt);
      std::uint8_t* out = canvas.get() + rowBytes * static_cast<std::size_t>(frame.Top + y) +
                          static_cast<std::size_t>(frame.Left) * 4;
      for (int x = 0; x < frame.Width; ++x, out += 4) {
        const int index = line.get()[x];
        // An index past the colour table has no colour; it is left see-through.
        if (index == transparentIndex || index >= colours->ColorCount) {
          transparent = true;
          continue;
        }
        const GifColorType& colour = colours->Colors[index];
        out[0] = colour.Blue;
        out[1] = colour.Green;
        out[2] = colour.Red;
        out[3] = 255;
      }
    }
  }
  return adoptPixels(
      canvas.release(), screenWidth, screenHeight,
      transparent ? ImagePixelFormat::premultipliedBGRA : ImagePixelFormat::opaqueBGRX);
}

}  // namespace platform::decoding

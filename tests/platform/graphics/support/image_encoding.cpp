#include "platform/graphics/support/image_encoding.h"

#include <gif_lib.h>
#include <png.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <array>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <jpeglib.h>

namespace graphics_test {

namespace {

[[noreturn]] void fail(const char* what) {
  throw std::runtime_error(what);
}

}  // namespace

Rgba premultiplied(Rgba c) {
  const auto times = [&](int v) { return static_cast<int>(std::lround(v * c.a / 255.0)); };
  return {times(c.r), times(c.g), times(c.b), c.a};
}

Rgba pixelAt(const platform::Image& image, int x, int y) {
  const std::uint8_t* p = image.row(y) + static_cast<std::size_t>(x) * 4;
  const bool opaque = image.pixelFormat() == platform::ImagePixelFormat::opaqueBGRX;
  return {p[2], p[1], p[0], opaque ? 255 : p[3]};
}

Picture tiledPicture(int width, int height, int tile, bool alpha) {
  static constexpr std::array<Rgba, 6> kColours = {Rgba{220, 30, 40},   Rgba{20, 200, 60},
                                                   Rgba{30, 40, 210},   Rgba{240, 230, 20},
                                                   Rgba{250, 250, 250}, Rgba{10, 10, 10}};
  static constexpr std::array<int, 5> kAlphas = {255, 0, 128, 64, 200};
  Picture picture{width, height, {}};
  picture.pixels.reserve(static_cast<std::size_t>(width) * height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const int n = x / tile + (y / tile) * 7;
      Rgba c = kColours[static_cast<std::size_t>(n) % kColours.size()];
      if (alpha) c.a = kAlphas[static_cast<std::size_t>(n) % kAlphas.size()];
      picture.pixels.push_back(c);
    }
  }
  return picture;
}

// ---- PNG

namespace {

void appendBytes(png_structp png, png_bytep data, std::size_t length) {
  auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}

void noFlush(png_structp) {}

int channelsOf(int colorType) {
  switch (colorType) {
    case PNG_COLOR_TYPE_GRAY:
    case PNG_COLOR_TYPE_PALETTE:
      return 1;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
      return 2;
    case PNG_COLOR_TYPE_RGB:
      return 3;
    default:
      return 4;
  }
}

// Packs samples as the file stores them: sub-byte samples from the high bits, 16-bit big-endian.
std::vector<Bytes> packRows(const PngSpec& spec) {
  const int channels = channelsOf(spec.colorType);
  std::vector<Bytes> rows;
  for (int y = 0; y < spec.height; ++y) {
    Bytes row;
    int bit = 0;
    for (int i = 0; i < spec.width * channels; ++i) {
      const std::uint16_t v = spec.samples[static_cast<std::size_t>(y) * spec.width * channels + i];
      if (spec.bitDepth == 16) {
        row.push_back(static_cast<std::uint8_t>(v >> 8));
        row.push_back(static_cast<std::uint8_t>(v));
      } else if (spec.bitDepth == 8) {
        row.push_back(static_cast<std::uint8_t>(v));
      } else {
        if (bit == 0) row.push_back(0);
        row.back() |= static_cast<std::uint8_t>(v << (8 - spec.bitDepth - bit));
        bit = (bit + spec.bitDepth) % 8;
      }
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

bool writePng(png_structp png, png_infop info, const PngSpec& spec, png_bytepp rows,
              png_colorp palette, int paletteSize, png_bytep alphas, int alphaCount,
              png_color_16p transparent) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_IHDR(png, info, static_cast<png_uint_32>(spec.width),
               static_cast<png_uint_32>(spec.height), spec.bitDepth, spec.colorType,
               spec.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (paletteSize > 0) png_set_PLTE(png, info, palette, paletteSize);
  if (alphaCount > 0 || transparent) png_set_tRNS(png, info, alphas, alphaCount, transparent);
  png_write_info(png, info);
  png_write_image(png, rows);
  png_write_end(png, nullptr);
  return true;
}

}  // namespace

Bytes encodePng(const PngSpec& spec) {
  std::vector<Bytes> rows = packRows(spec);
  std::vector<png_bytep> rowPointers;
  for (Bytes& row : rows)
    rowPointers.push_back(row.data());
  std::vector<png_color> palette;
  std::vector<png_byte> alphas;
  for (const Rgba& c : spec.palette) {
    palette.push_back(
        {static_cast<png_byte>(c.r), static_cast<png_byte>(c.g), static_cast<png_byte>(c.b)});
    alphas.push_back(static_cast<png_byte>(c.a));
  }
  while (!alphas.empty() && alphas.back() == 255)
    alphas.pop_back();
  png_color_16 transparent{};
  if (spec.transparentColour) {
    transparent.gray = static_cast<png_uint_16>(spec.transparentColour->r);
    transparent.red = static_cast<png_uint_16>(spec.transparentColour->r);
    transparent.green = static_cast<png_uint_16>(spec.transparentColour->g);
    transparent.blue = static_cast<png_uint_16>(spec.transparentColour->b);
  }

  Bytes out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(png, &out, appendBytes, noFlush);
  const bool written =
      writePng(png, info, spec, rowPointers.data(), palette.data(),
               static_cast<int>(palette.size()), alphas.data(), static_cast<int>(alphas.size()),
               spec.transparentColour ? &transparent : nullptr);
  png_destroy_write_struct(&png, &info);
  if (!written) fail("PNG encoding failed");
  return out;
}

Bytes encodePng(const Picture& picture, bool interlaced) {
  PngSpec spec{picture.width, picture.height, PNG_COLOR_TYPE_RGBA, 8, interlaced, {}, {}, {}};
  for (const Rgba& c : picture.pixels) {
    spec.samples.insert(spec.samples.end(),
                        {static_cast<std::uint16_t>(c.r), static_cast<std::uint16_t>(c.g),
                         static_cast<std::uint16_t>(c.b), static_cast<std::uint16_t>(c.a)});
  }
  return encodePng(spec);
}

// ---- JPEG

namespace {

struct JpegErrors {
  jpeg_error_mgr base;
  std::jmp_buf jump;
};

[[noreturn]] void jpegError(j_common_ptr info) {
  std::longjmp(reinterpret_cast<JpegErrors*>(info->err)->jump, 1);
}

bool writeJpeg(jpeg_compress_struct* info, const JpegSpec& spec, unsigned char** out,
               unsigned long* size) {
  if (setjmp(reinterpret_cast<JpegErrors*>(info->err)->jump)) return false;
  jpeg_create_compress(info);
  jpeg_mem_dest(info, out, size);
  info->image_width = static_cast<JDIMENSION>(spec.width);
  info->image_height = static_cast<JDIMENSION>(spec.height);
  info->input_components = spec.components;
  info->in_color_space = spec.components == 1   ? JCS_GRAYSCALE
                         : spec.components == 3 ? JCS_RGB
                                                : JCS_CMYK;
  jpeg_set_defaults(info);
  if (spec.components == 4) {
    jpeg_set_colorspace(info, spec.ycck ? JCS_YCCK : JCS_CMYK);
    info->write_Adobe_marker = spec.adobeMarker ? TRUE : FALSE;
  }
  jpeg_set_quality(info, spec.quality, TRUE);
  if (spec.progressive) jpeg_simple_progression(info);
  jpeg_start_compress(info, TRUE);
  const std::size_t rowBytes = static_cast<std::size_t>(spec.width) * spec.components;
  while (info->next_scanline < info->image_height) {
    auto* row = const_cast<JSAMPLE*>(spec.samples.data() + rowBytes * info->next_scanline);
    jpeg_write_scanlines(info, &row, 1);
  }
  jpeg_finish_compress(info);
  return true;
}

}  // namespace

Bytes encodeJpeg(const JpegSpec& spec) {
  jpeg_compress_struct info{};
  JpegErrors errors{};
  info.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = jpegError;
  unsigned char* out = nullptr;
  unsigned long size = 0;
  const bool written = writeJpeg(&info, spec, &out, &size);
  jpeg_destroy_compress(&info);
  Bytes bytes;
  if (written) bytes.assign(out, out + size);
  std::free(out);
  if (!written) fail("JPEG encoding failed");
  return bytes;
}

Bytes encodeJpeg(const Picture& picture, bool progressive, int quality) {
  JpegSpec spec{picture.width, picture.height, 3, {}, progressive, false, true, quality};
  for (const Rgba& c : picture.pixels) {
    spec.samples.insert(spec.samples.end(),
                        {static_cast<std::uint8_t>(c.r), static_cast<std::uint8_t>(c.g),
                         static_cast<std::uint8_t>(c.b)});
  }
  return encodeJpeg(spec);
}

// ---- GIF

namespace {

int appendGif(GifFileType* gif, const GifByteType* data, int length) {
  auto* out = static_cast<Bytes*>(gif->UserData);
  out->insert(out->end(), data, data + length);
  return length;
}

struct ColourMap {
  ColorMapObject* map = nullptr;
  explicit ColourMap(const std::vector<Rgba>& colours) {
    if (colours.empty()) return;
    int size = 2;
    while (size < static_cast<int>(colours.size()))
      size *= 2;
    std::vector<GifColorType> entries(static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < colours.size(); ++i) {
      entries[i] = {static_cast<GifByteType>(colours[i].r), static_cast<GifByteType>(colours[i].g),
                    static_cast<GifByteType>(colours[i].b)};
    }
    map = GifMakeMapObject(size, entries.data());
  }
  ~ColourMap() { GifFreeMapObject(map); }
  ColourMap(const ColourMap&) = delete;
  ColourMap& operator=(const ColourMap&) = delete;
};

}  // namespace

Bytes encodeGif(const GifSpec& spec) {
  Bytes out;
  int error = 0;
  GifFileType* gif = EGifOpen(&out, appendGif, &error);
  if (!gif) fail("GIF encoding failed");
  EGifSetGifVersion(gif, true);
  ColourMap screen(spec.colours);
  bool ok = EGifPutScreenDesc(gif, spec.width, spec.height, 8, 0, screen.map) == GIF_OK;
  for (const GifFrame& frame : spec.frames) {
    GraphicsControlBlock control{DISPOSAL_UNSPECIFIED, false, 10, frame.transparentIndex};
    GifByteType extension[4];
    const std::size_t length = EGifGCBToExtension(&control, extension);
    ok = ok && EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(length), extension) ==
                   GIF_OK;
    ColourMap local(frame.localColours);
    ok = ok && EGifPutImageDesc(gif, frame.left, frame.top, frame.width, frame.height,
                                frame.interlaced, local.map) == GIF_OK;
    // giflib writes lines as given; an interlaced frame is handed over pass by pass.
    std::vector<int> order;
    if (frame.interlaced) {
      for (auto [first, step] : {std::pair{0, 8}, {4, 8}, {2, 4}, {1, 2}})
        for (int y = first; y < frame.height; y += step)
          order.push_back(y);
    } else {
      for (int y = 0; y < frame.height; ++y)
        order.push_back(y);
    }
    for (int y : order) {
      auto* line = const_cast<GifPixelType*>(frame.indices.data() +
                                             static_cast<std::size_t>(y) * frame.width);
      ok = ok && EGifPutLine(gif, line, frame.width) == GIF_OK;
    }
  }
  ok = EGifCloseFile(gif, &error) == GIF_OK && ok;
  if (!ok) fail("GIF encoding failed");
  return out;
}

// ---- WebP

namespace {

std::vector<std::uint8_t> rgbaBytes(const Picture& picture) {
  std::vector<std::uint8_t> bytes;
  for (const Rgba& c : picture.pixels) {
    bytes.insert(bytes.end(), {static_cast<std::uint8_t>(c.r), static_cast<std::uint8_t>(c.g),
                               static_cast<std::uint8_t>(c.b), static_cast<std::uint8_t>(c.a)});
  }
  return bytes;
}

}  // namespace

Bytes encodeWebp(const Picture& picture, bool lossless, bool alpha) {
  const std::vector<std::uint8_t> rgba = rgbaBytes(picture);
  std::vector<std::uint8_t> rgb;
  for (const Rgba& c : picture.pixels) {
    rgb.insert(rgb.end(), {static_cast<std::uint8_t>(c.r), static_cast<std::uint8_t>(c.g),
                           static_cast<std::uint8_t>(c.b)});
  }
  std::uint8_t* out = nullptr;
  std::size_t size = 0;
  const int w = picture.width;
  const int h = picture.height;
  if (lossless) {
    size = alpha ? WebPEncodeLosslessRGBA(rgba.data(), w, h, w * 4, &out)
                 : WebPEncodeLosslessRGB(rgb.data(), w, h, w * 3, &out);
  } else {
    size = alpha ? WebPEncodeRGBA(rgba.data(), w, h, w * 4, 95, &out)
                 : WebPEncodeRGB(rgb.data(), w, h, w * 3, 95, &out);
  }
  Bytes bytes(out, out + size);
  WebPFree(out);
  if (size == 0) fail("WebP encoding failed");
  return bytes;
}

Bytes encodeAnimatedWebp(const std::vector<Picture>& frames) {
  WebPAnimEncoderOptions options;
  WebPAnimEncoderOptionsInit(&options);
  WebPAnimEncoder* encoder =
      WebPAnimEncoderNew(frames.front().width, frames.front().height, &options);
  WebPConfig config;
  WebPConfigInit(&config);
  config.lossless = 1;
  bool ok = encoder != nullptr;
  int timestamp = 0;
  for (const Picture& frame : frames) {
    WebPPicture picture;
    WebPPictureInit(&picture);
    picture.use_argb = 1;
    picture.width = frame.width;
    picture.height = frame.height;
    const std::vector<std::uint8_t> rgba = rgbaBytes(frame);
    ok = ok && WebPPictureImportRGBA(&picture, rgba.data(), frame.width * 4) &&
         WebPAnimEncoderAdd(encoder, &picture, timestamp, &config);
    WebPPictureFree(&picture);
    timestamp += 100;
  }
  ok = ok && WebPAnimEncoderAdd(encoder, nullptr, timestamp, nullptr);
  WebPData data;
  WebPDataInit(&data);
  ok = ok && WebPAnimEncoderAssemble(encoder, &data);
  Bytes bytes;
  if (ok) bytes.assign(data.bytes, data.bytes + data.size);
  WebPDataClear(&data);
  WebPAnimEncoderDelete(encoder);
  if (!ok) fail("animated WebP encoding failed");
  return bytes;
}

}  // namespace graphics_test

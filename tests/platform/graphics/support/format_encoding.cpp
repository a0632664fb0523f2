#include "platform/graphics/support/format_encoding.h"

#include <libheif/heif.h>
#include <openjpeg.h>
#include <stb_image_write.h>
#include <tiffio.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#if defined(__SANITIZE_ADDRESS__)
// x265, which writes the tests' HEVC files, keeps a few buffers of its own until the process
// ends. dav1d, under libheif 1.15, loses about forty bytes on some damaged AV1 pictures; that is
// the libraries' and bounded by the input, so the damage loop is not failed for it.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libx265.so\nleak:libdav1d.so\n";
}
#endif

namespace graphics_test {

namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what);
}

std::vector<std::uint8_t> rgbaOf(const Picture& picture, bool alpha) {
  std::vector<std::uint8_t> bytes;
  for (const Rgba& c : picture.pixels) {
    bytes.insert(bytes.end(), {static_cast<std::uint8_t>(c.r), static_cast<std::uint8_t>(c.g),
                               static_cast<std::uint8_t>(c.b)});
    if (alpha) bytes.push_back(static_cast<std::uint8_t>(c.a));
  }
  return bytes;
}

void putLittle(Bytes& bytes, std::uint32_t value, int width) {
  for (int i = 0; i < width; ++i)
    bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// A growable file in memory for libtiff's and OpenJPEG's writers.
struct MemoryFile {
  Bytes bytes;
  std::size_t at = 0;

  std::size_t write(const void* data, std::size_t size) {
    if (at + size > bytes.size()) bytes.resize(at + size);
    std::memcpy(bytes.data() + at, data, size);
    at += size;
    return size;
  }
  std::size_t read(void* data, std::size_t size) {
    const std::size_t n = std::min(size, bytes.size() - std::min(at, bytes.size()));
    if (n > 0) std::memcpy(data, bytes.data() + at, n);
    at += n;
    return n;
  }
};

tmsize_t tiffRead(thandle_t h, void* data, tmsize_t size) {
  return static_cast<tmsize_t>(
      static_cast<MemoryFile*>(h)->read(data, static_cast<std::size_t>(size)));
}
tmsize_t tiffWrite(thandle_t h, void* data, tmsize_t size) {
  return static_cast<tmsize_t>(
      static_cast<MemoryFile*>(h)->write(data, static_cast<std::size_t>(size)));
}
toff_t tiffSeek(thandle_t h, toff_t offset, int whence) {
  auto* file = static_cast<MemoryFile*>(h);
  const std::size_t base = whence == SEEK_SET   ? 0
                           : whence == SEEK_CUR ? file->at
                                                : file->bytes.size();
  file->at = base + static_cast<std::size_t>(offset);
  return file->at;
}
int tiffClose(thandle_t) {
  return 0;
}
toff_t tiffSize(thandle_t h) {
  return static_cast<MemoryFile*>(h)->bytes.size();
}
int tiffMap(thandle_t, void**, toff_t*) {
  return 0;
}
void tiffUnmap(thandle_t, void*, toff_t) {}

}  // namespace

Bytes encodeWebpOnCanvas(const Picture& picture, int canvasWidth, int canvasHeight, int x, int y) {
  const Bytes still = encodeWebp(picture, true, true);
  WebPMux* mux = WebPMuxNew();
  WebPMuxFrameInfo frame{};
  frame.bitstream = {still.data(), still.size()};
  frame.x_offset = x;
  frame.y_offset = y;
  frame.duration = 100;
  frame.id = WEBP_CHUNK_ANMF;
  frame.dispose_method = WEBP_MUX_DISPOSE_NONE;
  frame.blend_method = WEBP_MUX_NO_BLEND;
  WebPMuxAnimParams params{0xffffffffu, 0};
  bool ok = WebPMuxPushFrame(mux, &frame, 1) == WEBP_MUX_OK &&
            WebPMuxPushFrame(mux, &frame, 1) == WEBP_MUX_OK &&
            WebPMuxSetAnimationParams(mux, &params) == WEBP_MUX_OK &&
            WebPMuxSetCanvasSize(mux, canvasWidth, canvasHeight) == WEBP_MUX_OK;
  WebPData data;
  WebPDataInit(&data);
  ok = ok && WebPMuxAssemble(mux, &data) == WEBP_MUX_OK;
  Bytes bytes;
  if (ok) bytes.assign(data.bytes, data.bytes + data.size);
  WebPDataClear(&data);
  WebPMuxDelete(mux);
  if (!ok) fail("WebP canvas assembly failed");
  return bytes;
}

Bytes encodeBmp(const Picture& picture, bool alpha) {
  const std::vector<std::uint8_t> samples = rgbaOf(picture, alpha);
  Bytes bytes;
  const auto append = [](void* context, void* data, int size) {
    auto* out = static_cast<Bytes*>(context);
    const auto* p = static_cast<const std::uint8_t*>(data);
    out->insert(out->end(), p, p + size);
  };
  if (!stbi_write_bmp_to_func(append, &bytes, picture.width, picture.height, alpha ? 4 : 3,
                              samples.data())) {
    fail("BMP encoding failed");
  }
  return bytes;
}

Bytes encodeTiff(const Picture& picture, bool alpha, TiffLayout layout, int pages) {
  MemoryFile file;
  TIFF* tiff = TIFFClientOpen("memory", "w", &file, tiffRead, tiffWrite, tiffSeek, tiffClose,
                              tiffSize, tiffMap, tiffUnmap);
  if (!tiff) fail("TIFF open failed");
  const int channels = alpha ? 4 : 3;
  bool ok = true;
  for (int page = 0; page < pages && ok; ++page) {
    std::vector<std::uint8_t> samples = rgbaOf(picture, alpha);
    if (page > 0)
      for (std::size_t i = 0; i < samples.size(); ++i)
        if (!alpha || i % 4 != 3) samples[i] = static_cast<std::uint8_t>(255 - samples[i]);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, picture.width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, picture.height);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, channels);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    if (alpha) {
      const std::uint16_t extra = EXTRASAMPLE_UNASSALPHA;
      TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    const std::size_t rowBytes = static_cast<std::size_t>(picture.width) * channels;
    if (layout == TiffLayout::strips) {
      TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 8);
      for (int y = 0; y < picture.height && ok; ++y)
        ok = TIFFWriteScanline(tiff, samples.data() + rowBytes * y,
                               static_cast<std::uint32_t>(y)) == 1;
    } else {
      constexpr int kTileSide = 16;
      TIFFSetField(tiff, TIFFTAG_TILEWIDTH, kTileSide);
      TIFFSetField(tiff, TIFFTAG_TILELENGTH, kTileSide);
      std::vector<std::uint8_t> tile(static_cast<std::size_t>(kTileSide) * kTileSide * channels);
      for (int ty = 0; ty < picture.height && ok; ty += kTileSide) {
        for (int tx = 0; tx < picture.width && ok; tx += kTileSide) {
          std::fill(tile.begin(), tile.end(), 0);
          for (int y = 0; y < kTileSide && ty + y < picture.height; ++y)
            for (int x = 0; x < kTileSide && tx + x < picture.width; ++x)
              std::memcpy(tile.data() + (static_cast<std::size_t>(y) * kTileSide + x) * channels,
                          samples.data() + rowBytes * (ty + y) +
                              static_cast<std::size_t>(tx + x) * channels,
                          static_cast<std::size_t>(channels));
          ok = TIFFWriteTile(tiff, tile.data(), static_cast<std::uint32_t>(tx),
                             static_cast<std::uint32_t>(ty), 0, 0) >= 0;
        }
      }
    }
    ok = ok && TIFFWriteDirectory(tiff) == 1;
  }
  TIFFClose(tiff);
  if (!ok) fail("TIFF encoding failed");
  return file.bytes;
}

namespace {

OPJ_SIZE_T opjWrite(void* data, OPJ_SIZE_T size, void* user) {
  return static_cast<MemoryFile*>(user)->write(data, size);
}
OPJ_OFF_T opjSkip(OPJ_OFF_T size, void* user) {
  auto* file = static_cast<MemoryFile*>(user);
  file->at += static_cast<std::size_t>(size);
  if (file->at > file->bytes.size()) file->bytes.resize(file->at);
  return size;
}
OPJ_BOOL opjSeek(OPJ_OFF_T at, void* user) {
  auto* file = static_cast<MemoryFile*>(user);
  file->at = static_cast<std::size_t>(at);
  if (file->at > file->bytes.size()) file->bytes.resize(file->at);
  return OPJ_TRUE;
}

}  // namespace

Bytes encodeJpeg2000(const Picture& picture, bool alpha, bool codestream, int resolutions) {
  const int channels = alpha ? 4 : 3;
  std::vector<opj_image_cmptparm_t> parameters(static_cast<std::size_t>(channels));
  for (opj_image_cmptparm_t& p : parameters) {
    p = {};
    p.dx = p.dy = 1;
    p.w = static_cast<OPJ_UINT32>(picture.width);
    p.h = static_cast<OPJ_UINT32>(picture.height);
    p.prec = 8;
  }
  opj_image_t* image =
      opj_image_create(static_cast<OPJ_UINT32>(channels), parameters.data(), OPJ_CLRSPC_SRGB);
  if (!image) fail("JPEG 2000 image failed");
  image->x1 = static_cast<OPJ_UINT32>(picture.width);
  image->y1 = static_cast<OPJ_UINT32>(picture.height);
  if (alpha) image->comps[3].alpha = 1;
  for (std::size_t i = 0; i < picture.pixels.size(); ++i) {
    const Rgba& c = picture.pixels[i];
    const int values[] = {c.r, c.g, c.b, c.a};
    for (int k = 0; k < channels; ++k)
      image->comps[k].data[i] = values[k];
  }
  opj_cparameters_t settings;
  opj_set_default_encoder_parameters(&settings);
  settings.numresolution = resolutions;
  settings.tcp_numlayers = 1;
  settings.tcp_rates[0] = 0;  // lossless
  settings.cp_disto_alloc = 1;
  opj_codec_t* codec = opj_create_compress(codestream ? OPJ_CODEC_J2K : OPJ_CODEC_JP2);
  MemoryFile file;
  opj_stream_t* stream = opj_stream_default_create(OPJ_FALSE);
  opj_stream_set_user_data(stream, &file, nullptr);
  opj_stream_set_write_function(stream, opjWrite);
  opj_stream_set_skip_function(stream, opjSkip);
  opj_stream_set_seek_function(stream, opjSeek);
  const bool ok = opj_setup_encoder(codec, &settings, image) &&
                  opj_start_compress(codec, image, stream) && opj_encode(codec, stream) &&
                  opj_end_compress(codec, stream);
  opj_stream_destroy(stream);
  opj_destroy_codec(codec);
  opj_image_destroy(image);
  if (!ok) fail("JPEG 2000 encoding failed");
  return file.bytes;
}

Bytes encodeHeif(const Picture& picture, bool alpha, HeifCodec codec) {
  heif_context* context = heif_context_alloc();
  heif_encoder* encoder = nullptr;
  heif_image* image = nullptr;
  const auto check = [&](heif_error error) {
    if (error.code == heif_error_Ok) return;
    if (image) heif_image_release(image);
    if (encoder) heif_encoder_release(encoder);
    heif_context_free(context);
    fail(std::string("HEIF encoding failed: ") + error.message);
  };
  check(heif_context_get_encoder_for_format(
      context, codec == HeifCodec::hevc ? heif_compression_HEVC : heif_compression_AV1, &encoder));
  check(heif_encoder_set_lossy_quality(encoder, 95));
  check(heif_image_create(picture.width, picture.height, heif_colorspace_RGB,
                          alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                          &image));
  check(heif_image_add_plane(image, heif_channel_interleaved, picture.width, picture.height, 8));
  int stride = 0;
  std::uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
  const std::vector<std::uint8_t> samples = rgbaOf(picture, alpha);
  const std::size_t rowBytes = static_cast<std::size_t>(picture.width) * (alpha ? 4 : 3);
  for (int y = 0; y < picture.height; ++y)
    std::memcpy(plane + static_cast<std::size_t>(stride) * y, samples.data() + rowBytes * y,
                rowBytes);
  heif_encoding_options* options = heif_encoding_options_alloc();
  const heif_error encoded = heif_context_encode_image(context, image, encoder, options, nullptr);
  heif_encoding_options_free(options);
  check(encoded);
  heif_image_release(image);
  image = nullptr;
  heif_encoder_release(encoder);
  encoder = nullptr;
  Bytes bytes;
  heif_writer writer{};
  writer.writer_api_version = 1;
  writer.write = [](heif_context*, const void* data, size_t size, void* user) {
    auto* out = static_cast<Bytes*>(user);
    const auto* p = static_cast<const std::uint8_t*>(data);
    out->insert(out->end(), p, p + size);
    return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
  };
  check(heif_context_write(context, &writer, &bytes));
  heif_context_free(context);
  return bytes;
}

namespace {

void appendBig(Bytes& bytes, std::uint32_t value, int width) {
  for (int i = width - 1; i >= 0; --i)
    bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint32_t bigAt(const Bytes& bytes, std::size_t at) {
  return std::uint32_t{bytes[at]} << 24 | std::uint32_t{bytes[at + 1]} << 16 |
         std::uint32_t{bytes[at + 2]} << 8 | bytes[at + 3];
}

// A box of `type` around `body`; a full box when `version` is given.
Bytes box(const char* type, const Bytes& body, int version = -1, std::uint32_t flags = 0) {
  Bytes out;
  out.reserve(body.size() + 12);
  appendBig(out, static_cast<std::uint32_t>(body.size() + 8 + (version >= 0 ? 4 : 0)), 4);
  for (int i = 0; i < 4; ++i)
    out.push_back(static_cast<std::uint8_t>(type[i]));
  if (version >= 0) appendBig(out, static_cast<std::uint32_t>(version) << 24 | flags, 4);
  for (const std::uint8_t byte : body)
    out.push_back(byte);
  return out;
}

// The whole box whose type `findTag` finds first.
Bytes boxOf(const Bytes& file, const char* type) {
  const std::size_t at = findTag(file, type);
  if (at < 8) fail(std::string("no ") + type + " box");
  const std::size_t start = at - 8;
  return Bytes(file.begin() + static_cast<std::ptrdiff_t>(start),
               file.begin() + static_cast<std::ptrdiff_t>(start + bigAt(file, start)));
}

}  // namespace

Bytes encodeHeifGrid(const Picture& tile, int columns, int rows, std::uint32_t outputWidth,
                     std::uint32_t outputHeight) {
  const Bytes single = encodeHeif(tile, false, HeifCodec::hevc);
  const Bytes hvcC = boxOf(single, "hvcC");
  const Bytes tileSize = boxOf(single, "ispe");
  const Bytes mdat = boxOf(single, "mdat");
  const Bytes coded(mdat.begin() + 8, mdat.end());
  const std::uint32_t tiles = static_cast<std::uint32_t>(columns * rows);
  const std::uint32_t width = static_cast<std::uint32_t>(columns * tile.width);
  const std::uint32_t height = static_cast<std::uint32_t>(rows * tile.height);
  if (outputWidth == 0) outputWidth = width;
  if (outputHeight == 0) outputHeight = height;
  const bool wide = outputWidth > 0xffff || outputHeight > 0xffff;

  // Item 1 is the grid; items 2 and on are its tiles.
  Bytes infos;
  appendBig(infos, tiles + 1, 2);
  const auto info = [&](std::uint32_t id, const char* type) {
    Bytes body;
    appendBig(body, id, 2);
    appendBig(body, 0, 2);
    body.insert(body.end(), type, type + 4);
    body.push_back(0);
    const Bytes entry = box("infe", body, 2);
    infos.insert(infos.end(), entry.begin(), entry.end());
  };
  info(1, "grid");
  for (std::uint32_t id = 2; id <= tiles + 1; ++id)
    info(id, "hvc1");

  Bytes descriptor = {0, static_cast<std::uint8_t>(wide ? 1 : 0),
                      static_cast<std::uint8_t>(rows - 1), static_cast<std::uint8_t>(columns - 1)};
  appendBig(descriptor, outputWidth, wide ? 4 : 2);
  appendBig(descriptor, outputHeight, wide ? 4 : 2);

  // Version 1 locations with 32-bit offsets and lengths; the tiles' offset into the file is
  // known once the metadata's size is.
  const auto locations = [&](std::uint32_t tileOffset) {
    Bytes body = {0x44, 0x00};
    appendBig(body, tiles + 1, 2);
    appendBig(body, 1, 2);
    appendBig(body, 1, 2);  // construction method 1: the item's own data box
    appendBig(body, 0, 2);
    appendBig(body, 1, 2);
    appendBig(body, 0, 4);
    appendBig(body, static_cast<std::uint32_t>(descriptor.size()), 4);
    for (std::uint32_t id = 2; id <= tiles + 1; ++id) {
      appendBig(body, id, 2);
      appendBig(body, 0, 2);
      appendBig(body, 0, 2);
      appendBig(body, 1, 2);
      appendBig(body, tileOffset, 4);
      appendBig(body, static_cast<std::uint32_t>(coded.size()), 4);
    }
    return box("iloc", body, 1);
  };

  Bytes references;
  appendBig(references, 1, 2);
  appendBig(references, tiles, 2);
  for (std::uint32_t id = 2; id <= tiles + 1; ++id)
    appendBig(references, id, 2);

  Bytes gridSize;
  appendBig(gridSize, 0, 4);
  appendBig(gridSize, width, 4);
  appendBig(gridSize, height, 4);
  Bytes properties = hvcC;
  properties.insert(properties.end(), tileSize.begin(), tileSize.end());
  const Bytes gridSizeBox = box("ispe", gridSize);
  properties.insert(properties.end(), gridSizeBox.begin(), gridSizeBox.end());
  Bytes associations;
  appendBig(associations, tiles + 1, 4);
  // The grid has its size (property 3); each tile its coding (1, essential) and size (2).
  appendBig(associations, 1, 2);
  appendBig(associations, 0x0103, 2);
  for (std::uint32_t id = 2; id <= tiles + 1; ++id) {
    appendBig(associations, id, 2);
    appendBig(associations, 0x028102, 3);
  }
  Bytes itemProperties = box("ipco", properties);
  const Bytes ipma = box("ipma", associations, 0);
  itemProperties.insert(itemProperties.end(), ipma.begin(), ipma.end());

  const auto meta = [&](std::uint32_t tileOffset) {
    Bytes body =
        box("hdlr", {0, 0, 0, 0, 'p', 'i', 'c', 't', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0);
    for (const Bytes& part : {box("pitm", {0, 1}, 0), box("iinf", infos, 0), locations(tileOffset),
                              box("iref", box("dimg", references), 0), box("iprp", itemProperties),
                              box("idat", descriptor)}) {
      body.insert(body.end(), part.begin(), part.end());
    }
    return box("meta", body, 0);
  };
  Bytes file =
      box("ftyp", {'h', 'e', 'i', 'c', 0, 0, 0, 0, 'm', 'i', 'f', '1', 'h', 'e', 'i', 'c'});
  const std::size_t headBytes = file.size() + meta(0).size() + 8;
  const Bytes metaBox = meta(static_cast<std::uint32_t>(headBytes));
  file.insert(file.end(), metaBox.begin(), metaBox.end());
  const Bytes data = box("mdat", coded);
  file.insert(file.end(), data.begin(), data.end());
  return file;
}

namespace {

void putLittle32(Bytes& bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

int indexAt(int x, int y, int entries) {
  return (x / 2 + 3 * y) % entries;
}

// Indices of row `y` (from the bottom) coded as `coding`: three literal pixels, then runs.
Bytes codedRow(int y, int bits, int entries, BmpCoding coding) {
  Bytes out;
  if (coding == BmpCoding::plain) {
    out.assign(static_cast<std::size_t>((kPalettedBmpWidth * bits + 31) / 32 * 4), 0);
    for (int x = 0; x < kPalettedBmpWidth; ++x) {
      const int bit = x * bits;
      out[bit / 8] |= static_cast<std::uint8_t>(indexAt(x, y, entries) << (8 - bits - bit % 8));
    }
    return out;
  }
  const auto i = [&](int x) { return static_cast<std::uint8_t>(indexAt(x, y, entries)); };
  if (coding == BmpCoding::rle8) {
    out.insert(out.end(), {0, 3, i(0), i(1), i(2), 0});
  } else {
    out.insert(out.end(), {0, 3, static_cast<std::uint8_t>(i(0) << 4 | i(1)),
                           static_cast<std::uint8_t>(i(2) << 4)});
  }
  for (int x = 3; x < kPalettedBmpWidth;) {
    int run = 1;
    while (x + run < kPalettedBmpWidth && i(x + run) == i(x))
      ++run;
    out.push_back(static_cast<std::uint8_t>(run));
    out.push_back(coding == BmpCoding::rle8 ? i(x) : static_cast<std::uint8_t>(i(x) << 4 | i(x)));
    x += run;
  }
  out.insert(out.end(), {0, 0});
  return out;
}

}  // namespace

Bytes encodePalettedBmp(const PalettedBmpSpec& spec) {
  Bytes pixels;
  for (int row = 0; row < kPalettedBmpHeight; ++row) {
    const int y = spec.topDown ? kPalettedBmpHeight - 1 - row : row;  // rows from the bottom
    Bytes coded =
        codedRow(y, spec.bits, spec.indices > 0 ? spec.indices : spec.entries, spec.coding);
    if (spec.pixelIndex >= 0) std::fill(coded.begin(), coded.end(), spec.pixelIndex);
    pixels.insert(pixels.end(), coded.begin(), coded.end());
  }
  if (spec.coding != BmpCoding::plain && spec.endMark) pixels.insert(pixels.end(), {0, 1});
  const std::uint32_t offset = 14 + 40 + 4 * static_cast<std::uint32_t>(spec.entries);
  Bytes bmp = {'B', 'M'};
  putLittle32(bmp, offset + static_cast<std::uint32_t>(pixels.size()));
  putLittle32(bmp, 0);
  putLittle32(bmp, offset);
  putLittle32(bmp, 40);
  putLittle32(bmp, kPalettedBmpWidth);
  putLittle32(bmp,
              static_cast<std::uint32_t>(spec.topDown ? -kPalettedBmpHeight : kPalettedBmpHeight));
  bmp.insert(bmp.end(), {1, 0, static_cast<std::uint8_t>(spec.bits), 0});
  putLittle32(bmp, spec.compression);
  putLittle32(bmp, static_cast<std::uint32_t>(pixels.size()));
  putLittle32(bmp, 2835);
  putLittle32(bmp, 2835);
  putLittle32(bmp, static_cast<std::uint32_t>(spec.entries));
  putLittle32(bmp, 0);
  for (int k = 0; k < spec.entries; ++k)
    bmp.insert(bmp.end(),
               {static_cast<std::uint8_t>(k * 37 % 256), static_cast<std::uint8_t>(255 - k * 5),
                static_cast<std::uint8_t>(k * 6), 0});
  bmp.insert(bmp.end(), pixels.begin(), pixels.end());
  return bmp;
}

Bytes encodeIco(const std::vector<IconEntry>& entries, int declaredCount) {
  Bytes bytes;
  putLittle(bytes, 0, 2);
  putLittle(bytes, 1, 2);
  putLittle(bytes,
            static_cast<std::uint32_t>(declaredCount >= 0 ? declaredCount
                                                          : static_cast<int>(entries.size())),
            2);
  std::size_t offset = 6 + 16 * entries.size();
  std::vector<Bytes> stored;
  for (const IconEntry& entry : entries) {
    const bool png = entry.image.size() > 4 && entry.image[0] == 0x89;
    // A stored bitmap has no file header, and its header's height counts the mask below it.
    Bytes data = png ? entry.image : Bytes(entry.image.begin() + 14, entry.image.end());
    if (!png) {
      const std::uint32_t height = static_cast<std::uint32_t>(entry.height) * 2;
      for (int i = 0; i < 4; ++i)
        data[8 + i] = static_cast<std::uint8_t>(height >> (8 * i));
      // An all-clear AND mask: one bit a pixel, rows padded to four bytes.
      const std::size_t maskRow = static_cast<std::size_t>((entry.width + 31) / 32) * 4;
      data.insert(data.end(), maskRow * entry.height, 0);
    }
    bytes.push_back(static_cast<std::uint8_t>(entry.width >= 256 ? 0 : entry.width));
    bytes.push_back(static_cast<std::uint8_t>(entry.height >= 256 ? 0 : entry.height));
    bytes.push_back(0);
    bytes.push_back(0);
    putLittle(bytes, 1, 2);
    putLittle(bytes, 32, 2);
    putLittle(bytes, static_cast<std::uint32_t>(data.size()), 4);
    putLittle(bytes, static_cast<std::uint32_t>(offset), 4);
    offset += data.size();
    stored.push_back(std::move(data));
  }
  for (const Bytes& data : stored)
    bytes.insert(bytes.end(), data.begin(), data.end());
  return bytes;
}

std::string encodeXbm(const Picture& picture, const std::string& name) {
  std::string text = "#define " + name + "_width " + std::to_string(picture.width) + "\n#define " +
                     name + "_height " + std::to_string(picture.height) +
                     "\nstatic unsigned char " + name + "_bits[] = {";
  const int rowBytes = (picture.width + 7) / 8;
  bool first = true;
  for (int y = 0; y < picture.height; ++y) {
    for (int b = 0; b < rowBytes; ++b) {
      unsigned value = 0;
      for (int bit = 0; bit < 8 && b * 8 + bit < picture.width; ++bit) {
        const Rgba c = picture.at(b * 8 + bit, y);
        if (c.r + c.g + c.b < 3 * 128) value |= 1u << bit;
      }
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%02x", value);
      text += first ? "\n   " : ", ";
      text += hex;
      first = false;
    }
  }
  return text + " };\n";
}

std::size_t findTag(const Bytes& bytes, const char* box, std::size_t from) {
  for (std::size_t i = from; i + 4 <= bytes.size(); ++i)
    if (std::memcmp(bytes.data() + i, box, 4) == 0) return i + 4;
  return 0;
}

}  // namespace graphics_test

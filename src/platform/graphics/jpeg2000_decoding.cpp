#include <openjpeg.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <span>

#include "platform/graphics/image_decoding_formats.h"

namespace platform::decoding {

namespace {

struct Source {
  std::span<const std::uint8_t> bytes;
  std::size_t at = 0;
};

OPJ_SIZE_T readProc(void* out, OPJ_SIZE_T size, void* user) {
  auto* source = static_cast<Source*>(user);
  if (source->at >= source->bytes.size()) return static_cast<OPJ_SIZE_T>(-1);
  const std::size_t n = std::min(size, source->bytes.size() - source->at);
  std::memcpy(out, source->bytes.data() + source->at, n);
  source->at += n;
  return n;
}

OPJ_OFF_T skipProc(OPJ_OFF_T size, void* user) {
  auto* source = static_cast<Source*>(user);
  if (size < 0 || static_cast<std::uint64_t>(size) > source->bytes.size() - source->at) {
    source->at = source->bytes.size();
    return -1;
  }
  source->at += static_cast<std::size_t>(size);
  return size;
}

OPJ_BOOL seekProc(OPJ_OFF_T at, void* user) {
  auto* source = static_cast<Source*>(user);
  if (at < 0 || static_cast<std::uint64_t>(at) > source->bytes.size()) return OPJ_FALSE;
  source->at = static_cast<std::size_t>(at);
  return OPJ_TRUE;
}

// OpenJPEG prints nothing unless told to; these keep it so.
void quiet(const char*, void*) {}

struct CodecDeleter {
  void operator()(opj_codec_t* codec) const { opj_destroy_codec(codec); }
};
struct StreamDeleter {
  void operator()(opj_stream_t* stream) const { opj_stream_destroy(stream); }
};
struct ImageDeleter {
  void operator()(opj_image_t* image) const { opj_image_destroy(image); }
};
struct InfoDeleter {
  void operator()(opj_codestream_info_v2_t* info) const {
    opj_codestream_info_v2_t* copy = info;
    opj_destroy_cstr_info(&copy);
  }
};

// A sample of `component` scaled to eight bits.
std::uint8_t sample(const opj_image_comp_t& component, std::size_t at) {
  std::int64_t value = component.data[at];
  if (component.sgnd) value += std::int64_t{1} << (component.prec - 1);
  const std::int64_t top = (std::int64_t{1} << component.prec) - 1;
  value = std::clamp<std::int64_t>(value, 0, top);
  return static_cast<std::uint8_t>(component.prec == 8 ? value : (value * 255 + top / 2) / top);
}

// Grey, grey and alpha, colour, colour and alpha; every component at full size and 1 to 16 bits
// deep, which is what `sample` can scale without its shifts leaving 64 bits.
bool showable(const opj_image_t& image) {
  if (image.numcomps < 1 || image.numcomps > 4 || !image.comps) return false;
  if (image.color_space == OPJ_CLRSPC_SYCC || image.color_space == OPJ_CLRSPC_EYCC ||
      image.color_space == OPJ_CLRSPC_CMYK) {
    return false;
  }
  for (OPJ_UINT32 c = 0; c < image.numcomps; ++c) {
    const opj_image_comp_t& component = image.comps[c];
    if (component.dx != 1 || component.dy != 1 || component.prec < 1 || component.prec > 16)
      return false;
  }
  return true;
}

std::uint32_t big32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// The codestream inside a .jp2 file: the contents of its first jp2c box.
std::span<const std::uint8_t> codestreamOf(std::span<const std::uint8_t> bytes) {
  if (bytes.size() >= 2 && bytes[0] == 0xff && bytes[1] == 0x4f) return bytes;
  std::size_t at = 0;
  while (bytes.size() - at >= 8) {
    std::uint64_t length = big32(bytes.data() + at);
    std::size_t head = 8;
    if (length == 1) {
      if (bytes.size() - at < 16) return {};
      length = std::uint64_t{big32(bytes.data() + at + 8)} << 32 | big32(bytes.data() + at + 12);
      head = 16;
    } else if (length == 0) {
      length = bytes.size() - at;
    }
    if (length < head || length > bytes.size() - at) return {};
    if (std::memcmp(bytes.data() + at + 4, "jp2c", 4) == 0)
      return bytes.subspan(at + head, static_cast<std::size_t>(length) - head);
    at += static_cast<std::size_t>(length);
  }
  return {};
}

// What OpenJPEG's header reading holds for each tile and component before a single sample is
// decoded, as measured with its 2.5 release: about 3.3 KB with four components.
constexpr std::uint64_t kBytesPerTileComponent = 3'500;

// The tile grid of the codestream's size marker, checked before OpenJPEG allocates per tile: a
// file must be long enough to hold a tile part (at least 14 bytes) for every tile it declares,
// and the bookkeeping of its tiles must fit the working bound.
std::optional<ImageDecodingFailure> checkTiles(std::span<const std::uint8_t> bytes,
                                               const ImageDecodingLimits& limits) {
  const std::span<const std::uint8_t> codestream = codestreamOf(bytes);
  // SOC, then SIZ: length, capabilities, picture and tile geometry, component count.
  if (codestream.size() < 4 + 38 || codestream[2] != 0xff || codestream[3] != 0x51)
    return ImageDecodingFailure::corrupt;
  const std::uint8_t* siz = codestream.data() + 4;
  const std::uint64_t width = big32(siz + 4);
  const std::uint64_t height = big32(siz + 8);
  const std::uint64_t tileWidth = big32(siz + 20);
  const std::uint64_t tileHeight = big32(siz + 24);
  const std::uint64_t tileX = big32(siz + 28);
  const std::uint64_t tileY = big32(siz + 32);
  const std::uint64_t components = std::uint64_t{siz[36]} << 8 | siz[37];
  if (components < 1 || components > 4 || tileWidth == 0 || tileHeight == 0 || tileX >= width ||
      tileY >= height) {
    return ImageDecodingFailure::corrupt;
  }
  const std::uint64_t tiles = ((width - tileX + tileWidth - 1) / tileWidth) *
                              ((height - tileY + tileHeight - 1) / tileHeight);
  if (tiles * components * kBytesPerTileComponent > workingMemoryBound(limits))
    return ImageDecodingFailure::exceedsLimits;
  if (tiles > codestream.size() / 14) return ImageDecodingFailure::corrupt;
  return std::nullopt;
}

}  // namespace

ImageDecodingResult decodeJpeg2000(std::span<const std::uint8_t> bytes,
                                   const ImageDecodingLimits& limits) {
  if (std::optional<ImageDecodingFailure> refusal = checkTiles(bytes, limits))
    return std::unexpected(*refusal);
  const bool codestream = bytes.size() >= 2 && bytes[0] == 0xff && bytes[1] == 0x4f;
  std::unique_ptr<opj_codec_t, CodecDeleter> codec(
      opj_create_decompress(codestream ? OPJ_CODEC_J2K : OPJ_CODEC_JP2));
  if (!codec) return std::unexpected(ImageDecodingFailure::exceedsLimits);
  opj_set_info_handler(codec.get(), quiet, nullptr);
  opj_set_warning_handler(codec.get(), quiet, nullptr);
  opj_set_error_handler(codec.get(), quiet, nullptr);
  opj_dparameters_t parameters;
  opj_set_default_decoder_parameters(&parameters);
  if (!opj_setup_decoder(codec.get(), &parameters))
    return std::unexpected(ImageDecodingFailure::corrupt);

  Source source{bytes, 0};
  std::unique_ptr<opj_stream_t, StreamDeleter> stream(opj_stream_create(64 * 1024, OPJ_TRUE));
  if (!stream) return std::unexpected(ImageDecodingFailure::exceedsLimits);
  opj_stream_set_user_data(stream.get(), &source, nullptr);
  opj_stream_set_user_data_length(stream.get(), bytes.size());
  opj_stream_set_read_function(stream.get(), readProc);
  opj_stream_set_skip_function(stream.get(), skipProc);
  opj_stream_set_seek_function(stream.get(), seekProc);

  opj_image_t* header = nullptr;
  const bool read = opj_read_header(stream.get(), codec.get(), &header);
  std::unique_ptr<opj_image_t, ImageDeleter> image(header);
  if (!read || !image) return std::unexpected(ImageDecodingFailure::corrupt);
  if (image->x1 <= image->x0 || image->y1 <= image->y0)
    return std::unexpected(ImageDecodingFailure::corrupt);
  const std::uint64_t width = image->x1 - image->x0;
  const std::uint64_t height = image->y1 - image->y0;
  if (std::optional<ImageDecodingFailure> refusal = checkGeometry(width, height, limits))
    return std::unexpected(*refusal);
  if (!showable(*image)) return std::unexpected(ImageDecodingFailure::corrupt);
  OPJ_UINT32 components = image->numcomps;
  // OpenJPEG keeps each component whole, four bytes a sample, while it decodes.
  if (std::uint64_t{components} * 4 * width * height > workingMemoryBound(limits))
    return std::unexpected(ImageDecodingFailure::exceedsLimits);
  // Every resolution level multiplies the bookkeeping of each tile; past what halving the
  // picture down to a pixel needs, more levels only cost.
  std::unique_ptr<opj_codestream_info_v2_t, InfoDeleter> info(opj_get_cstr_info(codec.get()));
  if (!info || !info->m_default_tile_info.tccp_info)
    return std::unexpected(ImageDecodingFailure::corrupt);
  for (OPJ_UINT32 c = 0; c < info->nbcomps; ++c) {
    if (info->m_default_tile_info.tccp_info[c].numresolutions >
        static_cast<OPJ_UINT32>(std::max(limits.maxJpeg2000ResolutionLevels, 1))) {
      return std::unexpected(ImageDecodingFailure::exceedsLimits);
    }
  }
  info.reset();
  if (!opj_decode(codec.get(), stream.get(), image.get()) ||
      !opj_end_decompress(codec.get(), stream.get())) {
    return std::unexpected(ImageDecodingFailure::corrupt);
  }
  // A palette replaces the components it maps with its own count and depths: what the header
  // promised no longer holds, so the count and every depth are taken again from what was decoded.
  if (!showable(*image)) return std::unexpected(ImageDecodingFailure::corrupt);
  components = image->numcomps;
  for (OPJ_UINT32 c = 0; c < components; ++c) {
    const opj_image_comp_t& component = image->comps[c];
    if (!component.data || component.w != width || component.h != height)
      return std::unexpected(ImageDecodingFailure::corrupt);
  }

  const std::size_t count = static_cast<std::size_t>(width * height);
  std::uint8_t* pixels = allocateBuffer(count * 4);
  if (!pixels) return std::unexpected(ImageDecodingFailure::exceedsLimits);
  const bool colour = components >= 3;
  const bool alpha = components == 2 || components == 4;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint8_t* p = pixels + i * 4;
    const std::uint8_t red = sample(image->comps[0], i);
    p[2] = red;
    p[1] = colour ? sample(image->comps[1], i) : red;
    p[0] = colour ? sample(image->comps[2], i) : red;
    p[3] = alpha ? sample(image->comps[components - 1], i) : 255;
  }
  image.reset();
  return adoptPixels(pixels, static_cast<int>(width), static_cast<int>(height),
                     alpha && premultiply(pixels, count) ? ImagePixelFormat::premultipliedBGRA
                                                         : ImagePixelFormat::opaqueBGRX);
}

}  // namespace platform::decoding

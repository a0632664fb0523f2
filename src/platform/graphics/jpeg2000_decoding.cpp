#include <openjpeg.h>

#include <algorithm>
#include <cstring>
#include <memory>

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

}  // namespace

ImageDecodingResult decodeJpeg2000(std::span<const std::uint8_t> bytes,
                                   const ImageDecodingLimits& limits) {
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

// AV1 pictures inside HEIF files (AVIF), decoded by dav1d on settings of our own. libheif 1.15
// opens dav1d with its defaults — a thread per core, several frames in flight, a frame size limit
// of a gigapixel — and offers no way to change them, so that any small file makes dav1d reserve
// hundreds of megabytes of address space, gigabytes on machines with many cores. This plugin
// takes libheif's place for AV1 (a higher priority than its built-in one): one thread, one frame
// in flight, and frames no larger than the decode's own pixel bound.

#include "platform/graphics/heif_av1_decoder.h"

#include <dav1d/dav1d.h>
#include <libheif/heif.h>
#include <libheif/heif_plugin.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "platform/graphics/image_decoding.h"

namespace platform::decoding {

namespace {

// Zero on threads that never decoded through `decodeImage`, whose frames get the default bound.
thread_local std::uint64_t frameSizeLimit = 0;

struct Decoder {
  std::vector<std::uint8_t> data;
};

heif_error ok() {
  return {heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

heif_error failure(heif_error_code code, const char* message) {
  return {code, heif_suberror_Unspecified, message};
}

const char* pluginName() {
  return "bounded dav1d";
}

int supportsFormat(heif_compression_format format) {
  // Above the 100 of libheif's own AV1 decoders.
  return format == heif_compression_AV1 ? 200 : 0;
}

heif_error newDecoder(void** decoder) {
  *decoder = new (std::nothrow) Decoder;
  return *decoder ? ok() : failure(heif_error_Memory_allocation_error, "out of memory");
}

void freeDecoder(void* decoder) {
  delete static_cast<Decoder*>(decoder);
}

heif_error pushData(void* decoder, const void* data, size_t size) {
  auto* d = static_cast<Decoder*>(decoder);
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  d->data.insert(d->data.end(), bytes, bytes + size);
  return ok();
}

void setStrictDecoding(void*, int) {}

// The YCbCr planes of a decoded frame as a libheif image with the frame's colour description.
heif_error toHeifImage(const Dav1dPicture& picture, heif_image** out) {
  const Dav1dPictureParameters& p = picture.p;
  heif_chroma chroma = heif_chroma_monochrome;
  switch (p.layout) {
    case DAV1D_PIXEL_LAYOUT_I400:
      chroma = heif_chroma_monochrome;
      break;
    case DAV1D_PIXEL_LAYOUT_I420:
      chroma = heif_chroma_420;
      break;
    case DAV1D_PIXEL_LAYOUT_I422:
      chroma = heif_chroma_422;
      break;
    case DAV1D_PIXEL_LAYOUT_I444:
      chroma = heif_chroma_444;
      break;
  }
  heif_image* image = nullptr;
  heif_error error = heif_image_create(p.w, p.h, heif_colorspace_YCbCr, chroma, &image);
  if (error.code != heif_error_Ok) return error;
  if (picture.seq_hdr) {
    heif_color_profile_nclx* nclx = heif_nclx_color_profile_alloc();
    if (nclx) {
      heif_nclx_color_profile_set_color_primaries(nclx,
                                                  static_cast<std::uint16_t>(picture.seq_hdr->pri));
      heif_nclx_color_profile_set_transfer_characteristics(
          nclx, static_cast<std::uint16_t>(picture.seq_hdr->trc));
      heif_nclx_color_profile_set_matrix_coefficients(
          nclx, static_cast<std::uint16_t>(picture.seq_hdr->mtrx));
      nclx->full_range_flag = picture.seq_hdr->color_range != 0;
      heif_image_set_nclx_color_profile(image, nclx);
      heif_nclx_color_profile_free(nclx);
    }
  }
  const int planes = p.layout == DAV1D_PIXEL_LAYOUT_I400 ? 1 : 3;
  const int sampleBytes = p.bpc > 8 ? 2 : 1;
  for (int c = 0; c < planes; ++c) {
    const heif_channel channel = c == 0   ? heif_channel_Y
                                 : c == 1 ? heif_channel_Cb
                                          : heif_channel_Cr;
    const bool subX = c > 0 && p.layout != DAV1D_PIXEL_LAYOUT_I444;
    const bool subY = c > 0 && p.layout == DAV1D_PIXEL_LAYOUT_I420;
    const int width = subX ? (p.w + 1) / 2 : p.w;
    const int height = subY ? (p.h + 1) / 2 : p.h;
    error = heif_image_add_plane(image, channel, width, height, p.bpc);
    if (error.code != heif_error_Ok) {
      heif_image_release(image);
      return error;
    }
    int stride = 0;
    std::uint8_t* to = heif_image_get_plane(image, channel, &stride);
    const auto* from = static_cast<const std::uint8_t*>(picture.data[c]);
    const std::ptrdiff_t fromStride = picture.stride[c == 0 ? 0 : 1];
    for (int y = 0; y < height; ++y)
      std::memcpy(to + static_cast<std::ptrdiff_t>(stride) * y, from + fromStride * y,
                  static_cast<std::size_t>(width) * sampleBytes);
  }
  *out = image;
  return ok();
}

heif_error decodeImage(void* decoder, heif_image** out) {
  auto* d = static_cast<Decoder*>(decoder);
  Dav1dSettings settings;
  dav1d_default_settings(&settings);
  settings.n_threads = 1;
  settings.max_frame_delay = 1;
  settings.all_layers = 0;
  const std::uint64_t limit = frameSizeLimit > 0 ? frameSizeLimit : ImageDecodingLimits{}.maxPixels;
  settings.frame_size_limit =
      static_cast<unsigned>(std::min<std::uint64_t>(limit, std::uint64_t{UINT32_MAX}));
  settings.logger.callback = [](void*, const char*, va_list) {};  // damaged files are ordinary
  if (d->data.empty()) return failure(heif_error_Decoder_plugin_error, "no AV1 data");
  Dav1dContext* context = nullptr;
  if (dav1d_open(&context, &settings) != 0)
    return failure(heif_error_Memory_allocation_error, "dav1d could not start");
  Dav1dData data{};
  std::uint8_t* buffer = dav1d_data_create(&data, d->data.size());
  if (!buffer) {
    dav1d_close(&context);
    return failure(heif_error_Memory_allocation_error, "out of memory");
  }
  std::memcpy(buffer, d->data.data(), d->data.size());
  Dav1dPicture picture{};
  bool got = false;
  // Every round either consumes data or hands out the frame; once the data is all sent, the
  // decoder is asked a bounded number of times for a frame still in flight.
  for (int drained = 0; !got && drained < 4;) {
    if (data.sz > 0) {
      const int sent = dav1d_send_data(context, &data);
      if (sent < 0 && sent != DAV1D_ERR(EAGAIN)) break;
    } else {
      ++drained;
    }
    const int result = dav1d_get_picture(context, &picture);
    if (result == 0) {
      got = true;
    } else if (result != DAV1D_ERR(EAGAIN)) {
      break;
    }
  }
  if (data.sz > 0) dav1d_data_unref(&data);
  heif_error error = failure(heif_error_Decoder_plugin_error, "no AV1 frame decoded");
  if (got) {
    error = toHeifImage(picture, out);
    dav1d_picture_unref(&picture);
  }
  dav1d_close(&context);
  return error;
}

heif_decoder_plugin makePlugin() {
  heif_decoder_plugin plugin{};
  plugin.plugin_api_version = 2;
  plugin.get_plugin_name = pluginName;
  plugin.does_support_format = supportsFormat;
  plugin.new_decoder = newDecoder;
  plugin.free_decoder = freeDecoder;
  plugin.push_data = pushData;
  plugin.decode_image = decodeImage;
  plugin.set_strict_decoding = setStrictDecoding;
  return plugin;
}

const heif_decoder_plugin kPlugin = makePlugin();

}  // namespace

void useBoundedAv1Decoder(std::uint64_t maxFramePixels) {
  static std::once_flag registered;
  std::call_once(registered, [] { heif_register_decoder_plugin(&kPlugin); });
  frameSizeLimit = maxFramePixels;
}

}  // namespace platform::decoding

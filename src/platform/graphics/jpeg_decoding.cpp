#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdio>  // jpeglib.h needs FILE and size_t declared first

#include <jerror.h>
#include <jpeglib.h>

#include "platform/graphics/image_decoding_formats.h"

namespace platform::decoding {

namespace {

// Room for libjpeg's own tables and row buffers beside the whole-image coefficient buffers of a
// progressive picture.
constexpr long kJpegWorkingMemoryMargin = 32L * 1024 * 1024;
// A progressive picture buffers two bytes per coefficient, one coefficient per sample; four
// full-resolution components at the pixel limit need eight bytes a pixel.
constexpr long kJpegCoefficientBytesPerPixel = 8;

struct JpegRead {
  jpeg_error_mgr errors{};
  jpeg_progress_mgr progress{};
  std::jmp_buf jump{};
  const ImageDecodingLimits* limits = nullptr;
  ImageDecodingFailure failure = ImageDecodingFailure::corrupt;
  // Data the picture needs was missing (the input ran out, or a marker cut a scan short); libjpeg
  // then makes up the rest.
  bool endedEarly = false;
  // Blocks the scans seen so far decode, against a budget of passes over the image's blocks.
  std::uint64_t scanBlocks = 0;
  int countedScan = 0;
  std::uint8_t* pixels = nullptr;  // owned by the caller of `readJpeg`, even after a longjmp
  std::uint8_t* row = nullptr;     // likewise
  std::uint8_t* rows = nullptr;    // likewise
  int width = 0;
  int height = 0;
};

JpegRead& readOf(j_common_ptr info) {
  return *reinterpret_cast<JpegRead*>(info->err);
}

// libjpeg's own handler ends the process; this one returns to `readJpeg`'s setjmp.
[[noreturn]] void onError(j_common_ptr info) {
  JpegRead& read = readOf(info);
  if (info->err->msg_code == JERR_OUT_OF_MEMORY || info->err->msg_code == JERR_NO_BACKING_STORE)
    read.failure = ImageDecodingFailure::exceedsLimits;
  std::longjmp(read.jump, 1);
}

// Warnings after which libjpeg fills what it could not read with made-up coefficients.
bool meansMissingData(int code) {
  switch (code) {
    case JWRN_JPEG_EOF:       // the input ended inside the picture
    case JWRN_HIT_MARKER:     // a marker (an appended end, say) cut a scan's data short
    case JWRN_MUST_RESYNC:    // restart intervals lost, the rows between are guessed
    case JWRN_HUFF_BAD_CODE:  // entropy-coded data no table can read
      return true;
    default:
      return false;
  }
}

void onMessage(j_common_ptr info, int level) {
  if (level == -1 && meansMissingData(info->err->msg_code)) readOf(info).endedEarly = true;
}

void silence(j_common_ptr) {}

void onProgress(j_common_ptr info) {
  auto* decompress = reinterpret_cast<j_decompress_ptr>(info);
  JpegRead& read = readOf(info);
  if (decompress->input_scan_number > read.limits->maxJpegScans) {
    read.failure = ImageDecodingFailure::exceedsLimits;
    std::longjmp(read.jump, 1);
  }
  // A scan's work is its blocks; a flood of scans over the whole of a large picture costs far
  // more than a flood of small ones, so the budget is in blocks, judged as each scan begins.
  if (decompress->input_scan_number == read.countedScan || decompress->comps_in_scan <= 0) return;
  read.countedScan = decompress->input_scan_number;
  std::uint64_t imageBlocks = 0;
  for (int c = 0; c < decompress->num_components; ++c) {
    const jpeg_component_info& component = decompress->comp_info[c];
    imageBlocks += std::uint64_t{component.width_in_blocks} * component.height_in_blocks;
  }
  for (int c = 0; c < decompress->comps_in_scan && c < MAX_COMPS_IN_SCAN; ++c) {
    const jpeg_component_info* component = decompress->cur_comp_info[c];
    read.scanBlocks += std::uint64_t{component->width_in_blocks} * component->height_in_blocks;
  }
  const auto passes = static_cast<std::uint64_t>(std::max(read.limits->maxJpegBlockPasses, 0));
  if (read.scanBlocks > passes * imageBlocks) {
    read.failure = ImageDecodingFailure::exceedsLimits;
    std::longjmp(read.jump, 1);
  }
}

std::uint8_t scaled(unsigned a, unsigned b) {
  return static_cast<std::uint8_t>((a * b + 127) / 255);
}

// Ink to light. Files with an Adobe marker store their inks inverted, as the programs that
// write CMYK JPEGs do.
void cmykToBgrx(const std::uint8_t* cmyk, std::uint8_t* bgrx, int width, bool inverted) {
  for (int x = 0; x < width; ++x, cmyk += 4, bgrx += 4) {
    const unsigned k = inverted ? cmyk[3] : 255u - cmyk[3];
    for (int c = 0; c < 3; ++c) {
      const unsigned ink = inverted ? cmyk[c] : 255u - cmyk[c];
      bgrx[2 - c] = scaled(ink, k);
    }
    bgrx[3] = 255;
  }
}

// libjpeg reports errors by longjmp to the setjmp below, so this frame holds only trivially
// destructible values and every allocation lives in `read`, which the caller frees.
bool readJpeg(jpeg_decompress_struct* info, JpegRead* read, const std::uint8_t* data,
              std::size_t size) {
  if (setjmp(read->jump)) return false;
  jpeg_create_decompress(info);
  info->mem->max_memory_to_use =
      static_cast<long>(std::min<std::uint64_t>(read->limits->maxPixels, 1ULL << 40)) *
          kJpegCoefficientBytesPerPixel +
      kJpegWorkingMemoryMargin;
  info->progress = &read->progress;
  jpeg_mem_src(info, data, static_cast<unsigned long>(size));
  if (jpeg_read_header(info, TRUE) != JPEG_HEADER_OK) return false;
  if (std::optional<ImageDecodingFailure> refusal =
          checkGeometry(info->image_width, info->image_height, *read->limits)) {
    read->failure = *refusal;
    return false;
  }
  const bool cmyk = info->jpeg_color_space == JCS_CMYK || info->jpeg_color_space == JCS_YCCK;
  info->out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRX;
  info->dct_method = JDCT_ISLOW;
  // A progressive picture is read whole here, scan by scan.
  jpeg_start_decompress(info);
  if (read->endedEarly || info->output_components != 4 || info->output_width != info->image_width ||
      info->output_height != info->image_height) {
    return false;
  }

  read->width = static_cast<int>(info->output_width);
  read->height = static_cast<int>(info->output_height);
  const std::size_t rowBytes = static_cast<std::size_t>(read->width) * 4;
  read->pixels = allocateBuffer(rowBytes * static_cast<std::size_t>(read->height));
  if (cmyk) {
    read->row = allocateBuffer(rowBytes);
  } else {
    read->rows = allocateBuffer(sizeof(JSAMPROW) * static_cast<std::size_t>(read->height));
  }
  if (!read->pixels || (cmyk ? !read->row : !read->rows)) {
    read->failure = ImageDecodingFailure::exceedsLimits;
    return false;
  }
  if (cmyk) {
    while (info->output_scanline < info->output_height) {
      std::uint8_t* target = read->pixels + rowBytes * info->output_scanline;
      JSAMPROW row = read->row;
      if (jpeg_read_scanlines(info, &row, 1) != 1 || read->endedEarly) return false;
      cmykToBgrx(read->row, target, read->width, info->saw_Adobe_marker);
    }
    return true;
  }
  // Asked for many rows at once, libjpeg writes upsampled rows straight into place instead of
  // through a spare row.
  auto** rows = reinterpret_cast<JSAMPROW*>(read->rows);
  for (int y = 0; y < read->height; ++y)
    rows[y] = read->pixels + rowBytes * y;
  while (info->output_scanline < info->output_height) {
    const JDIMENSION done = info->output_scanline;
    if (jpeg_read_scanlines(info, rows + done, info->output_height - done) == 0 ||
        read->endedEarly) {
      return false;
    }
  }
  return true;
}

}  // namespace

ImageDecodingResult decodeJpeg(std::span<const std::uint8_t> bytes,
                               const ImageDecodingLimits& limits) {
  jpeg_decompress_struct info{};
  JpegRead read;
  read.limits = &limits;
  info.err = jpeg_std_error(&read.errors);
  read.errors.error_exit = onError;
  read.errors.emit_message = onMessage;
  read.errors.output_message = silence;
  read.progress.progress_monitor = onProgress;
  // `errors` is the first member, so libjpeg's error pointer leads back to `read`.
  static_assert(offsetof(JpegRead, errors) == 0);

  const bool complete = readJpeg(&info, &read, bytes.data(), bytes.size());
  jpeg_destroy_decompress(&info);
  freeBuffer(read.row);
  freeBuffer(read.rows);
  if (!complete) {
    freeBuffer(read.pixels);
    return std::unexpected(read.failure);
  }
  return adoptPixels(read.pixels, read.width, read.height, ImagePixelFormat::opaqueBGRX);
}

}  // namespace platform::decoding

#include "platform/graphics/jpeg_strip_coder.h"

#include <jerror.h>

#include <algorithm>
#include <new>

namespace platform {

namespace {

constexpr std::size_t kMinOutputCapacity = 64 * 1024;

void discardMessage(j_common_ptr) {}

}  // namespace

// libjpeg reports a failure by calling this and expects it never to return; the jump leads
// back into the call that started the work, which has no C++ objects of its own to unwind.
void JpegStripCoder::onError(j_common_ptr info) {
  auto* error = reinterpret_cast<ErrorManager*>(info->err);
  std::longjmp(error->jump, 1);
}

void JpegStripCoder::onInitDestination(j_compress_ptr info) {
  auto* coder = static_cast<JpegStripCoder*>(info->client_data);
  coder->destination_.next_output_byte = coder->buffer_.data();
  coder->destination_.free_in_buffer = coder->buffer_.size();
}

boolean JpegStripCoder::onEmptyOutput(j_compress_ptr info) {
  auto* coder = static_cast<JpegStripCoder*>(info->client_data);
  const std::size_t used = coder->buffer_.size();
  if (!coder->grow()) {
    info->err->msg_code = JERR_OUT_OF_MEMORY;
    info->err->error_exit(reinterpret_cast<j_common_ptr>(info));
  }
  coder->destination_.next_output_byte = coder->buffer_.data() + used;
  coder->destination_.free_in_buffer = coder->buffer_.size() - used;
  return TRUE;
}

void JpegStripCoder::onTermDestination(j_compress_ptr info) {
  auto* coder = static_cast<JpegStripCoder*>(info->client_data);
  coder->size_ = coder->buffer_.size() - coder->destination_.free_in_buffer;
}

JpegStripCoder::JpegStripCoder() {
  info_.err = jpeg_std_error(&error_.base);
  error_.base.error_exit = &JpegStripCoder::onError;
  // Failures drop the frame; libjpeg's warnings and traces have no reader here.
  error_.base.output_message = &discardMessage;
  jpeg_create_compress(&info_);
  info_.client_data = this;
  destination_.init_destination = &JpegStripCoder::onInitDestination;
  destination_.empty_output_buffer = &JpegStripCoder::onEmptyOutput;
  destination_.term_destination = &JpegStripCoder::onTermDestination;
  info_.dest = &destination_;
}

JpegStripCoder::~JpegStripCoder() {
  jpeg_destroy_compress(&info_);
}

bool JpegStripCoder::grow() {
  try {
    buffer_.resize(std::max(kMinOutputCapacity, buffer_.size() * 2));
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool JpegStripCoder::encode(const Image& image, int firstRow, int rowCount, int quality) {
  size_ = 0;
  if (image.isNull() || firstRow < 0 || rowCount < 1 || firstRow + rowCount > image.height()) {
    return false;
  }
  try {
    rows_.resize(static_cast<std::size_t>(rowCount));
    // About one byte a pixel is plenty for screen content at the qualities in use; more is
    // added on demand and kept for the next frames.
    const std::size_t estimate = static_cast<std::size_t>(image.width()) * rowCount;
    if (buffer_.size() < estimate) buffer_.resize(std::max(kMinOutputCapacity, estimate));
  } catch (const std::bad_alloc&) {
    return false;
  }
  // libjpeg reads the rows straight from the image; it never writes through them.
  for (int i = 0; i < rowCount; ++i) {
    rows_[static_cast<std::size_t>(i)] = const_cast<JSAMPROW>(image.row(firstRow + i));
  }
  info_.image_width = static_cast<JDIMENSION>(image.width());
  info_.image_height = static_cast<JDIMENSION>(rowCount);
  info_.input_components = 4;
  info_.in_color_space = JCS_EXT_BGRX;
  return encodeRows(quality);
}

bool JpegStripCoder::encodeRows(int quality) {
  if (setjmp(error_.jump)) {
    jpeg_abort_compress(&info_);
    return false;
  }
  jpeg_set_defaults(&info_);
  jpeg_set_quality(&info_, quality, TRUE);
  // The single-threaded encoder picks the fast integer transform below quality 96 and the
  // accurate one from there on; the bands must do the same to decode to the same pixels.
  info_.dct_method = quality >= 96 ? JDCT_ISLOW : JDCT_IFAST;
  // Standard tables in every band: optimised ones would differ from band to band.
  info_.optimize_coding = FALSE;
  info_.restart_interval = 0;
  info_.restart_in_rows = 0;
  info_.comp_info[0].h_samp_factor = 2;
  info_.comp_info[0].v_samp_factor = 2;
  for (int c = 1; c < 3; ++c) {
    info_.comp_info[c].h_samp_factor = 1;
    info_.comp_info[c].v_samp_factor = 1;
  }
  jpeg_start_compress(&info_, TRUE);
  while (info_.next_scanline < info_.image_height) {
    jpeg_write_scanlines(&info_, rows_.data() + info_.next_scanline,
                         info_.image_height - info_.next_scanline);
  }
  jpeg_finish_compress(&info_);
  return true;
}

}  // namespace platform

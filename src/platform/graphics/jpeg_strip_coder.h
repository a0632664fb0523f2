#pragma once

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

// After <cstdio>: jpeglib.h uses FILE without declaring it.
#include <jpeglib.h>

#include "platform/graphics/image.h"

namespace platform {

// Encodes a band of rows of an image as a complete baseline JPEG (4:2:0, standard Huffman
// tables, no restart markers) with exactly the settings of the single-threaded encoder, so
// that bands of the same image share their tables and their coded blocks equal those of the
// whole image. One coder serves one band at a time and is reused from frame to frame; its
// output buffer only ever grows.
class JpegStripCoder {
 public:
  JpegStripCoder();
  ~JpegStripCoder();
  JpegStripCoder(const JpegStripCoder&) = delete;
  JpegStripCoder& operator=(const JpegStripCoder&) = delete;

  // Rows [firstRow, firstRow + rowCount) of `image`, read in place. False when libjpeg fails
  // or memory runs out.
  bool encode(const Image& image, int firstRow, int rowCount, int quality);

  // The JPEG of the last successful `encode`.
  std::span<const std::uint8_t> output() const { return {buffer_.data(), size_}; }

 private:
  struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
  };

  static void onError(j_common_ptr info);
  static void onInitDestination(j_compress_ptr info);
  static boolean onEmptyOutput(j_compress_ptr info);
  static void onTermDestination(j_compress_ptr info);
  bool grow();
  bool encodeRows(int quality);

  jpeg_compress_struct info_{};
  ErrorManager error_{};
  jpeg_destination_mgr destination_{};
  std::vector<std::uint8_t> buffer_;
  std::size_t size_ = 0;
  std::vector<JSAMPROW> rows_;
};

}  // namespace platform

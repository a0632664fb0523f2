#pragma once

// A gzip stream of `size` zero bytes: a small answer that decodes to a great deal.

#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

namespace testsupport {

inline std::string gzipOfZeros(std::size_t size) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    return {};
  }
  const std::vector<unsigned char> zeros(1 << 20, 0);
  std::string out;
  std::vector<unsigned char> buffer(1 << 16);
  for (std::size_t left = size; left > 0 || stream.avail_in > 0;) {
    if (stream.avail_in == 0) {
      const std::size_t step = std::min(left, zeros.size());
      stream.next_in = const_cast<unsigned char*>(zeros.data());
      stream.avail_in = static_cast<uInt>(step);
      left -= step;
    }
    const int flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
    do {
      stream.next_out = buffer.data();
      stream.avail_out = static_cast<uInt>(buffer.size());
      deflate(&stream, flush);
      out.append(reinterpret_cast<char*>(buffer.data()), buffer.size() - stream.avail_out);
    } while (stream.avail_out == 0);
  }
  deflateEnd(&stream);
  return out;
}

}  // namespace testsupport

#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/net/url_request.h"

namespace halyard {

// A response body gathered in memory as its pieces arrive. The pieces go into blocks that grow
// with the body up to a fixed size instead of into one buffer that doubles: a doubling buffer
// holds its old and its new storage at once, so a body of n bytes can cost 3n for a moment, and
// more where the freed storage is not handed back. Here the blocks never hold more than the
// body and one block, and they are joined once, when the body is first read whole, each block
// freed as soon as it is copied.
class ReceivedBody {
 public:
  // The largest a block grows to (a single piece larger than it is kept whole).
  static constexpr std::size_t kMaxBlockBytes = std::size_t{1} << 20;

  // Throws std::bad_alloc when the piece cannot be kept; what was kept before stays.
  void append(std::span<const std::uint8_t> piece);
  std::size_t size() const { return size_; }
  // The body in one buffer (joined now if it was still in blocks).
  const platform::Bytes& joined();

 private:
  std::vector<platform::Bytes> blocks_;
  std::size_t size_ = 0;
};

}  // namespace halyard

#include "halyard/core/received_body.h"

#include <algorithm>

namespace halyard {

void ReceivedBody::append(std::span<const std::uint8_t> piece) {
  if (piece.empty()) return;
  if (!blocks_.empty()) {
    auto& last = blocks_.back();
    const std::size_t room = last.capacity() - last.size();
    const std::size_t now = std::min(room, piece.size());
    last.insert(last.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(now));
    size_ += now;
    piece = piece.subspan(now);
    if (piece.empty()) return;
  }
  // The first block is the first piece, exactly: most bodies arrive in one piece, and a small
  // one should cost a small allocation. Each later block is as large as the body so far (the
  // body's size at least doubles every few blocks), never under the piece itself and never over
  // the largest block unless the piece is.
  const std::size_t capacity =
      blocks_.empty()
          ? piece.size()
          : std::max(piece.size(), std::min(std::max(size_, std::size_t{4096}), kMaxBlockBytes));
  platform::Bytes block;
  block.reserve(capacity);
  block.assign(piece.begin(), piece.end());
  blocks_.push_back(std::move(block));
  size_ += piece.size();
}

const platform::Bytes& ReceivedBody::joined() {
  if (blocks_.size() > 1) {
    platform::Bytes whole;
    whole.reserve(size_);
    // Front to back, each block let go once copied; the list itself is dropped at the end.
    for (auto& block : blocks_) {
      whole.insert(whole.end(), block.begin(), block.end());
      platform::Bytes().swap(block);
    }
    blocks_.clear();
    blocks_.push_back(std::move(whole));
  } else if (blocks_.empty()) {
    blocks_.emplace_back();
  }
  return blocks_.front();
}

}  // namespace halyard

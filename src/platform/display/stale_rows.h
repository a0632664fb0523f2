#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace platform {

// The rows of one capture buffer that no longer match the display: everything drawn since the
// buffer was last filled. Refreshing these bands instead of the whole display keeps a small
// change cheap: an X shared-memory read writes its rows packed one after another, so only whole
// rows can be read into their place in the buffer, and a compositor's frame is copied row by row
// where its stride differs. A buffer starts out wholly stale. Past a few bands the spread is
// taken whole, which bounds the number of reads per frame.
class StaleRows {
 public:
  struct Band {
    std::uint32_t top = 0, bottom = 0;  // rows [top, bottom)
    bool operator==(const Band&) const = default;
  };
  static constexpr std::size_t kMaxBands = 8;

  explicit StaleRows(std::uint32_t height) : height_(height) { markAll(); }

  void markAll() {
    bands_.clear();
    if (height_ > 0) bands_.push_back({0, height_});
  }

  // Rows [top, bottom) changed; clipped to the buffer.
  void mark(std::uint32_t top, std::uint32_t bottom) {
    bottom = std::min(bottom, height_);
    if (top >= bottom) return;
    Band added{top, bottom};
    std::vector<Band> merged;
    merged.reserve(bands_.size() + 1);
    for (const Band& band : bands_) {
      if (band.bottom < added.top || added.bottom < band.top) {
        merged.push_back(band);
      } else {  // overlapping or touching
        added.top = std::min(added.top, band.top);
        added.bottom = std::max(added.bottom, band.bottom);
      }
    }
    merged.insert(std::upper_bound(merged.begin(), merged.end(), added,
                                   [](const Band& a, const Band& b) { return a.top < b.top; }),
                  added);
    if (merged.size() > kMaxBands) {
      merged = {{merged.front().top, merged.back().bottom}};
    }
    bands_ = std::move(merged);
  }

  // The buffer was filled: nothing is stale.
  void clear() { bands_.clear(); }

  // In order, not touching one another.
  const std::vector<Band>& bands() const { return bands_; }

 private:
  std::uint32_t height_;
  std::vector<Band> bands_;
};

}  // namespace platform

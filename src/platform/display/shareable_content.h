#pragma once

#include <cstdint>
#include <vector>

#include "platform/display/display_types.h"

namespace platform {

// A display that can be captured.
class ShareableDisplay {
 public:
  ShareableDisplay(DisplayID displayID, DisplayRect frame) : displayID_(displayID), frame_(frame) {}
  DisplayID displayID() const { return displayID_; }
  // Size in points.
  std::uint32_t width() const { return static_cast<std::uint32_t>(frame_.size.width); }
  std::uint32_t height() const { return static_cast<std::uint32_t>(frame_.size.height); }
  DisplayRect frame() const { return frame_; }

 private:
  DisplayID displayID_;
  DisplayRect frame_;
};

// What can be captured right now.
class ShareableContent {
 public:
  // Asks the display servers; blocks, so call it off the main queue. Throws DisplayError
  // when the running X server cannot be reached.
  static ShareableContent current();

  const std::vector<ShareableDisplay>& displays() const { return displays_; }

 private:
  explicit ShareableContent(std::vector<ShareableDisplay> displays)
      : displays_(std::move(displays)) {}
  std::vector<ShareableDisplay> displays_;
};

// The content a capture stream shows: one whole display.
class ContentFilter {
 public:
  explicit ContentFilter(ShareableDisplay display) : display_(display) {}
  const ShareableDisplay& display() const { return display_; }

 private:
  ShareableDisplay display_;
};

}  // namespace platform

#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/display/display_types.h"

namespace platform {

// One mode of a virtual display: its size in points and its refresh rate.
class VirtualDisplayMode {
 public:
  VirtualDisplayMode(std::uint32_t width, std::uint32_t height, double refreshRate)
      : width_(width), height_(height), refreshRate_(refreshRate) {}
  std::uint32_t width() const { return width_; }
  std::uint32_t height() const { return height_; }
  double refreshRate() const { return refreshRate_; }

 private:
  std::uint32_t width_;
  std::uint32_t height_;
  double refreshRate_;
};

// What a virtual display is asked to show. With hiDPI every point of a mode is two pixels wide
// and high.
class VirtualDisplaySettings {
 public:
  void setHiDPI(bool hiDPI) { hiDPI_ = hiDPI; }
  bool hiDPI() const { return hiDPI_; }
  void setModes(std::vector<VirtualDisplayMode> modes) { modes_ = std::move(modes); }
  const std::vector<VirtualDisplayMode>& modes() const { return modes_; }

 private:
  bool hiDPI_ = false;
  std::vector<VirtualDisplayMode> modes_;
};

// The identity and limits of a virtual display. The colour description and the serial,
// product and vendor numbers are kept for whoever asks; X has no place for them.
class VirtualDisplayDescriptor {
 public:
  void setQueue(DispatchQueuePtr queue) { queue_ = std::move(queue); }
  const DispatchQueuePtr& queue() const { return queue_; }
  void setName(std::string name) { name_ = std::move(name); }
  const std::string& name() const { return name_; }

  void setWhitePoint(DisplayPoint point) { whitePoint_ = point; }
  DisplayPoint whitePoint() const { return whitePoint_; }
  void setBluePrimary(DisplayPoint point) { bluePrimary_ = point; }
  DisplayPoint bluePrimary() const { return bluePrimary_; }
  void setGreenPrimary(DisplayPoint point) { greenPrimary_ = point; }
  DisplayPoint greenPrimary() const { return greenPrimary_; }
  void setRedPrimary(DisplayPoint point) { redPrimary_ = point; }
  DisplayPoint redPrimary() const { return redPrimary_; }

  // The largest pixel size the display may take; 0 sets no limit.
  void setMaxPixelsHigh(std::uint32_t pixels) { maxPixelsHigh_ = pixels; }
  std::uint32_t maxPixelsHigh() const { return maxPixelsHigh_; }
  void setMaxPixelsWide(std::uint32_t pixels) { maxPixelsWide_ = pixels; }
  std::uint32_t maxPixelsWide() const { return maxPixelsWide_; }

  // The physical size; zero (or anything not finite and positive) means unknown.
  void setSizeInMillimeters(DisplaySize size) { sizeInMillimeters_ = size; }
  DisplaySize sizeInMillimeters() const { return sizeInMillimeters_; }

  void setSerialNum(std::uint32_t number) { serialNum_ = number; }
  std::uint32_t serialNum() const { return serialNum_; }
  void setProductID(std::uint32_t id) { productID_ = id; }
  std::uint32_t productID() const { return productID_; }
  void setVendorID(std::uint32_t id) { vendorID_ = id; }
  std::uint32_t vendorID() const { return vendorID_; }

 private:
  DispatchQueuePtr queue_;
  std::string name_;
  DisplayPoint whitePoint_, bluePrimary_, greenPrimary_, redPrimary_;
  std::uint32_t maxPixelsHigh_ = 0;
  std::uint32_t maxPixelsWide_ = 0;
  DisplaySize sizeInMillimeters_;
  std::uint32_t serialNum_ = 0;
  std::uint32_t productID_ = 0;
  std::uint32_t vendorID_ = 0;
};

class VirtualDisplayHandle;
class VirtualDisplay;

// Removes every virtual display of the process, whoever holds it, and refuses new ones from
// then on; for a process that is about to end. The objects stay, without a display.
void releaseAllVirtualDisplays();

// Removes the virtual displays a process that died left on the display environment's X server
// (a display of ours is marked with its owner), and gives the screen its size back.
void reclaimAbandonedVirtualDisplays();

// A virtual display. It appears when settings are applied and disappears when the object is
// destroyed. Made through the backend of `currentDisplayEnvironment()`: a RandR monitor on the
// running X server, or an Xvfb server of its own.
class VirtualDisplay {
 public:
  explicit VirtualDisplay(VirtualDisplayDescriptor descriptor);
  ~VirtualDisplay();
  VirtualDisplay(const VirtualDisplay&) = delete;
  VirtualDisplay& operator=(const VirtualDisplay&) = delete;

  // Creates the display in the first mode of `settings`. False when the settings are unusable
  // (no mode, an empty or oversized mode, a size beyond the descriptor's maximum) or the
  // backend cannot make the display; nothing then remains on the system. A display that
  // exists takes only settings of its current size.
  bool applySettings(const VirtualDisplaySettings& settings);

  // The display's identifier for the display queries and the capture; 0 until settings were
  // applied.
  DisplayID displayID() const;
  const VirtualDisplayDescriptor& descriptor() const { return descriptor_; }
  // Why the last `applySettings` answered false, for diagnostics; empty otherwise.
  const std::string& failureReason() const { return failureReason_; }

 private:
  friend void releaseAllVirtualDisplays();

  VirtualDisplayDescriptor descriptor_;
  std::unique_ptr<VirtualDisplayHandle> handle_;
  std::string failureReason_;
};

}  // namespace platform

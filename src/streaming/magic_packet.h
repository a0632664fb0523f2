#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/coding/value.h"

namespace streaming {

// A companion device's description of its screen, as frame type 105 carries it. Built once
// per description and never changed, so it may be read from any thread. Every field the
// dictionary does not hold in the expected shape is simply absent.
class MagicPacket {
 public:
  // Reads "name" (text), "screenSize" ("Width", "Height") and "ppi" (numbers that fit a
  // signed 32-bit integer exactly). Never fails.
  explicit MagicPacket(const platform::Value::Dictionary& dictionary);

  static std::shared_ptr<const MagicPacket> make(const platform::Value::Dictionary& dictionary) {
    return std::make_shared<const MagicPacket>(dictionary);
  }

  // What keeps `dictionary` from describing a screen a display can be made for, for the
  // console: the first of the four fields that is missing or not in the shape read above, with
  // the value found (shortened). Nothing when all four are usable.
  static std::optional<std::string> problemWith(const platform::Value::Dictionary& dictionary);

  const std::optional<std::string>& deviceName() const { return deviceName_; }
  std::optional<std::int32_t> width() const { return width_; }
  std::optional<std::int32_t> height() const { return height_; }
  std::optional<std::int32_t> ppi() const { return ppi_; }

 private:
  std::optional<std::string> deviceName_;
  std::optional<std::int32_t> width_;
  std::optional<std::int32_t> height_;
  std::optional<std::int32_t> ppi_;
};

}  // namespace streaming

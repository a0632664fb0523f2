#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/coding/value.h"
#include "platform/tether/tl_usb_hub.h"
#include "platform/tether/tl_wire_format.h"

namespace streaming::fakes {

platform::TLData textBytes(const std::string& text);

// A screen description as an XML property list.
platform::TLData xmlDescription(const std::string& name, int width, int height, int ppi);

// Posts what the hub posts when a device comes or goes.
void postAttach(const std::shared_ptr<platform::TLUSBHub>& hub, std::int64_t deviceID,
                platform::Value::Dictionary properties = {});
void postDetach(const std::shared_ptr<platform::TLUSBHub>& hub, std::int64_t deviceID);

bool waitUntil(const std::function<bool()>& condition, double seconds = 5.0);

}  // namespace streaming::fakes

#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace streaming {

// The longest display name, in characters (code points).
inline constexpr std::size_t kMaxDisplayNameLength = 64;

// "Tovarine " followed by the device's name, as the virtual display is called. The device's
// name comes from outside: ill-formed UTF-8 becomes U+FFFD, control characters are dropped,
// and the whole name is cut to `kMaxDisplayNameLength` characters.
std::string displayNameForDevice(std::string_view deviceName);

}  // namespace streaming

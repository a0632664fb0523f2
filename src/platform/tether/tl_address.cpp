#include "platform/tether/tl_address.h"

#include <fmt/format.h>

namespace platform {

std::string TLAddress::name() const {
  return fmt::format("{}.{}.{}.{}", address_ >> 24, (address_ >> 16) & 0xff, (address_ >> 8) & 0xff,
                     address_ & 0xff);
}

std::string TLAddress::description() const {
  return fmt::format("{}:{}", name(), port_);
}

}  // namespace platform

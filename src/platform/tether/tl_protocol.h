#pragma once

#include <cstdint>
#include <memory>

namespace platform {

// The framing a channel speaks (see tl_wire_format.h) and the source of frame tags.
class TLProtocol {
 public:
  // The protocol a channel made without one uses.
  static std::shared_ptr<TLProtocol> sharedProtocol();

  // A fresh tag: one counter for the whole process, wrapping around and never yielding 0, which
  // frames that need no answer carry.
  std::uint32_t newTag();
};

}  // namespace platform

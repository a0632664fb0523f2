#include "platform/tether/tl_protocol.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<std::uint32_t> tagCounter{0};
}  // namespace

std::shared_ptr<TLProtocol> TLProtocol::sharedProtocol() {
  static const auto shared = std::make_shared<TLProtocol>();
  return shared;
}

std::uint32_t TLProtocol::newTag() {
  while (true) {
    const std::uint32_t tag = tagCounter.fetch_add(1, std::memory_order_relaxed) + 1;
    if (tag != 0) return tag;
  }
}

}  // namespace platform

#include "platform/foundation/error.h"

namespace platform {

std::string Error::localizedDescription() const {
  return "The operation couldn't be completed.";
}

std::string Error::debugDescription() const {
  return localizedDescription();
}

const char* Error::what() const noexcept {
  auto current = what_.load(std::memory_order_acquire);
  if (!current) {
    std::shared_ptr<const std::string> text;
    try {
      text = std::make_shared<const std::string>(localizedDescription());
    } catch (...) {
      return "platform::Error";
    }
    // Another thread may have won the race; its text is the one every caller sees.
    if (what_.compare_exchange_strong(current, text, std::memory_order_acq_rel)) current = text;
  }
  return current->c_str();
}

}  // namespace platform

#pragma once

#include <string>
#include <utility>

#include "platform/foundation/error.h"

namespace platform {

// A failure of the display layer (X server unreachable, a refused request, a capture that ended).
class DisplayError : public Error {
 public:
  explicit DisplayError(std::string message) : message_(std::move(message)) {}
  std::string localizedDescription() const override { return message_; }

 private:
  std::string message_;
};

inline ErrorPtr displayError(std::string message) {
  return makeError(DisplayError(std::move(message)));
}

}  // namespace platform

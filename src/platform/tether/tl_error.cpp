#include "platform/tether/tl_error.h"

#include <string>

namespace platform {

namespace {

class TetherCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "tether"; }
  std::string message(int code) const override {
    switch (static_cast<TLErrorCode>(code)) {
      case TLErrorCode::badProtocolVersion:
        return "The peer sent a frame of an unsupported protocol version.";
      case TLErrorCode::payloadTooLarge:
        return "The peer announced a frame larger than the channel accepts.";
      case TLErrorCode::truncatedFrame:
        return "The connection ended in the middle of a frame.";
      case TLErrorCode::hubUnavailable:
        return "The USB multiplexer is not available.";
    }
    return "Unknown frame channel error.";
  }
};

}  // namespace

const std::error_category& tetherCategory() {
  static const TetherCategory category;
  return category;
}

bool isPOSIXError(const std::error_code& error, int errnoValue) {
  return (error.category() == std::system_category() ||
          error.category() == std::generic_category()) &&
         error.value() == errnoValue;
}

}  // namespace platform

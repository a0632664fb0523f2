#pragma once

#include <functional>
#include <string>
#include <utility>

#include "platform/foundation/error.h"

namespace platform {

// Why a URL was not opened (refused, or no application took it).
class URLOpenError : public Error {
 public:
  explicit URLOpenError(std::string message) : message_(std::move(message)) {}
  std::string localizedDescription() const override { return message_; }

 private:
  std::string message_;
};

struct URLOpenConfiguration {
  // Ask for a new instance of the handling application (xdg-open has no such choice; kept for
  // callers that state it).
  bool createsNewApplicationInstance = false;
};

using URLOpener = std::function<void(const std::string& url, const URLOpenConfiguration&,
                                     std::function<void(ErrorPtr)> completion)>;

// Opens `url` with the desktop's handler for its scheme: xdg-open, started without a shell
// with the URL as its one argument. The completion runs on a global queue with null on
// success. A URL with spaces, control characters or a leading '-' is refused.
void openURL(const std::string& url, const URLOpenConfiguration& configuration,
             std::function<void(ErrorPtr)> completion);

// Replaces how URLs are opened (tests); an empty opener restores xdg-open.
void setURLOpener(URLOpener opener);

}  // namespace platform

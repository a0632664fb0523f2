#include "platform/net/url_request.h"

namespace platform {

std::optional<std::string> URLRequest::valueForHTTPHeaderField(std::string_view name) const {
  if (!headers_) return std::nullopt;
  return headers_->value(name);
}

void URLRequest::setValueForHTTPHeaderField(std::optional<std::string> value,
                                            std::string_view name) {
  if (!headers_) {
    if (!value) return;
    headers_.emplace();
  }
  headers_->set(name, std::move(value));
}

void URLRequest::addValueForHTTPHeaderField(std::string_view value, std::string_view name) {
  if (!headers_) headers_.emplace();
  headers_->add(name, value);
}

}  // namespace platform

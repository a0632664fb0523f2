#pragma once

#include <cstdint>
#include <string>

namespace platform {

// A cookie as the store keeps it.
struct HTTPCookie {
  std::string name;
  std::string value;
  std::string domain;  // without a leading dot
  bool hostOnly = true;
  std::string path;
  bool isSecure = false;
  std::int64_t expires = 0;  // seconds since 1970; 0 for a cookie of the session only

  bool operator==(const HTTPCookie&) const = default;
};

}  // namespace platform

#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace halyard {

class Session;

// Module-level facts of the HTTP client.
struct HalyardInfo {
  static constexpr std::string_view libraryVersion = "1.0.0";
  // The reverse-DNS prefix of every queue label, notification name and key of the client.
  static inline const std::string labelPrefix = "org.tovarine.halyard";
};

// The shared default session (`Session::defaultSession()`), built once on first use and kept
// for the life of the process.
const std::shared_ptr<Session>& sharedSession();

}  // namespace halyard

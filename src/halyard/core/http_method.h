#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace halyard {

// The request method as sent on the wire. Any text is accepted and kept as written; methods
// compare as exact, case-sensitive strings.
struct HTTPMethod {
  std::string rawValue;

  HTTPMethod() = default;
  explicit HTTPMethod(std::string raw) : rawValue(std::move(raw)) {}

  bool operator==(const HTTPMethod&) const = default;

  static const HTTPMethod CONNECT;
  static const HTTPMethod DELETE;
  static const HTTPMethod GET;
  static const HTTPMethod HEAD;
  static const HTTPMethod OPTIONS;
  static const HTTPMethod PATCH;
  static const HTTPMethod POST;
  static const HTTPMethod PUT;
  static const HTTPMethod QUERY;
  static const HTTPMethod TRACE;
};

inline const HTTPMethod HTTPMethod::CONNECT{"CONNECT"};
inline const HTTPMethod HTTPMethod::DELETE{"DELETE"};
inline const HTTPMethod HTTPMethod::GET{"GET"};
inline const HTTPMethod HTTPMethod::HEAD{"HEAD"};
inline const HTTPMethod HTTPMethod::OPTIONS{"OPTIONS"};
inline const HTTPMethod HTTPMethod::PATCH{"PATCH"};
inline const HTTPMethod HTTPMethod::POST{"POST"};
inline const HTTPMethod HTTPMethod::PUT{"PUT"};
inline const HTTPMethod HTTPMethod::QUERY{"QUERY"};
inline const HTTPMethod HTTPMethod::TRACE{"TRACE"};

}  // namespace halyard

template <>
struct std::hash<halyard::HTTPMethod> {
  std::size_t operator()(const halyard::HTTPMethod& method) const {
    return std::hash<std::string>()(method.rawValue);
  }
};

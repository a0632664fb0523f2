#pragma once

#include <system_error>

namespace platform {

// Failures of the frame channel that are not operating-system errors. Socket and connection
// failures travel as std::system_category codes (ECONNREFUSED, ETIMEDOUT, ...), and a send or
// connect cut short by `close` as ECANCELED, so callers can tell them apart by errno alone.
enum class TLErrorCode {
  badProtocolVersion = 1,  // a frame header with a version other than the one we speak
  payloadTooLarge,         // a frame that announces more than kTLMaxPayloadSize bytes
  truncatedFrame,          // the peer closed the stream in the middle of a frame
  hubUnavailable,          // the USB multiplexer could not be reached
};

const std::error_category& tetherCategory();

inline std::error_code make_error_code(TLErrorCode code) {
  return {static_cast<int>(code), tetherCategory()};
}

// An operating-system error number as an error code of the platform's POSIX domain.
inline std::error_code posixError(int errnoValue) {
  return {errnoValue, std::system_category()};
}

// Whether `error` is the operating-system error `errnoValue`.
bool isPOSIXError(const std::error_code& error, int errnoValue);

}  // namespace platform

template <>
struct std::is_error_code_enum<platform::TLErrorCode> : std::true_type {};

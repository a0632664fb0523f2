#pragma once

// The HTTP/1.1 upgrade of a web socket (RFC 6455 section 4), written and read by our own code:
// libcurl, which opens the connection, cannot speak the upgrade itself, and the answer head is
// small and fixed enough that a bounded parser of our own is simpler than bending an HTTP
// library to a connection it did not open.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/net/http_header_fields.h"
#include "platform/net/url.h"

namespace platform::net_detail {

// The most bytes an answer head may take, blank line included.
inline constexpr std::size_t kWebSocketHeadLimit = 64 * 1024;

// 16 random bytes from the kernel, base64: a fresh "Sec-WebSocket-Key".
std::string makeWebSocketKey();
// base64(SHA-1(key + the protocol's GUID)), what the server must answer in
// "Sec-WebSocket-Accept".
std::string webSocketAccept(std::string_view key);

// The upgrade request for `url` (ws, wss, http or https): the layer's own fields first, then
// `fields` (the request's, then the configuration's), leaving out any the layer writes itself.
// None when a field cannot be sent (a name that is not a token; CR, LF or NUL in a value).
std::optional<std::string> makeWebSocketRequest(const URL& url, const HTTPHeaderFields& fields,
                                                std::string_view key, std::string& problem);

// The subprotocols a request offers in "Sec-WebSocket-Protocol" (comma-separated tokens).
std::vector<std::string> offeredWebSocketProtocols(const HTTPHeaderFields& fields);

// Reads an answer head as bytes arrive; what follows the blank line is kept for the frames.
class WebSocketAnswerReader {
 public:
  enum class State { incomplete, complete, malformed, tooLarge };

  // Takes bytes; once the head is complete the rest goes to `remainder()`.
  State feed(std::span<const std::uint8_t> bytes);
  State state() const { return state_; }

  int statusCode() const { return status_; }
  const std::string& httpVersion() const { return version_; }
  const HTTPHeaderFields& headerFields() const { return fields_; }
  // Bytes after the head: the first frame bytes (or a refusal's body).
  std::vector<std::uint8_t>& remainder() { return remainder_; }

 private:
  State parse();
  State state_ = State::incomplete;
  std::string head_;
  std::size_t scanned_ = 0;
  int status_ = 0;
  std::string version_;
  HTTPHeaderFields fields_;
  std::vector<std::uint8_t> remainder_;
};

// Why a complete answer does not open the socket, or none; `protocol` gets the subprotocol the
// server chose, if any.
std::optional<std::string> checkWebSocketAnswer(const WebSocketAnswerReader& answer,
                                                std::string_view key,
                                                const std::vector<std::string>& offered,
                                                std::optional<std::string>& protocol);

}  // namespace platform::net_detail

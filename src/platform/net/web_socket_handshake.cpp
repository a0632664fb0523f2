#include "platform/net/web_socket_handshake.h"

#include <openssl/evp.h>
#include <sys/random.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include "platform/net/http_text.h"

namespace platform::net_detail {

namespace {

std::string base64(std::span<const std::uint8_t> bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(),
                                static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

using http_text::trim;

std::vector<std::string> commaList(std::string_view value) {
  std::vector<std::string> out;
  while (!value.empty()) {
    const auto comma = value.find(',');
    auto item = trim(value.substr(0, comma));
    if (!item.empty()) out.emplace_back(item);
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return out;
}

bool isToken(std::string_view name) {
  if (name.empty()) return false;
  return std::all_of(name.begin(), name.end(), [](unsigned char c) {
    return std::isalnum(c) || std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
  });
}

// Fields the layer writes itself; the caller's are replaced.
bool isOwnField(std::string_view name) {
  for (std::string_view own :
       {"Host", "Upgrade", "Connection", "Sec-WebSocket-Key", "Sec-WebSocket-Version",
        "Sec-WebSocket-Accept", "Sec-WebSocket-Extensions"}) {
    if (headerNamesEqual(name, own)) return true;
  }
  return false;
}

bool hasToken(const std::optional<std::string>& value, std::string_view token) {
  if (!value) return false;
  for (const auto& item : commaList(*value)) {
    if (http_text::lowercase(item) == token) return true;
  }
  return false;
}

}  // namespace

std::string makeWebSocketKey() {
  std::array<std::uint8_t, 16> bytes{};
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = getrandom(bytes.data() + got, bytes.size() - got, 0);
    if (n > 0) got += static_cast<std::size_t>(n);
  }
  return base64(bytes);
}

std::string webSocketAccept(std::string_view key) {
  static constexpr std::string_view kGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  std::string input(key);
  input += kGuid;
  std::array<std::uint8_t, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  EVP_Digest(input.data(), input.size(), digest.data(), &length, EVP_sha1(), nullptr);
  return base64(std::span<const std::uint8_t>(digest.data(), length));
}

std::optional<std::string> makeWebSocketRequest(const URL& url, const HTTPHeaderFields& fields,
                                                std::string_view key, std::string& problem) {
  const std::string scheme = http_text::lowercase(url.scheme().value_or(""));
  const bool secure = scheme == "wss" || scheme == "https";
  std::string target = url.percentEncodedPath();
  if (target.empty()) target = "/";
  if (auto query = url.query()) target += "?" + *query;
  std::string host = url.host().value_or("");
  if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
  if (auto port = url.port(); port && *port != (secure ? 443 : 80)) {
    host += ":" + std::to_string(*port);
  }
  std::string text =
      "GET " + target + " HTTP/1.1\r\nHost: " + host +
      "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + std::string(key) +
      "\r\nSec-WebSocket-Version: 13\r\n";
  for (const auto& [name, value] : fields) {
    if (!isToken(name) || !isSendableHeaderValue(value)) {
      problem = "header field \"" + name + "\" cannot be sent";
      return std::nullopt;
    }
    if (isOwnField(name)) continue;
    text += name + ": " + value + "\r\n";
  }
  text += "\r\n";
  return text;
}

std::vector<std::string> offeredWebSocketProtocols(const HTTPHeaderFields& fields) {
  auto value = fields.value("Sec-WebSocket-Protocol");
  return value ? commaList(*value) : std::vector<std::string>();
}

WebSocketAnswerReader::State WebSocketAnswerReader::feed(std::span<const std::uint8_t> bytes) {
  if (state_ != State::incomplete) {
    if (state_ == State::complete) remainder_.insert(remainder_.end(), bytes.begin(), bytes.end());
    return state_;
  }
  // Look only at what the limit allows, so a server cannot make the head grow without bound.
  const std::size_t room = kWebSocketHeadLimit - head_.size();
  const std::size_t take = std::min(room, bytes.size());
  head_.append(reinterpret_cast<const char*>(bytes.data()), take);
  const std::size_t from = scanned_ >= 3 ? scanned_ - 3 : 0;
  const std::size_t end = head_.find("\r\n\r\n", from);
  if (end == std::string::npos) {
    scanned_ = head_.size();
    if (head_.size() >= kWebSocketHeadLimit) state_ = State::tooLarge;
    return state_;
  }
  const std::size_t headLength = end + 4;
  // What came after the blank line, from this chunk and the one before it.
  remainder_.assign(head_.begin() + static_cast<std::ptrdiff_t>(headLength), head_.end());
  remainder_.insert(remainder_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(take),
                    bytes.end());
  head_.resize(end);
  state_ = parse();
  return state_;
}

WebSocketAnswerReader::State WebSocketAnswerReader::parse() {
  std::string_view rest(head_);
  auto nextLine = [&] {
    const auto eol = rest.find("\r\n");
    std::string_view line = rest.substr(0, eol);
    rest.remove_prefix(eol == std::string_view::npos ? rest.size() : eol + 2);
    return line;
  };
  const std::string_view statusLine = nextLine();
  // "HTTP/1.1 101 Switching Protocols"
  if (!statusLine.starts_with("HTTP/") || statusLine.size() < 12 || statusLine[8] != ' ') {
    return State::malformed;
  }
  version_ = std::string(statusLine.substr(0, 8));
  const std::string_view code = statusLine.substr(9, 3);
  if (!std::all_of(code.begin(), code.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
      (statusLine.size() > 12 && statusLine[12] != ' ')) {
    return State::malformed;
  }
  status_ = (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
  while (!rest.empty()) {
    const std::string_view line = nextLine();
    const auto colon = line.find(':');
    if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) {
      return State::malformed;
    }
    fields_.add(line.substr(0, colon), trim(line.substr(colon + 1)));
  }
  return State::complete;
}

std::optional<std::string> checkWebSocketAnswer(const WebSocketAnswerReader& answer,
                                                std::string_view key,
                                                const std::vector<std::string>& offered,
                                                std::optional<std::string>& protocol) {
  const auto& fields = answer.headerFields();
  if (answer.statusCode() != 101) {
    return "the server refused the upgrade with status " + std::to_string(answer.statusCode());
  }
  if (!hasToken(fields.value("Upgrade"), "websocket")) {
    return "the answer has no \"Upgrade: websocket\"";
  }
  if (!hasToken(fields.value("Connection"), "upgrade")) {
    return "the answer has no \"Connection: Upgrade\"";
  }
  if (fields.value("Sec-WebSocket-Accept") != webSocketAccept(key)) {
    return "\"Sec-WebSocket-Accept\" does not answer the key";
  }
  if (fields.contains("Sec-WebSocket-Extensions")) {
    return "the server chose an extension none was offered";
  }
  protocol.reset();
  if (auto chosen = fields.value("Sec-WebSocket-Protocol")) {
    if (std::find(offered.begin(), offered.end(), *chosen) == offered.end()) {
      return "the server chose the subprotocol \"" + *chosen + "\", which was not offered";
    }
    protocol = *chosen;
  }
  return std::nullopt;
}

}  // namespace platform::net_detail

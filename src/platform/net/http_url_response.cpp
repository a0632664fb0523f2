#include "platform/net/http_url_response.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace platform {

namespace {

std::string_view trimmed(std::string_view text) {
  auto begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string_view::npos) return {};
  auto end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

std::string trim(std::string_view text) { return std::string(trimmed(text)); }

std::string lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string unquote(std::string text) {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    return text.substr(1, text.size() - 2);
  }
  return text;
}

// The value of parameter `name` in a header value such as `text/html; charset="utf-8"`.
std::optional<std::string> parameter(std::string_view headerValue, std::string_view name) {
  std::size_t pos = headerValue.find(';');
  while (pos != std::string_view::npos) {
    std::size_t next = headerValue.find(';', pos + 1);
    std::string_view piece = headerValue.substr(
        pos + 1, next == std::string_view::npos ? std::string_view::npos : next - pos - 1);
    auto eq = piece.find('=');
    if (eq != std::string_view::npos && lower(trim(piece.substr(0, eq))) == name) {
      return unquote(trim(piece.substr(eq + 1)));
    }
    pos = next;
  }
  return std::nullopt;
}

std::int64_t contentLength(const HTTPHeaderFields& fields, bool bodyIsDecoded) {
  if (bodyIsDecoded) {
    if (auto encoding = fields.valueIfPresent("Content-Encoding")) {
      auto name = trimmed(*encoding);
      if (!name.empty() && !headerNamesEqual(name, "identity")) return -1;
    }
  }
  auto text = fields.valueIfPresent("Content-Length");
  if (!text) return -1;
  auto value = trimmed(*text);
  std::int64_t length = -1;
  auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), length);
  if (ec != std::errc() || ptr != value.data() + value.size() || length < 0) return -1;
  return length;
}

std::optional<std::string> mimeTypeOf(const std::string* type) {
  if (!type) return std::nullopt;
  std::string media = lower(trim(std::string_view(*type).substr(0, type->find(';'))));
  if (media.empty()) return std::nullopt;
  return media;
}

std::optional<std::string> charsetOf(const std::string* type) {
  if (!type) return std::nullopt;
  auto charset = parameter(*type, "charset");
  if (!charset || charset->empty()) return std::nullopt;
  return charset;
}

}  // namespace

URLResponse::URLResponse(URL url, std::optional<std::string> mimeType,
                         std::int64_t expectedContentLength,
                         std::optional<std::string> textEncodingName)
    : url_(std::move(url)),
      mimeType_(std::move(mimeType)),
      expectedContentLength_(expectedContentLength),
      textEncodingName_(std::move(textEncodingName)) {}

namespace {

// The last piece of a name that may hold separators (a decoded "%2F" too), or nothing when
// that piece names no plain file.
std::optional<std::string> baseFileName(const std::string& name) {
  const auto slash = name.find_last_of("/\\");
  std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
  if (base.empty() || base == "." || base == ".." || base.find('\0') != std::string::npos) {
    return std::nullopt;
  }
  return base;
}

}  // namespace

std::string URLResponse::suggestedFilename() const {
  return baseFileName(url_.lastPathComponent()).value_or("Unknown");
}

HTTPURLResponse::HTTPURLResponse(URL url, int statusCode, std::string httpVersion,
                                 HTTPHeaderFields headerFields)
    : HTTPURLResponse(std::move(url), statusCode, std::move(httpVersion), headerFields,
                      contentLength(headerFields, false)) {}

HTTPURLResponse::HTTPURLResponse(URL url, int statusCode, std::string httpVersion,
                                 HTTPHeaderFields headerFields, std::int64_t expectedContentLength)
    : URLResponse(std::move(url), mimeTypeOf(headerFields.valueIfPresent("Content-Type")),
                  expectedContentLength, charsetOf(headerFields.valueIfPresent("Content-Type"))),
      statusCode_(statusCode),
      httpVersion_(std::move(httpVersion)),
      headerFields_(std::move(headerFields)) {}

HTTPURLResponse HTTPURLResponse::fromHeaderLines(URL url, int statusCode, std::string httpVersion,
                                                 const std::vector<std::string>& lines,
                                                 bool bodyIsDecoded) {
  HTTPHeaderFields fields;
  for (const auto& line : lines) {
    auto colon = line.find(':');
    if (colon == std::string::npos || colon == 0) continue;
    auto name = trimmed(std::string_view(line).substr(0, colon));
    if (name.empty()) continue;
    fields.add(name, trimmed(std::string_view(line).substr(colon + 1)));
  }
  std::int64_t length = contentLength(fields, bodyIsDecoded);
  return HTTPURLResponse(std::move(url), statusCode, std::move(httpVersion), std::move(fields),
                         length);
}

std::string HTTPURLResponse::suggestedFilename() const {
  if (auto disposition = headerFields_.value("Content-Disposition")) {
    if (auto name = parameter(*disposition, "filename")) {
      // Only the last path piece: a server must not steer a file into another folder.
      if (auto base = baseFileName(*name)) return *base;
    }
  }
  return URLResponse::suggestedFilename();
}

std::string HTTPURLResponse::localizedStringForStatusCode(int statusCode) {
  switch (statusCode) {
    case 100:
      return "continue";
    case 101:
      return "switching protocols";
    case 200:
      return "no error";
    case 201:
      return "created";
    case 202:
      return "accepted";
    case 203:
      return "non-authoritative information";
    case 204:
      return "no content";
    case 205:
      return "reset content";
    case 206:
      return "partial content";
    case 300:
      return "multiple choices";
    case 301:
      return "moved permanently";
    case 302:
      return "found";
    case 303:
      return "see other";
    case 304:
      return "not modified";
    case 305:
      return "needs proxy";
    case 307:
      return "redirected";
    case 308:
      return "permanent redirect";
    case 400:
      return "bad request";
    case 401:
      return "unauthorized";
    case 402:
      return "payment required";
    case 403:
      return "forbidden";
    case 404:
      return "not found";
    case 405:
      return "method not allowed";
    case 406:
      return "unacceptable";
    case 407:
      return "proxy authentication required";
    case 408:
      return "request timed out";
    case 409:
      return "conflict";
    case 410:
      return "no longer exists";
    case 411:
      return "length required";
    case 412:
      return "precondition failed";
    case 413:
      return "request too large";
    case 414:
      return "requested URL too long";
    case 415:
      return "unsupported media type";
    case 416:
      return "requested range not satisfiable";
    case 417:
      return "expectation failed";
    case 429:
      return "too many requests";
    case 500:
      return "internal server error";
    case 501:
      return "unimplemented";
    case 502:
      return "bad gateway";
    case 503:
      return "service unavailable";
    case 504:
      return "gateway timed out";
    case 505:
      return "unsupported version";
    default:
      break;
  }
  if (statusCode >= 100 && statusCode < 200) return "informational";
  if (statusCode >= 200 && statusCode < 300) return "success";
  if (statusCode >= 300 && statusCode < 400) return "redirected";
  if (statusCode >= 400 && statusCode < 500) return "client error";
  if (statusCode >= 500 && statusCode < 600) return "server error";
  return "unknown";
}

}  // namespace platform

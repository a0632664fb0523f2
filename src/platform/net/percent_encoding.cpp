#include "platform/net/percent_encoding.h"

#include <cstdint>

#include "platform/foundation/utf8.h"

namespace platform {

namespace {

constexpr std::string_view kAlphaDigit =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::string_view kUnreservedMarks = "-._~";
constexpr std::string_view kSubDelims = "!$&'()*+,;=";

URLCharacterSet base() {
  return URLCharacterSet(kAlphaDigit).adding(kUnreservedMarks).adding(kSubDelims);
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

URLCharacterSet::URLCharacterSet(std::string_view members) {
  for (char c : members) {
    auto u = static_cast<unsigned char>(c);
    if (u < 128) bits_.set(u);
  }
}

URLCharacterSet URLCharacterSet::removing(std::string_view characters) const {
  URLCharacterSet result = *this;
  for (char c : characters) {
    auto u = static_cast<unsigned char>(c);
    if (u < 128) result.bits_.reset(u);
  }
  return result;
}

URLCharacterSet URLCharacterSet::adding(std::string_view characters) const {
  URLCharacterSet result = *this;
  for (char c : characters) {
    auto u = static_cast<unsigned char>(c);
    if (u < 128) result.bits_.set(u);
  }
  return result;
}

const URLCharacterSet& URLCharacterSet::urlUserAllowed() {
  static const URLCharacterSet set = base();
  return set;
}

const URLCharacterSet& URLCharacterSet::urlPasswordAllowed() {
  static const URLCharacterSet set = base();
  return set;
}

const URLCharacterSet& URLCharacterSet::urlHostAllowed() {
  static const URLCharacterSet set = base().adding(":[]");
  return set;
}

const URLCharacterSet& URLCharacterSet::urlPathAllowed() {
  static const URLCharacterSet set = base().adding(":@/");
  return set;
}

const URLCharacterSet& URLCharacterSet::urlQueryAllowed() {
  static const URLCharacterSet set = base().adding(":@/?");
  return set;
}

const URLCharacterSet& URLCharacterSet::urlFragmentAllowed() {
  static const URLCharacterSet set = base().adding(":@/?");
  return set;
}

void appendPercentEscape(std::string& out, unsigned char byte) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out.push_back('%');
  out.push_back(kHex[byte >> 4]);
  out.push_back(kHex[byte & 0xF]);
}

bool isPercentEscapeAt(std::string_view text, std::size_t at) {
  return at + 2 < text.size() && text[at] == '%' && hexValue(text[at + 1]) >= 0 &&
         hexValue(text[at + 2]) >= 0;
}

std::string addingPercentEncoding(std::string_view text, const URLCharacterSet& allowed) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (allowed.contains(c)) {
      out.push_back(c);
    } else {
      appendPercentEscape(out, static_cast<unsigned char>(c));
    }
  }
  return out;
}

std::optional<std::string> removingPercentEncoding(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    int hi = hexValue(text[i + 1]);
    int lo = hexValue(text[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  if (!utf8::isValid(out)) return std::nullopt;
  return out;
}

bool isIPLiteralHost(std::string_view text) {
  return text.find(':') != std::string_view::npos &&
         text.find_first_not_of("0123456789abcdefABCDEF:.vV%") == std::string_view::npos;
}

}  // namespace platform

#pragma once

#include <bitset>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// A set of ASCII characters allowed to stand unescaped in some part of a URL. Bytes outside
// ASCII are never members: percent-encoding always escapes them.
class URLCharacterSet {
 public:
  URLCharacterSet() = default;
  explicit URLCharacterSet(std::string_view members);

  // RFC 3986 sets for each part of a URL (unreserved, sub-delims and the part's own extras).
  static const URLCharacterSet& urlUserAllowed();
  static const URLCharacterSet& urlPasswordAllowed();
  static const URLCharacterSet& urlHostAllowed();
  static const URLCharacterSet& urlPathAllowed();
  static const URLCharacterSet& urlQueryAllowed();
  static const URLCharacterSet& urlFragmentAllowed();

  bool contains(char c) const {
    auto u = static_cast<unsigned char>(c);
    return u < 128 && bits_.test(u);
  }
  URLCharacterSet removing(std::string_view characters) const;
  URLCharacterSet adding(std::string_view characters) const;

 private:
  std::bitset<128> bits_;
};

// Escapes every byte of `text` that is not in `allowed` as '%' and two upper-case hexadecimal
// digits.
std::string addingPercentEncoding(std::string_view text, const URLCharacterSet& allowed);

// The one spelling of an escaped byte: '%' and two upper-case hexadecimal digits, appended.
void appendPercentEscape(std::string& out, unsigned char byte);
// Whether a well-formed escape "%XY" starts at byte `at` of `text`.
bool isPercentEscapeAt(std::string_view text, std::size_t at);

// Decodes every "%XY". Answers nothing when an escape is malformed or the decoded bytes are not
// valid UTF-8.
std::optional<std::string> removingPercentEncoding(std::string_view text);

// Whether `text` (without its brackets) may stand as an IP literal in a URL's host: the
// characters of an IPv6 address, an IPvFuture form or a zone, and at least one ':'.
bool isIPLiteralHost(std::string_view text);

}  // namespace platform

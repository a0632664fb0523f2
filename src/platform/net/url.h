#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// A URL reference as RFC 3986 defines it: an absolute URL ("https://host/a?b#c") or a relative
// reference ("a/b", "?q"). Immutable; the text is kept exactly as parsed, so an empty query
// ("http://h/p?") survives every round trip.
class URL {
 public:
  // Parses `text`. Answers nothing for text a URL cannot carry as it stands: an empty text, a
  // character outside the URI character set (space, controls, non-ASCII, '"', '<', '>', '\',
  // '^', '`', '{', '|', '}'), a '%' not followed by two hexadecimal digits, a malformed scheme,
  // a port that is not a decimal number below 65536, or an unclosed IPv6 literal.
  static std::optional<URL> fromString(std::string_view text);
  // Parses `text` as a reference relative to `base` and resolves it (RFC 3986 §5.2). The
  // result is the resolved URL; `base` is not kept.
  static std::optional<URL> fromString(std::string_view text, const URL& base);
  // A "file" URL for a file-system path. A relative path is taken relative to the current
  // directory. With `isDirectory` unset, an existing directory gets a trailing slash.
  static URL fileURLWithPath(std::string_view path, std::optional<bool> isDirectory = {});

  // The whole text, as parsed (or as composed by the operations below).
  const std::string& absoluteString() const { return text_; }

  std::optional<std::string> scheme() const;  // as written, e.g. "https"
  // The host, percent-decoded, without the brackets of an IPv6 literal. Absent without an
  // authority; empty for "file:///p".
  std::optional<std::string> host() const;
  std::optional<int> port() const;
  std::optional<std::string> user() const;      // percent-decoded
  std::optional<std::string> password() const;  // percent-decoded
  // The path, percent-decoded, with a trailing slash removed (except for "/" itself).
  std::string path() const;
  std::string percentEncodedPath() const;       // the path exactly as written
  std::optional<std::string> query() const;     // percent-encoded; "" for a lone "?"
  std::optional<std::string> fragment() const;  // percent-encoded

  // "/" → "/", "/a/b.txt" → "b.txt", "/a/b/" → "b", "" → "". Percent-decoded.
  std::string lastPathComponent() const;
  std::string pathExtension() const;  // "b.tar.gz" → "gz"; "" when there is none
  // "/a/b" → {"/", "a", "b"}; percent-decoded.
  std::vector<std::string> pathComponents() const;
  bool hasDirectoryPath() const;  // the path ends with "/"
  bool isFileURL() const;         // the scheme is "file" (any case)
  bool isAbsolute() const { return schemeLength_ > 0; }

  // Appends one component to the path (its characters percent-encoded where the path needs
  // it; '/' inside it is kept as a separator), keeping query and fragment.
  URL appendingPathComponent(std::string_view component, bool isDirectory = false) const;
  // Removes the last path component: "/a/b" → "/a/", "/a/" → "/"; the root stays the root.
  URL deletingLastPathComponent() const;
  URL appendingPathExtension(std::string_view extension) const;
  URL deletingPathExtension() const;

  bool operator==(const URL& other) const { return text_ == other.text_; }
  auto operator<=>(const URL& other) const { return text_ <=> other.text_; }

 private:
  friend class URLComponents;
  URL() = default;
  static std::optional<URL> parse(std::string text);

  std::string text_;
  // Offsets into `text_` of each part, computed once. npos marks an absent part.
  std::size_t schemeLength_ = 0;  // 0: relative reference
  std::size_t authorityStart_ = std::string::npos, authorityEnd_ = std::string::npos;
  std::size_t pathStart_ = 0, pathEnd_ = 0;
  std::size_t queryStart_ = std::string::npos, queryEnd_ = std::string::npos;
  std::size_t fragmentStart_ = std::string::npos;
};

}  // namespace platform

template <>
struct std::hash<platform::URL> {
  std::size_t operator()(const platform::URL& url) const noexcept {
    return std::hash<std::string>()(url.absoluteString());
  }
};

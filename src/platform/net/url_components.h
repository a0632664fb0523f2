#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/net/url.h"

namespace platform {

// One "name=value" pair of a query. A value that is absent ("name") differs from an empty one
// ("name=").
struct URLQueryItem {
  std::string name;
  std::optional<std::string> value;

  bool operator==(const URLQueryItem&) const = default;
};

// The parts of a URL, each readable and writable on its own, percent-decoded or as written.
// Every part is kept percent-encoded inside, so an empty query stays distinct from none.
class URLComponents {
 public:
  URLComponents() = default;
  // The parts of `url` (never fails: a URL always splits).
  explicit URLComponents(const URL& url);
  // Parses `text` as `URL::fromString` does; nothing for text it rejects.
  static std::optional<URLComponents> fromString(std::string_view text);

  // The URL the parts compose, or nothing when they compose none: a path that does not start
  // with "/" after an authority, a path starting with "//" without one, an invalid scheme, or a
  // relative reference whose first segment holds ':'.
  std::optional<URL> url() const;
  std::optional<std::string> string() const;  // the composed text, on the same terms

  // Decoded parts. The setters percent-encode what the part cannot carry.
  const std::optional<std::string>& scheme() const { return scheme_; }
  void setScheme(std::optional<std::string> scheme);
  std::optional<std::string> user() const;
  void setUser(const std::optional<std::string>& user);
  std::optional<std::string> password() const;
  void setPassword(const std::optional<std::string>& password);
  std::optional<std::string> host() const;  // IPv6 literals without brackets
  void setHost(const std::optional<std::string>& host);
  const std::optional<int>& port() const { return port_; }
  void setPort(std::optional<int> port) { port_ = port; }
  std::string path() const;
  void setPath(std::string_view path);
  std::optional<std::string> query() const;
  void setQuery(const std::optional<std::string>& query);
  std::optional<std::string> fragment() const;
  void setFragment(const std::optional<std::string>& fragment);

  // Parts as written. A setter escapes the characters the part may not hold, and a '%' that
  // does not start a valid escape, so it can never produce an unparsable URL.
  const std::optional<std::string>& percentEncodedHost() const { return host_; }
  void setPercentEncodedHost(const std::optional<std::string>& host);
  const std::string& percentEncodedPath() const { return path_; }
  void setPercentEncodedPath(std::string_view path);
  const std::optional<std::string>& percentEncodedQuery() const { return query_; }
  void setPercentEncodedQuery(const std::optional<std::string>& query);

  // The query split at '&' into items (names and values decoded); empty for an empty query,
  // nothing without one. The setter writes the items escaped, '&', '=', '+' and '#' included;
  // an empty list leaves an empty query ("?"), nothing removes it.
  std::optional<std::vector<URLQueryItem>> queryItems() const;
  void setQueryItems(const std::optional<std::vector<URLQueryItem>>& items);

  bool operator==(const URLComponents&) const = default;

 private:
  std::optional<std::string> scheme_;
  std::optional<std::string> user_;
  std::optional<std::string> password_;
  std::optional<std::string> host_;  // as written, brackets of an IPv6 literal included
  std::optional<int> port_;
  std::string path_;
  std::optional<std::string> query_;
  std::optional<std::string> fragment_;
};

}  // namespace platform

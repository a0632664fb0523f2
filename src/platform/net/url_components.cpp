#include "platform/net/url_components.h"

#include <cctype>

#include "platform/net/percent_encoding.h"

namespace platform {

namespace {

// Escapes what `allowed` does not hold, keeping valid escapes as they are and escaping a '%'
// that starts none.
std::string sanitize(std::string_view text, const URLCharacterSet& allowed) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (isPercentEscapeAt(text, i)) {
      out.append(text.substr(i, 3));
      i += 2;
    } else if (c != '%' && allowed.contains(c)) {
      out.push_back(c);
    } else {
      appendPercentEscape(out, static_cast<unsigned char>(c));
    }
  }
  return out;
}

std::optional<std::string> sanitizeOptional(const std::optional<std::string>& text,
                                            const URLCharacterSet& allowed) {
  if (!text) return std::nullopt;
  return sanitize(*text, allowed);
}

std::optional<std::string> encodeOptional(const std::optional<std::string>& text,
                                          const URLCharacterSet& allowed) {
  if (!text) return std::nullopt;
  return addingPercentEncoding(*text, allowed);
}

std::optional<std::string> decodeOptional(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  if (auto decoded = removingPercentEncoding(*text)) return decoded;
  return text;
}

const URLCharacterSet& queryItemAllowed() {
  static const URLCharacterSet set = URLCharacterSet::urlQueryAllowed().removing("&=+#");
  return set;
}

const URLCharacterSet& queryItemValueAllowed() {
  static const URLCharacterSet set = URLCharacterSet::urlQueryAllowed().removing("&+#");
  return set;
}

// What a host name may hold as it stands; brackets belong to IP literals only, and a ':' would
// start a port.
const URLCharacterSet& nameHostAllowed() {
  static const URLCharacterSet set = URLCharacterSet::urlHostAllowed().removing(":[]");
  return set;
}

bool validScheme(const std::string& scheme) {
  if (scheme.empty() || !std::isalpha(static_cast<unsigned char>(scheme[0]))) return false;
  for (char c : scheme) {
    auto u = static_cast<unsigned char>(c);
    if (!std::isalnum(u) && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

}  // namespace

URLComponents::URLComponents(const URL& url) {
  scheme_ = url.scheme();
  const std::string& text = url.absoluteString();
  if (url.authorityStart_ != std::string::npos) {
    std::string_view authority =
        std::string_view(text).substr(url.authorityStart_, url.authorityEnd_ - url.authorityStart_);
    auto at = authority.rfind('@');
    std::string_view hostPort = authority;
    if (at != std::string_view::npos) {
      auto userInfo = authority.substr(0, at);
      auto colon = userInfo.find(':');
      user_ = std::string(userInfo.substr(0, colon));
      if (colon != std::string_view::npos) password_ = std::string(userInfo.substr(colon + 1));
      hostPort = authority.substr(at + 1);
    }
    std::size_t portColon =
        hostPort.starts_with("[") ? hostPort.find(':', hostPort.find(']')) : hostPort.find(':');
    host_ = std::string(hostPort.substr(0, portColon));
    port_ = url.port();
  }
  path_ = url.percentEncodedPath();
  query_ = url.query();
  fragment_ = url.fragment();
}

std::optional<URLComponents> URLComponents::fromString(std::string_view text) {
  auto url = URL::fromString(text);
  if (!url) return std::nullopt;
  return URLComponents(*url);
}

std::optional<std::string> URLComponents::string() const {
  bool hasAuthority = user_ || password_ || host_ || port_;
  if (scheme_ && !validScheme(*scheme_)) return std::nullopt;
  if (hasAuthority && !path_.empty() && !path_.starts_with("/")) return std::nullopt;
  if (!hasAuthority && path_.starts_with("//")) return std::nullopt;
  if (!scheme_ && !hasAuthority) {
    auto firstSegmentEnd = path_.find('/');
    if (path_.substr(0, firstSegmentEnd).find(':') != std::string::npos) return std::nullopt;
  }
  std::string out;
  if (scheme_) out += *scheme_ + ":";
  if (hasAuthority) {
    out += "//";
    if (user_ || password_) {
      out += user_.value_or("");
      if (password_) out += ":" + *password_;
      out += "@";
    }
    out += host_.value_or("");
    if (port_) out += ":" + std::to_string(*port_);
  }
  out += path_;
  if (query_) out += "?" + *query_;
  if (fragment_) out += "#" + *fragment_;
  // The parts are checked one by one above; the whole text must also read back as a URL, so the
  // text and `url()` never disagree.
  if (!out.empty() && !URL::fromString(out)) return std::nullopt;
  return out;
}

std::optional<URL> URLComponents::url() const {
  auto text = string();
  if (!text) return std::nullopt;
  if (text->empty()) return std::nullopt;
  return URL::fromString(*text);
}

void URLComponents::setScheme(std::optional<std::string> scheme) {
  scheme_ = std::move(scheme);
}

std::optional<std::string> URLComponents::user() const {
  return decodeOptional(user_);
}
void URLComponents::setUser(const std::optional<std::string>& user) {
  user_ = encodeOptional(user, URLCharacterSet::urlUserAllowed());
}

std::optional<std::string> URLComponents::password() const {
  return decodeOptional(password_);
}
void URLComponents::setPassword(const std::optional<std::string>& password) {
  password_ = encodeOptional(password, URLCharacterSet::urlPasswordAllowed());
}

std::optional<std::string> URLComponents::host() const {
  if (!host_) return std::nullopt;
  std::string_view h = *host_;
  if (h.starts_with("[") && h.ends_with("]")) return std::string(h.substr(1, h.size() - 2));
  return decodeOptional(host_);
}
void URLComponents::setHost(const std::optional<std::string>& host) {
  if (!host) {
    host_.reset();
  } else if (isIPLiteralHost(*host)) {
    host_ = "[" + *host + "]";
  } else {
    // Anything else is one name: ':', '@', '/', '?' or brackets in it are escaped, so it can
    // never turn into a port, user information, a path or a literal.
    host_ = addingPercentEncoding(*host, nameHostAllowed());
  }
}

std::string URLComponents::path() const {
  return decodeOptional(path_).value_or(path_);
}
void URLComponents::setPath(std::string_view path) {
  path_ = addingPercentEncoding(path, URLCharacterSet::urlPathAllowed());
}

std::optional<std::string> URLComponents::query() const {
  return decodeOptional(query_);
}
void URLComponents::setQuery(const std::optional<std::string>& query) {
  query_ = encodeOptional(query, URLCharacterSet::urlQueryAllowed());
}

std::optional<std::string> URLComponents::fragment() const {
  return decodeOptional(fragment_);
}
void URLComponents::setFragment(const std::optional<std::string>& fragment) {
  fragment_ = encodeOptional(fragment, URLCharacterSet::urlFragmentAllowed());
}

void URLComponents::setPercentEncodedHost(const std::optional<std::string>& host) {
  if (host && host->size() >= 2 && host->starts_with("[") && host->ends_with("]") &&
      isIPLiteralHost(std::string_view(*host).substr(1, host->size() - 2))) {
    host_ = host;
  } else {
    host_ = sanitizeOptional(host, nameHostAllowed());
  }
}
void URLComponents::setPercentEncodedPath(std::string_view path) {
  path_ = sanitize(path, URLCharacterSet::urlPathAllowed());
}
void URLComponents::setPercentEncodedQuery(const std::optional<std::string>& query) {
  query_ = sanitizeOptional(query, URLCharacterSet::urlQueryAllowed());
}

std::optional<std::vector<URLQueryItem>> URLComponents::queryItems() const {
  if (!query_) return std::nullopt;
  std::vector<URLQueryItem> items;
  if (query_->empty()) return items;
  // A part that does not decode is kept as written.
  auto decoded = [](std::string_view text) {
    return removingPercentEncoding(text).value_or(std::string(text));
  };
  std::size_t pos = 0;
  while (true) {
    std::size_t amp = query_->find('&', pos);
    std::string_view piece = std::string_view(*query_).substr(
        pos, amp == std::string::npos ? std::string::npos : amp - pos);
    auto eq = piece.find('=');
    if (eq == std::string_view::npos) {
      items.push_back({decoded(piece), std::nullopt});
    } else {
      items.push_back({decoded(piece.substr(0, eq)), decoded(piece.substr(eq + 1))});
    }
    if (amp == std::string::npos) break;
    pos = amp + 1;
  }
  return items;
}

void URLComponents::setQueryItems(const std::optional<std::vector<URLQueryItem>>& items) {
  if (!items) {
    query_.reset();
    return;
  }
  std::string query;
  for (std::size_t i = 0; i < items->size(); ++i) {
    const URLQueryItem& item = (*items)[i];
    if (i > 0) query += "&";
    query += addingPercentEncoding(item.name, queryItemAllowed());
    if (item.value) query += "=" + addingPercentEncoding(*item.value, queryItemValueAllowed());
  }
  query_ = std::move(query);
}

}  // namespace platform

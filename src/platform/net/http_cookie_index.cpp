#include "platform/net/http_cookie_index.h"

#include <curl/curl.h>
#include <libpsl.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <ctime>
#include <optional>
#include "platform/net/http_text.h"

namespace platform {

namespace {

using http_text::lowercase;
using http_text::trim;

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) ==
                  std::tolower(static_cast<unsigned char>(b));
         });
}

bool isIPAddress(std::string_view host) {
  return host.find(':') != std::string_view::npos ||
         std::all_of(host.begin(), host.end(),
                     [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

// As the engine compares paths: quotes dropped, a path not starting with "/" is "/", and a
// trailing slash does not count.
std::string comparablePath(std::string_view path) {
  if (!path.empty() && path.front() == '"') path.remove_prefix(1);
  if (!path.empty() && path.back() == '"') path.remove_suffix(1);
  if (path.empty() || path.front() != '/') return "/";
  if (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return lowercase(path);
}

// The path a cookie without one gets: the request's, up to its last slash.
std::string defaultPath(std::string_view requestPath) {
  const auto slash = requestPath.rfind('/');
  if (slash == std::string_view::npos) return "/";
  return comparablePath(requestPath.substr(0, slash + 1));
}

// Whether the engine, which judges cookie domains against the public suffix list, would let
// `host` set a cookie for `domain`.
bool acceptableDomain(const std::string& host, const std::string& domain) {
  static const psl_ctx_t* const list = [] {
    const auto* info = curl_version_info(CURLVERSION_NOW);
    if (!(info->features & CURL_VERSION_PSL)) return static_cast<const psl_ctx_t*>(nullptr);
    const psl_ctx_t* latest = psl_latest(nullptr);
    return latest ? latest : psl_builtin();
  }();
  return !list || psl_is_cookie_domain_acceptable(list, host.c_str(), domain.c_str());
}

struct Parsed {
  HTTPCookieIndex::SetCookie cookie;
  bool certain = true;  // the engine surely took it, if it took anything from the line
};

// One "Set-Cookie" field, judged as the engine judges it; nothing when the engine surely
// refuses it, or when it names what no expiry line could name again.
std::optional<Parsed> parseSetCookie(std::string_view text, const HTTPCookieIndex::Origin& origin) {
  std::string_view pair = text.substr(0, text.find(';'));
  const auto equals = pair.find('=');
  if (equals == std::string_view::npos) return std::nullopt;
  const std::string_view name = trim(pair.substr(0, equals));
  if (name.empty() || name.find('\t') != std::string_view::npos) return std::nullopt;

  Parsed parsed;
  auto& cookie = parsed.cookie;
  cookie.key.name = lowercase(name);
  std::optional<std::string> domain;
  std::optional<std::string_view> path;
  std::optional<std::int64_t> maxAge;
  std::optional<std::int64_t> expires;
  for (std::size_t at = pair.size(); at < text.size();) {
    const auto end = std::min(text.find(';', at + 1), text.size());
    const std::string_view attribute = trim(text.substr(at + 1, end - at - 1));
    at = end;
    const auto sign = attribute.find('=');
    const std::string attributeName = lowercase(trim(attribute.substr(0, sign)));
    const std::string_view value =
        sign == std::string_view::npos ? std::string_view() : trim(attribute.substr(sign + 1));
    if (attributeName == "secure") {
      cookie.secure = true;
    } else if (attributeName == "domain" && !value.empty()) {
      std::string_view bare = value;
      if (bare.front() == '.') bare.remove_prefix(1);
      domain = lowercase(bare);
    } else if (attributeName == "path" && !value.empty()) {
      path = value;
    } else if (attributeName == "max-age") {
      std::int64_t seconds = 0;
      const auto* first = value.data();
      if (!value.empty() && value.front() == '+') ++first;
      if (std::from_chars(first, value.data() + value.size(), seconds).ec == std::errc()) {
        maxAge = seconds;
      } else {
        parsed.certain = false;  // the engine may read it otherwise
      }
    } else if (attributeName == "expires" && !value.empty()) {
      expires = curl_getdate(std::string(value).c_str(), nullptr);
    }
  }
  if (domain && !domain->empty() && *domain != origin.host) {
    if (domain->find('\t') != std::string::npos || isIPAddress(origin.host) ||
        !origin.host.ends_with("." + *domain)) {
      return std::nullopt;  // not the origin's to set
    }
  }
  cookie.key.domain = domain && !domain->empty() ? *domain : origin.host;
  cookie.key.hostOnly = !domain || domain->empty() || isIPAddress(origin.host);
  if (!acceptableDomain(origin.host, cookie.key.domain)) return std::nullopt;
  if (cookie.secure && !origin.secureContext) return std::nullopt;
  cookie.key.path = path ? comparablePath(*path) : defaultPath(origin.path);
  if (cookie.key.path.find('\t') != std::string::npos) return std::nullopt;
  const auto now = static_cast<std::int64_t>(std::time(nullptr));
  cookie.deletes = maxAge ? *maxAge <= 0 : (expires && *expires >= 0 && *expires <= now);
  return parsed;
}

}  // namespace

bool HTTPCookieIndex::setsCookies(const std::vector<std::string>& headLines) {
  for (const auto& line : headLines) {
    if (startsWithNoCase(line, "Set-Cookie:")) return true;
  }
  return false;
}

std::vector<HTTPCookieIndex::SetCookie> HTTPCookieIndex::cookiesOf(
    const std::vector<std::string>& headLines, const Origin& origin) const {
  constexpr std::string_view field = "Set-Cookie:";
  std::vector<SetCookie> result;
  std::size_t counted = 0;
  for (const auto& line : headLines) {
    if (counted == kCookiesPerResponse) break;
    if (!startsWithNoCase(line, field)) continue;
    auto parsed = parseSetCookie(std::string_view(line).substr(field.size()), origin);
    if (!parsed) continue;
    // A cookie the engine may have refused is kept track of, but not counted against what it
    // takes from a response: the cookies after it may still be taken.
    const bool collides = !origin.secureContext && !parsed->cookie.secure &&
                          secureNames_.contains(parsed->cookie.key.name);
    if (parsed->certain && !collides) ++counted;
    result.push_back(std::move(parsed->cookie));
  }
  return result;
}

std::string HTTPCookieIndex::identity(const Key& key) {
  // A line break cannot occur in a head's field.
  return key.name + '\n' + (key.hostOnly ? "=" : ".") + key.domain + '\n' + key.path;
}

void HTTPCookieIndex::touch(const SetCookie& cookie) {
  const auto id = identity(cookie.key);
  auto found = byIdentity_.find(id);
  if (cookie.deletes) {
    if (found != byIdentity_.end()) erase(found->second);
    return;
  }
  if (found != byIdentity_.end()) {
    auto entry = found->second;
    if (entry->secure != cookie.secure) {
      if (entry->secure && --secureNames_[entry->key.name] == 0)
        secureNames_.erase(entry->key.name);
      if (cookie.secure) ++secureNames_[entry->key.name];
      entry->secure = cookie.secure;
    }
    entries_.splice(entries_.begin(), entries_, entry);
    auto& domain = domains_[entry->key.domain].entries;
    domain.splice(domain.begin(), domain, entry->inDomain);
    return;
  }
  entries_.push_front(Entry{cookie.key, cookie.secure, {}});
  auto entry = entries_.begin();
  auto& domain = domains_[entry->key.domain].entries;
  domain.push_front(entry);
  entry->inDomain = domain.begin();
  byIdentity_.emplace(id, entry);
  if (cookie.secure) ++secureNames_[entry->key.name];
}

void HTTPCookieIndex::erase(Entries::iterator entry) {
  if (entry->secure && --secureNames_[entry->key.name] == 0) secureNames_.erase(entry->key.name);
  auto domain = domains_.find(entry->key.domain);
  domain->second.entries.erase(entry->inDomain);
  if (domain->second.entries.empty()) domains_.erase(domain);
  byIdentity_.erase(identity(entry->key));
  entries_.erase(entry);
}

std::vector<HTTPCookieIndex::Key> HTTPCookieIndex::recordSet(
    const std::vector<SetCookie>& cookies) {
  std::vector<Key> evicted;
  auto evict = [&](Entries::iterator entry) {
    evicted.push_back(entry->key);
    erase(entry);
  };
  for (const auto& cookie : cookies) {
    touch(cookie);
    if (cookie.deletes) continue;
    for (;;) {
      const auto domain = domains_.find(cookie.key.domain);
      if (domain == domains_.end() || domain->second.entries.size() <= perDomain_) break;
      evict(domain->second.entries.back());
    }
  }
  while (entries_.size() > total_)
    evict(std::prev(entries_.end()));
  return evicted;
}

std::vector<HTTPCookieIndex::Key> HTTPCookieIndex::takeBack(const std::vector<SetCookie>& cookies,
                                                            bool secureContext) {
  std::vector<Key> expired;
  std::vector<SetCookie> kept;
  for (const auto& cookie : cookies) {
    if (cookie.deletes) {
      kept.push_back(cookie);  // gone from the engine already
      continue;
    }
    // Expiring a cookie of a name the origin cannot replace when it is held secure could end a
    // cookie the origin never had the right to touch: such a one stays, and is counted.
    if (!secureContext && !cookie.secure && secureNames_.contains(cookie.key.name)) {
      kept.push_back(cookie);
      continue;
    }
    const auto found = byIdentity_.find(identity(cookie.key));
    if (found != byIdentity_.end()) erase(found->second);
    expired.push_back(cookie.key);
  }
  auto evicted = recordSet(kept);
  expired.insert(expired.end(), evicted.begin(), evicted.end());
  return expired;
}

std::size_t HTTPCookieIndex::sizeOfDomain(const std::string& domain) const {
  const auto found = domains_.find(domain);
  return found == domains_.end() ? 0 : found->second.entries.size();
}

std::string HTTPCookieIndex::expiryLine(const Key& key) {
  // Secure, so that it may replace a secure cookie too; an empty value, expired long ago.
  return (key.hostOnly ? "" : ".") + key.domain + (key.hostOnly ? "\tFALSE\t" : "\tTRUE\t") +
         key.path + "\tTRUE\t1\t" + key.name + "\t";
}

}  // namespace platform

#include "platform/net/http_cookie_index.h"

#include <algorithm>
#include <cctype>
#include <iterator>

#include "platform/net/http_text.h"

namespace platform {

namespace {

using http_text::lowercase;
using http_text::trim;

constexpr std::string_view kSetCookie = "Set-Cookie:";

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) ==
                  std::tolower(static_cast<unsigned char>(b));
         });
}

// As the engine compares paths: quotes dropped, case and a trailing slash do not count, and every
// path that does not start with "/" (an empty one too) is one and the same, which is not "/";
// that one is "" here.
std::string comparablePath(std::string_view path) {
  if (!path.empty() && path.front() == '"') path.remove_prefix(1);
  if (!path.empty() && path.back() == '"') path.remove_suffix(1);
  if (path.empty() || path.front() != '/') return {};
  if (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return lowercase(path);
}

// A path of the engine's list as an expiry line gives it: an empty field would shift the fields
// after it.
std::string_view pathForLine(const std::string& comparable) {
  return comparable.empty() ? std::string_view(".") : std::string_view(comparable);
}

bool domainMatches(const HTTPCookieIndex::Key& key, const std::string& host) {
  return key.domain == host ||
         (!key.hostOnly && host.size() > key.domain.size() && host.ends_with(key.domain) &&
          host[host.size() - key.domain.size() - 1] == '.');
}

std::string stateOf(const HTTPCookie& cookie) {
  return cookie.value + '\t' + std::to_string(cookie.expires) + (cookie.isSecure ? "\ts" : "\t");
}

}  // namespace

bool HTTPCookieIndex::setsCookies(const std::vector<std::string>& headLines) {
  return std::any_of(headLines.begin(), headLines.end(),
                     [](const std::string& line) { return startsWithNoCase(line, kSetCookie); });
}

std::unordered_set<std::string> HTTPCookieIndex::namesSetBy(
    const std::vector<std::string>& headLines) {
  std::unordered_set<std::string> names;
  for (const auto& line : headLines) {
    if (!startsWithNoCase(line, kSetCookie)) continue;
    const std::string_view field = std::string_view(line).substr(kSetCookie.size());
    const auto name = trim(field.substr(0, field.find_first_of("=;")));
    if (!name.empty()) names.insert(lowercase(name));
  }
  return names;
}

HTTPCookieIndex::Key HTTPCookieIndex::keyOf(const HTTPCookie& cookie) {
  return Key{lowercase(cookie.name), lowercase(cookie.domain), cookie.hostOnly,
             comparablePath(cookie.path)};
}

std::string HTTPCookieIndex::identity(const Key& key) {
  // The engine holds no tab or line break in a name, domain or path.
  return key.name + '\n' + (key.hostOnly ? "=" : ".") + key.domain + '\n' + key.path;
}

void HTTPCookieIndex::touch(const Key& key, std::string state) {
  const auto id = identity(key);
  const auto found = byIdentity_.find(id);
  if (found != byIdentity_.end()) {
    auto entry = found->second;
    entry->state = std::move(state);
    entry->listed = readings_;
    entries_.splice(entries_.begin(), entries_, entry);
    auto& domain = domains_[entry->key.domain].entries;
    domain.splice(domain.begin(), domain, entry->inDomain);
    return;
  }
  entries_.push_front(Entry{key, std::move(state), readings_, {}});
  auto entry = entries_.begin();
  auto& domain = domains_[entry->key.domain].entries;
  domain.push_front(entry);
  entry->inDomain = domain.begin();
  byIdentity_.emplace(id, entry);
}

void HTTPCookieIndex::erase(Entries::iterator entry) {
  auto domain = domains_.find(entry->key.domain);
  domain->second.entries.erase(entry->inDomain);
  if (domain->second.entries.empty()) domains_.erase(domain);
  byIdentity_.erase(identity(entry->key));
  entries_.erase(entry);
}

std::vector<HTTPCookieIndex::Key> HTTPCookieIndex::reconcile(const std::vector<HTTPCookie>& jar,
                                                             const Head& head, bool failed) {
  ++readings_;
  std::vector<Key> expired;
  for (const auto& cookie : jar) {
    auto key = keyOf(cookie);
    auto state = stateOf(cookie);
    const auto found = byIdentity_.find(identity(key));
    const bool changed = found == byIdentity_.end() || found->second->state != state;
    const bool named = head.names.contains(key.name) && domainMatches(key, head.host);
    if (failed && changed && named) {
      if (found != byIdentity_.end()) erase(found->second);
      expired.push_back(std::move(key));
    } else if (changed || named) {
      touch(key, std::move(state));
    } else {
      found->second->listed = readings_;
    }
  }
  for (auto entry = entries_.begin(); entry != entries_.end();) {
    const auto next = std::next(entry);
    if (entry->listed != readings_) erase(entry);  // gone from the engine
    entry = next;
  }
  auto evict = [&](Entries::iterator entry) {
    expired.push_back(entry->key);
    erase(entry);
  };
  std::vector<std::string> crowded;
  for (const auto& [name, domain] : domains_) {
    if (domain.entries.size() > perDomain_) crowded.push_back(name);
  }
  for (const auto& name : crowded) {
    while (domains_.at(name).entries.size() > perDomain_)
      evict(domains_.at(name).entries.back());
  }
  while (entries_.size() > total_)
    evict(std::prev(entries_.end()));
  return expired;
}

std::vector<HTTPCookieIndex::Key> HTTPCookieIndex::headEnded(const std::vector<HTTPCookie>& jar,
                                                             const Head& head) {
  return reconcile(jar, head, false);
}

std::vector<HTTPCookieIndex::Key> HTTPCookieIndex::headFailed(const std::vector<HTTPCookie>& jar,
                                                              const Head& head) {
  return reconcile(jar, head, true);
}

std::size_t HTTPCookieIndex::sizeOfDomain(const std::string& domain) const {
  const auto found = domains_.find(domain);
  return found == domains_.end() ? 0 : found->second.entries.size();
}

std::string HTTPCookieIndex::expiryLine(const Key& key) {
  // Secure, so that it may replace a secure cookie too; an empty value, expired long ago.
  return (key.hostOnly ? "" : ".") + key.domain + (key.hostOnly ? "\tFALSE\t" : "\tTRUE\t") +
         std::string(pathForLine(key.path)) + "\tTRUE\t1\t" + key.name + "\t";
}

}  // namespace platform

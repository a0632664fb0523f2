#include "platform/net/http_cookie_storage.h"

#include <curl/curl.h>

#include <algorithm>
#include <sstream>

#include "platform/foundation/date.h"

namespace platform {

namespace {

std::string lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// One line of the engine's list: domain, tail match, path, secure, expires, name, value,
// separated by tabs ("#HttpOnly_" may precede the domain).
std::optional<HTTPCookie> parseLine(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  while (fields.size() < 6) {
    const auto tab = line.find('\t', start);
    if (tab == std::string::npos) return std::nullopt;
    fields.push_back(line.substr(start, tab - start));
    start = tab + 1;
  }
  fields.push_back(line.substr(start));
  HTTPCookie cookie;
  std::string domain = fields[0];
  constexpr std::string_view httpOnly = "#HttpOnly_";
  if (domain.starts_with(httpOnly)) domain.erase(0, httpOnly.size());
  if (domain.starts_with('.')) domain.erase(0, 1);
  cookie.domain = lowercase(domain);
  cookie.hostOnly = fields[1] != "TRUE";
  cookie.path = fields[2];
  cookie.isSecure = fields[3] == "TRUE";
  try {
    cookie.expires = std::stoll(fields[4]);
  } catch (...) {
    cookie.expires = 0;
  }
  cookie.name = fields[5];
  cookie.value = fields[6];
  return cookie;
}

bool isIPAddress(const std::string& host) {
  return host.find(':') != std::string::npos || std::all_of(host.begin(), host.end(), [](char c) {
           return (c >= '0' && c <= '9') || c == '.';
         });
}

// RFC 6265 §5.1.3.
bool domainMatches(const HTTPCookie& cookie, const std::string& host) {
  if (host == cookie.domain) return true;
  if (cookie.hostOnly || isIPAddress(host)) return false;
  return host.size() > cookie.domain.size() && host.ends_with(cookie.domain) &&
         host[host.size() - cookie.domain.size() - 1] == '.';
}

// RFC 6265 §5.1.4.
bool pathMatches(const std::string& cookiePath, const std::string& requestPath) {
  if (requestPath == cookiePath) return true;
  if (!requestPath.starts_with(cookiePath)) return false;
  return cookiePath.ends_with('/') || requestPath[cookiePath.size()] == '/';
}

}  // namespace

std::shared_ptr<HTTPCookieStorage> HTTPCookieStorage::shared() {
  static const auto storage = std::make_shared<HTTPCookieStorage>();
  return storage;
}

HTTPCookieStorage::HTTPCookieStorage(std::size_t maximumCookiesPerDomain,
                                     std::size_t maximumCookies)
    : index_(maximumCookiesPerDomain, maximumCookies) {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  share_ = curl_share_init();
  curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &HTTPCookieStorage::lock);
  curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &HTTPCookieStorage::unlock);
  curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
  curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
  curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  reader_ = curl_easy_init();
  if (reader_) curl_easy_setopt(reader_, CURLOPT_SHARE, share_);
}

HTTPCookieStorage::~HTTPCookieStorage() {
  if (reader_) curl_easy_cleanup(reader_);
  if (share_) curl_share_cleanup(share_);
}

void HTTPCookieStorage::lock(void*, int data, int, void* self) {
  static_cast<HTTPCookieStorage*>(self)->locks_.at(std::size_t(data)).lock();
}

void HTTPCookieStorage::unlock(void*, int data, void* self) {
  static_cast<HTTPCookieStorage*>(self)->locks_.at(std::size_t(data)).unlock();
}

std::vector<HTTPCookie> HTTPCookieStorage::listed(CURL* easy) {
  std::vector<HTTPCookie> result;
  curl_slist* list = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_COOKIELIST, &list) == CURLE_OK) {
    // An expired cookie lingers in the engine's list until its next change, never to be sent.
    const auto now = static_cast<std::int64_t>(Date::now().timeIntervalSince1970());
    for (auto* item = list; item; item = item->next) {
      auto cookie = parseLine(item->data);
      if (cookie && (cookie->expires == 0 || cookie->expires > now)) {
        result.push_back(std::move(*cookie));
      }
    }
  }
  curl_slist_free_all(list);
  return result;
}

std::vector<HTTPCookie> HTTPCookieStorage::allCookies() const {
  // A private handle: attaching it to the share makes the engine's list readable through it.
  CURL* easy = curl_easy_init();
  if (!easy) return {};
  curl_easy_setopt(easy, CURLOPT_SHARE, share_);
  auto result = listed(easy);
  curl_easy_cleanup(easy);
  // The engine lists the path of a cookie whose "Path" attribute was empty as it came.
  for (auto& cookie : result) {
    if (cookie.path.empty()) cookie.path = "/";
  }
  return result;
}

std::vector<HTTPCookie> HTTPCookieStorage::cookies(const URL& url) const {
  const auto host = url.host();
  if (!host || host->empty()) return {};
  const std::string requestHost = lowercase(*host);
  std::string requestPath = url.percentEncodedPath();
  if (requestPath.empty() || requestPath[0] != '/') requestPath = "/";
  const bool secure = lowercase(url.scheme().value_or("")) == "https";
  const auto now = static_cast<std::int64_t>(Date::now().timeIntervalSince1970());

  std::vector<HTTPCookie> result;
  for (auto& cookie : allCookies()) {
    if (!domainMatches(cookie, requestHost) || !pathMatches(cookie.path, requestPath)) continue;
    if (cookie.isSecure && !secure) continue;
    if (cookie.expires != 0 && cookie.expires <= now) continue;
    result.push_back(std::move(cookie));
  }
  std::stable_sort(result.begin(), result.end(), [](const HTTPCookie& a, const HTTPCookie& b) {
    return a.path.size() > b.path.size();
  });
  return result;
}

namespace {

// The host a transfer's cookies came from: that of the URL it last asked for.
std::string hostOf(CURL* easy) {
  char* effective = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective) != CURLE_OK || !effective) {
    return {};
  }
  CURLU* url = curl_url();
  if (!url) return {};
  std::string result;
  char* host = nullptr;
  if (curl_url_set(url, CURLUPART_URL, effective, 0) == CURLUE_OK &&
      curl_url_get(url, CURLUPART_HOST, &host, 0) == CURLUE_OK) {
    std::string_view name = host;
    if (name.starts_with('[') && name.ends_with(']')) name = name.substr(1, name.size() - 2);
    result = lowercase(std::string(name));
  }
  curl_free(host);
  curl_url_cleanup(url);
  return result;
}

}  // namespace

void HTTPCookieStorage::expire(const std::vector<HTTPCookieIndex::Key>& keys) {
  for (const auto& key : keys) {
    curl_easy_setopt(reader_, CURLOPT_COOKIELIST, HTTPCookieIndex::expiryLine(key).c_str());
  }
}

void HTTPCookieStorage::settle(CURL* easy, const std::vector<std::string>& headLines, bool failed) {
  if (!reader_ || !HTTPCookieIndex::setsCookies(headLines)) return;
  const HTTPCookieIndex::Head head{hostOf(easy), HTTPCookieIndex::namesSetBy(headLines)};
  std::lock_guard lock(indexMutex_);
  const auto jar = listed(reader_);
  expire(failed ? index_.headFailed(jar, head) : index_.headEnded(jar, head));
}

void HTTPCookieStorage::headEnded(CURL* easy, const std::vector<std::string>& headLines) {
  settle(easy, headLines, false);
}

void HTTPCookieStorage::headFailed(CURL* easy, const std::vector<std::string>& headLines) {
  settle(easy, headLines, true);
}

std::size_t HTTPCookieStorage::trackedCookies() const {
  std::lock_guard lock(indexMutex_);
  return index_.size();
}

}  // namespace platform

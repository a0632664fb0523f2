#include "platform/net/url_session_cache.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include "platform/net/http_text.h"

namespace platform::net_detail {

namespace {

// The request's own field, without a copy; null when it has none.
const std::string* fieldOf(const URLRequest& request, std::string_view name) {
  const auto& fields = request.allHTTPHeaderFields();
  return fields ? fields->valueIfPresent(name) : nullptr;
}

bool isGet(const URLRequest& request) {
  return !request.httpMethod || *request.httpMethod == "GET";
}

using http_text::trim;

// Seconds as a delta-seconds value states them; none when the text is not one.
std::optional<double> deltaSeconds(std::string_view text) {
  text = trim(text);
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    text = text.substr(1, text.size() - 2);
  }
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (end != text.data() + text.size()) return std::nullopt;
  // A number too large for its type means "a very long time", not an error.
  if (error == std::errc::result_out_of_range) return 2147483648.0;
  if (error != std::errc()) return std::nullopt;
  return static_cast<double>(value);
}

void applyDirectives(std::string_view value, CacheDirectives& directives) {
  // Directives are separated by commas outside quoted strings.
  std::size_t start = 0;
  bool quoted = false;
  for (std::size_t i = 0; i <= value.size(); ++i) {
    if (i < value.size()) {
      if (value[i] == '"') quoted = !quoted;
      if (value[i] != ',' || quoted) continue;
    }
    auto item = trim(value.substr(start, i - start));
    start = i + 1;
    auto eq = item.find('=');
    auto name = trim(item.substr(0, eq));
    if (headerNamesEqual(name, "no-store")) {
      directives.noStore = true;
    } else if (headerNamesEqual(name, "no-cache")) {
      directives.noCache = true;
    } else if (headerNamesEqual(name, "max-age")) {
      auto seconds =
          eq == std::string_view::npos ? std::nullopt : deltaSeconds(item.substr(eq + 1));
      directives.maxAge = seconds.value_or(0);
    }
  }
}

std::optional<Date> httpDate(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  time_t seconds = curl_getdate(text->c_str(), nullptr);
  if (seconds == -1) return std::nullopt;
  return Date::fromTimeIntervalSince1970(static_cast<double>(seconds));
}

HTTPURLResponsePtr httpResponse(const URLResponsePtr& response) {
  return std::dynamic_pointer_cast<const HTTPURLResponse>(response);
}

}  // namespace

CacheDirectives requestDirectives(const URLRequest& request) {
  CacheDirectives directives;
  if (!request.allHTTPHeaderFields()) return directives;
  if (auto value = fieldOf(request, "Cache-Control")) applyDirectives(*value, directives);
  if (auto pragma = fieldOf(request, "Pragma")) {
    CacheDirectives fromPragma;
    applyDirectives(*pragma, fromPragma);
    directives.noCache = directives.noCache || fromPragma.noCache;
  }
  return directives;
}

CacheDirectives responseDirectives(const HTTPURLResponse& response) {
  CacheDirectives directives;
  if (auto value = response.allHeaderFields().valueIfPresent("Cache-Control")) {
    applyDirectives(*value, directives);
  }
  return directives;
}

bool isStorableStatus(int statusCode) {
  static constexpr int kStorable[] = {200, 203, 204, 300, 301, 308, 404, 405, 410, 414, 501};
  return std::find(std::begin(kStorable), std::end(kStorable), statusCode) != std::end(kStorable);
}

bool isStorable(const URLRequest& request, const HTTPURLResponse& response) {
  if (!isGet(request)) return false;
  if (!isStorableStatus(response.statusCode())) return false;
  if (requestDirectives(request).noStore || responseDirectives(response).noStore) return false;
  if (auto vary = response.allHeaderFields().valueIfPresent("Vary")) {
    std::size_t start = 0;
    while (start <= vary->size()) {
      auto comma = std::min(vary->find(',', start), vary->size());
      if (trim(std::string_view(*vary).substr(start, comma - start)) == "*") return false;
      start = comma + 1;
    }
  }
  return true;
}

double freshnessLifetime(const HTTPURLResponse& response, Date storedAt) {
  if (auto maxAge = responseDirectives(response).maxAge) return *maxAge;
  auto expiresText = response.valueForHTTPHeaderField("Expires");
  if (!expiresText) return 0;
  // An Expires that does not parse (such as "0") means already expired.
  auto expires = httpDate(expiresText);
  if (!expires) return 0;
  auto date = httpDate(response.valueForHTTPHeaderField("Date")).value_or(storedAt);
  return std::max(0.0, *expires - date);
}

double currentAge(const HTTPURLResponse& response, Date storedAt, Date now) {
  // An entry whose storage time is no time has no age it can be trusted with: it is stale.
  if (!std::isfinite(storedAt.timeIntervalSinceReferenceDate())) {
    return std::numeric_limits<double>::infinity();
  }
  auto date = httpDate(response.valueForHTTPHeaderField("Date")).value_or(storedAt);
  double apparent = std::max(0.0, storedAt - date);
  double stated = 0;
  if (auto age = response.valueForHTTPHeaderField("Age")) stated = deltaSeconds(*age).value_or(0);
  return std::max(apparent, stated) + std::max(0.0, now - storedAt);
}

HTTPURLResponsePtr mergeNotModified(const HTTPURLResponse& stored,
                                    const HTTPURLResponse& notModified) {
  HTTPHeaderFields fields = stored.allHeaderFields();
  for (const auto& [name, value] : notModified.allHeaderFields()) {
    // These describe the 304's own (empty) framing, not the stored body.
    bool framing = false;
    for (const char* kept : {"Content-Length", "Content-Encoding", "Transfer-Encoding",
                             "Content-Range", "Connection", "Keep-Alive"}) {
      framing = framing || headerNamesEqual(name, kept);
    }
    if (!framing) fields.set(name, value);
  }
  std::vector<std::string> lines;
  lines.reserve(fields.size());
  for (const auto& [name, value] : fields)
    lines.push_back(name + ": " + value);
  return std::make_shared<const HTTPURLResponse>(HTTPURLResponse::fromHeaderLines(
      stored.url(), stored.statusCode(), stored.httpVersion(), lines, true));
}

URLRequest requestWithAdditionalHeaders(const URLRequest& request,
                                        const std::optional<HTTPHeaderFields>& additional) {
  URLRequest effective = request;
  if (additional) {
    for (const auto& [name, value] : *additional) {
      if (!effective.valueForHTTPHeaderField(name))
        effective.setValueForHTTPHeaderField(value, name);
    }
  }
  return effective;
}

CacheStep TransferCache::begin(const std::shared_ptr<URLCache>& cache,
                               URLRequest::CachePolicy policy,
                               const std::optional<HTTPHeaderFields>& additionalHeaders,
                               bool isDataTask, const URLRequest& request,
                               std::optional<URLRequest>& validated, Date now) {
  using Policy = URLRequest::CachePolicy;
  const bool dontLoad = policy == Policy::returnCacheDataDontLoad;
  const CacheStep miss = dontLoad ? CacheStep::unavailable : CacheStep::load;
  if (!cache || !isDataTask || !isGet(request)) return miss;
  cache_ = &cache;
  additionalHeaders_ = &additionalHeaders;
  enabled_ = true;
  if (policy == Policy::reloadIgnoringLocalCacheData ||
      policy == Policy::reloadIgnoringLocalAndRemoteCacheData) {
    return CacheStep::load;
  }
  // A cache with no room in memory and no disk part holds nothing to look up.
  if (cache->memoryCapacity() == 0 && !cache->directory()) return miss;
  // Without additional fields the request is looked up as it is, not copied. With them, the
  // copy serves the response's turn too, while the request stays the same.
  if (additionalHeaders) effective_ = requestWithAdditionalHeaders(request, additionalHeaders);
  const URLRequest& effective = effective_ ? *effective_ : request;
  auto entry = cache->cachedEntry(effective);
  if (!entry) return miss;
  if (policy == Policy::returnCacheDataElseLoad || dontLoad) {
    stored_ = entry->response;
    deliverStored_ = true;
    return CacheStep::serve;
  }
  auto head = httpResponse(entry->response->response());
  if (!head) return CacheStep::load;
  auto asked = requestDirectives(effective);
  auto given = responseDirectives(*head);
  double age = currentAge(*head, entry->storedAt, now);
  bool fresh = !asked.noCache && !given.noCache && policy != Policy::reloadRevalidatingCacheData &&
               freshnessLifetime(*head, entry->storedAt) > age &&
               (!asked.maxAge || age <= *asked.maxAge);
  if (fresh) {
    stored_ = entry->response;
    deliverStored_ = true;
    return CacheStep::serve;
  }
  const auto& fields = head->allHeaderFields();
  auto entityTag = fields.valueIfPresent("ETag");
  auto lastModified = fields.valueIfPresent("Last-Modified");
  if (!entityTag && !lastModified) return CacheStep::load;
  // A caller that sends validators of its own gets the server's answer to them.
  if (fieldOf(request, "If-None-Match") || fieldOf(request, "If-Modified-Since")) {
    return CacheStep::load;
  }
  stored_ = entry->response;
  revalidating_ = true;
  validated = request;
  if (entityTag) validated->setValueForHTTPHeaderField(*entityTag, "If-None-Match");
  if (lastModified) validated->setValueForHTTPHeaderField(*lastModified, "If-Modified-Since");
  return CacheStep::load;
}

URLSessionTaskTransactionMetrics TransferCache::localTransaction(const URLRequest& request,
                                                                 Date now) const {
  URLSessionTaskTransactionMetrics metrics;
  metrics.request = request;
  metrics.response = stored_ ? stored_->response() : nullptr;
  metrics.fetchStartDate = now;
  metrics.responseStartDate = now;
  metrics.responseEndDate = now;
  metrics.resourceFetchType = URLSessionTaskTransactionMetrics::ResourceFetchType::localCache;
  return metrics;
}

void TransferCache::onResponse(const URLRequest& current, bool currentIsOriginal,
                               URLResponsePtr& response) {
  if (!enabled_) return;
  auto head = httpResponse(response);
  if (!head) return;
  const URLCache& cache = **cache_;
  const std::int64_t limit = std::max(cache.memoryCapacity(), cache.diskCapacity()) / 20;
  // The request as the cache sees it; copied only when it is kept with the proposal.
  std::optional<URLRequest> made;
  if (!currentIsOriginal || !effective_) {
    effective_.reset();
    if (*additionalHeaders_) made = requestWithAdditionalHeaders(current, *additionalHeaders_);
  } else {
    made = std::move(effective_);
    effective_.reset();
  }
  const URLRequest& effective = made ? *made : current;
  auto keep = [&] { return made ? std::move(*made) : current; };
  if (revalidating_ && head->statusCode() == 304 && stored_) {
    revalidating_ = false;
    if (auto storedHead = httpResponse(stored_->response())) {
      auto merged = mergeNotModified(*storedHead, *head);
      response = merged;
      deliverStored_ = true;
      // The entry goes back with its new head, so its freshness starts again.
      if (isStorable(effective, *merged) &&
          static_cast<std::int64_t>(stored_->data().size()) <= limit) {
        collecting_ = true;
        response_ = merged;
        storeRequest_ = keep();
        body_ = stored_->data();
      }
      return;
    }
  }
  revalidating_ = false;
  if (!isStorable(effective, *head) || head->expectedContentLength() > limit) return;
  collecting_ = true;
  limit_ = limit;
  response_ = response;
  storeRequest_ = keep();
  body_.clear();
}

void TransferCache::collect(const char* data, std::size_t length) {
  if (!collecting_ || deliverStored_) return;
  if (static_cast<std::int64_t>(body_.size() + length) > limit_) {
    collecting_ = false;
    Bytes().swap(body_);
    return;
  }
  body_.insert(body_.end(), reinterpret_cast<const std::uint8_t*>(data),
               reinterpret_cast<const std::uint8_t*>(data) + length);
}

std::optional<Bytes> TransferCache::takeStoredBody() {
  if (!deliverStored_ || !stored_) return std::nullopt;
  deliverStored_ = false;
  return stored_->data();
}

CachedURLResponsePtr TransferCache::proposalWith(const Bytes& tail) const {
  if (!collecting_ || deliverStored_) return nullptr;
  if (static_cast<std::int64_t>(body_.size() + tail.size()) > limit_) return nullptr;
  Bytes body;
  body.reserve(body_.size() + tail.size());
  body.insert(body.end(), body_.begin(), body_.end());
  body.insert(body.end(), tail.begin(), tail.end());
  return std::make_shared<const CachedURLResponse>(response_, std::move(body));
}

const std::shared_ptr<URLCache>& TransferCache::cache() const {
  static const std::shared_ptr<URLCache> none;
  return cache_ ? *cache_ : none;
}

CachedURLResponsePtr TransferCache::takeProposal() {
  if (!collecting_) return nullptr;
  collecting_ = false;
  return std::make_shared<const CachedURLResponse>(response_, std::move(body_));
}

void TransferCache::store(const std::shared_ptr<URLCache>& cache,
                          const CachedURLResponsePtr& response, const URLRequest& request) {
  if (cache && response) cache->storeCachedResponse(response, request);
}

}  // namespace platform::net_detail

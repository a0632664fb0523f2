#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/date.h"
#include "platform/net/cached_url_response.h"
#include "platform/net/http_header_fields.h"
#include "platform/net/url_cache.h"
#include "platform/net/url_request.h"
#include "platform/net/url_session_task_metrics.h"

// How a session uses its URL cache: which responses may be kept, when a kept one is fresh,
// how a stale one is checked with the server, and the part of a transfer that gathers a body
// for the cache.
namespace platform::net_detail {

// The directives of "Cache-Control" this cache acts on (and "Pragma: no-cache" for requests).
struct CacheDirectives {
  bool noStore = false;
  bool noCache = false;
  std::optional<double> maxAge;  // seconds; a malformed value counts as 0 (stale)
};
CacheDirectives requestDirectives(const URLRequest& request);
CacheDirectives responseDirectives(const HTTPURLResponse& response);

bool isStorableStatus(int statusCode);
// A GET answered with a storable status, no "no-store" on either side, no "Vary: *".
bool isStorable(const URLRequest& request, const HTTPURLResponse& response);
// Seconds the response stays fresh from its generation: "max-age", else "Expires" minus
// "Date" (the time it was stored when it has no date); 0 without either. No heuristics.
double freshnessLifetime(const HTTPURLResponse& response, Date storedAt);
// Seconds since the server generated it: what "Date" and "Age" said when it was stored, plus
// the time it has been kept since.
double currentAge(const HTTPURLResponse& response, Date storedAt, Date now);
// The stored head brought up to date by a 304's fields (those describing the body stay).
HTTPURLResponsePtr mergeNotModified(const HTTPURLResponse& stored,
                                    const HTTPURLResponse& notModified);
// The request as the cache sees it: its fields plus the session's additional ones.
URLRequest requestWithAdditionalHeaders(const URLRequest& request,
                                        const std::optional<HTTPHeaderFields>& additional);

enum class CacheStep {
  load,         // go to the network (perhaps with validators added)
  serve,        // answer with the stored response
  unavailable,  // nothing stored, and loading is not allowed
};

// A transfer's dealings with the cache, from its start to its end. I/O thread only.
class TransferCache {
 public:
  // Decides how the task starts. `cache` and `additionalHeaders` must outlive this (they are
  // the session's own). A revalidation sets `validated` to `request` with its validators: the
  // request that goes out instead. Only data tasks with a GET use the cache; for others, the
  // cache-only policy finds nothing.
  CacheStep begin(const std::shared_ptr<URLCache>& cache, URLRequest::CachePolicy policy,
                  const std::optional<HTTPHeaderFields>& additionalHeaders, bool isDataTask,
                  const URLRequest& request, std::optional<URLRequest>& validated, Date now);
  // The transaction of a response served from the cache.
  URLSessionTaskTransactionMetrics localTransaction(const URLRequest& request, Date now) const;
  // At the end of a final response head. A 304 to a revalidation becomes the stored response
  // with the new head (`response` is replaced); a storable response starts being gathered.
  // `currentIsOriginal`: `current` is the request `begin` was given (no redirect or replay
  // since), so what `begin` worked out about it holds.
  void onResponse(const URLRequest& current, bool currentIsOriginal, URLResponsePtr& response);
  // A piece of the body as delivered. Past the size bound, gathering stops for good.
  void collect(const char* data, std::size_t length);
  // The stored body the response stands for, delivered once at the end (served from the
  // cache, or confirmed by a 304); none otherwise.
  std::optional<Bytes> takeStoredBody();
  // What to propose for storing once the body is complete; none when nothing would be stored.
  CachedURLResponsePtr takeProposal();
  // The task's end delivers a stored body (served, or confirmed by a 304).
  bool deliversStoredBody() const { return deliverStored_ && stored_ != nullptr; }
  // What `takeProposal` would propose once `tail` were collected, leaving this as it is: for
  // an end prepared to be delivered elsewhere, which this transfer may yet take back.
  CachedURLResponsePtr proposalWith(const Bytes& tail) const;
  // Stores what the delegate answered (or the proposal itself, without a delegate).
  static void store(const std::shared_ptr<URLCache>& cache, const CachedURLResponsePtr& response,
                    const URLRequest& request);
  const std::shared_ptr<URLCache>& cache() const;
  // The request the proposal is stored under; taken once, with the proposal.
  URLRequest takeStoreRequest() { return std::move(storeRequest_); }
  const URLRequest& storeRequest() const { return storeRequest_; }

 private:
  // The session's own, which outlive every transfer.
  const std::shared_ptr<URLCache>* cache_ = nullptr;
  const std::optional<HTTPHeaderFields>* additionalHeaders_ = nullptr;
  // The request with the additional fields, made for the lookup; until the response.
  std::optional<URLRequest> effective_;
  bool enabled_ = false;
  CachedURLResponsePtr stored_;  // the entry served, or being revalidated
  bool revalidating_ = false;
  bool deliverStored_ = false;
  // Gathering the body of a response that may be stored.
  bool collecting_ = false;
  std::int64_t limit_ = 0;
  URLResponsePtr response_;
  URLRequest storeRequest_;
  Bytes body_;
};

}  // namespace platform::net_detail

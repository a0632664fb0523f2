#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "halyard/core/data_request.h"
#include "halyard/core/response.h"
#include "halyard/core/session.h"
#include "halyard/core/url_convertible.h"
#include "imagecache/halyard_image_error.h"
#include "imagecache/image_cache.h"
#include "imagecache/image_filters.h"
#include "imagecache/image_response_serializer.h"
#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/file_manager.h"

#include "platform/net/url_cache.h"
#include "platform/net/url_credential.h"
#include "platform/net/url_session.h"

namespace imagecache {

using ImageDownloadResponse = halyard::DataResponse<ImagePtr, HalyardImageError>;
using ImageDownloadCompletion = std::function<void(const ImageDownloadResponse&)>;

// What a caller holds for one accepted download: the request it joined or started, and the
// caller's own identifier. Only the receipt withdraws its caller.
class RequestReceipt {
 public:
  RequestReceipt(halyard::DataRequestPtr request, std::string receiptID)
      : request_(std::move(request)), receiptID_(std::move(receiptID)) {}
  const halyard::DataRequestPtr& request() const { return request_; }
  const std::string& receiptID() const { return receiptID_; }

 private:
  halyard::DataRequestPtr request_;
  std::string receiptID_;
};

// Fetches images over its own HTTP session with a bounded number of downloads running for each
// host (scheme, host and port), so that slow hosts holding their slots until the slow-transfer
// rule ends them hold back only their own images.
// Before a download it asks its image cache; downloads of an address already in flight join
// that request; every finished image goes through each caller's filter into the cache and to
// each caller's completion, always on the main queue and never inside a call to the downloader.
//
// A downloader lives as long as any caller or any of its unfinished requests holds it, so every
// completion is called exactly once even when the caller lets go of the downloader early.
class ImageDownloader : public std::enable_shared_from_this<ImageDownloader> {
 public:
  enum class DownloadPrioritization { fifo, lifo };
  using ImageRequestCachePtr = std::shared_ptr<ImageRequestCache<platform::Image>>;
  using ProgressHandler = halyard::Request::ProgressHandler;

  // One caller waiting on a request.
  struct Operation {
    std::string receiptID;
    ImageFilterPtr filter;
    ImageDownloadCompletion completion;
    // The caller's cache key; only the caller that started the request has one.
    std::optional<std::string> cacheKey;
  };
  // One address in flight.
  struct ResponseHandler {
    std::string urlID;
    // Tells this request apart from a later request for the same address.
    std::string handlerID;
    halyard::DataRequestPtr request;
    std::vector<Operation> operations;
  };

  // The most body bytes one download may receive.
  static constexpr std::int64_t kDefaultMaximumBodyBytes = 64 * 1024 * 1024;

  // A download moving fewer bytes a second than this for `kLowSpeedSeconds` in a row fails, and
  // none may take longer than `kTimeoutIntervalForResource` in all.
  static constexpr std::int64_t kMinimumBytesPerSecond = 1024;
  static constexpr long kLowSpeedSeconds = 30;
  static constexpr double kTimeoutIntervalForResource = 120;

  // The default configuration with the default headers, a 60-second request time-out, the
  // minimum rate and whole-transfer time-out above, the protocol's cache policy, the body
  // bound and `defaultURLCache`.
  static platform::URLSessionConfiguration defaultURLSessionConfiguration();
  // 20 MiB in memory and 150 MiB on disk in the user's caches directory; memory only when there
  // is no caches directory. The directory is the first caches directory `fileManager` names.
  static std::shared_ptr<platform::URLCache> defaultURLCache(
      const platform::FileManagerPtr& fileManager = platform::FileManager::defaultManager());
  // Made on first use (default configuration, fifo, 4 downloads a host, a 100 MB image cache) and
  // never destroyed: a session thread may still deliver while the process exits.
  static const std::shared_ptr<ImageDownloader>& shared();

  // A downloader over a session of its own. A body bound above 0 tightens the configuration's.
  static std::shared_ptr<ImageDownloader> initWithConfiguration(
      platform::URLSessionConfiguration configuration = defaultURLSessionConfiguration(),
      DownloadPrioritization downloadPrioritization = DownloadPrioritization::fifo,
      int maximumActiveDownloads = 4, ImageRequestCachePtr imageCache = defaultImageCache(),
      std::int64_t maximumBodyBytes = kDefaultMaximumBodyBytes);
  // No downloader over a session that starts its requests by itself.
  static std::shared_ptr<ImageDownloader> initWithSession(
      halyard::SessionPtr session,
      DownloadPrioritization downloadPrioritization = DownloadPrioritization::fifo,
      int maximumActiveDownloads = 4, ImageRequestCachePtr imageCache = defaultImageCache());
  // A new 100 MB cache that purges down to 60 MB.
  static ImageRequestCachePtr defaultImageCache();

  ImageDownloader(const ImageDownloader&) = delete;
  ImageDownloader& operator=(const ImageDownloader&) = delete;

  const ImageRequestCachePtr& imageCache() const { return imageCache_; }
  const halyard::SessionPtr& session() const { return session_; }
  DownloadPrioritization downloadPrioritization() const { return downloadPrioritization_; }
  int maximumActiveDownloads() const { return maximumActiveDownloads_; }
  const platform::DispatchQueuePtr& synchronizationQueue() const { return synchronizationQueue_; }
  const platform::DispatchQueuePtr& responseQueue() const { return responseQueue_; }

  std::optional<platform::URLCredential> credential() const;
  ImageResponseSerializerPtr imageResponseSerializer() const;
  void setImageResponseSerializer(ImageResponseSerializerPtr serializer);
  // Requests resumed and not yet handled, for all hosts together; requests waiting their turn.
  int activeRequestCount() const;
  std::size_t queuedRequestCount() const;

  // The credential answers authentication challenges of requests made afterwards.
  void addCredentialForUser(std::string user, std::string password,
                            platform::URLCredential::Persistence persistence);
  void addCredential(platform::URLCredential credential);

  // Downloads one image: answered from the image cache (no receipt), joined to the request in
  // flight for the same address, or a new request. A joining caller's cache key, serializer
  // and progress handler are not used.
  std::optional<RequestReceipt> download(
      halyard::URLRequestConvertiblePtr convertible, std::optional<std::string> cacheKey = {},
      std::string receiptID = platform::UUID().uuidString(),
      ImageResponseSerializerPtr serializer = nullptr, ImageFilterPtr filter = nullptr,
      ProgressHandler progress = nullptr,
      platform::DispatchQueuePtr progressQueue = platform::DispatchQueue::main(),
      ImageDownloadCompletion completion = nullptr);
  // One download per convertible with a new receipt identifier each; the receipts of those
  // that were not cache hits, in order.
  std::vector<RequestReceipt> downloadAll(
      const std::vector<halyard::URLRequestConvertiblePtr>& convertibles,
      ImageFilterPtr filter = nullptr, ProgressHandler progress = nullptr,
      platform::DispatchQueuePtr progressQueue = platform::DispatchQueue::main(),
      ImageDownloadCompletion completion = nullptr);
  // Withdraws the receipt's caller, who gets `requestCancelled`; the request is cancelled when
  // nobody else waits on it. A receipt of an earlier request for the same address withdraws
  // nothing.
  void cancelRequest(const RequestReceipt& receipt);

  // The address identifier: the request's absolute URL text, empty when there is none.
  static std::string urlIdentifier(const halyard::URLRequestConvertible& convertible);

 private:
  struct State {
    std::optional<platform::URLCredential> credential;
    ImageResponseSerializerPtr imageResponseSerializer;
    int activeRequestCount = 0;
    std::deque<halyard::DataRequestPtr> queuedRequests;
    std::unordered_map<std::string, ResponseHandler> responseHandlers;
    // The requests counted in `activeRequestCount`, by identifier, with their hosts.
    std::unordered_map<std::string, std::string> activeRequestHosts;
    // How many requests run for each host.
    std::unordered_map<std::string, int> activeByHost;
  };

  ImageDownloader(halyard::SessionPtr session, DownloadPrioritization downloadPrioritization,
                  int maximumActiveDownloads, ImageRequestCachePtr imageCache);

  // On the synchronization queue.
  void enqueue(const halyard::DataRequestPtr& request);
  bool hasRoom(const std::string& host) const;
  void startRequest(const halyard::DataRequestPtr& request);
  // Starts the first queued request whose host has a free slot.
  void startNextRequestIfPossible();
  // Removes and answers the handler only when it is still the one of `handlerID`.
  std::optional<ResponseHandler> removeResponseHandler(const std::string& urlID,
                                                       const std::string& handlerID);

  void handleResponse(const halyard::DataResponse<ImagePtr>& response, const std::string& urlID,
                      const std::string& handlerID, const std::string& requestID);
  void deliverImage(const halyard::DataResponse<ImagePtr>& response, const ImagePtr& image,
                    std::vector<Operation> operations);

  const ImageRequestCachePtr imageCache_;
  const halyard::SessionPtr session_;
  const DownloadPrioritization downloadPrioritization_;
  const int maximumActiveDownloads_;
  const platform::DispatchQueuePtr synchronizationQueue_;
  const platform::DispatchQueuePtr responseQueue_;
  State state_;  // only on the synchronization queue
};

using ImageDownloaderPtr = std::shared_ptr<ImageDownloader>;

}  // namespace imagecache

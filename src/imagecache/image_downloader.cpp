#include "imagecache/image_downloader.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <random>

#include "halyard/core/http_header_views.h"
#include "halyard/core/http_headers.h"
#include "imagecache/auto_purging_image_cache.h"
#include "platform/foundation/file_manager.h"

namespace imagecache {
namespace {

using halyard::DataRequestPtr;
using halyard::HalyardError;

constexpr char kLabelPrefix[] = "org.tovarine.imagecache";

std::string randomQueueLabel(const char* name) {
  static thread_local std::mt19937 generator{std::random_device{}()};
  std::uniform_int_distribution<std::uint32_t> distribution;
  return fmt::format("{}.imagedownloader.{}-{:08x}{:08x}", kLabelPrefix, name,
                     distribution(generator), distribution(generator));
}

// A filter that hands back no image fails its callers with this.
class FilterProducedNoImage : public platform::Error {
 public:
  explicit FilterProducedNoImage(std::string identifier) : identifier_(std::move(identifier)) {}
  std::string localizedDescription() const override {
    return "The image filter \"" + identifier_ + "\" produced no image.";
  }

 private:
  std::string identifier_;
};

bool mayAnswerFromCache(platform::URLRequest::CachePolicy policy) {
  using Policy = platform::URLRequest::CachePolicy;
  return policy == Policy::useProtocolCachePolicy || policy == Policy::returnCacheDataElseLoad ||
         policy == Policy::returnCacheDataDontLoad;
}

// The slots a request takes from: its scheme, host and port, in lower case, the port stated or
// the scheme's own. Requests without a URL share one.
std::string hostOf(const halyard::DataRequest& request) {
  const std::optional<platform::URLRequest> urlRequest = request.convertible()->urlRequestOrNil();
  if (!urlRequest || !urlRequest->url) return {};
  const platform::URL& url = *urlRequest->url;
  std::string scheme = url.scheme().value_or("");
  std::string host = url.host().value_or("");
  for (std::string* text : {&scheme, &host})
    std::transform(text->begin(), text->end(), text->begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const int port = url.port().value_or(scheme == "https" ? 443 : scheme == "http" ? 80 : 0);
  return fmt::format("{}://{}:{}", scheme, host, port);
}

void schedule(const ImageDownloadCompletion& completion, ImageDownloadResponse response) {
  if (!completion) return;
  platform::DispatchQueue::main()->async(
      [completion, response = std::move(response)] { completion(response); });
}

ImageDownloadResponse failureResponse(const halyard::DataResponse<ImagePtr>& response,
                                      HalyardImageError error) {
  return ImageDownloadResponse{response.request,
                               response.response,
                               response.data,
                               response.metrics,
                               response.serializationDuration,
                               std::unexpected(std::move(error))};
}

}  // namespace

// ---- Defaults ---------------------------------------------------------------------------------

platform::URLSessionConfiguration ImageDownloader::defaultURLSessionConfiguration() {
  platform::URLSessionConfiguration configuration =
      platform::URLSessionConfiguration::defaultConfiguration();
  halyard::setHTTPHeaders(configuration, halyard::HTTPHeaders::defaultHeaders());
  configuration.httpShouldSetCookies = true;
  configuration.requestCachePolicy = platform::URLRequest::CachePolicy::useProtocolCachePolicy;
  configuration.timeoutIntervalForRequest = 60;
  configuration.maximumBodyBytes = kDefaultMaximumBodyBytes;
  // A slow host must give its slots back: the idle time-out alone lets a host that sends a
  // byte a second hold them for hours, and its further images would wait all that time.
  configuration.minimumBytesPerSecond = kMinimumBytesPerSecond;
  configuration.lowSpeedSeconds = kLowSpeedSeconds;
  configuration.timeoutIntervalForResource = kTimeoutIntervalForResource;
  configuration.urlCache = defaultURLCache();
  return configuration;
}

std::shared_ptr<platform::URLCache> ImageDownloader::defaultURLCache(
    const platform::FileManagerPtr& fileManager) {
  constexpr std::int64_t kMemoryCapacity = 20 * 1024 * 1024;
  constexpr std::int64_t kDiskCapacity = 150 * 1024 * 1024;
  const std::vector<std::string> caches = fileManager->pathsForDirectory(
      platform::SearchPathDirectory::cachesDirectory, platform::SearchPathDomainMask::user);
  std::optional<std::string> directory;
  if (!caches.empty() && !caches.front().empty()) {
    directory = caches.front() + "/" + kLabelPrefix + ".imagedownloader";
  }
  return std::make_shared<platform::URLCache>(kMemoryCapacity, kDiskCapacity, directory);
}

ImageDownloader::ImageRequestCachePtr ImageDownloader::defaultImageCache() {
  return AutoPurgingImageCache<platform::Image>::make(100'000'000, 60'000'000);
}

const std::shared_ptr<ImageDownloader>& ImageDownloader::shared() {
  // Never destroyed: at exit a session thread may still be delivering to it.
  static const auto* const downloader = new std::shared_ptr<ImageDownloader>(initWithConfiguration(
      defaultURLSessionConfiguration(), DownloadPrioritization::fifo, 4, defaultImageCache()));
  return *downloader;
}

// ---- Construction -----------------------------------------------------------------------------

ImageDownloader::ImageDownloader(halyard::SessionPtr session,
                                 DownloadPrioritization downloadPrioritization,
                                 int maximumActiveDownloads, ImageRequestCachePtr imageCache)
    : imageCache_(std::move(imageCache)),
      session_(std::move(session)),
      downloadPrioritization_(downloadPrioritization),
      maximumActiveDownloads_(maximumActiveDownloads),
      synchronizationQueue_(
          platform::DispatchQueue::serial(randomQueueLabel("synchronizationqueue"))),
      responseQueue_(platform::DispatchQueue::concurrent(randomQueueLabel("responsequeue"))) {
  state_.imageResponseSerializer = std::make_shared<const ImageResponseSerializer>(1.0, true);
}

std::shared_ptr<ImageDownloader> ImageDownloader::initWithConfiguration(
    platform::URLSessionConfiguration configuration, DownloadPrioritization downloadPrioritization,
    int maximumActiveDownloads, ImageRequestCachePtr imageCache, std::int64_t maximumBodyBytes) {
  if (maximumBodyBytes > 0 &&
      (configuration.maximumBodyBytes <= 0 || configuration.maximumBodyBytes > maximumBodyBytes)) {
    configuration.maximumBodyBytes = maximumBodyBytes;
  }
  // Pictures are decoded on a serialization queue of their own: on one that runs on the root
  // queue, every decode would hold up the session's bookkeeping of all other transfers.
  auto session = halyard::Session::initWithConfiguration(
      std::move(configuration),
      std::make_shared<halyard::SessionDelegate>(platform::FileManager::defaultManager()),
      platform::DispatchQueue::serial(std::string(kLabelPrefix) + ".session.rootQueue"),
      /*startRequestsImmediately=*/false, /*requestQueue=*/nullptr,
      platform::DispatchQueue::serial(std::string(kLabelPrefix) + ".session.serializationQueue"));
  return initWithSession(std::move(session), downloadPrioritization, maximumActiveDownloads,
                         std::move(imageCache));
}

std::shared_ptr<ImageDownloader> ImageDownloader::initWithSession(
    halyard::SessionPtr session, DownloadPrioritization downloadPrioritization,
    int maximumActiveDownloads, ImageRequestCachePtr imageCache) {
  if (!session || session->startRequestsImmediately() || maximumActiveDownloads < 1) {
    return nullptr;
  }
  return std::shared_ptr<ImageDownloader>(new ImageDownloader(
      std::move(session), downloadPrioritization, maximumActiveDownloads, std::move(imageCache)));
}

// ---- Settings ---------------------------------------------------------------------------------

std::optional<platform::URLCredential> ImageDownloader::credential() const {
  return synchronizationQueue_->sync([this] { return state_.credential; });
}

ImageResponseSerializerPtr ImageDownloader::imageResponseSerializer() const {
  return synchronizationQueue_->sync([this] { return state_.imageResponseSerializer; });
}

void ImageDownloader::setImageResponseSerializer(ImageResponseSerializerPtr serializer) {
  if (!serializer) return;
  synchronizationQueue_->sync(
      [this, &serializer] { state_.imageResponseSerializer = std::move(serializer); });
}

int ImageDownloader::activeRequestCount() const {
  return synchronizationQueue_->sync([this] { return state_.activeRequestCount; });
}

std::size_t ImageDownloader::queuedRequestCount() const {
  return synchronizationQueue_->sync([this] { return state_.queuedRequests.size(); });
}

void ImageDownloader::addCredentialForUser(std::string user, std::string password,
                                           platform::URLCredential::Persistence persistence) {
  addCredential(platform::URLCredential(std::move(user), std::move(password), persistence));
}

void ImageDownloader::addCredential(platform::URLCredential credential) {
  synchronizationQueue_->sync([this, &credential] { state_.credential = std::move(credential); });
}

std::string ImageDownloader::urlIdentifier(const halyard::URLRequestConvertible& convertible) {
  const std::optional<platform::URLRequest> request = convertible.urlRequestOrNil();
  if (!request || !request->url) return {};
  return request->url->absoluteString();
}

// ---- Downloading ------------------------------------------------------------------------------

std::optional<RequestReceipt> ImageDownloader::download(
    halyard::URLRequestConvertiblePtr convertible, std::optional<std::string> cacheKey,
    std::string receiptID, ImageResponseSerializerPtr serializer, ImageFilterPtr filter,
    ProgressHandler progress, platform::DispatchQueuePtr progressQueue,
    ImageDownloadCompletion completion) {
  if (!convertible) return std::nullopt;
  auto self = shared_from_this();
  std::optional<RequestReceipt> receipt;
  synchronizationQueue_->sync([&] {
    const std::string urlID = urlIdentifier(*convertible);
    if (auto joined = state_.responseHandlers.find(urlID);
        joined != state_.responseHandlers.end()) {
      joined->second.operations.push_back(
          Operation{receiptID, std::move(filter), std::move(completion), std::nullopt});
      receipt.emplace(joined->second.request, std::move(receiptID));
      return;
    }

    const std::optional<platform::URLRequest> urlRequest = convertible->urlRequestOrNil();
    if (urlRequest && imageCache_ && mayAnswerFromCache(urlRequest->cachePolicy)) {
      const ImagePtr cached =
          cacheKey ? imageCache_->imageWithIdentifier(*cacheKey)
                   : imageCache_->imageForRequest(
                         *urlRequest, filter ? std::optional(filter->identifier()) : std::nullopt);
      if (cached) {
        schedule(completion,
                 ImageDownloadResponse{urlRequest, nullptr, std::nullopt, nullptr, 0, cached});
        return;
      }
    }

    DataRequestPtr request = session_->makeDataRequest(convertible);
    if (state_.credential) request->authenticateWithCredential(*state_.credential);
    request->validateStatusAndContentType();
    if (progress)
      request->setDownloadProgressHandler(std::move(progressQueue), std::move(progress));
    std::string handlerID = platform::UUID().uuidString();
    // The handling holds the downloader until the request is handled, so a caller that lets
    // go of it early still gets its completion.
    request->responseWithDataSerializer(
        responseQueue_,
        SharedImageResponseSerializer(serializer ? std::move(serializer)
                                                 : state_.imageResponseSerializer),
        [self, urlID, handlerID,
         requestID = request->id().uuidString()](const halyard::DataResponse<ImagePtr>& response) {
          self->handleResponse(response, urlID, handlerID, requestID);
        });
    ResponseHandler handler{
        urlIdentifier(*request->convertible()), std::move(handlerID), request, {}};
    handler.operations.push_back(
        Operation{receiptID, std::move(filter), std::move(completion), std::move(cacheKey)});
    state_.responseHandlers.insert_or_assign(urlID, std::move(handler));
    if (hasRoom(hostOf(*request))) {
      startRequest(request);
    } else {
      enqueue(request);
    }
    receipt.emplace(std::move(request), std::move(receiptID));
  });
  return receipt;
}

std::vector<RequestReceipt> ImageDownloader::downloadAll(
    const std::vector<halyard::URLRequestConvertiblePtr>& convertibles, ImageFilterPtr filter,
    ProgressHandler progress, platform::DispatchQueuePtr progressQueue,
    ImageDownloadCompletion completion) {
  std::vector<RequestReceipt> receipts;
  for (const auto& convertible : convertibles) {
    if (auto receipt = download(convertible, std::nullopt, platform::UUID().uuidString(), nullptr,
                                filter, progress, progressQueue, completion)) {
      receipts.push_back(std::move(*receipt));
    }
  }
  return receipts;
}

void ImageDownloader::cancelRequest(const RequestReceipt& receipt) {
  const DataRequestPtr& request = receipt.request();
  if (!request) return;
  synchronizationQueue_->sync([&] {
    auto found = state_.responseHandlers.find(urlIdentifier(*request->convertible()));
    // A receipt of an earlier request for this address must not touch a later one's callers.
    if (found == state_.responseHandlers.end() || found->second.request->id() != request->id()) {
      return;
    }
    auto& operations = found->second.operations;
    auto operation = std::find_if(operations.begin(), operations.end(), [&](const Operation& o) {
      return o.receiptID == receipt.receiptID();
    });
    if (operation != operations.end()) {
      schedule(operation->completion,
               ImageDownloadResponse{request->currentRequest(), nullptr, std::nullopt, nullptr, 0,
                                     std::unexpected(HalyardImageError::requestCancelled())});
      operations.erase(operation);
    }
    if (!operations.empty()) return;
    // A request still waiting its turn leaves the queue: it was never counted as active, and it
    // must not take a turn from a request that someone still waits for.
    auto& queued = state_.queuedRequests;
    queued.erase(std::remove_if(queued.begin(), queued.end(),
                                [&](const DataRequestPtr& r) { return r->id() == request->id(); }),
                 queued.end());
    state_.responseHandlers.erase(found);
    request->cancel();
  });
}

// ---- Bookkeeping, on the synchronization queue ----------------------------------------------

void ImageDownloader::enqueue(const DataRequestPtr& request) {
  if (downloadPrioritization_ == DownloadPrioritization::fifo) {
    state_.queuedRequests.push_back(request);
  } else {
    state_.queuedRequests.push_front(request);
  }
}

bool ImageDownloader::hasRoom(const std::string& host) const {
  const auto found = state_.activeByHost.find(host);
  return found == state_.activeByHost.end() || found->second < maximumActiveDownloads_;
}

void ImageDownloader::startRequest(const DataRequestPtr& request) {
  std::string host = hostOf(*request);
  ++state_.activeByHost[host];
  state_.activeRequestHosts.insert_or_assign(request->id().uuidString(), std::move(host));
  ++state_.activeRequestCount;
  request->resume();
}

void ImageDownloader::startNextRequestIfPossible() {
  auto& queued = state_.queuedRequests;
  const auto next = std::find_if(queued.begin(), queued.end(),
                                 [&](const DataRequestPtr& r) { return hasRoom(hostOf(*r)); });
  if (next == queued.end()) return;
  const DataRequestPtr request = *next;
  queued.erase(next);
  startRequest(request);
}

std::optional<ImageDownloader::ResponseHandler> ImageDownloader::removeResponseHandler(
    const std::string& urlID, const std::string& handlerID) {
  return synchronizationQueue_->sync([&]() -> std::optional<ResponseHandler> {
    auto found = state_.responseHandlers.find(urlID);
    if (found == state_.responseHandlers.end() || found->second.handlerID != handlerID) {
      return std::nullopt;
    }
    ResponseHandler handler = std::move(found->second);
    state_.responseHandlers.erase(found);
    return handler;
  });
}

// ---- Response handling, on the response queue ------------------------------------------------

void ImageDownloader::handleResponse(const halyard::DataResponse<ImagePtr>& response,
                                     const std::string& urlID, const std::string& handlerID,
                                     const std::string& requestID) {
  try {
    // Checked and taken in one step: a withdrawal and a new download of the address in between
    // would otherwise hand this outcome to the newer request's callers.
    if (std::optional<ResponseHandler> handler = removeResponseHandler(urlID, handlerID)) {
      if (!response.result) {
        for (const Operation& operation : handler->operations) {
          schedule(
              operation.completion,
              failureResponse(response, HalyardImageError::halyardError(response.result.error())));
        }
      } else {
        deliverImage(response, *response.result, std::move(handler->operations));
      }
    }
  } catch (...) {
    platform::log("Image downloader: handling a response failed: " +
                  halyard::currentError()->localizedDescription());
  }
  // The slot is freed whatever happened above. A request that never ran frees none; it can
  // end while it waits (its URL request could not be built), and then leaves the queue, or it
  // would take a slot for good when its turn came.
  synchronizationQueue_->sync([&] {
    if (const auto active = state_.activeRequestHosts.find(requestID);
        active != state_.activeRequestHosts.end()) {
      if (--state_.activeByHost[active->second] == 0) state_.activeByHost.erase(active->second);
      state_.activeRequestHosts.erase(active);
      --state_.activeRequestCount;
    } else {
      auto& queued = state_.queuedRequests;
      queued.erase(std::remove_if(
                       queued.begin(), queued.end(),
                       [&](const DataRequestPtr& r) { return r->id().uuidString() == requestID; }),
                   queued.end());
    }
    startNextRequestIfPossible();
  });
}

void ImageDownloader::deliverImage(const halyard::DataResponse<ImagePtr>& response,
                                   const ImagePtr& image, std::vector<Operation> operations) {
  struct Outcome {
    ImagePtr image;
    platform::ErrorPtr error;
  };
  std::unordered_map<std::string, Outcome> byFilter;
  // The empty picture of an allowed empty body is handed out but never kept: the next
  // download asks the server again.
  const bool cacheable = imageCache_ && image && !image->isNull();
  for (Operation& operation : operations) {
    Outcome outcome{image, nullptr};
    std::optional<std::string> filterID;
    if (operation.filter) {
      filterID = operation.filter->identifier();
      auto [entry, isNew] = byFilter.try_emplace(*filterID);
      if (isNew) {
        try {
          ImagePtr filtered = operation.filter->filter()(image);
          if (!filtered) throw FilterProducedNoImage(*filterID);
          entry->second.image = std::move(filtered);
        } catch (...) {
          entry->second.error = halyard::currentError();
        }
      }
      outcome = entry->second;
    }
    if (outcome.error) {
      schedule(operation.completion,
               failureResponse(
                   response,
                   HalyardImageError::halyardError(HalyardError::responseSerializationFailed(
                       HalyardError::ResponseSerializationFailureReason::CustomSerializationFailed{
                           outcome.error}))));
      continue;
    }
    if (cacheable) {
      // Only the caller who gave the key has its image stored under it.
      if (operation.cacheKey) {
        imageCache_->addWithIdentifier(outcome.image, *operation.cacheKey);
      } else if (response.request) {
        imageCache_->addForRequest(outcome.image, *response.request, filterID);
      }
    }
    schedule(
        operation.completion,
        ImageDownloadResponse{response.request, response.response, response.data, response.metrics,
                              response.serializationDuration, outcome.image});
  }
}

}  // namespace imagecache

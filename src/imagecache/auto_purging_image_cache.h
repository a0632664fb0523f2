#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "imagecache/image_cache.h"
#include "imagecache/image_cost.h"
#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/log.h"
#include "platform/graphics/image.h"
#include "platform/net/url_request.h"

namespace imagecache {

// The label of a new cache's queue: a fixed prefix and two random 32-bit values in hex, so
// that every cache's queue can be told apart in a debugger.
std::string makeImageCacheQueueLabel();

// An in-memory cache of decoded images that counts the bytes they occupy and, whenever an
// addition takes that count above `memoryCapacity`, evicts the least recently used images until
// the count is at or below `preferredMemoryUsageAfterPurge`.
//
// `Image` is any type for which `imageSize(const Image&)` answers its size in points; an image
// costs four bytes a point of width times its height (see `imageByteCost`).
//
// Every operation may be called from any thread. All state sits behind one serial queue, so
// operations take effect in the order they were issued; additions return before they are
// applied, but anything the same thread asks afterwards sees them.
template <class Image = platform::Image>
class AutoPurgingImageCache : public ImageRequestCache<Image> {
 public:
  using typename ImageCache<Image>::ImagePtr;

  struct CachedImage {
    ImagePtr image;
    std::string identifier;
    std::uint64_t totalBytes = 0;
    // The address the image was stored for, when it came in through a request; removal by
    // address matches on this exactly.
    std::optional<std::string> requestURL;
    // Position in the order of use: a counter, not a clock, so that two uses in the same
    // instant still have a defined order and a clock step cannot reorder them.
    std::uint64_t lastAccessOrder = 0;
  };

  // No cache when the capacity is below the usage a purge should bring it down to.
  static std::shared_ptr<AutoPurgingImageCache> make(
      std::uint64_t memoryCapacity = 100'000'000,
      std::uint64_t preferredMemoryUsageAfterPurge = 60'000'000) {
    if (memoryCapacity < preferredMemoryUsageAfterPurge) return nullptr;
    return std::shared_ptr<AutoPurgingImageCache>(
        new AutoPurgingImageCache(memoryCapacity, preferredMemoryUsageAfterPurge));
  }

  std::uint64_t memoryCapacity() const { return memoryCapacity_; }
  std::uint64_t preferredMemoryUsageAfterPurge() const { return preferredMemoryUsageAfterPurge_; }
  const platform::DispatchQueuePtr& synchronizationQueue() const { return queue_; }

  std::uint64_t usedMemory() const {
    return queue_->sync([state = state_] { return state->currentMemoryUsage; });
  }

  // ---- ImageCache ----------------------------------------------------------------------------

  void addWithIdentifier(ImagePtr image, const std::string& identifier) override {
    add(std::move(image), identifier, std::nullopt);
  }

  bool removeWithIdentifier(const std::string& identifier) override {
    return queue_->sync([state = state_, &identifier] {
      auto it = state->cachedImages.find(identifier);
      if (it == state->cachedImages.end()) return false;
      state->currentMemoryUsage -= it->second.totalBytes;
      state->cachedImages.erase(it);
      return true;
    });
  }

  bool removeAllImages() override {
    return queue_->sync([state = state_] {
      if (state->cachedImages.empty()) return false;
      state->cachedImages.clear();
      state->currentMemoryUsage = 0;
      return true;
    });
  }

  ImagePtr imageWithIdentifier(const std::string& identifier) override {
    return queue_->sync([state = state_, &identifier]() -> ImagePtr {
      auto it = state->cachedImages.find(identifier);
      if (it == state->cachedImages.end()) return nullptr;
      it->second.lastAccessOrder = ++state->accessCounter;
      return it->second.image;
    });
  }

  // ---- ImageRequestCache ---------------------------------------------------------------------

  void addForRequest(ImagePtr image, const platform::URLRequest& request,
                     const std::optional<std::string>& identifier) override {
    add(std::move(image), cacheKey(request, identifier), requestURLText(request));
  }

  bool removeForRequest(const platform::URLRequest& request,
                        const std::optional<std::string>& identifier) override {
    return removeWithIdentifier(cacheKey(request, identifier));
  }

  ImagePtr imageForRequest(const platform::URLRequest& request,
                           const std::optional<std::string>& identifier) override {
    return imageWithIdentifier(cacheKey(request, identifier));
  }

  // Removes the image of the request's address and every filtered variant stored for that
  // same address. Images of other addresses stay, also those whose address merely begins with
  // this one's.
  bool removeMatchingRequestURL(const platform::URLRequest& request) {
    return queue_->sync([state = state_, url = requestURLText(request)] {
      bool removed = false;
      for (auto it = state->cachedImages.begin(); it != state->cachedImages.end();) {
        const CachedImage& entry = it->second;
        const bool matches = entry.requestURL ? *entry.requestURL == url : entry.identifier == url;
        if (matches) {
          state->currentMemoryUsage -= entry.totalBytes;
          it = state->cachedImages.erase(it);
          removed = true;
        } else {
          ++it;
        }
      }
      return removed;
    });
  }

  // The request's address, then "-" and the identifier when one is given.
  static std::string cacheKey(const platform::URLRequest& request,
                              const std::optional<std::string>& identifier) {
    std::string key = requestURLText(request);
    if (identifier) key += "-" + *identifier;
    return key;
  }

 private:
  struct State {
    std::unordered_map<std::string, CachedImage> cachedImages;
    std::uint64_t currentMemoryUsage = 0;
    std::uint64_t accessCounter = 0;
  };

  AutoPurgingImageCache(std::uint64_t memoryCapacity, std::uint64_t preferredMemoryUsageAfterPurge)
      : memoryCapacity_(memoryCapacity),
        preferredMemoryUsageAfterPurge_(preferredMemoryUsageAfterPurge),
        queue_(platform::DispatchQueue::serial(makeImageCacheQueueLabel())),
        state_(std::make_shared<State>()) {}

  static std::string requestURLText(const platform::URLRequest& request) {
    return request.url ? request.url->absoluteString() : std::string();
  }

  void add(ImagePtr image, std::string identifier, std::optional<std::string> requestURL) {
    if (!image) return;
    const std::optional<std::uint64_t> cost = imageByteCost(imageSize(*image));
    if (!cost) {
      platform::log("Image cache: refused an image whose size has no byte cost: " + identifier);
      return;
    }
    queue_->async([state = state_, image = std::move(image), identifier = std::move(identifier),
                   requestURL = std::move(requestURL), cost = *cost] {
      std::uint64_t usage = state->currentMemoryUsage;
      auto existing = state->cachedImages.find(identifier);
      if (existing != state->cachedImages.end()) usage -= existing->second.totalBytes;
      if (cost > std::numeric_limits<std::uint64_t>::max() - usage) {
        platform::log("Image cache: refused an image that would overflow the usage count: " +
                      identifier);
        return;
      }
      CachedImage entry{image, identifier, cost, requestURL, ++state->accessCounter};
      state->cachedImages.insert_or_assign(identifier, std::move(entry));
      state->currentMemoryUsage = usage + cost;
    });
    queue_->async(
        [state = state_, capacity = memoryCapacity_, preferred = preferredMemoryUsageAfterPurge_] {
          purge(*state, capacity, preferred);
        });
  }

  static void purge(State& state, std::uint64_t capacity, std::uint64_t preferred) {
    if (state.currentMemoryUsage <= capacity) return;
    const std::uint64_t bytesToPurge = state.currentMemoryUsage - preferred;
    std::vector<const CachedImage*> byAge;
    byAge.reserve(state.cachedImages.size());
    for (const auto& [key, entry] : state.cachedImages)
      byAge.push_back(&entry);
    std::sort(byAge.begin(), byAge.end(), [](const CachedImage* a, const CachedImage* b) {
      return a->lastAccessOrder < b->lastAccessOrder;
    });
    std::vector<std::string> victims;
    std::uint64_t purged = 0;
    for (const CachedImage* entry : byAge) {
      victims.push_back(entry->identifier);
      purged += entry->totalBytes;
      if (purged >= bytesToPurge) break;
    }
    for (const auto& identifier : victims)
      state.cachedImages.erase(identifier);
    state.currentMemoryUsage -= purged;
  }

  const std::uint64_t memoryCapacity_;
  const std::uint64_t preferredMemoryUsageAfterPurge_;
  const platform::DispatchQueuePtr queue_;
  const std::shared_ptr<State> state_;
};

}  // namespace imagecache

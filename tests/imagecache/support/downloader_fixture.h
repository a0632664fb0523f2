#pragma once

// What the downloader's integration tests share: a picture server, a private caches directory
// per test, filters that tell their outputs apart, and a recorder of completions.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "imagecache/auto_purging_image_cache.h"
#include "imagecache/image_downloader.h"
#include "imagecache/support/image_server.h"
#include "imagecache/support/test_images.h"
#include "platform/dispatch/main_queue.h"
#include "support/http_test_handlers.h"

namespace imagetest {

using imagecache::HalyardImageError;
using imagecache::ImageDownloader;
using imagecache::ImageDownloadResponse;
using imagecache::ImagePtr;
using testsupport::Gate;

inline bool waitUntil(const std::function<bool()>& condition, double seconds = 20) {
  return platform::runMainUntil(condition, seconds);
}

// A filter that narrows the image by `narrowBy` pixels (a view of the same pixels), counts its
// runs, and can throw or answer nothing instead.
class TestFilter : public imagecache::ImageFilter {
 public:
  enum class Mode { narrow, throwing, nothing };
  TestFilter(std::string identifier, int narrowBy, Mode mode = Mode::narrow)
      : identifier_(std::move(identifier)), narrowBy_(narrowBy), mode_(mode) {}

  imagecache::ImageFilterFunction filter() const override {
    return [this](ImagePtr image) -> ImagePtr {
      ++runs_;
      if (mode_ == Mode::throwing) throw std::runtime_error("filter " + identifier_ + " broke");
      if (mode_ == Mode::nothing || image->isNull()) return nullptr;
      auto narrowed =
          platform::Image::wrap(image->pixels(), image->width() - narrowBy_, image->height(),
                                image->bytesPerRow(), image, image->pixelFormat());
      return narrowed ? std::make_shared<const platform::Image>(*narrowed) : nullptr;
    };
  }
  std::string identifier() const override { return identifier_; }
  int runs() const { return runs_; }

 private:
  std::string identifier_;
  int narrowBy_;
  Mode mode_;
  mutable std::atomic<int> runs_ = 0;
};

// Completions by tag, in the order they came; all on the main queue.
class Recorder {
 public:
  imagecache::ImageDownloadCompletion completion(std::string tag) {
    return [this, tag](const ImageDownloadResponse& response) {
      std::lock_guard lock(mutex_);
      order_.push_back(tag);
      responses_[tag].push_back(response);
    };
  }
  int count(const std::string& tag) const {
    std::lock_guard lock(mutex_);
    auto found = responses_.find(tag);
    return found == responses_.end() ? 0 : static_cast<int>(found->second.size());
  }
  bool has(const std::string& tag) const { return count(tag) > 0; }
  ImageDownloadResponse response(const std::string& tag) const {
    std::lock_guard lock(mutex_);
    return responses_.at(tag).front();
  }
  std::vector<std::string> order() const {
    std::lock_guard lock(mutex_);
    return order_;
  }
  int width(const std::string& tag) const {
    const auto r = response(tag);
    return r.result && *r.result ? (*r.result)->width() : -1;
  }
  bool cancelled(const std::string& tag) const {
    const auto r = response(tag);
    return !r.result && r.result.error().isCancellation();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> order_;
  std::map<std::string, std::vector<ImageDownloadResponse>> responses_;
};

inline halyard::URLRequestConvertiblePtr convertibleFor(
    const std::string& address, platform::URLRequest::CachePolicy policy =
                                    platform::URLRequest::CachePolicy::useProtocolCachePolicy) {
  return halyard::makeURLRequestConvertible(
      platform::URLRequest(*platform::URL::fromString(address), policy));
}

class DownloaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* previous = std::getenv("XDG_CACHE_HOME")) previousCacheHome_ = previous;
    char pattern[] = "/tmp/imagedownloader-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    cacheHome_ = pattern;
    setenv("XDG_CACHE_HOME", cacheHome_.c_str(), 1);
  }
  void TearDown() override {
    server.releaseAll();
    if (previousCacheHome_) {
      setenv("XDG_CACHE_HOME", previousCacheHome_->c_str(), 1);
    } else {
      unsetenv("XDG_CACHE_HOME");
    }
    std::error_code ignored;
    std::filesystem::remove_all(cacheHome_, ignored);
  }

  // The default configuration without a URL cache, so that every request reaches the server.
  static platform::URLSessionConfiguration configurationWithoutURLCache() {
    platform::URLSessionConfiguration configuration =
        ImageDownloader::defaultURLSessionConfiguration();
    configuration.urlCache = nullptr;
    return configuration;
  }

  std::shared_ptr<ImageDownloader> makeDownloader(
      int maximumActiveDownloads = 4,
      ImageDownloader::DownloadPrioritization order = ImageDownloader::DownloadPrioritization::fifo,
      bool withImageCache = true) {
    cache = withImageCache ? imagecache::AutoPurgingImageCache<platform::Image>::make() : nullptr;
    return ImageDownloader::initWithConfiguration(configurationWithoutURLCache(), order,
                                                  maximumActiveDownloads, cache);
  }

  const std::string& cacheHome() const { return cacheHome_; }

  ImageServer server;
  std::shared_ptr<imagecache::AutoPurgingImageCache<platform::Image>> cache;
  Recorder recorder;
  const std::string jpeg = makeJPEG(40, 20);

 private:
  std::string cacheHome_;
  std::optional<std::string> previousCacheHome_;
};

}  // namespace imagetest

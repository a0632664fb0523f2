#include <gtest/gtest.h>

#include "app/service/api_service_manager.h"
#include "imagecache/auto_purging_image_cache.h"

namespace app {
namespace {

TEST(APIServiceImageDownloader, MadeOnFirstAccessWithTheSharedDownloadersSettings) {
  auto service = APIServiceManager::make();
  const imagecache::ImageDownloaderPtr first = service->imageDownloader();
  ASSERT_TRUE(first);
  EXPECT_EQ(service->imageDownloader(), first);
  EXPECT_NE(first, imagecache::ImageDownloader::shared());
  EXPECT_EQ(first->downloadPrioritization(),
            imagecache::ImageDownloader::DownloadPrioritization::fifo);
  EXPECT_EQ(first->maximumActiveDownloads(), 4);
  EXPECT_FALSE(first->session()->startRequestsImmediately());
  auto cache = std::dynamic_pointer_cast<imagecache::AutoPurgingImageCache<>>(first->imageCache());
  ASSERT_TRUE(cache);
  EXPECT_EQ(cache->memoryCapacity(), 100'000'000u);
  EXPECT_EQ(cache->preferredMemoryUsageAfterPurge(), 60'000'000u);
  // A service of its own gets a downloader of its own.
  EXPECT_NE(APIServiceManager::make()->imageDownloader(), first);
}

}  // namespace
}  // namespace app

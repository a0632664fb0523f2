#include "imagecache/auto_purging_image_cache.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>
#include <vector>

namespace imagecache {
namespace {

struct FakeImage {
  double width = 0;
  double height = 0;
};

ImageSize imageSize(const FakeImage& image) {
  return {image.width, image.height};
}

using Cache = AutoPurgingImageCache<FakeImage>;

// An image costing exactly `bytes` (a multiple of 4): `bytes / 4` points wide, one high.
std::shared_ptr<const FakeImage> costing(std::uint64_t bytes) {
  return std::make_shared<const FakeImage>(FakeImage{static_cast<double>(bytes) / 4.0, 1.0});
}

platform::URLRequest requestFor(const std::string& address) {
  return platform::URLRequest(*platform::URL::fromString(address));
}

}  // namespace

TEST(ImageByteCost, TruncatesWidthTimesFourAndHeight) {
  EXPECT_EQ(imageByteCost({10.5, 3.9}), 126u);
  EXPECT_EQ(imageByteCost({100, 50}), 20000u);
  EXPECT_EQ(imageByteCost({0, 50}), 0u);
  EXPECT_EQ(imageSize(FakeImage{2, 3}).width, 2);
}

TEST(ImageByteCost, RefusesSizesWithoutARepresentableCost) {
  EXPECT_EQ(imageByteCost({-1, 10}), std::nullopt);
  EXPECT_EQ(imageByteCost({10, -0.5}), std::nullopt);
  EXPECT_EQ(imageByteCost({std::nan(""), 10}), std::nullopt);
  EXPECT_EQ(imageByteCost({std::numeric_limits<double>::infinity(), 1}), std::nullopt);
  EXPECT_EQ(imageByteCost({1e19, 1}), std::nullopt);  // 4e19 is past 2^64
  EXPECT_EQ(imageByteCost({1e9, 1e10}), std::nullopt);
}

TEST(AutoPurgingImageCache, RefusesACapacityBelowThePreferredUsage) {
  EXPECT_EQ(Cache::make(10, 11), nullptr);
  auto cache = Cache::make(10, 10);
  ASSERT_NE(cache, nullptr);
  EXPECT_EQ(cache->memoryCapacity(), 10u);
  EXPECT_EQ(cache->preferredMemoryUsageAfterPurge(), 10u);
  EXPECT_EQ(cache->usedMemory(), 0u);
}

TEST(AutoPurgingImageCache, QueueLabelsAreDistinct) {
  auto a = Cache::make(10, 5);
  auto b = Cache::make(10, 5);
  const std::string& label = a->synchronizationQueue()->label();
  EXPECT_TRUE(label.starts_with("org.tovarine.imagecache.autopurgingimagecache-")) << label;
  EXPECT_EQ(label.size(),
            std::string("org.tovarine.imagecache.autopurgingimagecache-").size() + 16);
  EXPECT_NE(label, b->synchronizationQueue()->label());
}

TEST(AutoPurgingImageCache, AddLookUpAndReplace) {
  auto cache = Cache::make(1000, 500);
  auto first = costing(100);
  auto second = costing(40);
  cache->addWithIdentifier(first, "a");
  EXPECT_EQ(cache->imageWithIdentifier("a"), first);
  EXPECT_EQ(cache->usedMemory(), 100u);
  cache->addWithIdentifier(second, "a");
  EXPECT_EQ(cache->imageWithIdentifier("a"), second);
  EXPECT_EQ(cache->usedMemory(), 40u);
  EXPECT_EQ(cache->imageWithIdentifier("b"), nullptr);
}

TEST(AutoPurgingImageCache, RefusedImagesLeaveTheUsageAlone) {
  auto cache = Cache::make(1000, 500);
  cache->addWithIdentifier(costing(100), "a");
  cache->addWithIdentifier(std::make_shared<const FakeImage>(FakeImage{-3, 4}), "b");
  cache->addWithIdentifier(std::make_shared<const FakeImage>(FakeImage{std::nan(""), 4}), "a");
  EXPECT_EQ(cache->usedMemory(), 100u);
  EXPECT_EQ(cache->imageWithIdentifier("b"), nullptr);
  EXPECT_NE(cache->imageWithIdentifier("a"), nullptr);
}

TEST(AutoPurgingImageCache, PurgesOnlyAboveCapacityDownToPreferredUsage) {
  auto cache = Cache::make(300, 200);
  cache->addWithIdentifier(costing(100), "a");
  cache->addWithIdentifier(costing(100), "b");
  cache->addWithIdentifier(costing(100), "c");
  EXPECT_EQ(cache->usedMemory(), 300u);  // exactly at capacity: nothing goes
  cache->addWithIdentifier(costing(4), "d");
  // 304 - 200 = 104 bytes to purge: the two oldest go, overshooting to 104 left.
  EXPECT_EQ(cache->usedMemory(), 104u);
  EXPECT_EQ(cache->imageWithIdentifier("a"), nullptr);
  EXPECT_EQ(cache->imageWithIdentifier("b"), nullptr);
  EXPECT_NE(cache->imageWithIdentifier("c"), nullptr);
  EXPECT_NE(cache->imageWithIdentifier("d"), nullptr);
}

TEST(AutoPurgingImageCache, LookupPostponesEviction) {
  auto cache = Cache::make(200, 104);
  cache->addWithIdentifier(costing(100), "old");
  cache->addWithIdentifier(costing(100), "new");
  ASSERT_NE(cache->imageWithIdentifier("old"), nullptr);  // now the most recently used
  cache->addWithIdentifier(costing(4), "third");
  EXPECT_NE(cache->imageWithIdentifier("old"), nullptr);
  EXPECT_EQ(cache->imageWithIdentifier("new"), nullptr);
  EXPECT_EQ(cache->usedMemory(), 104u);
}

TEST(AutoPurgingImageCache, EvictionOrderIsDefinedForBackToBackAdditions) {
  // Many additions within one clock tick: the order of use still decides.
  auto cache = Cache::make(1000, 0);
  for (int i = 0; i < 10; ++i)
    cache->addWithIdentifier(costing(100), std::to_string(i));
  EXPECT_EQ(cache->usedMemory(), 1000u);
  ASSERT_NE(cache->imageWithIdentifier("0"), nullptr);
  cache->addWithIdentifier(costing(4), "x");
  // Everything goes, oldest first, until 1004 bytes are purged: that is every entry.
  EXPECT_EQ(cache->usedMemory(), 0u);

  auto partial = Cache::make(400, 300);
  for (int i = 0; i < 4; ++i)
    partial->addWithIdentifier(costing(100), std::to_string(i));
  ASSERT_NE(partial->imageWithIdentifier("0"), nullptr);
  partial->addWithIdentifier(costing(4), "x");
  EXPECT_EQ(partial->imageWithIdentifier("1"), nullptr);
  EXPECT_EQ(partial->imageWithIdentifier("2"), nullptr);
  EXPECT_NE(partial->imageWithIdentifier("0"), nullptr);
  EXPECT_NE(partial->imageWithIdentifier("3"), nullptr);
}

TEST(AutoPurgingImageCache, AnImageLargerThanTheCapacityTakesEverythingWithIt) {
  auto cache = Cache::make(100, 50);
  cache->addWithIdentifier(costing(40), "small");
  cache->addWithIdentifier(costing(400), "huge");
  EXPECT_EQ(cache->usedMemory(), 0u);
  EXPECT_EQ(cache->imageWithIdentifier("huge"), nullptr);
  EXPECT_EQ(cache->imageWithIdentifier("small"), nullptr);
}

TEST(AutoPurgingImageCache, Removal) {
  auto cache = Cache::make(1000, 500);
  EXPECT_FALSE(cache->removeAllImages());
  EXPECT_FALSE(cache->removeWithIdentifier("a"));
  cache->addWithIdentifier(costing(100), "a");
  cache->addWithIdentifier(costing(60), "b");
  EXPECT_TRUE(cache->removeWithIdentifier("a"));
  EXPECT_FALSE(cache->removeWithIdentifier("a"));
  EXPECT_EQ(cache->usedMemory(), 60u);
  EXPECT_TRUE(cache->removeAllImages());
  EXPECT_EQ(cache->usedMemory(), 0u);
  EXPECT_FALSE(cache->removeAllImages());
}

TEST(AutoPurgingImageCache, CacheKeys) {
  platform::URLRequest noURL;
  EXPECT_EQ(Cache::cacheKey(noURL, std::nullopt), "");
  EXPECT_EQ(Cache::cacheKey(noURL, "blur"), "-blur");
  auto request = requestFor("https://example.org/a.png");
  EXPECT_EQ(Cache::cacheKey(request, std::nullopt), "https://example.org/a.png");
  EXPECT_EQ(Cache::cacheKey(request, "round"), "https://example.org/a.png-round");
}

TEST(AutoPurgingImageCache, RequestOperationsUseTheCacheKey) {
  auto cache = Cache::make(1000, 500);
  auto request = requestFor("https://example.org/a.png");
  auto plain = costing(8);
  auto filtered = costing(12);
  cache->addForRequest(plain, request, std::nullopt);
  cache->addForRequest(filtered, request, "round");
  EXPECT_EQ(cache->imageForRequest(request, std::nullopt), plain);
  EXPECT_EQ(cache->imageForRequest(request, "round"), filtered);
  EXPECT_EQ(cache->imageWithIdentifier("https://example.org/a.png-round"), filtered);
  EXPECT_TRUE(cache->removeForRequest(request, "round"));
  EXPECT_FALSE(cache->removeForRequest(request, "round"));
  EXPECT_EQ(cache->usedMemory(), 8u);
}

TEST(AutoPurgingImageCache, RemovingByAddressSparesAddressesThatMerelyShareItsStart) {
  auto cache = Cache::make(1000, 500);
  auto a = requestFor("https://example.org/a.png");
  auto longer = requestFor("https://example.org/a.png-large");
  auto query = requestFor("https://example.org/a.png?size=2");
  cache->addForRequest(costing(4), a, std::nullopt);
  cache->addForRequest(costing(8), a, "round");
  cache->addForRequest(costing(16), longer, std::nullopt);
  cache->addForRequest(costing(32), query, "round");
  cache->addWithIdentifier(costing(64), "https://example.org/a.png");  // replaces the plain one
  cache->addWithIdentifier(costing(128), "https://example.org/a.png-by-hand");

  EXPECT_TRUE(cache->removeMatchingRequestURL(a));
  EXPECT_EQ(cache->imageForRequest(a, std::nullopt), nullptr);
  EXPECT_EQ(cache->imageForRequest(a, "round"), nullptr);
  EXPECT_NE(cache->imageForRequest(longer, std::nullopt), nullptr);
  EXPECT_NE(cache->imageForRequest(query, "round"), nullptr);
  EXPECT_NE(cache->imageWithIdentifier("https://example.org/a.png-by-hand"), nullptr);
  EXPECT_EQ(cache->usedMemory(), 16u + 32u + 128u);
  EXPECT_FALSE(cache->removeMatchingRequestURL(a));
}

TEST(AutoPurgingImageCache, RemovingByAnAddresslessRequestRemovesOnlyAddresslessImages) {
  auto cache = Cache::make(1000, 500);
  platform::URLRequest noURL;
  cache->addForRequest(costing(4), noURL, "x");
  cache->addForRequest(costing(8), requestFor("https://example.org/b.png"), std::nullopt);
  EXPECT_TRUE(cache->removeMatchingRequestURL(noURL));
  EXPECT_EQ(cache->usedMemory(), 8u);
}

TEST(AutoPurgingImageCache, ConcurrentUseKeepsTheCountExact) {
  auto cache = Cache::make(1'000'000, 500'000);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([cache, t] {
      for (int i = 0; i < 200; ++i) {
        const std::string id = std::to_string(t) + "-" + std::to_string(i % 50);
        cache->addWithIdentifier(costing(4 * (1 + i % 7)), id);
        cache->imageWithIdentifier(id);
        if (i % 5 == 0) cache->removeWithIdentifier(id);
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  // The count must equal the sum of what is left: read back every survivor's cost.
  std::uint64_t sum = 0;
  for (int t = 0; t < 4; ++t) {
    for (int i = 0; i < 50; ++i) {
      if (auto image = cache->imageWithIdentifier(std::to_string(t) + "-" + std::to_string(i))) {
        sum += *imageByteCost(imageSize(*image));
      }
    }
  }
  EXPECT_EQ(cache->usedMemory(), sum);
}

}  // namespace imagecache

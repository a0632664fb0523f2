// The URL cache as a store: keys, "Vary", storage policies, capacity and eviction order, the
// disk part shared by two cache objects, damaged entry files, and use from many threads.

#include "platform/net/url_cache.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <bit>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <thread>

#include "support/test_files.h"
#include "support/text_mutation.h"

namespace platform {
namespace {

using Policy = CachedURLResponse::StoragePolicy;

URLRequest requestFor(const std::string& url,
                      std::vector<std::pair<std::string, std::string>> headers = {}) {
  URLRequest request(*URL::fromString(url));
  for (const auto& [name, value] : headers)
    request.setValueForHTTPHeaderField(value, name);
  return request;
}

CachedURLResponsePtr responseFor(const std::string& url, const std::string& body,
                                 HTTPHeaderFields fields = {}, Policy policy = Policy::allowed,
                                 int status = 200) {
  auto head = std::make_shared<const HTTPURLResponse>(*URL::fromString(url), status, "HTTP/1.1",
                                                      std::move(fields));
  return std::make_shared<const CachedURLResponse>(head, Bytes(body.begin(), body.end()),
                                                   std::any(std::string("note")), policy);
}

std::string bodyOf(const CachedURLResponsePtr& response) {
  return response ? std::string(response->data().begin(), response->data().end()) : "<none>";
}

std::vector<std::filesystem::path> entryFiles(const std::string& directory) {
  std::vector<std::filesystem::path> files;
  for (const auto& item : std::filesystem::directory_iterator(directory)) {
    files.push_back(item.path());
  }
  return files;
}

class URLCacheDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(temp_.create("url-cache"));
    directory_ = temp_.path() + "/nested/cache";
  }
  testsupport::TemporaryDirectory temp_;
  std::string directory_;
};

TEST(URLCacheTest, KeyIsTheURLWithoutItsFragment) {
  struct Row {
    const char* stored;
    const char* asked;
    bool hit;
  };
  const Row rows[] = {
      {"http://h/a", "http://h/a", true},     {"http://h/a#top", "http://h/a#bottom", true},
      {"http://h/a#top", "http://h/a", true}, {"http://h/a?x=1", "http://h/a?x=2", false},
      {"http://h/a", "http://h/A", false},    {"http://h/a", "https://h/a", false},
  };
  for (const auto& row : rows) {
    URLCache cache(1 << 20, 0);
    cache.storeCachedResponse(responseFor(row.stored, "body"), requestFor(row.stored));
    EXPECT_EQ(cache.cachedResponse(requestFor(row.asked)) != nullptr, row.hit)
        << row.stored << " asked as " << row.asked;
  }
  URLCache cache(1 << 20, 0);
  EXPECT_EQ(cache.cachedResponse(URLRequest()), nullptr);
  cache.storeCachedResponse(responseFor("http://h/a", "body"), URLRequest());
  EXPECT_EQ(cache.currentMemoryUsage(), 0);
}

TEST(URLCacheTest, VaryStoresTheNamedRequestFieldsWhichMustMatch) {
  using Fields = std::vector<std::pair<std::string, std::string>>;
  struct Row {
    const char* vary;
    Fields storedWith;
    Fields askedWith;
    bool stored;
    bool hit;
  };
  const Row rows[] = {
      {"Accept-Language", {{"Accept-Language", "de"}}, {{"accept-language", "de"}}, true, true},
      {"Accept-Language", {{"Accept-Language", "de"}}, {{"Accept-Language", "fr"}}, true, false},
      {"Accept-Language", {{"Accept-Language", "de"}}, {}, true, false},
      {"Accept-Language", {}, {}, true, true},
      {"Accept-Language", {}, {{"Accept-Language", "de"}}, true, false},
      {"Accept, X-Mode", {{"Accept", "a"}, {"X-Mode", "1"}}, {{"Accept", "a"}}, true, false},
      {"Accept, X-Mode",
       {{"Accept", "a"}, {"X-Mode", "1"}},
       {{"X-Mode", "1"}, {"Accept", "a"}},
       true,
       true},
      {"Accept", {{"Accept", "a"}, {"X-Other", "1"}}, {{"Accept", "a"}}, true, true},
      {"*", {}, {}, false, false},
      {"Accept, *", {{"Accept", "a"}}, {{"Accept", "a"}}, false, false},
  };
  for (const auto& row : rows) {
    testsupport::TemporaryDirectory temp;
    ASSERT_TRUE(temp.create("url-cache-vary"));
    URLCache cache(1 << 20, 1 << 20, temp.path());
    cache.storeCachedResponse(responseFor("http://h/v", "body", {{"Vary", row.vary}}),
                              requestFor("http://h/v", row.storedWith));
    EXPECT_EQ(cache.currentMemoryUsage() > 0, row.stored) << row.vary;
    EXPECT_EQ(cache.cachedResponse(requestFor("http://h/v", row.askedWith)) != nullptr, row.hit)
        << "Vary: " << row.vary << " (memory)";
    // The disk part keeps the same values.
    URLCache reopened(1 << 20, 1 << 20, temp.path());
    EXPECT_EQ(reopened.cachedResponse(requestFor("http://h/v", row.askedWith)) != nullptr, row.hit)
        << "Vary: " << row.vary << " (disk)";
  }
}

TEST_F(URLCacheDiskTest, StoragePolicyDecidesWhereTheEntryGoes) {
  struct Row {
    Policy policy;
    bool inMemory;
    bool onDisk;
  };
  const Row rows[] = {
      {Policy::allowed, true, true},
      {Policy::allowedInMemoryOnly, true, false},
      {Policy::notAllowed, false, false},
  };
  for (const auto& row : rows) {
    URLCache cache(1 << 20, 1 << 20, directory_);
    cache.removeAllCachedResponses();
    cache.storeCachedResponse(responseFor("http://h/p", "payload", {}, row.policy),
                              requestFor("http://h/p"));
    auto found = cache.cachedResponse(requestFor("http://h/p"));
    EXPECT_EQ(found != nullptr, row.inMemory) << static_cast<int>(row.policy);
    if (found) {
      EXPECT_EQ(std::any_cast<std::string>(found->userInfo()), "note");
    }
    EXPECT_EQ(cache.currentDiskUsage() > 0, row.onDisk) << static_cast<int>(row.policy);
    EXPECT_EQ(entryFiles(directory_).size(), row.onDisk ? 1u : 0u);
  }
}

TEST(URLCacheTest, NotAllowedLeavesTheEarlierEntryAndReplacingUpdatesUsage) {
  URLCache cache(1 << 20, 0);
  auto request = requestFor("http://h/p");
  cache.storeCachedResponse(responseFor("http://h/p", "first"), request);
  cache.storeCachedResponse(responseFor("http://h/p", "second", {}, Policy::notAllowed), request);
  EXPECT_EQ(bodyOf(cache.cachedResponse(request)), "first");
  auto before = cache.currentMemoryUsage();
  cache.storeCachedResponse(responseFor("http://h/p", std::string(1000, 'x')), request);
  EXPECT_EQ(cache.currentMemoryUsage(), before + 1000 - 5);
  cache.removeCachedResponse(request);
  EXPECT_EQ(cache.cachedResponse(request), nullptr);
  EXPECT_EQ(cache.currentMemoryUsage(), 0);
}

// Three entries of about 4,000 bytes fit in 13,000; a fourth pushes out the one used longest
// ago, which a lookup changes.
TEST_F(URLCacheDiskTest, LeastRecentlyUsedGoesFirstInEachPart) {
  struct Row {
    const char* part;
    std::int64_t memory;
    std::int64_t disk;
  };
  const Row rows[] = {{"memory", 13000, 0}, {"disk", 0, 13000}};
  for (const auto& row : rows) {
    std::filesystem::remove_all(directory_);
    URLCache cache(row.memory, row.disk, directory_);
    const std::string body(4000, 'b');
    for (const char* name : {"a", "b", "c"}) {
      cache.storeCachedResponse(responseFor(std::string("http://h/") + name, body),
                                requestFor(std::string("http://h/") + name));
    }
    ASSERT_NE(cache.cachedResponse(requestFor("http://h/a")), nullptr) << row.part;
    cache.storeCachedResponse(responseFor("http://h/d", body), requestFor("http://h/d"));
    EXPECT_NE(cache.cachedResponse(requestFor("http://h/a")), nullptr) << row.part;
    EXPECT_EQ(cache.cachedResponse(requestFor("http://h/b")), nullptr) << row.part;
    EXPECT_NE(cache.cachedResponse(requestFor("http://h/c")), nullptr) << row.part;
    EXPECT_NE(cache.cachedResponse(requestFor("http://h/d")), nullptr) << row.part;
    EXPECT_LE(cache.currentMemoryUsage(), row.memory) << row.part;
    EXPECT_LE(cache.currentDiskUsage(), row.disk) << row.part;
  }
}

TEST_F(URLCacheDiskTest, CapacityBoundsEachPartAndAnOversizedEntryIsNotKept) {
  struct Row {
    std::size_t bodySize;
    bool inMemory;
    bool onDisk;
  };
  // Memory 2,000 bytes, disk 10,000.
  const Row rows[] = {
      {500, true, true},
      {5000, false, true},
      {20000, false, false},
  };
  for (const auto& row : rows) {
    std::filesystem::remove_all(directory_);
    URLCache cache(2000, 10000, directory_);
    cache.storeCachedResponse(responseFor("http://h/big", std::string(row.bodySize, 'z')),
                              requestFor("http://h/big"));
    EXPECT_EQ(cache.currentMemoryUsage() > 0, row.inMemory) << row.bodySize;
    EXPECT_EQ(cache.currentDiskUsage() > 0, row.onDisk) << row.bodySize;
    EXPECT_LE(cache.currentMemoryUsage(), 2000);
    EXPECT_LE(cache.currentDiskUsage(), 10000);
    auto found = cache.cachedResponse(requestFor("http://h/big"));
    EXPECT_EQ(found != nullptr, row.inMemory || row.onDisk) << row.bodySize;
    if (found) {
      EXPECT_EQ(found->data().size(), row.bodySize);
    }
  }
  URLCache none(0, 0);
  none.storeCachedResponse(responseFor("http://h/x", "x"), requestFor("http://h/x"));
  EXPECT_EQ(none.cachedResponse(requestFor("http://h/x")), nullptr);
}

TEST_F(URLCacheDiskTest, TwoCacheObjectsShareOneFolder) {
  auto writer = std::make_unique<URLCache>(0, 1 << 20, directory_);
  const std::string body = testsupport::patternedText(3000);
  HTTPHeaderFields fields{{"Content-Type", "text/plain; charset=utf-8"},
                          {"ETag", "\"v1\""},
                          {"Cache-Control", "max-age=60"}};
  auto stored = responseFor("http://h/doc?q=1", body, fields, Policy::allowed, 203);
  writer->storeCachedResponse(stored, requestFor("http://h/doc?q=1#frag"));
  auto usage = writer->currentDiskUsage();
  ASSERT_GT(usage, 3000);

  struct stat info {};
  ASSERT_EQ(stat(directory_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  auto files = entryFiles(directory_);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].filename().string().size(), 64u);
  ASSERT_EQ(stat(files[0].c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  URLCache reader(1 << 20, 1 << 20, directory_);
  EXPECT_EQ(reader.currentDiskUsage(), usage);
  auto entry = reader.cachedEntry(requestFor("http://h/doc?q=1"));
  ASSERT_TRUE(entry);
  EXPECT_TRUE(testsupport::sameBody(bodyOf(entry->response), body));
  auto head = std::dynamic_pointer_cast<const HTTPURLResponse>(entry->response->response());
  ASSERT_TRUE(head);
  EXPECT_EQ(head->statusCode(), 203);
  EXPECT_EQ(head->url().absoluteString(), "http://h/doc?q=1");
  EXPECT_EQ(head->allHeaderFields(), fields);
  EXPECT_EQ(head->mimeType(), "text/plain");
  EXPECT_FALSE(entry->response->userInfo().has_value());
  EXPECT_NEAR(entry->storedAt.timeIntervalSinceNow(), 0, 60);

  // Removal through one object is seen by the other.
  writer->removeCachedResponse(requestFor("http://h/doc?q=1"));
  writer.reset();
  URLCache third(0, 1 << 20, directory_);
  EXPECT_EQ(third.cachedResponse(requestFor("http://h/doc?q=1")), nullptr);
  EXPECT_EQ(third.currentDiskUsage(), 0);
}

TEST_F(URLCacheDiskTest, ReopenedCacheKeepsTheAccessOrder) {
  {
    URLCache first(0, 13000, directory_);
    for (const char* name : {"a", "b", "c"}) {
      first.storeCachedResponse(
          responseFor(std::string("http://h/") + name, std::string(4000, 'q')),
          requestFor(std::string("http://h/") + name));
    }
    ASSERT_NE(first.cachedResponse(requestFor("http://h/a")), nullptr);
  }
  URLCache second(0, 13000, directory_);
  second.storeCachedResponse(responseFor("http://h/d", std::string(4000, 'q')),
                             requestFor("http://h/d"));
  EXPECT_NE(second.cachedResponse(requestFor("http://h/a")), nullptr);
  EXPECT_EQ(second.cachedResponse(requestFor("http://h/b")), nullptr);
}

// Damage done to the one entry file; whether it is found by a fresh object's scan or by a
// lookup of an object that knew it, it is a miss and the file is gone.
TEST_F(URLCacheDiskTest, DamagedEntryFileIsAMissAndIsRemoved) {
  using Damage = std::function<void(const std::filesystem::path&)>;
  auto rewrite = [](const std::filesystem::path& path, const std::function<void(std::string&)>& f) {
    std::string bytes = testsupport::readFile(path);
    f(bytes);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  };
  // The storage time is a little-endian double at offset 16.
  auto storedAt = [&](double seconds) -> Damage {
    return [&, seconds](auto& p) {
      rewrite(p, [seconds](std::string& b) {
        auto bits = std::bit_cast<std::uint64_t>(seconds);
        for (int i = 0; i < 8; ++i)
          b[16 + i] = static_cast<char>(bits >> (8 * i));
      });
    };
  };
  struct Row {
    const char* what;
    Damage damage;
  };
  const Row rows[] = {
      {"stored at NaN", storedAt(std::numeric_limits<double>::quiet_NaN())},
      {"stored at infinity", storedAt(std::numeric_limits<double>::infinity())},
      {"stored at minus infinity", storedAt(-std::numeric_limits<double>::infinity())},
      {"stored a day from now",
       storedAt(platform::Date::now().timeIntervalSinceReferenceDate() + 86400)},
      {"truncated body",
       [&](auto& p) { rewrite(p, [](std::string& b) { b.resize(b.size() - 1); }); }},
      {"cut inside the header", [&](auto& p) { rewrite(p, [](std::string& b) { b.resize(20); }); }},
      {"empty", [&](auto& p) { rewrite(p, [](std::string& b) { b.clear(); }); }},
      {"body length beyond the file",
       [&](auto& p) { rewrite(p, [](std::string& b) { b[47] = '\x7f'; }); }},
      {"key length beyond the file",
       [&](auto& p) { rewrite(p, [](std::string& b) { b[27] = '\x40'; }); }},
      {"trailing byte", [&](auto& p) { rewrite(p, [](std::string& b) { b.push_back('!'); }); }},
      {"other magic", [&](auto& p) { rewrite(p, [](std::string& b) { b[0] = 'X'; }); }},
      {"other version", [&](auto& p) { rewrite(p, [](std::string& b) { b[4] = 9; }); }},
      {"head garbled",
       [&](auto& p) {
         rewrite(p, [](std::string& b) {
           // The head follows the key; its URL length becomes huge.
           std::size_t keyLength = static_cast<unsigned char>(b[24]);
           b[48 + keyLength + 4] = '\x7f';
         });
       }},
  };
  for (const auto& row : rows) {
    for (bool reopen : {true, false}) {
      std::filesystem::remove_all(directory_);
      URLCache cache(0, 1 << 20, directory_);
      cache.storeCachedResponse(responseFor("http://h/e", "entry body"), requestFor("http://h/e"));
      auto files = entryFiles(directory_);
      ASSERT_EQ(files.size(), 1u);
      row.damage(files[0]);
      if (reopen) {
        URLCache fresh(0, 1 << 20, directory_);
        EXPECT_EQ(fresh.cachedResponse(requestFor("http://h/e")), nullptr) << row.what;
        EXPECT_EQ(fresh.currentDiskUsage(), 0) << row.what;
      } else {
        EXPECT_EQ(cache.cachedResponse(requestFor("http://h/e")), nullptr) << row.what;
        EXPECT_EQ(cache.currentDiskUsage(), 0) << row.what;
      }
      EXPECT_TRUE(entryFiles(directory_).empty()) << row.what << (reopen ? " (scan)" : " (read)");
    }
  }
}

TEST_F(URLCacheDiskTest, AWritersLeftoverGoesOnceStaleAndNothingElseDoes) {
  const std::string entry(64, 'a');
  struct Row {
    std::string name;
    int ageSeconds;
    bool kept;
  };
  const Row rows[] = {
      {"." + entry + ".x1Y2z3", 3600, false},  // its writer died
      {"." + entry + ".x1Y2z3", 0, true},      // a writer may be at work on it
      {"." + entry + ".x1Y2z34", 3600, true},  // not a writer's name
      {"." + entry.substr(1) + "g.x1Y2z3", 3600, true},
  };
  for (const Row& row : rows) {
    std::filesystem::remove_all(directory_);
    {
      URLCache cache(0, 1 << 20, directory_);
      cache.storeCachedResponse(responseFor("http://h/e", "entry"), requestFor("http://h/e"));
    }
    const auto leftover = std::filesystem::path(directory_) / row.name;
    std::ofstream(leftover) << "half";
    std::filesystem::last_write_time(leftover, std::filesystem::file_time_type::clock::now() -
                                                   std::chrono::seconds(row.ageSeconds));
    URLCache reopened(0, 1 << 20, directory_);
    EXPECT_EQ(bodyOf(reopened.cachedResponse(requestFor("http://h/e"))), "entry") << row.name;
    EXPECT_EQ(std::filesystem::exists(leftover), row.kept) << row.name;
  }
}

TEST_F(URLCacheDiskTest, RemoveAllEmptiesBothPartsAndTheFolder) {
  URLCache cache(1 << 20, 1 << 20, directory_);
  URLCache other(0, 1 << 20, directory_);
  cache.storeCachedResponse(responseFor("http://h/1", "one"), requestFor("http://h/1"));
  other.storeCachedResponse(responseFor("http://h/2", "two"), requestFor("http://h/2"));
  cache.removeAllCachedResponses();
  EXPECT_EQ(cache.currentMemoryUsage(), 0);
  EXPECT_EQ(cache.currentDiskUsage(), 0);
  EXPECT_TRUE(entryFiles(directory_).empty());
  EXPECT_EQ(cache.cachedResponse(requestFor("http://h/2")), nullptr);
}

TEST(URLCacheTest, SharedCacheIsFourMebibytesInMemoryOnly) {
  const auto& shared = URLCache::shared();
  ASSERT_TRUE(shared);
  EXPECT_EQ(shared, URLCache::shared());
  EXPECT_EQ(shared->memoryCapacity(), 4 * 1024 * 1024);
  EXPECT_EQ(shared->diskCapacity(), 0);
  EXPECT_FALSE(shared->directory());
}

// Stores, lookups and removals from several threads over a few keys: every answer is either
// nothing or the body that belongs to the key, and usage stays within capacity.
TEST_F(URLCacheDiskTest, ManyThreadsKeepEveryEntryWhole) {
  URLCache cache(20000, 20000, directory_);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        std::string url = "http://h/" + std::to_string((i + t) % 7);
        std::string body(1000 + (i + t) % 7 * 300, static_cast<char>('a' + (i + t) % 7));
        auto request = requestFor(url);
        switch ((i * 3 + t) % 4) {
          case 0:
            cache.removeCachedResponse(request);
            break;
          case 1:
            cache.storeCachedResponse(responseFor(url, body), request);
            break;
          default:
            if (auto found = cache.cachedResponse(request); found && bodyOf(found) != body) {
              ++wrong;
            }
        }
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_LE(cache.currentMemoryUsage(), 20000);
  EXPECT_LE(cache.currentDiskUsage(), 20000);
  std::int64_t onDisk = 0;
  for (const auto& file : entryFiles(directory_)) {
    onDisk += static_cast<std::int64_t>(std::filesystem::file_size(file));
  }
  EXPECT_EQ(onDisk, cache.currentDiskUsage());
}

}  // namespace
// Twenty thousand damaged entry files: the cache opens over each, serves no more than was
// stored, and keeps a file only as an entry it counts.
TEST_F(URLCacheDiskTest, MutatedEntryFilesAreServedWholeOrCountedOrRemoved) {
  {
    URLCache cache(0, 1 << 20, directory_);
    HTTPHeaderFields fields{{"Cache-Control", "max-age=3600"}, {"Vary", "Accept"}};
    cache.storeCachedResponse(responseFor("http://h/e", "entry body", fields),
                              requestFor("http://h/e", {{"Accept", "text/plain"}}));
  }
  auto files = entryFiles(directory_);
  ASSERT_EQ(files.size(), 1u);
  const std::string original = testsupport::readFile(files[0]);
  for (int round = 0; round < 20'000; ++round) {
    {
      std::ofstream(files[0], std::ios::binary | std::ios::trunc)
          << testsupport::mutatedText({original}, std::string_view("\0\xFF\x7F", 3), round);
    }
    URLCache cache(0, 1 << 20, directory_);
    auto served = cache.cachedResponse(requestFor("http://h/e", {{"Accept", "text/plain"}}));
    if (served) {
      EXPECT_LE(served->data().size(), original.size()) << round;
    } else if (!entryFiles(directory_).empty()) {
      // A file left in place is an entry the cache counts (under another key or vary value).
      EXPECT_GT(cache.currentDiskUsage(), 0) << round;
    }
    std::filesystem::create_directories(directory_);
  }
}

}  // namespace platform

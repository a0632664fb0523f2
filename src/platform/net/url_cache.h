#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/foundation/date.h"
#include "platform/net/cached_url_response.h"
#include "platform/net/url_request.h"

namespace platform {

// A small response cache for URL loading: a part in memory and, for a cache made with a
// directory, a part on disk, each with its own capacity in bytes. libcurl keeps no responses
// and no Debian package offers an embeddable HTTP response store, so the store is our own; the
// HTTP rules of what may be stored and when it is fresh live with the session, not here.
//
// Entries are keyed by the request's URL without its fragment. A response that names request
// fields in "Vary" is stored with the request's values of them and found only by a request
// with the same values ("Vary: *" is never stored). Above capacity, the least recently used
// entries go first (an access counter decides, not the clock). Thread-safe.
//
// On disk each entry is one file named by the SHA-256 of its key (hex), private to the user,
// written whole to a temporary file and renamed into place. A file that does not parse counts
// as a miss and is removed. User information stays in memory: an entry read back from disk
// has none.
class URLCache {
 public:
  // Without a directory (or with an empty one) the cache has no disk part. The directory is
  // made (owner only) when missing; if it cannot be made, the disk part stays empty.
  URLCache(std::int64_t memoryCapacity, std::int64_t diskCapacity,
           std::optional<std::string> directory = std::nullopt);
  ~URLCache();
  URLCache(const URLCache&) = delete;
  URLCache& operator=(const URLCache&) = delete;

  // The cache of the default session configuration: 4 MiB in memory, no disk part.
  static const std::shared_ptr<URLCache>& shared();

  // The stored response for the request, whatever its age; none when nothing matches.
  CachedURLResponsePtr cachedResponse(const URLRequest& request);
  // A stored response with the time it was stored; for the loading layer, which judges age.
  struct Entry {
    CachedURLResponsePtr response;
    Date storedAt;
  };
  std::optional<Entry> cachedEntry(const URLRequest& request);

  // Stores the response for the request, replacing what the key held. `notAllowed` stores
  // nothing and leaves the old entry; `allowedInMemoryOnly` keeps it out of the disk part. An
  // entry larger than a part's capacity does not go into that part.
  void storeCachedResponse(CachedURLResponsePtr response, const URLRequest& request);
  void removeCachedResponse(const URLRequest& request);
  void removeAllCachedResponses();

  std::int64_t memoryCapacity() const { return memoryCapacity_; }
  std::int64_t diskCapacity() const { return diskCapacity_; }
  std::int64_t currentMemoryUsage() const;
  std::int64_t currentDiskUsage() const;
  // The disk part's folder; none without a disk part.
  const std::optional<std::string>& directory() const { return directory_; }

  // The key of a request: its URL without the fragment; none for a request without a URL.
  static std::optional<std::string> keyForRequest(const URLRequest& request);

 private:
  struct MemoryEntry {
    CachedURLResponsePtr response;
    std::vector<std::pair<std::string, std::optional<std::string>>> vary;
    Date storedAt;
    std::int64_t cost = 0;
    std::uint64_t lastAccess = 0;
  };
  struct DiskEntry {
    std::int64_t size = 0;
    std::uint64_t lastAccess = 0;
  };

  void evictMemoryLocked();
  void evictDiskLocked();
  void removeMemoryLocked(const std::string& key);
  void removeDiskLocked(const std::string& name);
  std::optional<Entry> readDiskLocked(const std::string& key, const URLRequest& request);
  // False when the file could not be written.
  bool writeDiskLocked(const std::string& key, const MemoryEntry& entry);
  void scanDirectoryLocked();
  std::string pathFor(const std::string& name) const;

  const std::int64_t memoryCapacity_;
  const std::int64_t diskCapacity_;
  std::optional<std::string> directory_;

  mutable std::mutex mutex_;
  std::uint64_t accessCounter_ = 0;
  std::unordered_map<std::string, MemoryEntry> memory_;
  std::int64_t memoryUsage_ = 0;
  // By file name (the key's hash).
  std::unordered_map<std::string, DiskEntry> disk_;
  std::int64_t diskUsage_ = 0;
};

using URLCachePtr = std::shared_ptr<URLCache>;

}  // namespace platform

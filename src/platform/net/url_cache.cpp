#include "platform/net/url_cache.h"

#include <algorithm>
#include <cctype>

#include "platform/net/url_cache_disk.h"

namespace platform {

namespace {

std::string trimmed(std::string_view text) {
  auto begin = text.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return {};
  auto end = text.find_last_not_of(" \t");
  return std::string(text.substr(begin, end - begin + 1));
}

// A response naming more request fields than this in "Vary" is not stored: real ones name a few,
// and each name costs an entry a stored value.
constexpr std::size_t kMaximumVaryNames = 64;

// The request fields a response varies on, each once, or none for "Vary: *" (never matches
// anything) and for a list too long to keep.
std::optional<std::vector<std::string>> varyNames(const URLResponsePtr& response) {
  std::vector<std::string> names;
  auto http = std::dynamic_pointer_cast<const HTTPURLResponse>(response);
  if (!http) return names;
  auto vary = http->valueForHTTPHeaderField("Vary");
  if (!vary) return names;
  std::size_t listed = 0;
  std::size_t start = 0;
  while (start <= vary->size()) {
    auto comma = vary->find(',', start);
    if (comma == std::string::npos) comma = vary->size();
    auto name = trimmed(std::string_view(*vary).substr(start, comma - start));
    if (name == "*") return std::nullopt;
    if (!name.empty()) {
      if (++listed > kMaximumVaryNames) return std::nullopt;
      const bool known = std::any_of(names.begin(), names.end(), [&](const std::string& seen) {
        return headerNamesEqual(seen, name);
      });
      if (!known) names.push_back(std::move(name));
    }
    start = comma + 1;
  }
  return names;
}

bool varyMatches(const url_cache_detail::VaryValues& stored, const URLRequest& request) {
  return std::all_of(stored.begin(), stored.end(), [&](const auto& field) {
    return request.valueForHTTPHeaderField(field.first) == field.second;
  });
}

// What an entry costs in memory: the body, the key, the head's texts and the stored request
// values it varies on.
std::int64_t costOf(const std::string& key, const CachedURLResponse& response,
                    const url_cache_detail::VaryValues& vary) {
  std::int64_t cost = static_cast<std::int64_t>(key.size() + response.data().size()) + 64;
  for (const auto& [name, value] : vary) {
    cost +=
        static_cast<std::int64_t>(sizeof(vary.front()) + name.size() + (value ? value->size() : 0));
  }
  if (auto http = std::dynamic_pointer_cast<const HTTPURLResponse>(response.response())) {
    for (const auto& [name, value] : http->allHeaderFields()) {
      cost += static_cast<std::int64_t>(name.size() + value.size()) + 4;
    }
  }
  if (response.response()) {
    cost += static_cast<std::int64_t>(response.response()->url().absoluteString().size());
  }
  return cost;
}

}  // namespace

URLCache::URLCache(std::int64_t memoryCapacity, std::int64_t diskCapacity,
                   std::optional<std::string> directory)
    : memoryCapacity_(std::max<std::int64_t>(memoryCapacity, 0)),
      diskCapacity_(std::max<std::int64_t>(diskCapacity, 0)) {
  if (directory && !directory->empty() && url_cache_detail::prepareDirectory(*directory)) {
    directory_ = std::move(directory);
    std::lock_guard lock(mutex_);
    scanDirectoryLocked();
  }
}

URLCache::~URLCache() = default;

const std::shared_ptr<URLCache>& URLCache::shared() {
  static const auto cache = std::make_shared<URLCache>(4 * 1024 * 1024, 0);
  return cache;
}

std::optional<std::string> URLCache::keyForRequest(const URLRequest& request) {
  if (!request.url) return std::nullopt;
  const std::string& text = request.url->absoluteString();
  return text.substr(0, text.find('#'));
}

std::string URLCache::pathFor(const std::string& name) const {
  return *directory_ + "/" + name;
}

CachedURLResponsePtr URLCache::cachedResponse(const URLRequest& request) {
  auto entry = cachedEntry(request);
  return entry ? entry->response : nullptr;
}

std::optional<URLCache::Entry> URLCache::cachedEntry(const URLRequest& request) {
  auto key = keyForRequest(request);
  if (!key) return std::nullopt;
  std::lock_guard lock(mutex_);
  if (auto found = memory_.find(*key); found != memory_.end()) {
    if (!varyMatches(found->second.vary, request)) return std::nullopt;
    found->second.lastAccess = ++accessCounter_;
    // Keep the disk copy's place in line too, so that a reopened cache evicts in the same order.
    if (directory_) {
      auto name = url_cache_detail::fileNameForKey(*key);
      if (auto onDisk = disk_.find(name); onDisk != disk_.end()) {
        onDisk->second.lastAccess = found->second.lastAccess;
        url_cache_detail::touchEntryFile(pathFor(name), found->second.lastAccess);
      }
    }
    return Entry{found->second.response, found->second.storedAt};
  }
  if (!directory_) return std::nullopt;
  return readDiskLocked(*key, request);
}

std::optional<URLCache::Entry> URLCache::readDiskLocked(const std::string& key,
                                                        const URLRequest& request) {
  auto name = url_cache_detail::fileNameForKey(key);
  auto path = pathFor(name);
  auto read = url_cache_detail::readEntryFile(path, diskCapacity_);
  if (read.status == url_cache_detail::ReadStatus::missing) {
    if (disk_.contains(name)) removeDiskLocked(name);
    return std::nullopt;
  }
  if (read.status == url_cache_detail::ReadStatus::damaged) {
    removeDiskLocked(name);
    url_cache_detail::removeEntryFile(path);
    return std::nullopt;
  }
  auto& file = *read.entry;
  // Another key with the same hash: not ours, and not damaged either.
  if (file.key != key || !varyMatches(file.vary, request)) return std::nullopt;
  std::uint64_t access = ++accessCounter_;
  auto& known = disk_[name];
  diskUsage_ += read.fileSize - known.size;
  known.size = read.fileSize;
  known.lastAccess = access;
  url_cache_detail::touchEntryFile(path, access);
  auto response = std::make_shared<const CachedURLResponse>(
      file.response, std::move(file.body), std::any{}, CachedURLResponse::StoragePolicy::allowed);
  // Bring it into memory so that the next hit needs no file.
  std::int64_t cost = costOf(key, *response, file.vary);
  if (cost <= memoryCapacity_) {
    removeMemoryLocked(key);
    memory_[key] = MemoryEntry{response, file.vary, file.storedAt, cost, access};
    memoryUsage_ += cost;
    evictMemoryLocked();
  }
  if (diskUsage_ > diskCapacity_) evictDiskLocked();
  return Entry{response, file.storedAt};
}

void URLCache::storeCachedResponse(CachedURLResponsePtr response, const URLRequest& request) {
  if (!response || !response->response()) return;
  if (response->storagePolicy() == CachedURLResponse::StoragePolicy::notAllowed) return;
  auto key = keyForRequest(request);
  if (!key) return;
  auto names = varyNames(response->response());
  if (!names) return;
  MemoryEntry entry;
  entry.response = response;
  for (const auto& name : *names) {
    entry.vary.emplace_back(name, request.valueForHTTPHeaderField(name));
  }
  entry.storedAt = Date::now();
  entry.cost = costOf(*key, *response, entry.vary);

  std::lock_guard lock(mutex_);
  entry.lastAccess = ++accessCounter_;
  removeMemoryLocked(*key);
  bool toDisk = directory_ &&
                response->storagePolicy() == CachedURLResponse::StoragePolicy::allowed &&
                entry.cost <= diskCapacity_;
  // A new file replaces the old one in a single rename, so that another cache object on the
  // folder never finds the key missing meanwhile.
  if (toDisk && !writeDiskLocked(*key, entry)) toDisk = false;
  if (directory_ && !toDisk) {
    auto name = url_cache_detail::fileNameForKey(*key);
    removeDiskLocked(name);
    url_cache_detail::removeEntryFile(pathFor(name));
  }
  if (entry.cost <= memoryCapacity_) {
    memoryUsage_ += entry.cost;
    memory_.emplace(*key, std::move(entry));
    evictMemoryLocked();
  }
}

bool URLCache::writeDiskLocked(const std::string& key, const MemoryEntry& entry) {
  url_cache_detail::EntryFile file;
  file.key = key;
  file.response = entry.response->response();
  file.vary = entry.vary;
  file.storedAt = entry.storedAt;
  file.lastAccess = entry.lastAccess;
  auto name = url_cache_detail::fileNameForKey(key);
  auto size = url_cache_detail::writeEntryFile(*directory_, name, file, entry.response->data());
  if (!size) return false;
  removeDiskLocked(name);
  disk_[name] = DiskEntry{*size, entry.lastAccess};
  diskUsage_ += *size;
  evictDiskLocked();
  return true;
}

void URLCache::removeCachedResponse(const URLRequest& request) {
  auto key = keyForRequest(request);
  if (!key) return;
  std::lock_guard lock(mutex_);
  removeMemoryLocked(*key);
  if (directory_) {
    auto name = url_cache_detail::fileNameForKey(*key);
    removeDiskLocked(name);
    url_cache_detail::removeEntryFile(pathFor(name));
  }
}

void URLCache::removeAllCachedResponses() {
  std::lock_guard lock(mutex_);
  memory_.clear();
  memoryUsage_ = 0;
  if (!directory_) return;
  for (const auto& [name, known] : disk_)
    url_cache_detail::removeEntryFile(pathFor(name));
  disk_.clear();
  diskUsage_ = 0;
  // Entries another cache object wrote into the folder since we looked go too.
  scanDirectoryLocked();
  for (const auto& [name, known] : disk_)
    url_cache_detail::removeEntryFile(pathFor(name));
  disk_.clear();
  diskUsage_ = 0;
}

std::int64_t URLCache::currentMemoryUsage() const {
  std::lock_guard lock(mutex_);
  return memoryUsage_;
}

std::int64_t URLCache::currentDiskUsage() const {
  std::lock_guard lock(mutex_);
  return diskUsage_;
}

void URLCache::removeMemoryLocked(const std::string& key) {
  auto found = memory_.find(key);
  if (found == memory_.end()) return;
  memoryUsage_ -= found->second.cost;
  memory_.erase(found);
}

void URLCache::removeDiskLocked(const std::string& name) {
  auto found = disk_.find(name);
  if (found == disk_.end()) return;
  diskUsage_ -= found->second.size;
  disk_.erase(found);
}

void URLCache::evictMemoryLocked() {
  while (memoryUsage_ > memoryCapacity_ && !memory_.empty()) {
    auto oldest = std::min_element(
        memory_.begin(), memory_.end(),
        [](const auto& a, const auto& b) { return a.second.lastAccess < b.second.lastAccess; });
    memoryUsage_ -= oldest->second.cost;
    memory_.erase(oldest);
  }
}

void URLCache::evictDiskLocked() {
  while (diskUsage_ > diskCapacity_ && !disk_.empty()) {
    auto oldest = std::min_element(disk_.begin(), disk_.end(), [](const auto& a, const auto& b) {
      return a.second.lastAccess < b.second.lastAccess;
    });
    url_cache_detail::removeEntryFile(pathFor(oldest->first));
    diskUsage_ -= oldest->second.size;
    disk_.erase(oldest);
  }
}

void URLCache::scanDirectoryLocked() {
  for (auto& found : url_cache_detail::scanEntryFiles(*directory_)) {
    if (disk_.contains(found.name)) continue;
    disk_[found.name] = DiskEntry{found.size, found.lastAccess};
    diskUsage_ += found.size;
    accessCounter_ = std::max(accessCounter_, found.lastAccess);
  }
  evictDiskLocked();
}

}  // namespace platform

#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "platform/foundation/date.h"

namespace app {

// The root of the objects a memory cache keeps: identity equality and hashing unless a
// subclass says otherwise.
class CacheObject {
 public:
  virtual ~CacheObject() = default;
  virtual std::size_t hash() const { return std::hash<const void*>()(this); }
  virtual bool isEqual(const CacheObject* other) const { return other == this; }
};

// Content that may be thrown away while nobody uses it.
class DiscardableContent {
 public:
  virtual ~DiscardableContent() = default;
  // Whether the content is usable; a user calls it before using the content.
  virtual bool beginContentAccess() = 0;
  virtual void endContentAccess() = 0;
  virtual void discardContentIfPossible() = 0;
  virtual bool isContentDiscarded() const = 0;
};

// A thread-safe store of objects under keys compared by `hash` and `isEqual`. A value with
// discardable content is asked for access on lookup; with `evictsObjectsWithDiscardedContent`
// set, one whose content is gone is removed rather than returned.
template <class Key, class Object>
class MemoryCache {
 public:
  using KeyPtr = std::shared_ptr<const Key>;
  using ObjectPtr = std::shared_ptr<Object>;

  explicit MemoryCache(bool evictsObjectsWithDiscardedContent = true)
      : evictsObjectsWithDiscardedContent_(evictsObjectsWithDiscardedContent) {}

  bool evictsObjectsWithDiscardedContent() const { return evictsObjectsWithDiscardedContent_; }

  void setObject(ObjectPtr object, KeyPtr key) {
    std::lock_guard lock(mutex_);
    auto& bucket = buckets_[key->hash()];
    for (auto& entry : bucket) {
      if (entry.key->isEqual(key.get())) {
        entry.object = std::move(object);
        return;
      }
    }
    bucket.push_back(Entry{std::move(key), std::move(object)});
  }

  ObjectPtr object(const Key& key) {
    std::lock_guard lock(mutex_);
    auto bucket = buckets_.find(key.hash());
    if (bucket == buckets_.end()) return nullptr;
    for (auto it = bucket->second.begin(); it != bucket->second.end(); ++it) {
      if (!it->key->isEqual(&key)) continue;
      ObjectPtr found = it->object;
      if constexpr (std::is_base_of_v<DiscardableContent, Object>) {
        found->beginContentAccess();
        if (found->isContentDiscarded() && evictsObjectsWithDiscardedContent_) {
          bucket->second.erase(it);
          return nullptr;
        }
      }
      return found;
    }
    return nullptr;
  }

  void removeObject(const Key& key) {
    std::lock_guard lock(mutex_);
    auto bucket = buckets_.find(key.hash());
    if (bucket == buckets_.end()) return;
    std::erase_if(bucket->second, [&](const Entry& e) { return e.key->isEqual(&key); });
  }

  void removeAllObjects() {
    std::lock_guard lock(mutex_);
    buckets_.clear();
  }

 private:
  struct Entry {
    KeyPtr key;
    ObjectPtr object;
  };
  const bool evictsObjectsWithDiscardedContent_;
  std::mutex mutex_;
  std::unordered_map<std::size_t, std::vector<Entry>> buckets_;
};

// A hashable value as a key of a memory cache.
template <class K>
class KeyWrapper final : public CacheObject {
 public:
  explicit KeyWrapper(K key) : key_(std::move(key)) {}
  const K& key() const { return key_; }
  std::size_t hash() const override { return std::hash<K>()(key_); }
  bool isEqual(const CacheObject* other) const override {
    auto wrapper = dynamic_cast<const KeyWrapper*>(other);
    return wrapper != nullptr && wrapper->key_ == key_;
  }

 private:
  K key_;
};

// One stored value with an optional expiry date. The expiry is checked when access begins;
// an entry expiring exactly now is still good.
template <class V>
class CacheEntry final : public CacheObject, public DiscardableContent {
 public:
  CacheEntry(V value, std::optional<platform::Date> expiryDate)
      : value_(std::move(value)), expiryDate_(expiryDate) {}

  const V& value() const { return value_; }
  const std::optional<platform::Date>& expiryDate() const { return expiryDate_; }

  bool beginContentAccess() override {
    isContentDiscard_ = expiryDate_ && *expiryDate_ < platform::Date::now();
    return isContentDiscard_;
  }
  bool isContentDiscarded() const override { return isContentDiscard_; }
  void endContentAccess() override {}
  void discardContentIfPossible() override {}

 private:
  V value_;
  std::optional<platform::Date> expiryDate_;
  bool isContentDiscard_ = false;
};

// How entries of an expiring cache live: for a time (seconds), or not at all.
struct CustomCacheConfig {
  struct Active {
    double ttl;
  };
  struct None {};
  std::variant<Active, None> mode = None{};
};

// A small generic cache over a memory cache, whose entries may expire.
template <class Key, class Value>
class CustomCache {
 public:
  using Storage = MemoryCache<KeyWrapper<Key>, CacheEntry<Value>>;

  explicit CustomCache(std::shared_ptr<Storage> cache) : cache_(std::move(cache)) {}
  const std::shared_ptr<Storage>& cache() const { return cache_; }

 private:
  std::shared_ptr<Storage> cache_;
};

}  // namespace app

#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/foundation/async_executor.h"

namespace platform {

// One posted notification. The object is kept both as a typed value (read back with
// `objectAs<T>()`) and as an identity for observers that filter by sender.
struct Notification {
  std::string name;
  std::any object;                 // holds a std::shared_ptr<T>, or is empty
  const void* objectId = nullptr;  // identity of the object, for filtering
  std::map<std::string, std::any> userInfo;

  template <class T>
  std::shared_ptr<T> objectAs() const {
    if (auto p = std::any_cast<std::shared_ptr<T>>(&object)) return *p;
    return nullptr;
  }
};

class NotificationCenter;

// Removes its observer when destroyed (or on `remove()`). Movable, not copyable.
class ObserverToken {
 public:
  ObserverToken() = default;
  ObserverToken(std::weak_ptr<NotificationCenter> center, std::uint64_t id);
  ObserverToken(ObserverToken&& other) noexcept;
  ObserverToken& operator=(ObserverToken&& other) noexcept;
  ObserverToken(const ObserverToken&) = delete;
  ObserverToken& operator=(const ObserverToken&) = delete;
  ~ObserverToken();

  void remove();
  bool isActive() const { return id_ != 0; }

 private:
  std::weak_ptr<NotificationCenter> center_;
  std::uint64_t id_ = 0;
};

class NotificationCenter : public std::enable_shared_from_this<NotificationCenter> {
 public:
  using Handler = std::function<void(const Notification&)>;

  static std::shared_ptr<NotificationCenter> defaultCenter();
  static std::shared_ptr<NotificationCenter> make();

  // Observes `name` (every name when empty). With `object` set, only posts whose object has
  // that identity are delivered. With `queue` set, the handler runs asynchronously there;
  // otherwise synchronously on the posting thread.
  [[nodiscard]] ObserverToken addObserver(std::string name, Handler handler,
                                          const void* object = nullptr,
                                          AsyncExecutorPtr queue = nullptr);

  // Thread-safe. Observers may add or remove observers (themselves included) while running;
  // an observer removed during a post is not called afterwards.
  void post(const Notification& notification);
  void post(std::string name) { post(Notification{std::move(name), {}, nullptr, {}}); }
  template <class T>
  void post(std::string name, std::shared_ptr<T> object,
            std::map<std::string, std::any> userInfo = {}) {
    const void* id = object.get();
    post(Notification{std::move(name), std::any(std::move(object)), id, std::move(userInfo)});
  }

  void removeObserver(std::uint64_t id);

  // Whether a post of `name` with sender `object` would reach an observer registered now.
  bool hasObservers(std::string_view name, const void* object) const;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
  NotificationCenter();
};

}  // namespace platform

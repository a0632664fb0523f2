#include "platform/foundation/notification_center.h"

#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

namespace platform {
namespace {

struct Observer {
  std::string name;
  NotificationCenter::Handler handler;
  const void* object;
  AsyncExecutorPtr queue;

  std::mutex mutex;
  std::condition_variable idle;
  bool removed = false;
  int inFlight = 0;  // calls of the handler running now, on any thread
};

// The observers whose handlers the calling thread is inside of, innermost last.
thread_local std::vector<const Observer*> tlsInvoking;

void invoke(Observer& observer, const Notification& notification) {
  {
    std::lock_guard lock(observer.mutex);
    if (observer.removed) return;
    ++observer.inFlight;
  }
  tlsInvoking.push_back(&observer);
  struct Done {
    Observer& observer;
    ~Done() {
      tlsInvoking.pop_back();
      std::lock_guard lock(observer.mutex);
      if (--observer.inFlight == 0) observer.idle.notify_all();
    }
  } done{observer};
  observer.handler(notification);
}

}  // namespace

struct NotificationCenter::Impl {
  std::mutex mutex;
  std::map<std::uint64_t, std::shared_ptr<Observer>> observers;  // ids grow: registration order
  std::uint64_t nextId = 1;
};

namespace {
// An observer of every name or of `name`, and of every sender or of `object`.
bool receives(const Observer& observer, std::string_view name, const void* object) {
  return (observer.name.empty() || observer.name == name) &&
         (!observer.object || observer.object == object);
}
}  // namespace

NotificationCenter::NotificationCenter() : impl_(std::make_shared<Impl>()) {}

std::shared_ptr<NotificationCenter> NotificationCenter::defaultCenter() {
  // Never destroyed: tokens held by other statics may be released after it would have been.
  static auto* center = new std::shared_ptr<NotificationCenter>(make());
  return *center;
}

std::shared_ptr<NotificationCenter> NotificationCenter::make() {
  return std::shared_ptr<NotificationCenter>(new NotificationCenter());
}

ObserverToken NotificationCenter::addObserver(std::string name, Handler handler, const void* object,
                                              AsyncExecutorPtr queue) {
  auto observer = std::make_shared<Observer>();
  observer->name = std::move(name);
  observer->handler = std::move(handler);
  observer->object = object;
  observer->queue = std::move(queue);
  std::uint64_t id;
  {
    std::lock_guard lock(impl_->mutex);
    id = impl_->nextId++;
    if (observer->handler) impl_->observers.emplace(id, std::move(observer));
  }
  return ObserverToken(weak_from_this(), id);
}

void NotificationCenter::post(const Notification& notification) {
  std::vector<std::shared_ptr<Observer>> matching;
  {
    std::lock_guard lock(impl_->mutex);
    for (const auto& [id, observer] : impl_->observers) {
      if (receives(*observer, notification.name, notification.objectId))
        matching.push_back(observer);
    }
  }
  std::shared_ptr<const Notification> queued;
  for (auto& observer : matching) {
    if (!observer->queue) {
      invoke(*observer, notification);
      continue;
    }
    if (!queued) queued = std::make_shared<const Notification>(notification);
    observer->queue->execute([observer, queued] { invoke(*observer, *queued); });
  }
}

bool NotificationCenter::hasObservers(std::string_view name, const void* object) const {
  std::lock_guard lock(impl_->mutex);
  for (const auto& [id, observer] : impl_->observers) {
    if (receives(*observer, name, object)) return true;
  }
  return false;
}

void NotificationCenter::removeObserver(std::uint64_t id) {
  std::shared_ptr<Observer> observer;
  {
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->observers.find(id);
    if (it == impl_->observers.end()) return;
    observer = std::move(it->second);
    impl_->observers.erase(it);
  }
  std::unique_lock lock(observer->mutex);
  observer->removed = true;
  // Once removal returns, the handler is no longer running anywhere, so whatever it captured
  // may be destroyed. A handler removing observers doesn't wait: it may be removing itself, or
  // one whose handler is on another thread removing this one.
  if (!tlsInvoking.empty()) return;
  observer->idle.wait(lock, [&] { return observer->inFlight == 0; });
}

ObserverToken::ObserverToken(std::weak_ptr<NotificationCenter> center, std::uint64_t id)
    : center_(std::move(center)), id_(id) {}

ObserverToken::ObserverToken(ObserverToken&& other) noexcept
    : center_(std::move(other.center_)), id_(std::exchange(other.id_, 0)) {}

ObserverToken& ObserverToken::operator=(ObserverToken&& other) noexcept {
  if (this != &other) {
    remove();
    center_ = std::move(other.center_);
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

ObserverToken::~ObserverToken() {
  remove();
}

void ObserverToken::remove() {
  if (id_ == 0) return;
  if (auto center = center_.lock()) center->removeObserver(id_);
  center_.reset();
  id_ = 0;
}

}  // namespace platform

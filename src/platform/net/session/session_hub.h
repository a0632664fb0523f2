#pragma once

#include <curl/curl.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "platform/net/http_cookie_storage.h"
#include "platform/net/url_session.h"

namespace platform::net_detail {

class SessionLoop;

// What the I/O loops of one session share: the delegate, the tasks not yet completed and their
// identifiers, invalidation, and libcurl's shares (cookies, DNS), which lock for the loops.
//
// A session starts with one loop. One thread can carry only so many transfers at once, so
// when the first loop has as many tasks as it may open connections to a host, a second loop
// starts on a thread of its own and new tasks go to whichever loop has fewer; each loop may
// open half of the configuration's connections per host, so together they never open more.
// A task stays on its loop, so its callbacks keep their order; a session that never has more
// than a few tasks at once never starts the second thread.
class SessionHub {
 public:
  SessionHub(URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
             std::shared_ptr<OperationQueue> delegateQueue);
  ~SessionHub();
  SessionHub(const SessionHub&) = delete;
  SessionHub& operator=(const SessionHub&) = delete;

  // Starts the first loop.
  void start(const std::shared_ptr<SessionHub>& self, const std::shared_ptr<URLSession>& owner);
  // Stops every loop; running transfers end without further callbacks.
  void shutdown();
  // The loop a new task for `url` runs on, counted as that loop's until the task ends. An
  // HTTPS origin that may speak HTTP/2 keeps to one loop, so that its requests wait for the
  // connection being set up and share it (one connection per origin) instead of each loop
  // opening its own; once the origin answered in HTTP/1.x its tasks spread over the loops
  // as any others, with the per-host connections of them all.
  std::shared_ptr<SessionLoop> loopForNewTask(const std::optional<URL>& url = std::nullopt);
  // What a transfer to `url` was answered in.
  void noteProtocol(const std::optional<URL>& url, bool multiplexed);
  const std::shared_ptr<SessionLoop>& firstLoop() const { return first_; }

  const URLSessionConfiguration& configuration() const { return configuration_; }
  const std::shared_ptr<OperationQueue>& delegateQueue() const { return delegateQueue_; }

  std::shared_ptr<URLSessionDelegate> delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
  }

  // Drops the session's hold on its delegate. The delegate may go with it, and with it
  // unanswered handlers that call back into the session, so no lock is held meanwhile.
  void releaseDelegate() {
    std::shared_ptr<URLSessionDelegate> released;
    std::lock_guard lock(mutex_);
    released.swap(delegate_);
    hasDelegate_.store(false, std::memory_order_relaxed);
  }

  // Whether there is a delegate to ask, without taking the lock or a reference: for checks
  // that need no delegate in hand (one released meanwhile gets no calls either way).
  bool hasDelegate() const { return hasDelegate_.load(std::memory_order_relaxed); }

  std::uint64_t nextTaskIdentifier() {
    std::lock_guard lock(mutex_);
    return ++lastTaskIdentifier_;
  }

  // Registers a new task; false when the session no longer takes tasks.
  bool registerTask(const std::shared_ptr<URLSessionTask>& task) {
    std::lock_guard lock(mutex_);
    if (invalidated_) return false;
    tasks_.emplace(task->taskIdentifier(), task);
    return true;
  }

  void taskCompleted(std::uint64_t identifier) {
    std::lock_guard lock(mutex_);
    tasks_.erase(identifier);
  }

  std::vector<std::shared_ptr<URLSessionTask>> liveTasks() {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<URLSessionTask>> result;
    for (auto it = tasks_.begin(); it != tasks_.end();) {
      if (auto task = it->second.lock()) {
        result.push_back(std::move(task));
        ++it;
      } else {
        it = tasks_.erase(it);
      }
    }
    return result;
  }

  bool hasLiveTasks() {
    std::lock_guard lock(mutex_);
    for (auto it = tasks_.begin(); it != tasks_.end();) {
      if (!it->second.expired()) return true;
      it = tasks_.erase(it);
    }
    return false;
  }

  void invalidate(bool cancelTasks);
  bool invalidating() const { return invalidateWhenDone_.load(std::memory_order_acquire); }
  // Every task has ended after an invalidation: the delegate hears of it once, after every
  // loop has handed on what its tasks said before.
  void invalidateOnce();

  CURLSH* cookieShare() const { return share_; }
  HTTPCookieStorage* cookieStorage() const { return cookieStorage_.get(); }
  CURLSH* plainShare() const { return plainShare_; }

 private:
  using ShareLocks = std::array<std::mutex, CURL_LOCK_DATA_LAST>;
  // A share of its own, its locks in `locks`.
  static CURLSH* makeShare(ShareLocks& locks, bool cookies);
  std::vector<std::shared_ptr<SessionLoop>> loops() const {
    std::lock_guard lock(mutex_);
    return loops_;
  }

  const URLSessionConfiguration configuration_;
  const std::shared_ptr<OperationQueue> delegateQueue_;
  std::weak_ptr<URLSession> owner_;
  std::weak_ptr<SessionHub> self_;

  mutable std::mutex mutex_;
  std::shared_ptr<URLSessionDelegate> delegate_;  // guarded by mutex_
  std::atomic<bool> hasDelegate_;                 // delegate_ is set; written under mutex_
  bool invalidated_ = false;
  std::uint64_t lastTaskIdentifier_ = 0;
  std::map<std::uint64_t, std::weak_ptr<URLSessionTask>> tasks_;  // not yet completed
  std::vector<std::shared_ptr<SessionLoop>> loops_;               // until shutdown
  std::shared_ptr<SessionLoop> first_;
  // HTTPS origins ("host:port") and the loop each keeps to while it may speak HTTP/2, and
  // those that answered in HTTP/1.x; both bounded.
  std::map<std::string, std::weak_ptr<SessionLoop>> multiplexedOrigins_;
  std::set<std::string> http1Origins_;
  static constexpr std::size_t kMaximumOrigins = 1024;
  bool stopped_ = false;
  std::atomic<bool> invalidateWhenDone_{false};
  std::atomic<bool> invalidationStarted_{false};

  // How many loops the session may run, the connections per host each may open, and how
  // many tasks the first loop takes before a second one starts.
  std::size_t maximumLoops_ = 1;
  int spillAt_ = 0;

  // Cookies and DNS: the configuration's cookie storage, or the session's own.
  std::shared_ptr<HTTPCookieStorage> cookieStorage_;
  CURLSH* share_ = nullptr;
  CURLSH* plainShare_ = nullptr;  // DNS only, for requests that handle no cookies
  // libcurl takes one of these while a loop reads or changes what a share holds.
  std::array<std::mutex, CURL_LOCK_DATA_LAST> plainShareLocks_;
};

}  // namespace platform::net_detail

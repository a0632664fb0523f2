#include "platform/net/session/session_hub.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <utility>

#include "platform/net/session/detail/session_helpers.h"
#include "platform/net/session/session_loop.h"

namespace platform::net_detail {

// --- The session's loops ------------------------------------------------------------------------

namespace {
// Past this many tasks at once on the first loop of a session that bounds no host's
// connections, a second loop starts.
constexpr int kSpillWithoutBound = 8;
}  // namespace

SessionHub::SessionHub(URLSessionConfiguration configuration,
                       std::shared_ptr<URLSessionDelegate> delegate,
                       std::shared_ptr<OperationQueue> delegateQueue)
    : configuration_(std::move(configuration)),
      delegateQueue_(std::move(delegateQueue)),
      delegate_(std::move(delegate)),
      hasDelegate_(delegate_ != nullptr) {
  ensureCurlInitialized();
  cookieStorage_ = configuration_.httpCookieStorage ? configuration_.httpCookieStorage
                                                    : std::make_shared<HTTPCookieStorage>();
  share_ = cookieStorage_->curlShare();
  // Requests that handle no cookies must not see the cookie store at all.
  plainShare_ = makeShare(plainShareLocks_, false);
  // Halving fewer than four connections would leave a loop too few; a machine with few cores
  // gains nothing from a second thread.
  const int limit = configuration_.httpMaximumConnectionsPerHost;
  if ((limit <= 0 || limit >= 4) && std::thread::hardware_concurrency() >= 4) {
    maximumLoops_ = 2;
    spillAt_ = limit > 0 ? limit - limit / 2 : kSpillWithoutBound;
  }
}

SessionHub::~SessionHub() {
  curl_share_cleanup(plainShare_);
}

CURLSH* SessionHub::makeShare(ShareLocks& locks, bool cookies) {
  CURLSH* share = curl_share_init();
  curl_share_setopt(
      share, CURLSHOPT_LOCKFUNC, +[](CURL*, curl_lock_data data, curl_lock_access, void* locks) {
        static_cast<ShareLocks*>(locks)->at(std::size_t(data)).lock();
      });
  curl_share_setopt(
      share, CURLSHOPT_UNLOCKFUNC, +[](CURL*, curl_lock_data data, void* locks) {
        static_cast<ShareLocks*>(locks)->at(std::size_t(data)).unlock();
      });
  curl_share_setopt(share, CURLSHOPT_USERDATA, &locks);
  if (cookies) curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
  curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  return share;
}

void SessionHub::start(const std::shared_ptr<SessionHub>& self,
                       const std::shared_ptr<URLSession>& owner) {
  self_ = self;
  owner_ = owner;
  const int limit = configuration_.httpMaximumConnectionsPerHost;
  // With no bound, neither loop has one.
  first_ = std::make_shared<SessionLoop>(self, maximumLoops_ > 1 && limit > 0 ? spillAt_ : limit);
  loops_.push_back(first_);
  first_->start(owner);
}

namespace {

// The origin an HTTPS URL names, the way connections are shared: host and port.
std::optional<std::string> secureOrigin(const std::optional<URL>& url) {
  if (!url) return std::nullopt;
  std::string scheme = url->scheme().value_or("");
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (scheme != "https") return std::nullopt;
  std::string host = url->host().value_or("");
  std::transform(host.begin(), host.end(), host.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return host + ":" + std::to_string(url->port().value_or(443));
}

}  // namespace

void SessionHub::noteProtocol(const std::optional<URL>& url, bool multiplexed) {
  const auto origin = secureOrigin(url);
  if (!origin || multiplexed) return;
  std::lock_guard lock(mutex_);
  multiplexedOrigins_.erase(*origin);
  if (http1Origins_.size() >= kMaximumOrigins) http1Origins_.clear();
  http1Origins_.insert(*origin);
}

std::shared_ptr<SessionLoop> SessionHub::loopForNewTask(const std::optional<URL>& url) {
  std::shared_ptr<SessionLoop> chosen;
  const auto origin = secureOrigin(url);
  {
    std::lock_guard lock(mutex_);
    const bool mayMultiplex = origin && !http1Origins_.contains(*origin);
    if (mayMultiplex) {
      if (auto it = multiplexedOrigins_.find(*origin); it != multiplexedOrigins_.end()) {
        chosen = it->second.lock();
      }
    }
    if (chosen) {
      chosen->assignedTasks().fetch_add(1, std::memory_order_relaxed);
      return chosen;
    }
    if (!stopped_ && loops_.size() < maximumLoops_ && !invalidated_ &&
        first_->assignedTasks().load(std::memory_order_relaxed) >= spillAt_) {
      auto owner = owner_.lock();
      auto self = self_.lock();
      if (owner && self) {
        const int limit = configuration_.httpMaximumConnectionsPerHost;
        auto loop = std::make_shared<SessionLoop>(self, limit > 0 ? limit / 2 : 0);
        loop->start(owner);
        loops_.push_back(loop);
      }
    }
    // The loop with the fewest tasks for the connections it may open.
    chosen = first_;
    for (const auto& loop : loops_) {
      const long load = loop->assignedTasks().load(std::memory_order_relaxed);
      const long chosenLoad = chosen->assignedTasks().load(std::memory_order_relaxed);
      if (load * chosen->weight() < chosenLoad * loop->weight()) chosen = loop;
    }
    if (mayMultiplex) {
      if (multiplexedOrigins_.size() >= kMaximumOrigins) multiplexedOrigins_.clear();
      multiplexedOrigins_[*origin] = chosen;
    }
  }
  chosen->assignedTasks().fetch_add(1, std::memory_order_relaxed);
  return chosen;
}

void SessionHub::shutdown() {
  std::vector<std::shared_ptr<SessionLoop>> all;
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    all.swap(loops_);
    first_.reset();  // the loops hold the hub: nothing may hold them back
  }
  for (auto& loop : all)
    loop->shutdown();
}

void SessionHub::invalidate(bool cancelTasks) {
  {
    std::lock_guard lock(mutex_);
    if (invalidated_ && !cancelTasks) return;
    invalidated_ = true;
  }
  if (cancelTasks) {
    for (auto& task : liveTasks())
      task->cancel();
  }
  invalidateWhenDone_.store(true, std::memory_order_release);
  for (auto& loop : loops())
    loop->post([loop = loop.get()] { loop->checkInvalidation(); });
}

void SessionHub::invalidateOnce() {
  if (invalidationStarted_.exchange(true)) return;
  // Each loop hands on what it gathered at the end of its turn, before it takes the next
  // turn's commands: once every loop has run this one, the completions of all tasks are on
  // the delegate queue, and the invalidation goes after them.
  auto all = loops();
  auto remaining = std::make_shared<std::atomic<std::size_t>>(all.size());
  auto hub = self_.lock();
  for (auto& loop : all) {
    auto arrive = [loop = loop.get(), remaining] {
      if (remaining->fetch_sub(1) == 1) loop->deliverInvalidation();
    };
    if (!loop->post(arrive) && remaining->fetch_sub(1) == 1 && hub) {
      hub->releaseDelegate();  // the session is going: nobody to tell
    }
  }
}

void SessionLoop::checkInvalidation() {
  if (!hub_->invalidating() || hub_->hasLiveTasks()) return;
  hub_->invalidateOnce();
}

void SessionLoop::deliverInvalidation() {
  auto hub = hub_;
  const bool delivered =
      deliver([hub](URLSessionDelegate& delegate, const std::shared_ptr<URLSession>& session) {
        delegate.didBecomeInvalidWithError(session, nullptr);
        hub->releaseDelegate();
      });
  if (!delivered) hub->releaseDelegate();
}

}  // namespace platform::net_detail

#include "platform/tether/tl_reactor.h"

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/foundation/log.h"

namespace platform {

namespace {
// epoll data of the wake-up descriptor; source tokens start at 1.
constexpr std::uint64_t kWakeToken = 0;
}  // namespace

TLReactor& TLReactor::shared() {
  static TLReactor reactor;
  return reactor;
}

TLReactor::TLReactor() {
  epollFd_ = epoll_create1(EPOLL_CLOEXEC);
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (epollFd_ < 0 || wakeFd_ < 0) {
    fatal(std::string("Frame channel reactor: cannot create its descriptors: ") +
          std::strerror(errno));
  }
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kWakeToken;
  epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &event);
  thread_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "tovarine-chan");
    run();
  });
  threadId_ = thread_.get_id();
}

TLReactor::~TLReactor() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake();
  if (thread_.joinable()) thread_.join();
  // Sources are released here, after the thread is gone, so none is called half-destroyed.
  sources_.clear();
  timers_.clear();
  posted_.clear();
  ::close(wakeFd_);
  ::close(epollFd_);
}

TLReactor::Token TLReactor::add(int fd, std::uint32_t events, std::shared_ptr<Source> source) {
  Token token;
  {
    std::lock_guard lock(mutex_);
    token = nextToken_++;
    sources_.emplace(token, std::move(source));
  }
  epoll_event event{};
  event.events = events;
  event.data.u64 = token;
  if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0) {
    std::lock_guard lock(mutex_);
    sources_.erase(token);
    return 0;
  }
  return token;
}

void TLReactor::modify(Token token, int fd, std::uint32_t events) {
  epoll_event event{};
  event.events = events;
  event.data.u64 = token;
  epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &event);
}

void TLReactor::remove(Token token, int fd) {
  epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
  std::shared_ptr<Source> released;
  {
    std::lock_guard lock(mutex_);
    auto it = sources_.find(token);
    if (it == sources_.end()) return;
    released = std::move(it->second);
    sources_.erase(it);
  }
  // `released` may be the last reference; it goes after the lock is dropped.
}

void TLReactor::post(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    posted_.push_back(std::move(work));
  }
  wake();
}

TLReactor::Token TLReactor::schedule(double seconds, std::function<void()> work) {
  const auto due = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(std::max(0.0, seconds)));
  Token token;
  {
    std::lock_guard lock(mutex_);
    token = nextToken_++;
    timers_.emplace(token, Timer{due, std::move(work)});
  }
  wake();
  return token;
}

void TLReactor::cancel(Token timer) {
  std::function<void()> released;
  std::lock_guard lock(mutex_);
  auto it = timers_.find(timer);
  if (it == timers_.end()) return;
  released = std::move(it->second.work);
  timers_.erase(it);
}

void TLReactor::wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] auto written = ::write(wakeFd_, &one, sizeof one);
}

int TLReactor::nextTimeoutMs() {
  std::lock_guard lock(mutex_);
  if (!posted_.empty()) return 0;
  if (timers_.empty()) return -1;
  auto earliest = Clock::time_point::max();
  for (const auto& [token, timer] : timers_)
    earliest = std::min(earliest, timer.due);
  const auto now = Clock::now();
  if (earliest <= now) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(earliest - now).count();
  return static_cast<int>(std::min<long long>(ms, 60'000));
}

void TLReactor::runDueTimers() {
  std::vector<std::function<void()>> due;
  {
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    for (auto it = timers_.begin(); it != timers_.end();) {
      if (it->second.due <= now) {
        due.push_back(std::move(it->second.work));
        it = timers_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& work : due)
    work();
}

void TLReactor::run() {
  std::vector<epoll_event> events(64);
  while (true) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
    }
    const int count =
        epoll_wait(epollFd_, events.data(), static_cast<int>(events.size()), nextTimeoutMs());
    if (count < 0 && errno != EINTR) {
      fatal(std::string("Frame channel reactor: epoll_wait failed: ") + std::strerror(errno));
    }
    for (int i = 0; i < count; ++i) {
      const std::uint64_t token = events[i].data.u64;
      if (token == kWakeToken) {
        std::uint64_t drained;
        [[maybe_unused]] auto n = ::read(wakeFd_, &drained, sizeof drained);
        continue;
      }
      std::shared_ptr<Source> source;
      {
        std::lock_guard lock(mutex_);
        auto it = sources_.find(token);
        if (it != sources_.end()) source = it->second;
      }
      // A source removed by an earlier event of this batch is not called any more.
      if (source) source->handleEvents(events[i].events);
    }
    runDueTimers();
    std::deque<std::function<void()>> work;
    {
      std::lock_guard lock(mutex_);
      work.swap(posted_);
    }
    for (auto& item : work)
      item();
  }
}

}  // namespace platform

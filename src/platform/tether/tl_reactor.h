#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace platform {

// The one thread on which every frame channel does its I/O and calls its delegate and
// completions. Sockets are watched with epoll; other threads hand work over with `post`.
class TLReactor {
 public:
  // Something watched for readiness. Called on the reactor thread with the epoll event bits.
  class Source {
   public:
    virtual ~Source() = default;
    virtual void handleEvents(std::uint32_t events) = 0;
  };
  using Token = std::uint64_t;

  static TLReactor& shared();

  TLReactor();
  ~TLReactor();
  TLReactor(const TLReactor&) = delete;
  TLReactor& operator=(const TLReactor&) = delete;

  // Watches `fd` (level-triggered) and keeps `source` alive until `remove`. Any thread.
  // Returns 0 when the descriptor cannot be watched.
  Token add(int fd, std::uint32_t events, std::shared_ptr<Source> source);
  void modify(Token token, int fd, std::uint32_t events);
  // Stops watching; the caller closes the descriptor afterwards.
  void remove(Token token, int fd);

  // Runs `work` on the reactor thread, after whatever it is doing now.
  void post(std::function<void()> work);
  // Runs `work` on the reactor thread after `seconds`, unless cancelled first.
  Token schedule(double seconds, std::function<void()> work);
  void cancel(Token timer);

  bool isCurrent() const { return std::this_thread::get_id() == threadId_; }

 private:
  using Clock = std::chrono::steady_clock;
  void run();
  void wake();
  int nextTimeoutMs();
  void runDueTimers();

  int epollFd_ = -1;
  int wakeFd_ = -1;
  std::thread thread_;
  std::thread::id threadId_;

  std::mutex mutex_;
  bool stopping_ = false;
  Token nextToken_ = 1;
  std::map<Token, std::shared_ptr<Source>> sources_;
  std::deque<std::function<void()>> posted_;
  struct Timer {
    Clock::time_point due;
    std::function<void()> work;
  };
  std::map<Token, Timer> timers_;
};

}  // namespace platform

#pragma once

#include <coroutine>
#include <cstddef>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/concurrency/task.h"
#include "platform/foundation/log.h"

namespace platform {

// An asynchronous sequence fed by a producer through a `Continuation`. One consumer at a time
// loops with `while (auto e = co_await it.next())`. The stream ends when the producer finishes
// it, when the consumer's task is cancelled while it waits, or when the stream and every
// iterator over it are gone; the termination handler then runs once, outside any lock.
template <class T>
class AsyncStream {
 public:
  class BufferingPolicy {
   public:
    enum class Kind { unbounded, bufferingOldest, bufferingNewest };
    static BufferingPolicy unbounded() { return BufferingPolicy(Kind::unbounded, 0); }
    // When full, the new element is dropped.
    static BufferingPolicy bufferingOldest(std::size_t n) {
      return BufferingPolicy(Kind::bufferingOldest, n);
    }
    // When full, the oldest element is dropped.
    static BufferingPolicy bufferingNewest(std::size_t n) {
      return BufferingPolicy(Kind::bufferingNewest, n);
    }
    Kind kind() const { return kind_; }
    std::size_t limit() const { return limit_; }

   private:
    BufferingPolicy(Kind k, std::size_t n) : kind_(k), limit_(n) {}
    Kind kind_;
    std::size_t limit_;
  };

  class YieldResult {
   public:
    enum class Kind { enqueued, dropped, terminated };
    static YieldResult enqueued(std::size_t remaining) {
      return YieldResult(Kind::enqueued, remaining, std::nullopt);
    }
    static YieldResult dropped(T element) {
      return YieldResult(Kind::dropped, 0, std::move(element));
    }
    static YieldResult terminated() { return YieldResult(Kind::terminated, 0, std::nullopt); }

    Kind kind() const { return kind_; }
    // Room left in the buffer after an enqueue (the largest value for an unbounded one).
    std::size_t remaining() const { return remaining_; }
    // The element that did not fit: the new one, or under `bufferingNewest` the oldest one.
    const std::optional<T>& droppedElement() const { return dropped_; }

   private:
    YieldResult(Kind k, std::size_t r, std::optional<T> d)
        : kind_(k), remaining_(r), dropped_(std::move(d)) {}
    Kind kind_;
    std::size_t remaining_;
    std::optional<T> dropped_;
  };

 private:
  struct Waiter {
    detail::TaskCorePtr core;
    std::coroutine_handle<> handle;
    std::optional<T>* slot;
  };

  struct State {
    explicit State(BufferingPolicy p) : policy(p) {}
    std::mutex mutex;
    BufferingPolicy policy;
    std::deque<T> buffer;
    bool finished = false;   // the producer is done; buffered elements still come out
    bool cancelled = false;  // the consumer is gone; nothing more comes out
    std::optional<Waiter> waiter;
    std::function<void()> onTermination;
    bool terminationRan = false;

    std::function<void()> takeTerminationLocked() {
      if (terminationRan) return nullptr;
      terminationRan = true;
      return std::exchange(onTermination, nullptr);
    }

    YieldResult yield(T element) {
      std::optional<Waiter> toResume;
      std::optional<YieldResult> result;
      {
        std::lock_guard lock(mutex);
        if (finished || cancelled) return YieldResult::terminated();
        const std::size_t limit = policy.limit();
        const bool unbounded = policy.kind() == BufferingPolicy::Kind::unbounded;
        if (waiter) {
          // A waiting consumer means the buffer is empty: hand the element over directly.
          *waiter->slot = std::move(element);
          toResume = std::exchange(waiter, std::nullopt);
          result =
              YieldResult::enqueued(unbounded ? std::numeric_limits<std::size_t>::max() : limit);
        } else if (unbounded) {
          buffer.push_back(std::move(element));
          result = YieldResult::enqueued(std::numeric_limits<std::size_t>::max());
        } else if (buffer.size() < limit) {
          buffer.push_back(std::move(element));
          result = YieldResult::enqueued(limit - buffer.size());
        } else if (policy.kind() == BufferingPolicy::Kind::bufferingNewest && limit > 0) {
          T oldest = std::move(buffer.front());
          buffer.pop_front();
          buffer.push_back(std::move(element));
          result = YieldResult::dropped(std::move(oldest));
        } else {
          result = YieldResult::dropped(std::move(element));
        }
      }
      if (toResume) detail::resumeOn(std::move(toResume->core), toResume->handle);
      return std::move(*result);
    }

    void finish() {
      std::optional<Waiter> toResume;
      std::function<void()> termination;
      {
        std::lock_guard lock(mutex);
        if (finished || cancelled) return;
        finished = true;
        if (waiter) toResume = std::exchange(waiter, std::nullopt);
        termination = takeTerminationLocked();
      }
      if (toResume) detail::resumeOn(std::move(toResume->core), toResume->handle);
      if (termination) termination();
    }

    void cancel() {
      std::optional<Waiter> toResume;
      std::function<void()> termination;
      {
        std::lock_guard lock(mutex);
        if (cancelled) return;
        cancelled = true;
        buffer.clear();
        if (waiter) toResume = std::exchange(waiter, std::nullopt);
        termination = takeTerminationLocked();
      }
      if (toResume) detail::resumeOn(std::move(toResume->core), toResume->handle);
      if (termination) termination();
    }
  };

  // Held by the stream and its iterators; when the last consumer-side holder goes, nobody can
  // read any more and the stream is cancelled.
  struct ConsumerToken {
    explicit ConsumerToken(std::shared_ptr<State> s) : state(std::move(s)) {}
    ConsumerToken(const ConsumerToken&) = delete;
    ConsumerToken& operator=(const ConsumerToken&) = delete;
    ~ConsumerToken() { state->cancel(); }
    std::shared_ptr<State> state;
  };

 public:
  // The producer's side. Copies share the stream; every call is thread-safe.
  class Continuation {
   public:
    YieldResult yield(T element) const { return state_->yield(std::move(element)); }
    void finish() const { state_->finish(); }
    // Runs once when the stream ends, by finish or because its consumer went away. Runs at
    // once when the stream has already ended.
    void onTermination(std::function<void()> handler) const {
      bool runNow = false;
      {
        std::lock_guard lock(state_->mutex);
        if (state_->terminationRan) {
          runNow = true;
        } else {
          state_->onTermination = std::move(handler);
        }
      }
      if (runNow && handler) handler();
    }

   private:
    friend class AsyncStream;
    explicit Continuation(std::shared_ptr<State> s) : state_(std::move(s)) {}
    std::shared_ptr<State> state_;
  };

  class NextAwaiter {
   public:
    explicit NextAwaiter(std::shared_ptr<ConsumerToken> token) : token_(std::move(token)) {}

    bool await_ready() const noexcept { return false; }

    template <detail::TaskPromise P>
    bool await_suspend(std::coroutine_handle<P> h) {
      core_ = h.promise().core;
      std::weak_ptr<State> weak = token_->state;
      record_ = std::make_shared<detail::CancellationRecord>([weak] {
        if (auto s = weak.lock()) s->cancel();
      });
      if (!core_->install(record_)) {
        // Already cancelled: nothing, at once, and the stream ends as it would on a later cancel.
        token_->state->cancel();
        return false;
      }
      auto& state = *token_->state;
      std::unique_lock lock(state.mutex);
      if (state.cancelled) return false;
      if (!state.buffer.empty()) {
        result_ = std::move(state.buffer.front());
        state.buffer.pop_front();
        return false;
      }
      if (state.finished) return false;
      if (state.waiter) {
        lock.unlock();
        platform::fatal("AsyncStream: next() called while another next() is waiting");
      }
      state.waiter = Waiter{core_, h, &result_};
      // Once the lock is released a producer may resume this task on another thread: nothing
      // below may touch `this`.
      return true;
    }

    std::optional<T> await_resume() {
      if (record_) core_->uninstall(record_);
      return std::move(result_);
    }

   private:
    std::shared_ptr<ConsumerToken> token_;
    detail::TaskCorePtr core_;
    detail::CancellationRecordPtr record_;
    std::optional<T> result_;
  };

  class Iterator {
   public:
    NextAwaiter next() const { return NextAwaiter(token_); }

   private:
    friend class AsyncStream;
    explicit Iterator(std::shared_ptr<ConsumerToken> t) : token_(std::move(t)) {}
    std::shared_ptr<ConsumerToken> token_;
  };

  // `build` runs at once, with the producer's continuation.
  AsyncStream(BufferingPolicy policy, const std::function<void(Continuation)>& build)
      : token_(std::make_shared<ConsumerToken>(std::make_shared<State>(policy))) {
    build(Continuation(token_->state));
  }
  explicit AsyncStream(const std::function<void(Continuation)>& build)
      : AsyncStream(BufferingPolicy::unbounded(), build) {}

  Iterator makeAsyncIterator() const { return Iterator(token_); }

 private:
  std::shared_ptr<ConsumerToken> token_;
};

}  // namespace platform

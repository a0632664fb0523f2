#pragma once

// A minimal publisher/subscriber set with demand.
//
// Rules every type here keeps:
// - calls to a subscriber are serialized, and none is made while the caller holds its own lock;
// - a subscriber may cancel from inside any of its `receive` calls;
// - once `cancel` has returned, no value or completion reaches the cancelled subscriber's code
//   (a delivery in flight on another thread is waited for), so closures may capture objects
//   their owner destroys right after cancelling;
// - elements beyond demand are tolerated, never fatal.

#include <algorithm>
#include <concepts>
#include <condition_variable>
#include <deque>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/foundation/observable.h"
#include "platform/reactive/demand.h"

namespace platform {

// A failure type that cannot be made: publishers with it never fail.
struct Never {
  Never() = delete;
};

template <class Failure>
class Completion {
 public:
  static Completion finished() { return Completion(std::nullopt); }
  static Completion failure(Failure f) { return Completion(std::optional<Failure>(std::move(f))); }
  bool isFinished() const { return !failure_.has_value(); }
  const Failure& error() const { return *failure_; }

 private:
  explicit Completion(std::optional<Failure> f) : failure_(std::move(f)) {}
  std::optional<Failure> failure_;
};

class Subscription {
 public:
  virtual ~Subscription() = default;
  virtual void request(Demand demand) = 0;
  virtual void cancel() = 0;
};
using SubscriptionPtr = std::shared_ptr<Subscription>;

template <class Input, class Failure>
class Subscriber {
 public:
  virtual ~Subscriber() = default;
  virtual void receive(SubscriptionPtr subscription) = 0;
  virtual Demand receive(Input input) = 0;
  virtual void receive(Completion<Failure> completion) = 0;
};
template <class Input, class Failure>
using SubscriberPtr = std::shared_ptr<Subscriber<Input, Failure>>;

template <class P>
concept Publisher = requires(P p, SubscriberPtr<typename P::Output, typename P::Failure> s) {
  p.receive(s);
};

namespace detail {

// Lets deliveries through until closed; `close` waits for a delivery in flight on another
// thread, so after it returns the subscriber's code is never entered again.
class DeliveryGate {
 public:
  bool enter() {
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    inside_.push_back(std::this_thread::get_id());
    return true;
  }
  void leave() {
    {
      std::lock_guard lock(mutex_);
      auto it = std::find(inside_.begin(), inside_.end(), std::this_thread::get_id());
      if (it != inside_.end()) inside_.erase(it);
    }
    cv_.notify_all();
  }
  void close() {
    std::unique_lock lock(mutex_);
    closed_ = true;
    const auto self = std::this_thread::get_id();
    // A cancel from inside a delivery on this thread cannot wait for itself.
    cv_.wait(lock, [&] {
      for (auto id : inside_) {
        if (id != self) return false;
      }
      return true;
    });
  }
  bool isClosed() {
    std::lock_guard lock(mutex_);
    return closed_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool closed_ = false;
  std::vector<std::thread::id> inside_;
};

}  // namespace detail

// A subscriber made of closures.
template <class Input, class Failure>
class AnySubscriber : public Subscriber<Input, Failure> {
 public:
  AnySubscriber(std::function<void(SubscriptionPtr)> onSubscription,
                std::function<Demand(Input)> onInput,
                std::function<void(Completion<Failure>)> onCompletion)
      : onSubscription_(std::move(onSubscription)),
        onInput_(std::move(onInput)),
        onCompletion_(std::move(onCompletion)) {}
  void receive(SubscriptionPtr s) override {
    if (onSubscription_) onSubscription_(std::move(s));
  }
  Demand receive(Input input) override {
    return onInput_ ? onInput_(std::move(input)) : Demand::none();
  }
  void receive(Completion<Failure> c) override {
    if (onCompletion_) onCompletion_(std::move(c));
  }

 private:
  std::function<void(SubscriptionPtr)> onSubscription_;
  std::function<Demand(Input)> onInput_;
  std::function<void(Completion<Failure>)> onCompletion_;
};

template <class Output, class Failure>
class AnyPublisher;

namespace detail {

// The subscriber behind `sink`: asks for everything, and drops whatever arrives after cancel.
template <class Input, class Failure>
class Sink : public Subscriber<Input, Failure> {
 public:
  Sink(std::function<void(Completion<Failure>)> onCompletion, std::function<void(Input)> onValue)
      : onCompletion_(std::move(onCompletion)), onValue_(std::move(onValue)) {}

  void receive(SubscriptionPtr s) override {
    {
      std::lock_guard lock(mutex_);
      if (subscription_ || gate_.isClosed()) {
        s->cancel();
        return;
      }
      subscription_ = s;
    }
    s->request(Demand::unlimited());
  }
  Demand receive(Input input) override {
    if (!gate_.enter()) return Demand::none();
    if (onValue_) onValue_(std::move(input));
    gate_.leave();
    return Demand::none();
  }
  void receive(Completion<Failure> c) override {
    if (!gate_.enter()) return;
    if (onCompletion_) onCompletion_(std::move(c));
    gate_.leave();
    std::lock_guard lock(mutex_);
    subscription_.reset();
  }
  void cancel() {
    gate_.close();
    SubscriptionPtr s;
    {
      std::lock_guard lock(mutex_);
      s = std::move(subscription_);
    }
    if (s) s->cancel();
  }

 private:
  std::mutex mutex_;
  DeliveryGate gate_;
  SubscriptionPtr subscription_;
  std::function<void(Completion<Failure>)> onCompletion_;
  std::function<void(Input)> onValue_;
};

// map, compactMap and setFailureType: one upstream element becomes at most one downstream
// element; a dropped one asks upstream for one more.
template <class I, class F, class O, class G>
class Relay : public Subscriber<I, F>,
              public Subscription,
              public std::enable_shared_from_this<Relay<I, F, O, G>> {
 public:
  Relay(SubscriberPtr<O, G> downstream, std::function<std::optional<O>(I)> transform,
        std::function<Completion<G>(Completion<F>)> mapCompletion)
      : downstream_(std::move(downstream)),
        transform_(std::move(transform)),
        mapCompletion_(std::move(mapCompletion)) {}

  void receive(SubscriptionPtr s) override {
    {
      std::lock_guard lock(mutex_);
      upstream_ = std::move(s);
    }
    downstream_->receive(SubscriptionPtr(this->shared_from_this()));
  }
  Demand receive(I input) override {
    if (!gate_.enter()) return Demand::none();
    auto out = transform_(std::move(input));
    Demand more = out ? downstream_->receive(std::move(*out)) : Demand::max(1);
    gate_.leave();
    return more;
  }
  void receive(Completion<F> c) override {
    if (!gate_.enter()) return;
    downstream_->receive(mapCompletion_(std::move(c)));
    gate_.leave();
    std::lock_guard lock(mutex_);
    upstream_.reset();
  }
  void request(Demand d) override {
    SubscriptionPtr up;
    {
      std::lock_guard lock(mutex_);
      up = upstream_;
    }
    if (up) up->request(d);
  }
  void cancel() override {
    gate_.close();
    SubscriptionPtr up;
    {
      std::lock_guard lock(mutex_);
      up = std::move(upstream_);
    }
    if (up) up->cancel();
  }

 private:
  std::mutex mutex_;
  DeliveryGate gate_;
  SubscriptionPtr upstream_;
  SubscriberPtr<O, G> downstream_;
  std::function<std::optional<O>(I)> transform_;
  std::function<Completion<G>(Completion<F>)> mapCompletion_;
};

template <class F>
Completion<F> sameCompletion(Completion<F> c) {
  return c;
}

template <class I, class F, class O, class G>
AnyPublisher<O, G> relay(AnyPublisher<I, F> upstream, std::function<std::optional<O>(I)> transform,
                         std::function<Completion<G>(Completion<F>)> mapCompletion);

template <class I, class F, class O>
class FlatMap;

}  // namespace detail

// A type-erased publisher, and the home of the operators.
template <class Output_, class Failure_>
class AnyPublisher {
 public:
  using Output = Output_;
  using Failure = Failure_;

  explicit AnyPublisher(std::function<void(SubscriberPtr<Output, Failure>)> subscribe)
      : subscribe_(std::move(subscribe)) {}
  template <Publisher P>
  requires(!std::is_same_v<std::decay_t<P>, AnyPublisher> &&
           std::is_same_v<typename P::Output, Output> &&
           std::is_same_v<typename P::Failure, Failure>) explicit AnyPublisher(P publisher)
      : subscribe_([p = std::move(publisher)](SubscriberPtr<Output, Failure> s) mutable {
          p.receive(std::move(s));
        }) {}

  void receive(SubscriberPtr<Output, Failure> subscriber) const {
    subscribe_(std::move(subscriber));
  }

  template <class Fn, class O = std::invoke_result_t<Fn, Output>>
  AnyPublisher<O, Failure> map(Fn fn) const {
    return detail::relay<Output, Failure, O, Failure>(
        *this, [fn = std::move(fn)](Output v) { return std::optional<O>(fn(std::move(v))); },
        detail::sameCompletion<Failure>);
  }

  // `fn` answers an optional; elements it drops are not delivered, and each drop asks
  // upstream for one more element in place of the one that went.
  template <class Fn, class O = typename std::invoke_result_t<Fn, Output>::value_type>
  AnyPublisher<O, Failure> compactMap(Fn fn) const {
    return detail::relay<Output, Failure, O, Failure>(
        *this, [fn = std::move(fn)](Output v) -> std::optional<O> { return fn(std::move(v)); },
        detail::sameCompletion<Failure>);
  }

  template <class G>
  requires std::is_same_v<Failure, Never> AnyPublisher<Output, G> setFailureType()
  const {
    return detail::relay<Output, Failure, Output, G>(
        *this, [](Output v) { return std::optional<Output>(std::move(v)); },
        [](Completion<Never>) { return Completion<G>::finished(); });
  }

  // Subscribes to the publisher `fn` makes of each element, at most `maxPublishers` at once,
  // and merges their elements. A failing inner publisher cancels upstream and the other inner
  // publishers, and fails downstream.
  template <class Fn, class Inner = std::invoke_result_t<Fn, Output>>
  AnyPublisher<typename Inner::Output, Failure> flatMap(Demand maxPublishers, Fn fn) const {
    using O = typename Inner::Output;
    auto upstream = *this;
    std::function<AnyPublisher<O, Failure>(Output)> make = [fn = std::move(fn)](Output v) {
      return AnyPublisher<O, Failure>(fn(std::move(v)));
    };
    return AnyPublisher<O, Failure>(
        [upstream, maxPublishers, make](SubscriberPtr<O, Failure> downstream) {
          auto node = std::make_shared<detail::FlatMap<Output, Failure, O>>(std::move(downstream),
                                                                            maxPublishers, make);
          upstream.receive(node);
        });
  }

  // Asks for unlimited demand; the returned handle cancels when destroyed.
  [[nodiscard]] Cancellable sink(std::function<void(Completion<Failure>)> receiveCompletion,
                                 std::function<void(Output)> receiveValue) const {
    auto s = std::make_shared<detail::Sink<Output, Failure>>(std::move(receiveCompletion),
                                                             std::move(receiveValue));
    receive(s);
    return Cancellable([s] { s->cancel(); });
  }

 private:
  std::function<void(SubscriberPtr<Output, Failure>)> subscribe_;
};

template <Publisher P>
AnyPublisher<typename P::Output, typename P::Failure> eraseToAnyPublisher(P publisher) {
  return AnyPublisher<typename P::Output, typename P::Failure>(std::move(publisher));
}

// The one-shot publisher of a result: its value then `finished` once demand comes, or its
// failure at once.
template <class T, class E>
class ResultPublisher {
 public:
  using Output = T;
  using Failure = E;

  explicit ResultPublisher(std::expected<T, E> result) : result_(std::move(result)) {}

  void receive(SubscriberPtr<T, E> subscriber) const {
    auto s = std::make_shared<Inner>(result_, subscriber);
    subscriber->receive(SubscriptionPtr(s));
    if (!result_) s->deliver();
  }

 private:
  class Inner : public Subscription {
   public:
    Inner(std::expected<T, E> r, SubscriberPtr<T, E> s)
        : result_(std::move(r)), subscriber_(std::move(s)) {}
    void request(Demand d) override {
      if (!d.isNone()) deliver();
    }
    void cancel() override {
      std::lock_guard lock(mutex_);
      subscriber_.reset();
    }
    void deliver() {
      SubscriberPtr<T, E> s;
      {
        std::lock_guard lock(mutex_);
        s = std::move(subscriber_);
      }
      if (!s) return;
      if (result_) {
        s->receive(*result_);
        s->receive(Completion<E>::finished());
      } else {
        s->receive(Completion<E>::failure(result_.error()));
      }
    }

   private:
    std::mutex mutex_;
    std::expected<T, E> result_;
    SubscriberPtr<T, E> subscriber_;
  };
  std::expected<T, E> result_;
};

namespace detail {

template <class I, class F, class O, class G>
AnyPublisher<O, G> relay(AnyPublisher<I, F> upstream, std::function<std::optional<O>(I)> transform,
                         std::function<Completion<G>(Completion<F>)> mapCompletion) {
  return AnyPublisher<O, G>([upstream, transform, mapCompletion](SubscriberPtr<O, G> downstream) {
    upstream.receive(
        std::make_shared<Relay<I, F, O, G>>(std::move(downstream), transform, mapCompletion));
  });
}

template <class I, class F, class O>
class FlatMap : public Subscriber<I, F>,
                public Subscription,
                public std::enable_shared_from_this<FlatMap<I, F, O>> {
 public:
  FlatMap(SubscriberPtr<O, F> downstream, Demand maxPublishers,
          std::function<AnyPublisher<O, F>(I)> make)
      : downstream_(std::move(downstream)), maxPublishers_(maxPublishers), make_(std::move(make)) {}

  void receive(SubscriptionPtr s) override {
    {
      std::lock_guard lock(mutex_);
      upstream_ = s;
    }
    downstream_->receive(SubscriptionPtr(this->shared_from_this()));
    s->request(maxPublishers_);
  }

  Demand receive(I input) override {
    {
      std::lock_guard lock(mutex_);
      if (cancelled_ || terminal_) return Demand::none();
      ++activeInners_;
    }
    auto inner = std::make_shared<InnerSubscriber>(this->shared_from_this());
    make_(std::move(input)).receive(inner);
    return Demand::none();
  }

  void receive(Completion<F> c) override {
    if (!c.isFinished()) {
      fail(std::move(c));
      return;
    }
    {
      std::lock_guard lock(mutex_);
      upstreamFinished_ = true;
      upstream_.reset();
      if (activeInners_ == 0 && !terminal_) {
        terminal_ = true;
        completion_.emplace(std::move(c));
      }
    }
    drain();
  }

  void request(Demand d) override {
    {
      std::lock_guard lock(mutex_);
      demand_ += d;
    }
    drain();
  }

  void cancel() override {
    gate_.close();
    SubscriptionPtr up;
    std::vector<SubscriptionPtr> inners;
    {
      std::lock_guard lock(mutex_);
      cancelled_ = true;
      pending_.clear();
      up = std::move(upstream_);
      inners.swap(inners_);
    }
    if (up) up->cancel();
    for (auto& i : inners)
      i->cancel();
  }

 private:
  class InnerSubscriber : public Subscriber<O, F> {
   public:
    explicit InnerSubscriber(std::shared_ptr<FlatMap> parent) : parent_(std::move(parent)) {}
    void receive(SubscriptionPtr s) override {
      bool keep;
      {
        std::lock_guard lock(parent_->mutex_);
        keep = !parent_->cancelled_ && !parent_->terminal_;
        if (keep) parent_->inners_.push_back(s);
      }
      subscription_ = s;
      if (keep) {
        s->request(Demand::unlimited());
      } else {
        s->cancel();
      }
    }
    Demand receive(O value) override {
      {
        std::lock_guard lock(parent_->mutex_);
        if (parent_->cancelled_ || parent_->terminal_) return Demand::none();
        parent_->pending_.push_back(std::move(value));
      }
      parent_->drain();
      return Demand::none();
    }
    void receive(Completion<F> c) override { parent_->innerCompleted(subscription_, std::move(c)); }

   private:
    std::shared_ptr<FlatMap> parent_;
    SubscriptionPtr subscription_;
  };

  void innerCompleted(const SubscriptionPtr& inner, Completion<F> c) {
    if (!c.isFinished()) {
      fail(std::move(c));
      return;
    }
    SubscriptionPtr askMore;
    {
      std::lock_guard lock(mutex_);
      std::erase(inners_, inner);
      --activeInners_;
      if (upstreamFinished_ && activeInners_ == 0 && !terminal_) {
        terminal_ = true;
        completion_.emplace(std::move(c));
      } else if (!maxPublishers_.isUnlimited() && !cancelled_ && !terminal_) {
        askMore = upstream_;
      }
    }
    if (askMore) askMore->request(Demand::max(1));
    drain();
  }

  void fail(Completion<F> c) {
    SubscriptionPtr up;
    std::vector<SubscriptionPtr> inners;
    {
      std::lock_guard lock(mutex_);
      if (terminal_ || cancelled_) return;
      terminal_ = true;
      pending_.clear();
      completion_.emplace(std::move(c));
      up = std::move(upstream_);
      inners.swap(inners_);
    }
    if (up) up->cancel();
    for (auto& i : inners)
      i->cancel();
    drain();
  }

  // Whoever finds nobody draining delivers, outside the lock, until nothing deliverable is
  // left; so downstream calls never overlap whichever threads the inner publishers use.
  void drain() {
    std::unique_lock lock(mutex_);
    if (draining_) return;
    draining_ = true;
    for (;;) {
      if (cancelled_) break;
      if (!pending_.empty() && !demand_.isNone()) {
        O value = std::move(pending_.front());
        pending_.pop_front();
        demand_ -= Demand::max(1);
        lock.unlock();
        Demand more = Demand::none();
        if (gate_.enter()) {
          more = downstream_->receive(std::move(value));
          gate_.leave();
        }
        lock.lock();
        demand_ += more;
        continue;
      }
      if (pending_.empty() && completion_) {
        auto c = std::move(*completion_);
        completion_.reset();
        lock.unlock();
        if (gate_.enter()) {
          downstream_->receive(std::move(c));
          gate_.leave();
        }
        lock.lock();
        continue;
      }
      break;
    }
    draining_ = false;
  }

  std::mutex mutex_;
  DeliveryGate gate_;
  SubscriberPtr<O, F> downstream_;
  Demand maxPublishers_;
  std::function<AnyPublisher<O, F>(I)> make_;
  SubscriptionPtr upstream_;
  std::vector<SubscriptionPtr> inners_;
  std::deque<O> pending_;
  std::optional<Completion<F>> completion_;
  Demand demand_ = Demand::none();
  int activeInners_ = 0;
  bool upstreamFinished_ = false;
  bool terminal_ = false;
  bool cancelled_ = false;
  bool draining_ = false;
};

}  // namespace detail

}  // namespace platform
